// What the cache tool's tests share: a whole PNG to place in caches, the snapshot of a folder tree
// that shows whether a command changed anything, and path texts as the tool prints them.
#pragma once

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <filesystem>
#include <map>
#include <stdexcept>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "storage/SQLite3Wrap.h"
#include "support/preview_cache.h"
#include "support/program_folder.h"

namespace testsupport {

namespace fs = std::filesystem;

// A 1x1 RGB PNG: signature, IHDR, IDAT, IEND, each chunk with its CRC.
inline const std::string kSamplePng(
    "\x89\x50\x4E\x47\x0D\x0A\x1A\x0A\x00\x00\x00\x0D\x49\x48\x44\x52\x00\x00\x00\x01\x00\x00\x00"
    "\x01\x08\x02\x00\x00\x00\x90\x77\x53\xDE\x00\x00\x00\x0C\x49\x44\x41\x54\x78\x9C\x63\xF8\xCF"
    "\xC0\x00\x00\x03\x01\x01\x00\xC9\xFE\x92\xEF\x00\x00\x00\x00\x49\x45\x4E\x44\xAE\x42\x60\x82",
    69);

// The path in UTF-8, as the tool prints it.
inline std::string Utf8(const fs::path& p) {
  const auto u8 = p.u8string();
  return std::string(u8.begin(), u8.end());
}

// The path as it stands inside a JSON string (a Windows path's backslashes doubled).
inline std::string JsonPath(const fs::path& p) {
  std::string out;
  for (char c : Utf8(p)) {
    if (c == '\\') out.push_back('\\');
    out.push_back(c);
  }
  return out;
}

// Sets the file's time two hours back: older than the hour after which the tool takes a file
// for abandoned.
inline void MakeOld(const fs::path& file) {
  fs::last_write_time(file, fs::file_time_type::clock::now() - std::chrono::hours(2));
}

// Everything under a folder: relative path, size and write time of each file, and each folder.
using Tree = std::map<std::string, std::pair<std::uintmax_t, fs::file_time_type>>;
inline Tree Snapshot(const fs::path& root) {
  Tree tree;
  if (!fs::exists(root)) return tree;
  for (const auto& e : fs::recursive_directory_iterator(root)) {
    const std::string name = Utf8(fs::relative(e.path(), root));
    tree[name] = e.is_regular_file() ? std::make_pair(e.file_size(), e.last_write_time())
                                     : std::make_pair(std::uintmax_t{0}, fs::file_time_type{});
  }
  return tree;
}

// ---- Damaged indexes ------------------------------------------------------------------------

// UTF-8 bytes as a path text.
inline std::u16string U16(const std::string& utf8) {
  return fs::path(std::u8string(utf8.begin(), utf8.end())).u16string();
}

// The text that makes a row's model path unique; it stands in the row's every page.
inline std::string RowKey(int i) {
  std::string digits = std::to_string(i);
  return "m-" + std::string(6 - digits.size(), '0') + digits + "-";
}

// An index as imports leave it: `count` rows with IDs from 1 (every 40th with a model path long
// enough to need overflow pages, every 3rd with letters beyond ASCII), written in order and
// compacted, then every 7th row deleted (its cell stays in the page as free space). Returns the
// rows still there.
inline std::vector<IndexRow> FillIndex(const fs::path& file, int count) {
  std::vector<IndexRow> rows;
  {
    storage::TSQLite3Database db;
    db.Open(PathText(file));
    IndexFile(file).CreateTable();
    db.BeginTransaction();
    auto insert = db.Prepare(
        u"INSERT INTO PreviewPNGTable (ID,PngMd5FileName,SwFullFileName) VALUES (?,?,?)");
    for (int i = 1; i <= count; ++i) {
      std::string model = "/models/" + RowKey(i);
      if (i % 40 == 0) {
        for (int k = 0; k < 600; ++k) model += RowKey(i);
      }
      if (i % 3 == 0) model += "\xC3\xBC\xE2\x82\xAC";
      const IndexRow row{i, U16("P" + RowKey(i) + ".PNG"), U16(model + ".sw")};
      insert->BindInt64(1, row.id);
      insert->BindText(2, row.png);
      insert->BindText(3, row.model);
      if (insert->StepAndReset() != storage::kStepDone) throw std::runtime_error("insert failed");
      rows.push_back(row);
    }
    db.Commit();
    db.Execute(u"VACUUM; DELETE FROM PreviewPNGTable WHERE ID % 7 = 0;");
  }
  std::erase_if(rows, [](const IndexRow& r) { return r.id % 7 == 0; });
  return rows;
}

// An index left half-written by a transaction cut short, and its hot journal: the bytes of both
// as they stood in the middle of the transaction, and the rows committed before it.
struct HalfWritten {
  std::string index, journal;
  std::vector<IndexRow> committed;
  std::vector<IndexRow> torn;  // TearLastLeaf: the committed rows of the page it tore
};

inline HalfWritten MakeHalfWritten(const fs::path& folder, int count,
                                   const std::u16string& change = std::u16string()) {
  fs::create_directories(folder);
  const fs::path file = folder / "PreviewPNG.sqlite";
  HalfWritten made;
  made.committed = FillIndex(file, count);
  storage::TSQLite3Database db;
  db.Open(PathText(file));
  // A cache of few pages makes SQLite write changed pages into the file before the commit.
  db.Execute(u"PRAGMA cache_size=2");
  db.BeginTransaction();
  if (change.empty()) {
    db.Execute(u"DELETE FROM PreviewPNGTable WHERE ID < " + U16(std::to_string(count / 2)));
    db.Execute(u"UPDATE PreviewPNGTable SET SwFullFileName='overwritten'");
  } else {
    db.Execute(change);
  }
  made.index = ReadFile(file);
  made.journal = ReadFile(fs::path(file).concat("-journal"));
  db.Rollback();
  if (made.journal.empty() || made.index == ReadFile(file)) {
    throw std::runtime_error("the transaction left no half-written index");
  }
  return made;
}

// The rows but those `lost`.
inline std::vector<IndexRow> Without(std::vector<IndexRow> rows,
                                     const std::vector<IndexRow>& lost) {
  std::erase_if(rows, [&](const IndexRow& r) {
    return std::find(lost.begin(), lost.end(), r) != lost.end();
  });
  return rows;
}

// The page numbers whose original content a rollback journal holds (SQLite's journal format: a
// header padded to its sector size, then records of a page number, the page and a checksum).
inline std::set<std::size_t> JournalPages(const std::string& journal) {
  const auto number = [&](std::size_t at) {
    std::size_t n = 0;
    for (std::size_t i = 0; i < 4; ++i) n = n << 8 | static_cast<unsigned char>(journal[at + i]);
    return n;
  };
  std::set<std::size_t> pages;
  const std::size_t sector = number(20), page = number(24);
  for (std::size_t at = sector; at + 8 + page <= journal.size(); at += 8 + page) {
    pages.insert(number(at));
  }
  return pages;
}

// Tears the leaf of the last of `rows` in the index `index` (4096-byte pages, as FillIndex makes
// them): its second half zeroed, so that SQLite's integrity check fails. Returns the rows that
// page held.
inline std::vector<IndexRow> TearLastLeaf(std::string& index, const std::vector<IndexRow>& rows) {
  constexpr std::size_t kPageSize = 4096;
  const std::size_t page = index.find("P" + RowKey(rows.back().id) + ".PNG") / kPageSize;
  std::vector<IndexRow> torn;
  for (const auto& row : rows) {
    const std::size_t at = index.find("P" + RowKey(static_cast<int>(row.id)) + ".PNG");
    if (at / kPageSize == page) torn.push_back(row);
  }
  index.replace(page * kPageSize + kPageSize / 2, kPageSize / 2, std::string(kPageSize / 2, '\0'));
  return torn;
}

// A pair that stays damaged once SQLite has rolled its journal back: a transaction cut short that
// changed the first rows only, and the leaf of the last row torn (its second half zeroed), a page
// the journal does not hold. `torn` are the committed rows that page held.
inline HalfWritten MakeTornHalfWritten(const fs::path& folder, int count) {
  constexpr std::size_t kPageSize = 4096;
  HalfWritten made =
      MakeHalfWritten(folder, count,
                      u"UPDATE PreviewPNGTable SET SwFullFileName = SwFullFileName || "
                      u"'-uncommitted-change-uncommitted-change' WHERE ID < " +
                          U16(std::to_string(count / 3)));
  const std::string last = "P" + RowKey(made.committed.back().id) + ".PNG";
  if (JournalPages(made.journal).count(made.index.find(last) / kPageSize + 1) != 0) {
    throw std::runtime_error("the journal holds the page to be torn");
  }
  made.torn = TearLastLeaf(made.index, made.committed);
  return made;
}

}  // namespace testsupport
