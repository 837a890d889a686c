// Reading the rows of the preview index out of a damaged SQLite file, page by page, without
// SQLite: the bytes of the file are walked as SQLite's file format lays them out, from page 1's
// schema to the table's root and down its B-tree to the leaf pages. A page is taken only when it
// is whole by every rule of the format that can be tested (its type, its cell pointers, cells and
// free blocks that fill its content area exactly, row IDs rising within the bounds its parent
// gives: above the divider on its left, at most the divider on its right, records whose header
// and values fit); any other page is counted as unreadable and none of its rows is taken. So the
// rows come back in rising ID order, never two with one ID.
//
// A row on a page that is taken can still be lost alone (counted in unreadableRows): its overflow
// chain is broken, runs into a page of a B-tree, or shares an overflow page with another cell
// (one of the two pointers is wrong and nothing tells which, so neither row is taken); or its ID
// column holds a value other than its row ID (SQLite keeps NULL there for an INTEGER PRIMARY KEY,
// so the row is not what the table wrote, and which of the two is its ID cannot be told).
//
// What lies below an unreadable page is brought back only where it cannot be a deleted row's:
// a table leaf page that is whole, that nothing readable points to, that no other B-tree of the
// schema reaches, that is not on the freelist and lies within the database's size, and whose row
// IDs lie within the bounds the unreadable page's parent gives that page. That needs a header
// with its magic, a schema read whole, every other B-tree read whole and a freelist walked whole
// whose count agrees with the header; otherwise nothing comes back this way. Two such leaves whose
// ID ranges overlap (an older copy of a page beside its newer one) are both left out, and so is a
// leaf any of whose rows could not be read. Lost for good: the rows of unreadable leaves, the
// rows of leaves below an unreadable page when one of these tests fails, and whole subtrees
// below a second unreadable interior page. Only pages reachable from the table's root or found
// so are read, so the cells of deleted rows (in free blocks, or on pages of the freelist) never
// come back.
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
  // Rows whose cell is on a page that was taken but whose values could not be read whole (a
  // broken or shared overflow chain, an ID column that disagrees with the row ID).
  std::size_t unreadableRows = 0;
  // Whole leaf pages found below unreadable pages, whose rows are in `rows`.
  std::size_t recoveredLeaves = 0;
  bool tableFound = false;     // the schema names the table
  std::uint32_t pageSize = 0;  // as read from the header or found by trying
  bool headerRebuilt = false;  // the header's page size was unreadable and was found by trying
};

// The rows of the table `table` (its name compared without ASCII case) in the database file
// `file`. Never fails: what cannot be read is counted in unreadablePages and unreadableRows.
Salvage SalvageTable(std::string_view file, std::string_view table);

}  // namespace cachetool
