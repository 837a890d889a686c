#include "cachetool/IndexSalvage.h"

#include <algorithm>
#include <cstring>
#include <deque>
#include <iterator>
#include <utility>

namespace cachetool {
namespace {

constexpr std::uint8_t kLeafTable = 0x0D;
constexpr std::uint8_t kInteriorTable = 0x05;
constexpr std::uint8_t kLeafIndex = 0x0A;
constexpr std::uint8_t kInteriorIndex = 0x02;
// The most columns a record of another table or index may hold (SQLite's own limit).
constexpr std::size_t kMaxColumns = 32767;
// A B-tree deeper than this is a loop or garbage: a table of 2^63 rows is far shallower.
constexpr int kMaxDepth = 32;

std::uint32_t Get2(std::string_view b, std::size_t at) {
  return (std::uint32_t{static_cast<std::uint8_t>(b[at])} << 8) |
         static_cast<std::uint8_t>(b[at + 1]);
}

std::uint32_t Get4(std::string_view b, std::size_t at) {
  return (Get2(b, at) << 16) | Get2(b, at + 2);
}

// SQLite's variable-length integer at `at`, read no further than `end`: its length in bytes, or 0
// when it runs past `end`.
std::size_t GetVarint(std::string_view b, std::size_t at, std::size_t end, std::uint64_t& value) {
  std::uint64_t v = 0;
  for (std::size_t i = 0; i < 8; ++i) {
    if (at + i >= end) return 0;
    const auto byte = static_cast<std::uint8_t>(b[at + i]);
    v = (v << 7) | (byte & 0x7F);
    if ((byte & 0x80) == 0) {
      value = v;
      return i + 1;
    }
  }
  if (at + 8 >= end) return 0;
  value = (v << 8) | static_cast<std::uint8_t>(b[at + 8]);
  return 9;
}

bool EqualsIgnoringAsciiCase(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    const auto lower = [](char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c + 32) : c; };
    if (lower(a[i]) != lower(b[i])) return false;
  }
  return true;
}

// The size of a value of the serial type `type` in a record (10 and 11 are not in use).
std::uint64_t SerialSize(std::uint64_t type) {
  static constexpr std::uint64_t kIntegerBytes[] = {0, 1, 2, 3, 4, 6, 8, 8, 0, 0};
  return type < 10 ? kIntegerBytes[type] : (type - 12) / 2;
}

// The header of a record (SQLite's record format): its size, and its serial types into `types`
// when given; nothing when the record is not whole: the header must end exactly where its serial
// types end, and the values they give exactly at the payload's end.
std::optional<std::uint64_t> RecordHeader(std::string_view payload, std::size_t maxColumns,
                                          std::vector<std::uint64_t>* types) {
  std::uint64_t headerSize = 0;
  std::size_t at = GetVarint(payload, 0, payload.size(), headerSize);
  if (at == 0 || headerSize < at || headerSize > payload.size()) return std::nullopt;
  std::uint64_t data = 0;
  for (std::size_t columns = 0; at < headerSize; ++columns) {
    std::uint64_t type = 0;
    const std::size_t n = GetVarint(payload, at, headerSize, type);
    if (n == 0 || type == 10 || type == 11 || columns == maxColumns) return std::nullopt;
    data += SerialSize(type);
    if (data > payload.size()) return std::nullopt;
    if (types) types->push_back(type);
    at += n;
  }
  if (headerSize + data != payload.size()) return std::nullopt;
  return headerSize;
}

// Whether the record is whole (RecordHeader), without decoding its values.
bool RecordIsWhole(std::string_view payload, std::size_t maxColumns) {
  return RecordHeader(payload, maxColumns, nullptr).has_value();
}

// The values of a whole record, or nothing when it is not whole.
std::optional<std::vector<StoredValue>> DecodeRecord(std::string_view payload,
                                                     std::size_t maxColumns) {
  std::vector<std::uint64_t> types;
  types.reserve(std::min<std::size_t>(maxColumns, 8));
  const auto headerSize = RecordHeader(payload, maxColumns, &types);
  if (!headerSize) return std::nullopt;
  std::vector<StoredValue> values(types.size());
  std::size_t data = static_cast<std::size_t>(*headerSize);
  for (std::size_t c = 0; c < types.size(); ++c) {
    const std::uint64_t type = types[c];
    const std::size_t size = static_cast<std::size_t>(SerialSize(type));
    StoredValue& v = values[c];
    if (type == 8 || type == 9) {
      v.type = StoredValue::Type::Integer;
      v.integer = type == 9 ? 1 : 0;
    } else if (type >= 1 && type <= 7) {
      std::uint64_t bits = 0;
      for (std::size_t i = 0; i < size; ++i)
        bits = (bits << 8) | static_cast<std::uint8_t>(payload[data + i]);
      if (type == 7) {
        v.type = StoredValue::Type::Real;
        std::memcpy(&v.real, &bits, sizeof bits);
      } else {
        // Sign-extended from its width.
        const unsigned shift = 64 - static_cast<unsigned>(size) * 8;
        v.type = StoredValue::Type::Integer;
        v.integer = static_cast<std::int64_t>(bits << shift) >> shift;
      }
    } else if (type >= 12) {
      v.type = type % 2 == 0 ? StoredValue::Type::Blob : StoredValue::Type::String;
      v.bytes.assign(payload.substr(data, size));
    }
    data += size;
  }
  return values;
}

// Key bounds of a subtree: its row IDs lie above `low` (when there is one) and at most `high`, as
// SQLite's table interior pages give them: the left child of a cell with key K holds IDs <= K, the
// subtree on its right IDs > K.
struct Bounds {
  std::optional<std::int64_t> low;
  std::optional<std::int64_t> high;
  bool Holds(std::int64_t key) const { return (!low || key > *low) && (!high || key <= *high); }
};

// A cell of a table leaf: its row ID, where its payload starts in the file and, when it spills,
// where its overflow pages are listed. The values are decoded when asked for (Values), so that
// a whole table's cells cost no memory of their own beyond the file's bytes.
struct Cell {
  std::int64_t rowid = 0;
  bool spilled = false;
  bool chainWhole = true;
  std::size_t payloadAt = 0;  // offset in the file
  std::uint64_t local = 0, size = 0;
  std::size_t chainBegin = 0, chainEnd = 0;  // in TreeReader's list of overflow pages
};

// What a walk of one B-tree found.
struct Tree {
  bool index = false;           // an index B-tree (its root page says so)
  std::deque<Cell> cells;       // the cells of its table leaves, in key order (grown unmoved)
  std::vector<Bounds> windows;  // the bounds of each page that was not taken
  std::size_t unreadable = 0;
};

// What the walks have learnt of a page: pointed to by a page that was taken, taken as a B-tree
// page, claimed as an overflow page once, or more than once.
enum PageMark : std::uint8_t { kReached = 1, kTaken = 2, kOverflowOnce = 4, kOverflowTwice = 8 };

using Children = std::vector<std::pair<std::uint32_t, Bounds>>;

class TreeReader {
 public:
  TreeReader(std::string_view file, std::uint32_t pageSize, std::uint32_t reserved)
      : file_(file),
        pageSize_(pageSize),
        usable_(pageSize - reserved),
        pageCount_(static_cast<std::uint32_t>(file.size() / pageSize)),
        marks_(pageCount_ + std::size_t{1}, 0) {}

  // The B-tree rooted at `root` (table or index, as its root page says), its table cells in key
  // order; its pages are marked taken and the overflow pages of its cells claimed.
  Tree Read(std::uint32_t root, std::size_t maxColumns) {
    Tree tree;
    if (const auto page = Page(root)) {
      const auto type = static_cast<std::uint8_t>((*page)[root == 1 ? 100 : 0]);
      tree.index = type == kLeafIndex || type == kInteriorIndex;
    }
    Walk(root, Bounds{}, maxColumns, 0, tree);
    return tree;
  }

  // The values of a cell, its overflow pages read: nothing when its chain is broken, or shares a
  // page with another chain or with a B-tree page (a wrong pointer, and nothing tells whose).
  std::optional<std::vector<StoredValue>> Values(Cell& cell, std::size_t maxColumns) const {
    if (!cell.spilled) {
      return DecodeRecord(file_.substr(cell.payloadAt, static_cast<std::size_t>(cell.local)),
                          maxColumns);
    }
    if (!cell.chainWhole) return std::nullopt;
    std::string payload(file_.substr(cell.payloadAt, static_cast<std::size_t>(cell.local)));
    std::uint64_t remaining = cell.size - cell.local;
    for (std::size_t i = cell.chainBegin; i < cell.chainEnd; ++i) {
      if ((marks_[chains_[i]] & (kTaken | kOverflowTwice)) != 0) return std::nullopt;
      const std::uint64_t take = std::min<std::uint64_t>(remaining, usable_ - 4);
      payload.append(Page(chains_[i])->substr(4, static_cast<std::size_t>(take)));
      remaining -= take;
    }
    return DecodeRecord(payload, maxColumns);
  }

  // The cells of the table leaf `number`, read on its own rather than reached by a walk; neither
  // the page nor its cells' overflow pages are claimed.
  std::optional<std::vector<Cell>> ReadLoneLeaf(std::uint32_t number, std::size_t maxColumns) {
    const auto page = Page(number);
    if (!page || (*page)[0] != static_cast<char>(kLeafTable)) return std::nullopt;
    return ReadLeaf(*page, 0, Bounds{}, maxColumns);
  }

  // Claims the page `number` and the overflow pages of `cells` as the walks do.
  void Claim(std::uint32_t number, const std::vector<Cell>& cells) {
    marks_[number] |= kTaken;
    for (const Cell& c : cells) ClaimChain(c.chainBegin, c.chainEnd);
  }

  // Whether no walk has marked any overflow page of `cells`, and none is `free`.
  bool ChainsUnmarked(const std::vector<Cell>& cells, const std::vector<bool>& free) const {
    for (const Cell& c : cells) {
      for (std::size_t i = c.chainBegin; i < c.chainEnd; ++i) {
        if (marks_[chains_[i]] != 0 || free[chains_[i]]) return false;
      }
    }
    return true;
  }

  std::uint8_t Mark(std::uint32_t number) const { return marks_[number]; }
  std::uint32_t PageCount() const { return pageCount_; }
  std::uint32_t Usable() const { return usable_; }
  std::optional<std::string_view> Page(std::uint32_t number) const {
    if (number < 1 || number > pageCount_) return std::nullopt;
    return file_.substr(static_cast<std::size_t>(number - 1) * pageSize_, pageSize_);
  }

 private:
  struct Span {
    std::size_t begin, end;
  };

  void Walk(std::uint32_t number, const Bounds& bounds, std::size_t maxColumns, int depth,
            Tree& tree) {
    const auto page = Page(number);
    std::optional<Children> children;
    if (page) marks_[number] |= kReached;
    if (page && depth <= kMaxDepth && (marks_[number] & kTaken) == 0) {
      children = ReadPage(*page, number == 1 ? 100 : 0, bounds, maxColumns, tree);
    }
    if (!children) {
      ++tree.unreadable;
      tree.windows.push_back(bounds);
      return;
    }
    marks_[number] |= kTaken;
    for (const auto& [child, childBounds] : *children) {
      Walk(child, childBounds, maxColumns, depth + 1, tree);
    }
  }

  // The children of a page of `tree` (none for a leaf, whose cells go to the tree), or nothing
  // when the page is not whole or not of the tree's kind.
  std::optional<Children> ReadPage(std::string_view page, std::size_t header, const Bounds& bounds,
                                   std::size_t maxColumns, Tree& tree) {
    const auto type = static_cast<std::uint8_t>(page[header]);
    if ((type == kLeafTable || type == kInteriorTable) == tree.index) return std::nullopt;
    if (type == kInteriorTable) return ReadInterior(page, header, bounds);
    if (type == kLeafIndex || type == kInteriorIndex) {
      return ReadIndex(page, header, type == kInteriorIndex);
    }
    if (type != kLeafTable) return std::nullopt;
    auto cells = ReadLeaf(page, header, bounds, maxColumns);
    if (!cells) return std::nullopt;
    for (auto& c : *cells) {
      ClaimChain(c.chainBegin, c.chainEnd);
      tree.cells.push_back(c);
    }
    return Children{};
  }

  // The cell pointers, the content area and the free blocks of a B-tree page: the cells, free
  // blocks and fragments must fill the content area exactly, without overlapping. `cells` are the
  // spans of the cells found so far, one per pointer.
  bool FillsContentArea(std::string_view page, std::size_t header, std::size_t contentStart,
                        std::vector<Span> spans) const {
    std::size_t fragments = static_cast<std::uint8_t>(page[header + 7]);
    std::size_t block = Get2(page, header + 1);
    for (std::size_t count = 0; block != 0; ++count) {
      if (count > usable_ / 4 || block < contentStart || block + 4 > usable_) return false;
      const std::size_t size = Get2(page, block + 2);
      if (size < 4 || block + size > usable_) return false;
      spans.push_back({block, block + size});
      const std::size_t next = Get2(page, block);
      if (next != 0 && next <= block) return false;
      block = next;
    }
    std::sort(spans.begin(), spans.end(),
              [](const Span& a, const Span& b) { return a.begin < b.begin; });
    std::size_t used = 0, end = contentStart;
    for (const auto& s : spans) {
      if (s.begin < end) return false;
      used += s.end - s.begin;
      end = s.end;
    }
    return used + fragments == usable_ - contentStart;
  }

  // The start of the content area and the cell pointers, tested against the page.
  std::optional<std::vector<std::size_t>> CellPointers(std::string_view page, std::size_t header,
                                                       std::size_t headerSize,
                                                       std::size_t& contentStart) const {
    const std::size_t cells = Get2(page, header + 3);
    contentStart = Get2(page, header + 5);
    if (contentStart == 0) contentStart = 65536;
    const std::size_t pointersEnd = header + headerSize + 2 * cells;
    if (pointersEnd > contentStart || contentStart > usable_) return std::nullopt;
    std::vector<std::size_t> pointers;
    for (std::size_t i = 0; i < cells; ++i) {
      const std::size_t at = Get2(page, header + headerSize + 2 * i);
      if (at < contentStart || at >= usable_) return std::nullopt;
      pointers.push_back(at);
    }
    return pointers;
  }

  // The bytes of a payload of `size` kept on its page, for pages whose cells hold at most
  // `maxLocal` bytes (table leaves U-35, index pages (U-12)*64/255-23).
  std::uint64_t LocalSize(std::uint64_t size, std::uint64_t maxLocal) const {
    if (size <= maxLocal) return size;
    const std::uint64_t minLocal = (static_cast<std::uint64_t>(usable_ - 12) * 32 / 255) - 23;
    const std::uint64_t k = minLocal + ((size - minLocal) % (usable_ - 4));
    return k <= maxLocal ? k : minLocal;
  }

  // Lists the overflow chain from `first` for `remaining` bytes: whether it ends exactly there,
  // on pages of the file other than page 1, none twice.
  bool ListChain(std::uint32_t first, std::uint64_t remaining) {
    const std::size_t begin = chains_.size();
    std::uint32_t next = first;
    while (remaining > 0) {
      const auto page = Page(next);
      if (!page || next == 1 ||
          std::find(chains_.begin() + static_cast<std::ptrdiff_t>(begin), chains_.end(), next) !=
              chains_.end()) {
        return false;
      }
      chains_.push_back(next);
      remaining -= std::min<std::uint64_t>(remaining, usable_ - 4);
      next = Get4(*page, 0);
    }
    return next == 0;
  }

  void ClaimChain(std::size_t begin, std::size_t end) {
    for (std::size_t i = begin; i < end; ++i) {
      std::uint8_t& mark = marks_[chains_[i]];
      mark |= (mark & kOverflowOnce) != 0 ? kOverflowTwice : kOverflowOnce;
    }
  }

  // A table leaf's cells, or nothing when the page is not whole. A cell whose payload spills is
  // kept with its chain listed (a broken chain loses the row, not the page); one that does not
  // must be a whole record here, as its record is part of the page.
  std::optional<std::vector<Cell>> ReadLeaf(std::string_view page, std::size_t header,
                                            const Bounds& bounds, std::size_t maxColumns) {
    std::size_t contentStart = 0;
    const auto pointers = CellPointers(page, header, 8, contentStart);
    if (!pointers) return std::nullopt;
    const std::size_t base = static_cast<std::size_t>(page.data() - file_.data());
    const std::size_t chainsBefore = chains_.size();
    std::vector<Cell> cells;
    std::vector<Span> spans;
    for (const std::size_t at : *pointers) {
      Cell cell;
      std::uint64_t key = 0;
      const std::size_t n1 = GetVarint(page, at, usable_, cell.size);
      const std::size_t n2 = n1 == 0 ? 0 : GetVarint(page, at + n1, usable_, key);
      if (n2 == 0) return Refused(chainsBefore);
      cell.rowid = static_cast<std::int64_t>(key);
      cell.local = LocalSize(cell.size, usable_ - 35);
      cell.spilled = cell.local < cell.size;
      const std::size_t payloadAt = at + n1 + n2;
      const std::uint64_t end = payloadAt + cell.local + (cell.spilled ? 4 : 0);
      if (end > usable_ || !bounds.Holds(cell.rowid) ||
          (!cells.empty() && cell.rowid <= cells.back().rowid)) {
        return Refused(chainsBefore);
      }
      // SQLite never makes a cell shorter than 4 bytes.
      spans.push_back({at, std::max<std::size_t>(static_cast<std::size_t>(end), at + 4)});
      cell.payloadAt = base + payloadAt;
      if (cell.spilled) {
        cell.chainBegin = chains_.size();
        cell.chainWhole =
            ListChain(Get4(page, static_cast<std::size_t>(end) - 4), cell.size - cell.local);
        if (!cell.chainWhole) chains_.resize(cell.chainBegin);
        cell.chainEnd = chains_.size();
      } else if (!RecordIsWhole(page.substr(payloadAt, cell.local), maxColumns)) {
        return Refused(chainsBefore);
      }
      cells.push_back(cell);
    }
    if (!FillsContentArea(page, header, contentStart, spans)) return Refused(chainsBefore);
    return cells;
  }

  std::nullopt_t Refused(std::size_t chainsBefore) {
    chains_.resize(chainsBefore);
    return std::nullopt;
  }

  std::optional<Children> ReadInterior(std::string_view page, std::size_t header,
                                       const Bounds& bounds) const {
    std::size_t contentStart = 0;
    const auto pointers = CellPointers(page, header, 12, contentStart);
    if (!pointers) return std::nullopt;
    Children children;
    std::vector<Span> spans;
    std::optional<std::int64_t> low = bounds.low;
    for (const std::size_t at : *pointers) {
      if (at + 4 > usable_) return std::nullopt;
      std::uint64_t key = 0;
      const std::size_t n = GetVarint(page, at + 4, usable_, key);
      if (n == 0) return std::nullopt;
      spans.push_back({at, at + 4 + n});
      const auto divider = static_cast<std::int64_t>(key);
      // Dividers rise strictly, within the page's own bounds.
      if (!bounds.Holds(divider) || (low && divider <= *low)) return std::nullopt;
      children.push_back({Get4(page, at), Bounds{low, divider}});
      low = divider;
    }
    if (!FillsContentArea(page, header, contentStart, spans)) return std::nullopt;
    children.push_back({Get4(page, header + 8), Bounds{low, bounds.high}});
    return children;
  }

  // The children of an index B-tree page (none for a leaf), its cells' overflow chains claimed;
  // nothing when the page is not whole. Only the pages an index reaches matter here.
  std::optional<Children> ReadIndex(std::string_view page, std::size_t header, bool interior) {
    std::size_t contentStart = 0;
    const auto pointers = CellPointers(page, header, interior ? 12 : 8, contentStart);
    if (!pointers) return std::nullopt;
    const std::size_t chainsBefore = chains_.size();
    Children children;
    std::vector<Span> spans;
    for (const std::size_t at : *pointers) {
      const std::size_t cell = at + (interior ? 4 : 0);
      std::uint64_t size = 0;
      const std::size_t n = cell + 4 > usable_ ? 0 : GetVarint(page, cell, usable_, size);
      const std::uint64_t local = LocalSize(size, (usable_ - 12) * 64 / 255 - 23);
      const std::uint64_t end = cell + n + local + (local < size ? 4 : 0);
      if (n == 0 || end > usable_) return Refused(chainsBefore);
      if (local < size && !ListChain(Get4(page, static_cast<std::size_t>(end) - 4), size - local)) {
        return Refused(chainsBefore);
      }
      spans.push_back({at, std::max<std::size_t>(static_cast<std::size_t>(end), at + 4)});
      if (interior) children.push_back({Get4(page, at), Bounds{}});
    }
    if (!FillsContentArea(page, header, contentStart, spans)) return Refused(chainsBefore);
    ClaimChain(chainsBefore, chains_.size());
    if (interior) children.push_back({Get4(page, header + 8), Bounds{}});
    return children;
  }

  std::string_view file_;
  std::uint32_t pageSize_, usable_, pageCount_;
  std::vector<std::uint8_t> marks_;    // PageMark bits, by page number
  std::vector<std::uint32_t> chains_;  // the overflow pages of the cells, each cell's in a run
};
// The root pages the schema names: the table's, and every other B-tree's.
struct Roots {
  std::optional<std::uint32_t> table;
  std::vector<std::uint32_t> others;
  bool whole = true;  // the schema was read whole, so `others` are all of them
};

Roots FindRoots(const TreeReader& reader, Tree& schema, std::string_view table) {
  Roots roots;
  roots.whole = schema.unreadable == 0;
  // sqlite_schema: type, name, tbl_name, rootpage, sql.
  for (auto& cell : schema.cells) {
    const auto v = reader.Values(cell, 5);
    if (!v) {
      roots.whole = false;
      continue;
    }
    // Views and triggers have no B-tree: root 0.
    if (v->size() < 4 || (*v)[3].type != StoredValue::Type::Integer || (*v)[3].integer == 0) {
      continue;
    }
    const std::int64_t root = (*v)[3].integer;
    if (root < 2 || root > 0xFFFFFFFF) {
      roots.whole = false;
      continue;
    }
    const bool ours = !roots.table && (*v)[0].type == StoredValue::Type::String &&
                      (*v)[0].bytes == "table" && (*v)[1].type == StoredValue::Type::String &&
                      EqualsIgnoringAsciiCase((*v)[1].bytes, table);
    if (ours) {
      roots.table = static_cast<std::uint32_t>(root);
    } else {
      roots.others.push_back(static_cast<std::uint32_t>(root));
    }
  }
  return roots;
}

// The row of a table cell, its ID the row ID: nothing when its values cannot be read whole, or
// its ID column holds anything but NULL (what SQLite keeps there for an INTEGER PRIMARY KEY) or
// the row ID itself, since then the row is not as the table wrote it and its ID is not certain.
std::optional<SalvagedRow> RowOf(const TreeReader& reader, Cell& cell) {
  auto v = reader.Values(cell, 3);
  if (!v) return std::nullopt;
  if (!v->empty()) {
    const StoredValue& id = v->front();
    const bool asWritten = id.type == StoredValue::Type::Null ||
                           (id.type == StoredValue::Type::Integer && id.integer == cell.rowid);
    if (!asWritten) return std::nullopt;
  }
  v->resize(3);
  return SalvagedRow{cell.rowid, std::move((*v)[1]), std::move((*v)[2])};
}

// The pages of the database by its header: its page count (bytes 28-31) when the header vouches
// for it (the count is kept with the change counter it was written under), else the file's.
std::uint32_t DatabasePages(std::string_view file, std::uint32_t filePages) {
  const std::uint32_t pages = Get4(file, 28);
  const bool valid = pages != 0 && Get4(file, 24) == Get4(file, 92);
  return valid ? std::min(pages, filePages) : filePages;
}

// The pages on the freelist, by page number up to `pages`: nothing when its trunk pages cannot be
// walked whole or the count in the header (bytes 36-39) disagrees with what they list.
std::optional<std::vector<bool>> FreePages(const TreeReader& reader, std::string_view file,
                                           std::uint32_t pages) {
  std::vector<bool> free(pages + std::size_t{1}, false);
  const std::uint32_t count = Get4(file, 36);
  std::uint64_t listed = 0;
  const auto list = [&](std::uint32_t n) {
    if (n < 2 || n > pages || free[n]) return false;
    free[n] = true;
    return ++listed <= count;
  };
  for (std::uint32_t trunk = Get4(file, 32); trunk != 0;) {
    if (!list(trunk)) return std::nullopt;
    const std::string_view page = *reader.Page(trunk);
    const std::uint32_t leaves = Get4(page, 4);
    if (leaves > reader.Usable() / 4 - 2) return std::nullopt;
    for (std::uint32_t i = 0; i < leaves; ++i) {
      if (!list(Get4(page, 8 + 4 * std::size_t{i}))) return std::nullopt;
    }
    trunk = Get4(page, 0);
  }
  if (listed != count) return std::nullopt;
  return free;
}

// A whole table leaf found below an unreadable page: its ID range and rows.
struct LoneLeaf {
  std::int64_t first, last;
  std::vector<SalvagedRow> rows;
  bool sure = true;
};

// Whether first..last lies within one of `windows` (disjoint, sorted by their high bound).
bool WithinWindow(const std::vector<Bounds>& windows, std::int64_t first, std::int64_t last) {
  const auto w =
      std::lower_bound(windows.begin(), windows.end(), last,
                       [](const Bounds& b, std::int64_t key) { return b.high && *b.high < key; });
  return w != windows.end() && w->Holds(first) && w->Holds(last);
}

// The whole table leaves up to page `pages` that no walk reached, not on the freelist, whose
// IDs lie within `windows`, their overflow pages claimed by no walk and by none of the others.
std::vector<LoneLeaf> FindLoneLeaves(TreeReader& reader, std::vector<Bounds> windows,
                                     const std::vector<bool>& free, std::uint32_t pages) {
  std::sort(windows.begin(), windows.end(), [](const Bounds& a, const Bounds& b) {
    return a.high && (!b.high || *a.high < *b.high);
  });
  std::vector<std::pair<std::uint32_t, std::vector<Cell>>> found;
  for (std::uint32_t p = 2; p <= pages; ++p) {
    if (reader.Mark(p) != 0 || free[p]) continue;
    auto cells = reader.ReadLoneLeaf(p, 3);
    if (!cells || cells->empty() || !reader.ChainsUnmarked(*cells, free) ||
        !WithinWindow(windows, cells->front().rowid, cells->back().rowid)) {
      continue;
    }
    found.emplace_back(p, std::move(*cells));
  }
  // Claimed only now, so that an overflow page two of them list, or one of them is, shows.
  for (const auto& [page, cells] : found) reader.Claim(page, cells);
  std::vector<LoneLeaf> leaves;
  for (auto& [page, cells] : found) {
    LoneLeaf leaf{cells.front().rowid, cells.back().rowid, {}, true};
    for (auto& cell : cells) {
      auto row = RowOf(reader, cell);
      leaf.sure = leaf.sure && row.has_value();
      if (row) leaf.rows.push_back(std::move(*row));
    }
    if (leaf.sure) leaves.push_back(std::move(leaf));
  }
  return leaves;
}

// Adds to `salvage` the rows of the `leaves` whose ID ranges overlap no other's, keeping the rows
// in rising ID order.
void AddLoneLeaves(std::vector<LoneLeaf> leaves, Salvage& salvage) {
  std::sort(leaves.begin(), leaves.end(),
            [](const LoneLeaf& a, const LoneLeaf& b) { return a.first < b.first; });
  // A leaf that starts at or below the highest end so far overlaps the leaf that has that end.
  std::size_t widest = 0;
  for (std::size_t i = 1; i < leaves.size(); ++i) {
    if (leaves[i].first <= leaves[widest].last) {
      leaves[i].sure = leaves[widest].sure = false;
    }
    if (leaves[i].last > leaves[widest].last) widest = i;
  }
  std::vector<SalvagedRow> found;
  // The rows already taken lie on leaves whose bounds no window of an unreadable page shares, so
  // none of them falls within a leaf's range.
  for (auto& leaf : leaves) {
    if (!leaf.sure) continue;
    ++salvage.recoveredLeaves;
    for (auto& row : leaf.rows) found.push_back(std::move(row));
  }
  std::vector<SalvagedRow> rows;
  rows.reserve(salvage.rows.size() + found.size());
  std::merge(std::make_move_iterator(salvage.rows.begin()),
             std::make_move_iterator(salvage.rows.end()), std::make_move_iterator(found.begin()),
             std::make_move_iterator(found.end()), std::back_inserter(rows),
             [](const SalvagedRow& a, const SalvagedRow& b) { return a.id < b.id; });
  salvage.rows = std::move(rows);
}

// Reads the table rooted at `roots.table` into `salvage`: the rows of its B-tree, and where
// `lone` allows it (a header to trust) the rows of whole leaves below its unreadable pages.
void ReadTable(TreeReader& reader, const Roots& roots, bool lone, std::string_view file,
               Salvage& salvage) {
  Tree tree = reader.Read(*roots.table, 3);
  lone = lone && roots.whole;
  // Every other B-tree is walked first: its pages and overflow pages are no row's of the table.
  for (const std::uint32_t other : roots.others) {
    lone = reader.Read(other, kMaxColumns).unreadable == 0 && lone;
  }
  salvage.unreadablePages += tree.unreadable;
  salvage.rows.reserve(tree.cells.size());
  for (auto& cell : tree.cells) {
    if (auto row = RowOf(reader, cell)) {
      salvage.rows.push_back(std::move(*row));
    } else {
      ++salvage.unreadableRows;
    }
  }
  tree.cells = {};
  if (!lone || tree.windows.empty()) return;
  const std::uint32_t pages = DatabasePages(file, reader.PageCount());
  const auto free = FreePages(reader, file, pages);
  if (free) AddLoneLeaves(FindLoneLeaves(reader, tree.windows, *free, pages), salvage);
}

bool IsPageSize(std::uint32_t size) {
  return size >= 512 && size <= 65536 && (size & (size - 1)) == 0;
}

// The page sizes to read the file with: the header's, with its reserved bytes; or, when the header
// is gone, every size, the one whose schema reads whole and names the table to win (a wrong size
// cuts page 1's cells and free space apart, which the reader sees).
std::vector<std::uint32_t> PageSizes(std::string_view file, std::uint32_t& reserved) {
  static constexpr char kMagic[] = "SQLite format 3";  // with its terminating zero: 16 bytes
  if (file.size() >= 100 && std::memcmp(file.data(), kMagic, 16) == 0) {
    const std::uint32_t size = Get2(file, 16) == 1 ? 65536 : Get2(file, 16);
    reserved = static_cast<std::uint8_t>(file[20]);
    if (IsPageSize(size) && reserved < size - 480) return {size};
  }
  reserved = 0;
  return {4096, 1024, 2048, 8192, 16384, 32768, 65536, 512};
}

}  // namespace

Salvage SalvageTable(std::string_view file, std::string_view table) {
  Salvage salvage;
  std::uint32_t reserved = 0;
  const std::vector<std::uint32_t> sizes = PageSizes(file, reserved);
  salvage.headerRebuilt = sizes.size() != 1;
  for (const std::uint32_t size : sizes) {
    if (file.size() < size) continue;
    TreeReader reader(file, size, reserved);
    Tree schema = reader.Read(1, 5);
    const Roots roots = FindRoots(reader, schema, table);
    if (salvage.headerRebuilt && (schema.unreadable != 0 || !roots.table)) continue;
    salvage.pageSize = size;
    salvage.tableFound = roots.table.has_value();
    salvage.unreadablePages = schema.unreadable;
    if (roots.table) ReadTable(reader, roots, !salvage.headerRebuilt, file, salvage);
    return salvage;
  }
  // No page size gives a readable page 1: nothing of the file can be read.
  salvage.unreadablePages = 1;
  return salvage;
}

}  // namespace cachetool
