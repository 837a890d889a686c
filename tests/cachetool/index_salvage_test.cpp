// The page reader of `repair` on database files built here byte by byte, by SQLite's file format:
// each case is a file and the rows (by ID, values byte for byte) and counts it must give.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "cachetool/IndexSalvage.h"

namespace {

using cachetool::StoredValue;
using Type = StoredValue::Type;

void Put2(std::string& b, std::size_t at, std::uint32_t v) {
  b[at] = static_cast<char>(v >> 8);
  b[at + 1] = static_cast<char>(v);
}

void Put4(std::string& b, std::size_t at, std::uint32_t v) {
  Put2(b, at, v >> 16);
  Put2(b, at + 2, v & 0xFFFF);
}

std::string Varint(std::uint64_t v) {
  std::string out(1, static_cast<char>(v & 0x7F));
  for (v >>= 7; v != 0; v >>= 7) out.insert(out.begin(), static_cast<char>(0x80 | (v & 0x7F)));
  return out;
}

StoredValue Text(std::string bytes) { return {Type::String, 0, 0, std::move(bytes)}; }
StoredValue Blob(std::string bytes) { return {Type::Blob, 0, 0, std::move(bytes)}; }
StoredValue Int(std::int64_t v) { return {Type::Integer, v, 0, {}}; }
StoredValue Real(double v) { return {Type::Real, 0, v, {}}; }
StoredValue Null() { return {}; }

// A record in SQLite's record format (integers as 8-byte values, type 6).
std::string Record(const std::vector<StoredValue>& values) {
  std::string types, body;
  for (const auto& v : values) {
    std::uint64_t bits = 0;
    switch (v.type) {
      case Type::Null:
        types += Varint(0);
        continue;
      case Type::String:
        types += Varint(v.bytes.size() * 2 + 13);
        body += v.bytes;
        continue;
      case Type::Blob:
        types += Varint(v.bytes.size() * 2 + 12);
        body += v.bytes;
        continue;
      case Type::Integer:
        types += Varint(6);
        bits = static_cast<std::uint64_t>(v.integer);
        break;
      case Type::Real:
        types += Varint(7);
        std::memcpy(&bits, &v.real, 8);
        break;
    }
    for (int shift = 56; shift >= 0; shift -= 8) body += static_cast<char>(bits >> shift);
  }
  return Varint(types.size() + 1) + types + body;  // header sizes here stay below 128
}

std::string PngName(std::int64_t id) { return "P" + std::to_string(id) + ".PNG"; }
std::string ModelName(std::int64_t id) { return "C:\\models\\M" + std::to_string(id) + ".SLDPRT"; }

// A row of the preview table as hopgate writes it: NULL in the ID column.
std::string Row(std::int64_t id) {
  return Record({Null(), Text(PngName(id)), Text(ModelName(id))});
}

// A database file put together page by page; page 1's header is written by Bytes().
struct Db {
  std::uint32_t pageSize = 1024;
  std::uint32_t reserved = 0;
  std::vector<std::string> pages;  // pages[0] is page 1
  std::uint32_t freeTrunk = 0, freeCount = 0;

  std::uint32_t Usable() const { return pageSize - reserved; }
  std::string& Page(std::uint32_t n) { return pages.at(n - 1); }
  std::uint32_t Add(std::string page) {
    pages.push_back(std::move(page));
    return static_cast<std::uint32_t>(pages.size());
  }
  // A page whose reserved bytes at its end hold something, as an extension would leave them.
  std::string Blank() const {
    std::string page(pageSize, '\0');
    std::fill(page.begin() + Usable(), page.end(), '\xEE');
    return page;
  }
  // A B-tree page of `type` whose cells fill its content area from the end (no free space).
  std::string BTree(std::uint8_t type, const std::vector<std::string>& cells, std::uint32_t right,
                    std::size_t at = 0) const {
    std::string page = Blank();
    const std::size_t header = (type == 0x05 || type == 0x02) ? 12 : 8;
    std::size_t end = Usable();
    for (std::size_t i = 0; i < cells.size(); ++i) {
      end -= cells[i].size();
      page.replace(end, cells[i].size(), cells[i]);
      Put2(page, at + header + 2 * i, static_cast<std::uint32_t>(end));
    }
    page[at] = static_cast<char>(type);
    Put2(page, at + 3, static_cast<std::uint32_t>(cells.size()));
    Put2(page, at + 5, static_cast<std::uint32_t>(end & 0xFFFF));
    if (header == 12) Put4(page, at + 8, right);
    return page;
  }
  std::uint64_t LocalSize(std::uint64_t size) const {
    const std::uint64_t maxLocal = Usable() - 35, minLocal = (Usable() - 12) * 32 / 255 - 23;
    if (size <= maxLocal) return size;
    const std::uint64_t k = minLocal + (size - minLocal) % (Usable() - 4);
    return k <= maxLocal ? k : minLocal;
  }
  // A table leaf cell; a payload too long for the page goes on to `overflow`.
  std::string LeafCell(std::int64_t rowid, const std::string& payload,
                       std::uint32_t overflow = 0) const {
    const std::size_t local = LocalSize(payload.size());
    std::string cell = Varint(payload.size()) + Varint(static_cast<std::uint64_t>(rowid)) +
                       payload.substr(0, local);
    if (local < payload.size()) {
      cell += std::string(4, '\0');
      Put4(cell, cell.size() - 4, overflow);
    }
    return cell;
  }
  // The overflow pages for what of `payload` its leaf cell does not hold, added as a chain.
  std::uint32_t AddOverflow(const std::string& payload) {
    std::string rest = payload.substr(LocalSize(payload.size()));
    const std::uint32_t first = static_cast<std::uint32_t>(pages.size()) + 1;
    for (std::size_t at = 0; at < rest.size(); at += Usable() - 4) {
      std::string page = Blank();
      const bool last = at + Usable() - 4 >= rest.size();
      Put4(page, 0, last ? 0 : static_cast<std::uint32_t>(pages.size()) + 2);
      page.replace(4, std::min<std::size_t>(Usable() - 4, rest.size() - at),
                   rest.substr(at, Usable() - 4));
      Add(page);
    }
    return first;
  }
  std::uint32_t AddLeaf(std::int64_t first, std::int64_t last) {
    std::vector<std::string> cells;
    for (std::int64_t id = first; id <= last; ++id) cells.push_back(LeafCell(id, Row(id)));
    return Add(BTree(0x0D, cells, 0));
  }
  std::string InteriorCell(std::uint32_t child, std::int64_t key) const {
    std::string cell(4, '\0');
    Put4(cell, 0, child);
    return cell + Varint(static_cast<std::uint64_t>(key));
  }
  // Page 1: the schema, one row per (type, name, root).
  void Schema(const std::vector<std::tuple<std::string, std::string, std::uint32_t>>& rows) {
    std::vector<std::string> cells;
    std::int64_t rowid = 0;
    for (const auto& [type, name, root] : rows) {
      cells.push_back(LeafCell(++rowid, Record({Text(type), Text(name), Text(name), Int(root),
                                                Text("CREATE " + type + " " + name + "(...)")})));
    }
    pages.at(0) = BTree(0x0D, cells, 0, 100);
  }
  std::string Bytes() const {
    std::string file;
    for (const auto& p : pages) file += p;
    file.replace(0, 16, std::string("SQLite format 3", 16));
    Put2(file, 16, pageSize == 65536 ? 1 : pageSize);
    file[18] = file[19] = 1;
    file[20] = static_cast<char>(reserved);
    file[21] = 64, file[22] = 32, file[23] = 32;
    Put4(file, 24, 7);  // change counter, and the version the page count is valid for below
    Put4(file, 28, static_cast<std::uint32_t>(pages.size()));
    Put4(file, 32, freeTrunk);
    Put4(file, 36, freeCount);
    Put4(file, 44, 4);
    Put4(file, 56, 1);
    Put4(file, 92, 7);
    return file;
  }
};

constexpr char kTable[] = "PreviewPNGTable";

// The three-level table most cases start from: root 2 over interior pages 3 (IDs <= 6) and 4
// (IDs > 6), over leaves 5 (IDs 1-3), 6 (4-6), 7 (7-9) and 8 (10-12).
Db ThreeLevels(std::uint32_t pageSize = 1024, std::uint32_t reserved = 0) {
  Db db{pageSize, reserved, {}, 0, 0};
  db.Add(db.Blank());
  db.Add({});
  db.Add({});
  db.Add({});
  for (std::int64_t first = 1; first <= 10; first += 3) db.AddLeaf(first, first + 2);
  db.Page(2) = db.BTree(0x05, {db.InteriorCell(3, 6)}, 4);
  db.Page(3) = db.BTree(0x05, {db.InteriorCell(5, 3)}, 6);
  db.Page(4) = db.BTree(0x05, {db.InteriorCell(7, 9)}, 8);
  db.Schema({{"table", kTable, 2}});
  return db;
}

// A table whose root 2 is a single leaf of these cells.
Db OneLeaf(const std::function<std::vector<std::string>(Db&)>& cells) {
  Db db;
  db.Add(db.Blank());
  db.Add({});
  db.Page(2) = db.BTree(0x0D, cells(db), 0);
  db.Schema({{"table", kTable, 2}});
  return db;
}

// Puts `pages` on the freelist: one trunk page (added) listing them.
void Free(Db& db, const std::vector<std::uint32_t>& pages) {
  std::string trunk = db.Blank();
  Put4(trunk, 4, static_cast<std::uint32_t>(pages.size()));
  for (std::size_t i = 0; i < pages.size(); ++i) Put4(trunk, 8 + 4 * i, pages[i]);
  db.freeTrunk = db.Add(trunk);
  db.freeCount = static_cast<std::uint32_t>(pages.size()) + 1;
}

struct Expected {
  std::int64_t id;
  StoredValue png, model;
};

std::vector<Expected> Rows(std::initializer_list<std::pair<std::int64_t, std::int64_t>> ranges) {
  std::vector<Expected> rows;
  for (const auto& [first, last] : ranges) {
    for (std::int64_t id = first; id <= last; ++id) {
      rows.push_back({id, Text(PngName(id)), Text(ModelName(id))});
    }
  }
  return rows;
}

std::string Show(const StoredValue& v) {
  std::string bits(8, '\0');
  std::memcpy(bits.data(), &v.real, 8);
  return std::to_string(static_cast<int>(v.type)) + ":" + std::to_string(v.integer) + ":" +
         (v.type == Type::Real ? bits : "") + ":" + v.bytes;
}

std::string Show(const std::vector<Expected>& rows) {
  std::string out;
  for (const auto& r : rows)
    out += std::to_string(r.id) + " " + Show(r.png) + " " + Show(r.model) + "\n";
  return out;
}

std::string Show(const std::vector<cachetool::SalvagedRow>& rows) {
  std::string out;
  for (const auto& r : rows)
    out += std::to_string(r.id) + " " + Show(r.png) + " " + Show(r.model) + "\n";
  return out;
}

struct Case {
  const char* name;
  std::string file;
  std::vector<Expected> rows;  // in ID order, values byte for byte
  std::size_t unreadablePages, unreadableRows, recoveredLeaves;
};

// Each damage the reader must see, and exactly what it then salvages.
std::vector<Case> Cases() {
  std::vector<Case> cases;
  const auto add = [&](const char* name, const Db& db, std::vector<Expected> rows,
                       std::size_t pages, std::size_t lostRows = 0, std::size_t leaves = 0) {
    cases.push_back({name, db.Bytes(), std::move(rows), pages, lostRows, leaves});
  };
  add("three whole levels", ThreeLevels(), Rows({{1, 12}}), 0);
  {
    Db db = ThreeLevels();
    db.Schema({{"table", "previewpngTABLE", 2}});
    add("the table's name in other letter cases", db, Rows({{1, 12}}), 0);
  }
  {
    Db db = ThreeLevels(65536);
    add("65536-byte pages (page size field 1)", db, Rows({{1, 12}}), 0);
  }
  add("32 reserved bytes at the end of each page", ThreeLevels(1024, 32), Rows({{1, 12}}), 0);
  {
    // Leaf 6 holds 6-8 (7 as well as the divider 6's own range): out of its parent's bounds.
    Db db = ThreeLevels();
    db.Page(6) = db.BTree(0x0D, {db.LeafCell(6, Row(6)), db.LeafCell(7, Row(7))}, 0);
    add("a leaf reaching past the divider on its right", db, Rows({{1, 3}, {7, 12}}), 1);
  }
  {
    // The leaf right of divider 3 starts at 3: SQLite keeps ID 3 left of the divider.
    Db db = ThreeLevels();
    db.Page(6) = db.BTree(0x0D, {db.LeafCell(3, Row(3)), db.LeafCell(4, Row(4))}, 0);
    add("a leaf whose first ID is the divider on its left", db, Rows({{1, 3}, {7, 12}}), 1);
  }
  {
    Db db = ThreeLevels();
    db.Page(3).replace(0, 16, std::string(16, '\x7F'));
    add("a damaged interior page, its leaves whole", db, Rows({{1, 12}}), 1, 0, 2);
  }
  {
    Db db = ThreeLevels();
    db.Page(3).replace(0, 16, std::string(16, '\x7F'));
    Free(db, {6});
    add("a damaged interior page, one leaf freed earlier", db, Rows({{1, 3}, {7, 12}}), 1, 0, 1);
  }
  {
    Db db = ThreeLevels();
    db.Page(3).replace(0, 16, std::string(16, '\x7F'));
    Free(db, {6});
    ++db.freeCount;
    add("a damaged interior page, the freelist's count wrong", db, Rows({{7, 12}}), 1);
  }
  {
    Db db = ThreeLevels();
    db.Page(3).replace(0, 16, std::string(16, '\x7F'));
    Free(db, {6});
    Put4(db.Page(db.freeTrunk), 0, db.freeTrunk);  // the trunk points to itself
    add("a damaged interior page, the freelist a loop", db, Rows({{7, 12}}), 1);
  }
  {
    // An older copy of leaf 5 (IDs 2-3) that no freelist names: it cannot be told from leaf 5.
    Db db = ThreeLevels();
    db.Page(3).replace(0, 16, std::string(16, '\x7F'));
    db.AddLeaf(2, 3);
    add("a damaged interior page, two leaves overlapping below it", db, Rows({{4, 12}}), 1, 0, 1);
  }
  {
    // A whole leaf of IDs 20-22 that nothing points to lies outside the damaged page's bounds.
    Db db = ThreeLevels();
    db.Page(3).replace(0, 16, std::string(16, '\x7F'));
    db.AddLeaf(20, 22);
    add("a damaged interior page, a leaf outside its bounds", db, Rows({{1, 12}}), 1, 0, 2);
  }
  {
    Db db = ThreeLevels();
    db.Page(3).replace(0, 16, std::string(16, '\x7F'));
    db.Schema({{"table", kTable, 2}, {"table", "Other", 6}});
    add("a damaged interior page, a leaf another table's root", db, Rows({{1, 3}, {7, 12}}), 1, 0,
        1);
  }
  {
    // Leaf 7 is not reached (page 4 points back to the root) but lies right of divider 6.
    Db db = ThreeLevels();
    db.Page(4) = db.BTree(0x05, {db.InteriorCell(2, 9)}, 8);
    add("a child pointing back up to the root", db, Rows({{1, 12}}), 1, 0, 1);
  }
  {
    Db db = ThreeLevels();
    db.Page(4) = db.BTree(0x05, {db.InteriorCell(4, 9)}, 8);
    db.freeCount = 1;  // and so no freelist to trust: leaf 7 stays lost
    add("a page its own child, the freelist unreadable", db, Rows({{1, 6}, {10, 12}}), 1);
  }
  return cases;
}

// Overflow pages, values and the ID column: a single leaf, with rows lost alone.
std::vector<Case> RowCases() {
  std::vector<Case> cases;
  const auto add = [&](const char* name, const Db& db, std::vector<Expected> rows,
                       std::size_t lostRows) {
    cases.push_back({name, db.Bytes(), std::move(rows), 0, lostRows, 0});
  };
  // 3093 bytes of record: on 1024-byte pages 103 of them stay on the leaf, the rest fill three
  // overflow pages, so that three such cells fit on one leaf.
  const std::string longName(3080, 'L');
  const auto longRow = Record({Null(), Text("LONG.PNG"), Text(longName)});
  add(
      "a row over three overflow pages", OneLeaf([&](Db& db) {
        return std::vector{db.LeafCell(1, Row(1)),
                           db.LeafCell(2, longRow, db.AddOverflow(longRow))};
      }),
      [&] {
        auto rows = Rows({{1, 1}});
        rows.push_back({2, Text("LONG.PNG"), Text(longName)});
        return rows;
      }(),
      0);
  add("an overflow chain cut short", OneLeaf([&](Db& db) {
        const std::uint32_t first = db.AddOverflow(longRow);
        Put4(db.Page(first + 1), 0, 0);
        return std::vector{db.LeafCell(1, Row(1)), db.LeafCell(2, longRow, first)};
      }),
      Rows({{1, 1}}), 1);
  add("an overflow pointer past the file's end", OneLeaf([&](Db& db) {
        return std::vector{db.LeafCell(1, longRow, 99), db.LeafCell(2, Row(2))};
      }),
      Rows({{2, 2}}), 1);
  // Two cells naming one chain: one pointer is wrong and nothing tells which, so neither row is
  // taken (taking both would give one row's values to the other, taking the first would guess).
  add("two cells sharing one overflow chain", OneLeaf([&](Db& db) {
        const std::uint32_t first = db.AddOverflow(longRow);
        return std::vector{db.LeafCell(1, longRow, first), db.LeafCell(2, Row(2)),
                           db.LeafCell(3, longRow, first)};
      }),
      Rows({{2, 2}}), 2);
  add("an overflow chain running into the table's root",
      OneLeaf([&](Db& db) { return std::vector{db.LeafCell(1, longRow, 2)}; }), {}, 1);
  // The ID column: NULL is what SQLite writes for an INTEGER PRIMARY KEY; the row ID itself is
  // the same ID either way; any other value leaves the row's ID in doubt.
  add("the ID column holding the row ID, or another value", OneLeaf([&](Db& db) {
        return std::vector{
            db.LeafCell(1, Record({Int(1), Text(PngName(1)), Text(ModelName(1))})),
            db.LeafCell(2, Record({Int(5), Text(PngName(2)), Text(ModelName(2))})),
            db.LeafCell(3, Record({Text("3"), Text(PngName(3)), Text(ModelName(3))}))};
      }),
      Rows({{1, 1}}), 2);
  const std::string latin1 =
      "M\xFC"
      "ller\xE9\xFF\x80";
  const std::string blob("\x89PNG\0\r\n\x1A", 8);
  add("values kept byte for byte", OneLeaf([&](Db& db) {
        return std::vector{db.LeafCell(1, Record({Null(), Text(latin1), Blob(blob)})),
                           db.LeafCell(2, Record({Null(), Real(-0.1), Int(-4711)})),
                           db.LeafCell(3, Record({Null(), Null()})),
                           db.LeafCell(4, Record({Null(), Blob(""), Text("")}))};
      }),
      {{1, Text(latin1), Blob(blob)},
       {2, Real(-0.1), Int(-4711)},
       {3, Null(), Null()},
       {4, Blob(""), Text("")}},
      0);
  return cases;
}

void Check(const Case& c) {
  const cachetool::Salvage s = cachetool::SalvageTable(c.file, kTable);
  EXPECT_TRUE(s.tableFound) << c.name;
  EXPECT_EQ(Show(s.rows), Show(c.rows)) << c.name;
  EXPECT_EQ(s.unreadablePages, c.unreadablePages) << c.name;
  EXPECT_EQ(s.unreadableRows, c.unreadableRows) << c.name;
  EXPECT_EQ(s.recoveredLeaves, c.recoveredLeaves) << c.name;
}

TEST(IndexSalvage, TakesWholePagesWithinTheirBoundsAndLeavesBelowDamageOnlyWhenCertain) {
  for (const auto& c : Cases()) Check(c);
}

TEST(IndexSalvage, LosesARowAloneWhenOnlyItsValuesCannotBeRead) {
  for (const auto& c : RowCases()) Check(c);
}

}  // namespace
