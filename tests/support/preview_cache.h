// A program folder whose data root holds hopgate's preview cache, and the index rows as the tests
// read and write them directly (through the storage layer, never through the program under test).
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <optional>
#include <ostream>
#include <string>
#include <utility>
#include <vector>

#include "storage/SQLite3Wrap.h"
#include "support/program_folder.h"
#include "support/show.h"

namespace testsupport {

struct IndexRow {
  std::int64_t id;
  std::u16string png, model;
  bool operator==(const IndexRow&) const = default;
};

inline std::ostream& operator<<(std::ostream& os, const IndexRow& r) {
  return os << "{" << r.id << ", " << Show(r.png) << ", " << Show(r.model) << "}";
}

// The index file at a path, read and written directly through the storage layer.
class IndexFile {
 public:
  explicit IndexFile(fs::path path) : path_(std::move(path)) {}

  // The rows in ID order.
  std::vector<IndexRow> Rows() const {
    std::vector<IndexRow> rows;
    storage::TSQLite3Database db;
    db.Open(PathText(path_));
    auto s =
        db.Prepare(u"SELECT ID,PngMd5FileName,SwFullFileName FROM PreviewPNGTable ORDER BY ID");
    while (s->Step() == storage::kStepRow)
      rows.push_back({s->ColumnInt64(0), s->ColumnText(1), s->ColumnText(2)});
    return rows;
  }

  void Execute(const std::u16string& sql) const {
    storage::TSQLite3Database db;
    db.Open(PathText(path_));
    db.Execute(sql);
  }

  // The table exactly as hopgate creates it.
  void CreateTable() const {
    Execute(
        u"CREATE TABLE IF NOT EXISTS \"PreviewPNGTable\" (\"ID\" INTEGER PRIMARY KEY NOT NULL , "
        u"\"PngMd5FileName\" TEXT, \"SwFullFileName\" TEXT)");
  }

  // A row with this ID, or the next one SQLite gives when none is named.
  void AddRow(std::optional<std::int64_t> id, const std::u16string& png,
              const std::u16string& model) const {
    storage::TSQLite3Database db;
    db.Open(PathText(path_));
    auto s = db.Prepare(
        u"INSERT INTO PreviewPNGTable (ID,PngMd5FileName,SwFullFileName) VALUES (?,?,?)");
    if (id) {
      s->BindInt64(1, *id);
    } else {
      s->BindNull(1);
    }
    s->BindText(2, png);
    s->BindText(3, model);
    EXPECT_EQ(s->Step(), storage::kStepDone);
  }

 private:
  fs::path path_;
};

class PreviewCacheTest : public ProgramFolderTest {
 protected:
  fs::path Index() const { return PreviewFolder() / "PreviewPNG.sqlite"; }

  std::vector<IndexRow> Rows() const { return IndexFile(Index()).Rows(); }
  void Execute(const std::u16string& sql) { IndexFile(Index()).Execute(sql); }
  void CreateTable() { IndexFile(Index()).CreateTable(); }
  void AddRow(std::optional<std::int64_t> id, const std::u16string& png,
              const std::u16string& model) {
    IndexFile(Index()).AddRow(id, png, model);
  }
};

}  // namespace testsupport
