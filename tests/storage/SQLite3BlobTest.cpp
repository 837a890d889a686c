#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "storage/SQLite3Wrap.h"
#include "storage/StorageFixture.h"

namespace storagetest {
namespace {

using storage::TSQLite3BlobHandler;
using storage::TSQLite3Database;

class BlobTest : public StorageTest {
 protected:
  void SetUp() override {
    OpenWithTable(db_);
    db_.Execute(u"INSERT INTO t(id, v) VALUES(7, x'0001020304050607');");
  }
  TSQLite3Database db_;
};

TEST_F(BlobTest, ReadsSizeAndBytes) {
  auto blob = db_.BlobOpen(u"t", u"v", 7, false);
  EXPECT_EQ(blob->OwnerDatabase(), &db_);
  EXPECT_NE(blob->Handle(), nullptr);
  EXPECT_EQ(blob->Bytes(), 8);
  unsigned char buffer[3] = {};
  blob->Read(buffer, 3, 4);
  EXPECT_EQ(buffer[0], 4);
  EXPECT_EQ(buffer[1], 5);
  EXPECT_EQ(buffer[2], 6);
}

TEST_F(BlobTest, WritesInPlace) {
  {
    auto blob = db_.BlobOpen(u"t", u"v", 7, true);
    blob->Write("AB", 2, 1);
    char buffer[8] = {};
    blob->Read(buffer, 8, 0);
    EXPECT_EQ(std::string(buffer, 8), std::string("\x00"
                                                  "AB\x03\x04\x05\x06\x07",
                                                  8));
  }
  auto statement = db_.Prepare(u"SELECT hex(v) FROM t WHERE id = 7;");
  ASSERT_EQ(statement->Step(), storage::kStepRow);
  EXPECT_EQ(statement->ColumnText(0), u"0041420304050607");
}

TEST_F(BlobTest, OpenFailuresRaiseSQLiteText) {
  struct Case {
    const char* name;
    std::u16string table;
    std::u16string column;
    std::int64_t row;
    std::u16string message;
  } const cases[] = {
      {"missing row", u"t", u"v", 99, u"SQLite3 error: no such rowid: 99"},
      {"missing table", u"nope", u"v", 7, u"SQLite3 error: no such table: main.nope"},
      {"missing column", u"t", u"nope", 7, u"SQLite3 error: no such column: \"nope\""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(RaisedMessage([&] { db_.BlobOpen(c.table, c.column, c.row, false); }), c.message);
  }
  // Nothing failed stays listed: Close finalizes only the handler that opened.
  auto blob = db_.BlobOpen(u"t", u"v", 7, false);
  db_.Close();
  EXPECT_EQ(blob->Handle(), nullptr);
}

TEST_F(BlobTest, ReadAndWriteFailuresRaiseAndKeepTheHandlerUsable) {
  auto readOnly = db_.BlobOpen(u"t", u"v", 7, false);
  char buffer[16] = {};
  EXPECT_EQ(RaisedMessage([&] { readOnly->Write("x", 1, 0); }),
            u"SQLite3 error: attempt to write a readonly database");
  EXPECT_EQ(RaisedMessage([&] { readOnly->Read(buffer, 16, 0); }),
            u"SQLite3 error: SQL logic error");  // past the end of the blob
  readOnly->Read(buffer, 2, 6);
  EXPECT_EQ(buffer[1], 7);

  auto writable = db_.BlobOpen(u"t", u"v", 7, true);
  EXPECT_EQ(RaisedMessage([&] { writable->Write("xyz", 3, 6); }),
            u"SQLite3 error: SQL logic error");
  writable->Write("z", 1, 7);
  writable->Read(buffer, 2, 6);
  EXPECT_EQ(std::string(buffer, 2), "\x06z");  // the failed write changed nothing, the last one did
}

TEST_F(BlobTest, FreedHandlerLeavesTheListAndCloseDetachesTheRest) {
  auto first = db_.BlobOpen(u"t", u"v", 7, false);
  auto second = db_.BlobOpen(u"t", u"v", 7, true);
  first.reset();
  db_.Close();
  EXPECT_EQ(second->Handle(), nullptr);
  EXPECT_EQ(second->OwnerDatabase(), nullptr);
  char buffer[1];
  EXPECT_EQ(RaisedMessage([&] { second->Bytes(); }), kNotConnected);
  EXPECT_EQ(RaisedMessage([&] { second->Read(buffer, 1, 0); }), kNotConnected);
  EXPECT_EQ(RaisedMessage([&] { second->Write(buffer, 1, 0); }), kNotConnected);
}

TEST_F(BlobTest, ConstructedDirectlyRegistersLikeBlobOpen) {
  TSQLite3BlobHandler blob(db_, u"t", u"v", 7, false);
  EXPECT_EQ(blob.Bytes(), 8);
  db_.Close();
  EXPECT_EQ(blob.Handle(), nullptr);
}

}  // namespace
}  // namespace storagetest
