// Reading the rows of the preview index out of a damaged SQLite file, page by page, without
// SQLite: the bytes of the file are walked as SQLite's file format lays them out, from page 1's
// schema to the table's root and down its B-tree to the leaf pages. A page is taken only when it
// is whole by every rule of the format that can be tested (its type, its cell pointers, cells and
// free blocks that fill its content area exactly, row IDs rising within the bounds its parent
// gives, records whose header and values fit); any other page is counted as unreadable and none
// of its rows is taken. Only pages reachable from the table's root are read, so the cells of
// deleted rows (in free blocks, or on pages of the freelist) never come back.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "storage/SQLite3Value.h"

namespace cachetool {

// A value of a column as the file holds it: its SQLite type and its bytes (text as stored,
// integers and reals decoded), in the storage layer's form, so that it is bound as it was read.
using StoredValue = storage::TSQLite3Value;

struct SalvagedRow {
  std::int64_t id = 0;
  StoredValue png;    // PngMd5FileName
  StoredValue model;  // SwFullFileName
};

struct Salvage {
  std::vector<SalvagedRow> rows;  // in ID order
  // Pages of the table (or page 1, or the schema) that could not be read: their rows are lost.
  std::size_t unreadablePages = 0;
  bool tableFound = false;     // the schema names the table
  std::uint32_t pageSize = 0;  // as read from the header or found by trying
  bool headerRebuilt = false;  // the header's page size was unreadable and was found by trying
};

// The rows of the table `table` (its name compared without ASCII case) in the database file
// `file`. Never fails: what cannot be read is counted in unreadablePages.
Salvage SalvageTable(std::string_view file, std::string_view table);

}  // namespace cachetool
