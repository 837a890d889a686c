#include "cachetool/IndexSalvage.h"

#include <algorithm>
#include <cstring>
#include <functional>
#include <set>
#include <utility>

namespace cachetool {
namespace {

constexpr std::uint8_t kLeafTable = 0x0D;
constexpr std::uint8_t kInteriorTable = 0x05;
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

// The values of a record (SQLite's record format), or nothing when the record is not whole: its
// header must end exactly where its serial types end, and its values exactly at the payload's end.
std::optional<std::vector<StoredValue>> DecodeRecord(std::string_view payload,
                                                     std::size_t maxColumns) {
  std::uint64_t headerSize = 0;
  std::size_t at = GetVarint(payload, 0, payload.size(), headerSize);
  if (at == 0 || headerSize < at || headerSize > payload.size()) return std::nullopt;
  std::vector<std::uint64_t> types;
  while (at < headerSize) {
    std::uint64_t type = 0;
    const std::size_t n = GetVarint(payload, at, headerSize, type);
    if (n == 0 || type == 10 || type == 11) return std::nullopt;
    types.push_back(type);
    at += n;
    if (types.size() > maxColumns) return std::nullopt;
  }
  std::vector<StoredValue> values;
  values.reserve(types.size());
  std::size_t data = headerSize;
  for (const std::uint64_t type : types) {
    static constexpr std::size_t kIntegerBytes[] = {0, 1, 2, 3, 4, 6, 8};
    StoredValue v;
    std::uint64_t size = 0;
    if (type == 0) {
      size = 0;
    } else if (type <= 6 || type == 7) {
      size = type == 7 ? 8 : kIntegerBytes[type];
    } else if (type == 8 || type == 9) {
      v.type = StoredValue::Type::Integer;
      v.integer = type == 9 ? 1 : 0;
    } else {
      size = (type - 12) / 2;
    }
    if (size > payload.size() - data) return std::nullopt;
    if (type >= 1 && type <= 7) {
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
    values.push_back(std::move(v));
  }
  if (data != payload.size()) return std::nullopt;
  return values;
}

struct Entry {
  std::int64_t rowid;
  std::vector<StoredValue> values;
};

// Key bounds of a subtree: its row IDs lie above `low` (when there is one) and at most `high`.
struct Bounds {
  std::optional<std::int64_t> low;
  std::optional<std::int64_t> high;
  bool Holds(std::int64_t key) const { return (!low || key > *low) && (!high || key <= *high); }
};

class TreeReader {
 public:
  TreeReader(std::string_view file, std::uint32_t pageSize, std::uint32_t reserved)
      : file_(file),
        pageSize_(pageSize),
        usable_(pageSize - reserved),
        pageCount_(static_cast<std::uint32_t>(file.size() / pageSize)) {}

  // Hands every entry of the table B-tree rooted at `root` to `take`, in key order, a leaf's
  // entries once the whole leaf is read (so that no more than a leaf's are held here); `unreadable`
  // counts the pages that were not taken.
  void Read(std::uint32_t root, std::size_t maxColumns, const std::function<void(Entry&)>& take) {
    Walk(root, Bounds{}, maxColumns, 0, take);
  }

  std::size_t unreadable = 0;

 private:
  struct Span {
    std::size_t begin, end;
  };

  std::optional<std::string_view> Page(std::uint32_t number) const {
    if (number < 1 || number > pageCount_) return std::nullopt;
    return file_.substr(static_cast<std::size_t>(number - 1) * pageSize_, pageSize_);
  }

  void Walk(std::uint32_t number, const Bounds& bounds, std::size_t maxColumns, int depth,
            const std::function<void(Entry&)>& take) {
    const auto page = Page(number);
    if (!page || depth > kMaxDepth || !seen_.insert(number).second) {
      ++unreadable;
      return;
    }
    const std::size_t header = number == 1 ? 100 : 0;
    const auto type = static_cast<std::uint8_t>((*page)[header]);
    if (type == kLeafTable) {
      auto leaf = ReadLeaf(*page, header, bounds, maxColumns);
      if (!leaf) {
        ++unreadable;
        return;
      }
      for (auto& e : *leaf) take(e);
    } else if (type == kInteriorTable) {
      const auto children = ReadInterior(*page, header, bounds);
      if (!children) {
        ++unreadable;
        return;
      }
      for (const auto& [child, childBounds] : *children) {
        Walk(child, childBounds, maxColumns, depth + 1, take);
      }
    } else {
      ++unreadable;
    }
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

  // The bytes of the payload kept on the leaf page itself, for a payload of `size` bytes.
  std::uint64_t LocalSize(std::uint64_t size) const {
    const std::uint64_t maxLocal = usable_ - 35;
    if (size <= maxLocal) return size;
    const std::uint64_t minLocal = (static_cast<std::uint64_t>(usable_ - 12) * 32 / 255) - 23;
    const std::uint64_t k = minLocal + ((size - minLocal) % (usable_ - 4));
    return k <= maxLocal ? k : minLocal;
  }

  // Follows the overflow chain from `first` for `remaining` bytes.
  bool ReadOverflow(std::uint32_t first, std::uint64_t remaining, std::string& payload,
                    std::set<std::uint32_t>& chain) const {
    std::uint32_t next = first;
    while (remaining > 0) {
      const auto page = Page(next);
      if (!page || next == 1 || seen_.count(next) != 0 || !chain.insert(next).second) {
        return false;
      }
      const std::uint64_t take = std::min<std::uint64_t>(remaining, usable_ - 4);
      payload.append(page->substr(4, static_cast<std::size_t>(take)));
      remaining -= take;
      next = Get4(*page, 0);
    }
    return next == 0;
  }

  std::optional<std::vector<Entry>> ReadLeaf(std::string_view page, std::size_t header,
                                             const Bounds& bounds, std::size_t maxColumns) {
    std::size_t contentStart = 0;
    const auto pointers = CellPointers(page, header, 8, contentStart);
    if (!pointers) return std::nullopt;
    std::vector<Entry> entries;
    std::vector<Span> spans;
    std::set<std::uint32_t> chains;
    std::optional<std::int64_t> lastKey;
    std::size_t lostOverflows = 0;
    for (const std::size_t at : *pointers) {
      std::uint64_t size = 0, key = 0;
      const std::size_t n1 = GetVarint(page, at, usable_, size);
      if (n1 == 0) return std::nullopt;
      const std::size_t n2 = GetVarint(page, at + n1, usable_, key);
      if (n2 == 0) return std::nullopt;
      const std::uint64_t local = LocalSize(size);
      const std::size_t payloadAt = at + n1 + n2;
      const std::uint64_t end = payloadAt + local + (local < size ? 4 : 0);
      if (end > usable_) return std::nullopt;
      // SQLite never makes a cell shorter than 4 bytes.
      spans.push_back({at, std::max<std::size_t>(static_cast<std::size_t>(end), at + 4)});
      const auto rowid = static_cast<std::int64_t>(key);
      if (!bounds.Holds(rowid) || (lastKey && rowid <= *lastKey)) {
        return std::nullopt;
      }
      lastKey = rowid;
      // A payload that lies whole on the page is read where it is; one that goes on in overflow
      // pages is put together first.
      std::string_view payload = page.substr(payloadAt, static_cast<std::size_t>(local));
      std::string joined;
      std::set<std::uint32_t> chain;
      if (local < size) {
        joined.assign(payload);
        if (!ReadOverflow(Get4(page, static_cast<std::size_t>(end) - 4), size - local, joined,
                          chain)) {
          // The row's overflow pages are not whole: this row is lost, not the page's others.
          ++lostOverflows;
          continue;
        }
        payload = joined;
      }
      auto values = DecodeRecord(payload, maxColumns);
      if (!values) return std::nullopt;
      chains.insert(chain.begin(), chain.end());
      entries.push_back({rowid, std::move(*values)});
    }
    if (!FillsContentArea(page, header, contentStart, spans)) return std::nullopt;
    seen_.insert(chains.begin(), chains.end());
    unreadable += lostOverflows;
    return entries;
  }

  std::optional<std::vector<std::pair<std::uint32_t, Bounds>>> ReadInterior(
      std::string_view page, std::size_t header, const Bounds& bounds) const {
    std::size_t contentStart = 0;
    const auto pointers = CellPointers(page, header, 12, contentStart);
    if (!pointers) return std::nullopt;
    std::vector<std::pair<std::uint32_t, Bounds>> children;
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

  std::string_view file_;
  std::uint32_t pageSize_, usable_, pageCount_;
  std::set<std::uint32_t> seen_;
};

// The root page of the table, from the schema (the table B-tree rooted at page 1): nothing when
// the schema names no such table; `unreadable` counts the schema's pages that were not taken.
std::optional<std::uint32_t> FindRoot(TreeReader& reader, std::string_view table) {
  // sqlite_schema: type, name, tbl_name, rootpage, sql. The first row that names the table wins.
  std::optional<std::uint32_t> root;
  reader.Read(1, 5, [&](const Entry& e) {
    const auto& v = e.values;
    if (root || v.size() < 4 || v[0].type != StoredValue::Type::String || v[0].bytes != "table" ||
        v[1].type != StoredValue::Type::String || !EqualsIgnoringAsciiCase(v[1].bytes, table) ||
        v[3].type != StoredValue::Type::Integer || v[3].integer < 2 || v[3].integer > 0xFFFFFFFF) {
      return;
    }
    root = static_cast<std::uint32_t>(v[3].integer);
  });
  return root;
}

bool IsPageSize(std::uint32_t size) {
  return size >= 512 && size <= 65536 && (size & (size - 1)) == 0;
}

}  // namespace

Salvage SalvageTable(std::string_view file, std::string_view table) {
  Salvage salvage;
  static constexpr char kMagic[] = "SQLite format 3";  // with its terminating zero: 16 bytes
  const bool headerIntact = file.size() >= 100 && std::memcmp(file.data(), kMagic, 16) == 0;
  std::uint32_t reserved = 0;
  std::vector<std::uint32_t> sizes;
  if (headerIntact) {
    const std::uint32_t size = Get2(file, 16) == 1 ? 65536 : Get2(file, 16);
    reserved = static_cast<std::uint8_t>(file[20]);
    if (IsPageSize(size) && reserved < size - 480) sizes.push_back(size);
  }
  if (sizes.empty()) {
    // The header is gone: each page size is tried, the one whose schema reads whole and names the
    // table wins (a wrong size cuts page 1's cells and free space apart, which the reader sees).
    salvage.headerRebuilt = true;
    reserved = 0;
    sizes = {4096, 1024, 2048, 8192, 16384, 32768, 65536, 512};
  }
  for (const std::uint32_t size : sizes) {
    if (file.size() < size) continue;
    TreeReader reader(file, size, reserved);
    const auto root = FindRoot(reader, table);
    if (salvage.headerRebuilt && (reader.unreadable != 0 || !root)) continue;
    salvage.pageSize = size;
    salvage.tableFound = root.has_value();
    if (root) {
      reader.Read(*root, 3, [&](Entry& e) {
        // The ID column is the row ID itself: SQLite keeps NULL in its place in the record.
        auto& v = e.values;
        if (!v.empty() && v[0].type != StoredValue::Type::Null) return;
        v.resize(3);
        salvage.rows.push_back({e.rowid, std::move(v[1]), std::move(v[2])});
      });
    }
    salvage.unreadablePages = reader.unreadable;
    return salvage;
  }
  // No page size gives a readable page 1: nothing of the file can be read.
  salvage.unreadablePages = 1;
  return salvage;
}

}  // namespace cachetool
