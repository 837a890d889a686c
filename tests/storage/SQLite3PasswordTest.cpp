#include <gtest/gtest.h>

#include <sqlite3.h>

#include <string>

#include "storage/SQLite3Utils.h"
#include "storage/SQLite3Wrap.h"
#include "storage/StorageFixture.h"

namespace storagetest {
namespace {

using storage::TSQLite3Database;

const std::string kPlainHeader("SQLite format 3\0", 16);
const std::u16string kNotADatabase = u"SQLite3 error: file is not a database";

class PasswordTest : public StorageTest {
 protected:
  // Writes a table with one row into DbPath(), keyed with `password` (none when empty).
  void WriteDatabase(const std::u16string& password) {
    TSQLite3Database db;
    db.SetPassword(password);
    OpenWithTable(db);
    db.Execute(u"INSERT INTO t(v) VALUES('secret row');");
  }

  // The message that reading the table with `password` raises; empty when it reads the row.
  std::u16string ReadWith(const std::u16string& password) {
    TSQLite3Database db;
    db.SetPassword(password);
    db.Open(DbPath());
    try {
      auto statement = db.Prepare(u"SELECT v FROM t;");
      if (statement->Step() != 100) return u"<no row>";
      return statement->ColumnText(0) == u"secret row" ? u"" : u"<wrong row>";
    } catch (const storage::ESQLite3Error& e) {
      return e.Message();
    }
  }

  std::string Header() { return ReadHead(folder_.Path() / "test.sqlite", 16); }
};

// The password set before opening keys every later Open of the same object, also after a Close.
TEST_F(PasswordTest, PasswordIsRecordedAndUsedByEveryOpen) {
  WriteDatabase(u"p\u00E4ss");
  TSQLite3Database db;
  db.SetPassword(u"p\u00E4ss");
  EXPECT_EQ(db.Handle(), nullptr);  // nothing opened by setting it
  for (const char* open : {"first Open", "Open after Close"}) {
    db.Open(DbPath());
    {
      auto statement = db.Prepare(u"SELECT v FROM t;");
      ASSERT_EQ(statement->Step(), 100) << open;
      EXPECT_EQ(statement->ColumnText(0), u"secret row") << open;
    }
    db.Close();
  }
}

TEST_F(PasswordTest, KeyedDatabaseReadsOnlyWithItsKey) {
  WriteDatabase(u"s\u00E9cret");
  EXPECT_NE(Header(), kPlainHeader);
  struct Case {
    const char* name;
    std::u16string password;
    std::u16string result;
  } const cases[] = {
      {"no key", u"", kNotADatabase},
      {"wrong key", u"secret", kNotADatabase},
      {"right key", u"s\u00E9cret", u""},
  };
  for (const auto& c : cases) EXPECT_EQ(ReadWith(c.password), c.result) << c.name;
}

// The password reaches SQLite as its UTF-8 bytes with their length.
TEST_F(PasswordTest, PasswordBytesAreUTF8) {
  WriteDatabase(u"\u00E9\u20AC");
  const std::string path = storage::EncodeUTF8(DbPath());
  sqlite3* raw = nullptr;
  ASSERT_EQ(sqlite3_open(path.c_str(), &raw), SQLITE_OK);
  sqlite3_key(raw, "\xC3\xA9\xE2\x82\xAC", 5);
  EXPECT_EQ(sqlite3_exec(raw, "SELECT count(*) FROM t;", nullptr, nullptr, nullptr), SQLITE_OK);
  sqlite3_close(raw);
}

TEST_F(PasswordTest, ChangePasswordRekeys) {
  WriteDatabase(u"old");
  {
    TSQLite3Database db;
    db.SetPassword(u"old");
    db.Open(DbPath());
    db.ChangePassword(u"new");
    EXPECT_EQ(db.GetPassword(), u"new");
    db.Execute(u"INSERT INTO t(v) VALUES('after rekey');");  // still usable
    db.Close();
    db.Open(DbPath());  // keyed with the recorded new password
    db.Execute(u"SELECT count(*) FROM t;");
  }
  EXPECT_EQ(ReadWith(u"old"), kNotADatabase);
  EXPECT_EQ(ReadWith(u""), kNotADatabase);
  EXPECT_EQ(ReadWith(u"new"), u"");
}

TEST_F(PasswordTest, ChangePasswordEncryptsAPlainDatabase) {
  WriteDatabase(u"");
  EXPECT_EQ(Header(), kPlainHeader);
  {
    TSQLite3Database db;
    db.Open(DbPath());
    db.ChangePassword(u"k");
  }
  EXPECT_NE(Header(), kPlainHeader);
  EXPECT_EQ(ReadWith(u""), kNotADatabase);
  EXPECT_EQ(ReadWith(u"k"), u"");
}

TEST_F(PasswordTest, DeletePasswordLeavesAPlainFile) {
  WriteDatabase(u"key");
  {
    TSQLite3Database db;
    db.SetPassword(u"key");
    db.Open(DbPath());
    EXPECT_TRUE(db.DeletePassword());
    EXPECT_EQ(db.GetPassword(), u"");
    db.Close();
    db.Open(DbPath());  // the same object reads the now plain file
    db.Execute(u"SELECT count(*) FROM t;");
  }
  EXPECT_EQ(Header(), kPlainHeader);
  EXPECT_EQ(ReadWith(u""), u"");
}

TEST_F(PasswordTest, PasswordOperationsOnClosedConnectionChangeNothing) {
  WriteDatabase(u"key");
  TSQLite3Database db;
  db.SetPassword(u"key");
  EXPECT_EQ(RaisedMessage([&] { db.ChangePassword(u"other"); }), kNotConnected);
  EXPECT_EQ(RaisedMessage([&] { db.DeletePassword(); }), kNotConnected);
  EXPECT_EQ(db.GetPassword(), u"key");
  EXPECT_NE(Header(), kPlainHeader);
  EXPECT_EQ(ReadWith(u"key"), u"");
}

}  // namespace
}  // namespace storagetest
