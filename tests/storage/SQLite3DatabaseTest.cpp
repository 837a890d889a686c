#include <gtest/gtest.h>

#include <filesystem>
#include <functional>
#include <memory>
#include <string>

#include "storage/SQLite3Utils.h"
#include "storage/SQLite3Wrap.h"
#include "storage/SQLiteMemory.h"
#include "storage/StorageFixture.h"

namespace storagetest {
namespace {

using storage::ESQLite3Error;
using storage::TSQLite3Database;

using DatabaseTest = StorageTest;

TEST_F(DatabaseTest, NewConnectionIsClosedAndEmpty) {
  TSQLite3Database db;
  EXPECT_EQ(db.Handle(), nullptr);
  EXPECT_FALSE(db.TransactionOpen());
  EXPECT_EQ(db.GetPassword(), u"");
  EXPECT_EQ(db.GetBusyTimeout(), 0);
  db.Close();  // closing what was never opened does nothing
  db.Close();
  EXPECT_EQ(db.Handle(), nullptr);
}

TEST_F(DatabaseTest, OpenCreatesTheFileAndCloseReleasesIt) {
  TSQLite3Database db;
  OpenWithTable(db);
  EXPECT_NE(db.Handle(), nullptr);
  EXPECT_TRUE(std::filesystem::exists(folder_.Path() / "test.sqlite"));
  db.Close();
  EXPECT_EQ(db.Handle(), nullptr);
  db.Close();
  EXPECT_EQ(db.Handle(), nullptr);
}

TEST_F(DatabaseTest, OpenFailureRaisesSQLiteTextAndKeepsTheHandleForClose) {
  const auto memoryBefore = SQLiteMemoryInUse();
  TSQLite3Database db;
  EXPECT_EQ(RaisedMessage([&] { db.Open(folder_.File("no-such-folder/x.sqlite")); }),
            u"SQLite3 error: unable to open database file");
  // SQLite hands back a handle even though the open failed; Close releases it.
  EXPECT_NE(db.Handle(), nullptr);
  db.Close();
  EXPECT_EQ(db.Handle(), nullptr);
  EXPECT_EQ(SQLiteMemoryInUse(), memoryBefore);
}

TEST_F(DatabaseTest, OpenAcceptsNonAsciiFileNames) {
  const auto file = folder_.Path() / u"Mod\u00E8le \u90E8\u54C1 \U0001F600.sqlite";
  {
    TSQLite3Database db;
    db.Open(file.u16string());
    db.Execute(u"CREATE TABLE t(v);");
  }
  EXPECT_TRUE(std::filesystem::exists(file));
  EXPECT_EQ(ReadHead(file, 16), std::string("SQLite format 3\0", 16));
}

// Every operation that needs a connection raises the same message on a closed one and hands
// nothing to SQLite (SQLite would crash on the null handle).
TEST_F(DatabaseTest, ClosedConnectionOperationsRaiseNotConnected) {
  struct Case {
    const char* name;
    std::function<void(TSQLite3Database&)> action;
  } const cases[] = {
      {"Execute", [](TSQLite3Database& db) { db.Execute(u"SELECT 1;"); }},
      {"LastInsertRowID", [](TSQLite3Database& db) { db.LastInsertRowID(); }},
      {"Prepare", [](TSQLite3Database& db) { db.Prepare(u"SELECT 1;"); }},
      {"BlobOpen", [](TSQLite3Database& db) { db.BlobOpen(u"t", u"v", 1, false); }},
      {"Statement constructor",
       [](TSQLite3Database& db) { storage::TSQLite3Statement s(db, u"SELECT 1;"); }},
      {"Blob handler constructor",
       [](TSQLite3Database& db) { storage::TSQLite3BlobHandler b(db, u"t", u"v", 1, true); }},
      {"ChangePassword", [](TSQLite3Database& db) { db.ChangePassword(u"new"); }},
      {"DeletePassword", [](TSQLite3Database& db) { db.DeletePassword(); }},
      {"BeginTransaction", [](TSQLite3Database& db) { db.BeginTransaction(); }},
      {"UTF-8 Prepare", [](TSQLite3Database& db) { db.Prepare(std::string("SELECT 1;")); }},
  };
  for (bool wasOpen : {false, true}) {
    for (const auto& c : cases) {
      SCOPED_TRACE(std::string(c.name) + (wasOpen ? " after Close" : " never opened"));
      TSQLite3Database db;
      db.SetPassword(u"old");
      if (wasOpen) {
        OpenWithTable(db);
        db.Close();
      }
      EXPECT_EQ(RaisedMessage([&] { c.action(db); }), kNotConnected);
      EXPECT_EQ(db.Handle(), nullptr);
      EXPECT_FALSE(db.TransactionOpen());
      EXPECT_EQ(db.GetPassword(), u"old");
    }
  }
}

TEST_F(DatabaseTest, ExecuteRunsEveryStatementOfTheText) {
  TSQLite3Database db;
  OpenWithTable(db);
  db.Execute(u"INSERT INTO t(v) VALUES(1); INSERT INTO t(v) VALUES(2);");
  db.Close();
  EXPECT_EQ(QueryInt(u"SELECT count(*) FROM t;"), 2);
}

TEST_F(DatabaseTest, FailingSQLRaisesSQLiteText) {
  struct Case {
    std::u16string sql;
    std::u16string message;
    bool compiles;  // fails only when run: Prepare succeeds and Step reports the code
  } const cases[] = {
      {u"SELEC 1;", u"SQLite3 error: near \"SELEC\": syntax error", false},
      {u"SELECT * FROM missing;", u"SQLite3 error: no such table: missing", false},
      {u"SELECT \"caf\u00E9\" FROM t WHERE nope = 1;", u"SQLite3 error: no such column: nope",
       false},
      {u"INSERT INTO t(id, v) VALUES(1, 'dup');", u"SQLite3 error: UNIQUE constraint failed: t.id",
       true},
  };
  TSQLite3Database db;
  OpenWithTable(db);
  db.Execute(u"INSERT INTO t(id, v) VALUES(1, 'first');");
  for (const auto& c : cases) {
    SCOPED_TRACE(storage::EncodeUTF8(c.sql));
    EXPECT_EQ(RaisedMessage([&] { db.Execute(c.sql); }), c.message);
    if (c.compiles) {
      EXPECT_EQ(db.Prepare(c.sql)->Step(), 19);  // SQLITE_CONSTRAINT, handed back, not raised
    } else {
      EXPECT_EQ(RaisedMessage([&] { db.Prepare(c.sql); }), c.message);
    }
  }
}

TEST_F(DatabaseTest, ErrorKeepsMessageAsUTF16AndGivesUTF8) {
  TSQLite3Database db;
  OpenWithTable(db);
  try {
    db.Execute(u"SELECT * FROM \"tabl\u00E9\";");
    FAIL() << "nothing raised";
  } catch (const std::exception& e) {  // catchable as the standard base
    const auto* error = dynamic_cast<const ESQLite3Error*>(&e);
    ASSERT_NE(error, nullptr);
    EXPECT_EQ(error->Message(), u"SQLite3 error: no such table: tabl\u00E9");
    EXPECT_STREQ(e.what(), "SQLite3 error: no such table: tabl\xC3\xA9");
  }
}

TEST_F(DatabaseTest, LastInsertRowID) {
  TSQLite3Database db;
  OpenWithTable(db);
  EXPECT_EQ(db.LastInsertRowID(), 0);
  db.Execute(u"INSERT INTO t(id, v) VALUES(5000000000, 'big');");
  EXPECT_EQ(db.LastInsertRowID(), 5000000000LL);
  db.Execute(u"INSERT INTO t(v) VALUES('next');");
  EXPECT_EQ(db.LastInsertRowID(), 5000000001LL);
}

TEST_F(DatabaseTest, CommitKeepsAndRollbackDiscards) {
  TSQLite3Database db;
  OpenWithTable(db);
  db.BeginTransaction();
  EXPECT_TRUE(db.TransactionOpen());
  db.Execute(u"INSERT INTO t(v) VALUES('kept');");
  db.Commit();
  EXPECT_FALSE(db.TransactionOpen());

  db.BeginTransaction();
  db.Execute(u"INSERT INTO t(v) VALUES('dropped');");
  db.Rollback();
  EXPECT_FALSE(db.TransactionOpen());
  db.Close();
  EXPECT_EQ(QueryInt(u"SELECT count(*) FROM t;"), 1);
  EXPECT_EQ(QueryInt(u"SELECT count(*) FROM t WHERE v = 'kept';"), 1);
}

// The flag guards the SQL: had a second "BEGIN TRANSACTION;" or a "COMMIT;" without transaction
// been sent, SQLite's own message ("cannot start a transaction within a transaction", "cannot
// commit - no transaction is active") would come back instead.
TEST_F(DatabaseTest, TransactionFlagMisuseRaisesWithoutSendingSQL) {
  TSQLite3Database db;
  OpenWithTable(db);
  EXPECT_EQ(RaisedMessage([&] { db.Commit(); }), u"No transaction is open");
  EXPECT_EQ(RaisedMessage([&] { db.Rollback(); }), u"No transaction is open");
  EXPECT_FALSE(db.TransactionOpen());

  db.BeginTransaction();
  db.Execute(u"INSERT INTO t(v) VALUES('inside');");
  EXPECT_EQ(RaisedMessage([&] { db.BeginTransaction(); }), u"Transaction is already opened.");
  EXPECT_TRUE(db.TransactionOpen());
  db.Rollback();  // the first transaction is still the one open
  db.Close();
  EXPECT_EQ(QueryInt(u"SELECT count(*) FROM t;"), 0);
}

// Immediate takes the write lock at BEGIN: another connection cannot write until the commit. A
// deferred transaction that has sent nothing yet holds no lock.
TEST_F(DatabaseTest, ImmediateTransactionTakesTheWriteLockAtOnce) {
  using Mode = TSQLite3Database::TTransactionMode;
  struct Case {
    const char* name;
    Mode mode;
    int otherWrite;  // the other connection's insert inside the transaction
  } const cases[] = {{"deferred", Mode::Deferred, storage::kStepDone},
                     {"immediate", Mode::Immediate, storage::kStepBusy}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    TSQLite3Database db;
    OpenWithTable(db);
    db.BeginTransaction(c.mode);
    EXPECT_TRUE(db.TransactionOpen());
    TSQLite3Database other;
    other.Open(DbPath());
    auto insert = other.Prepare(u"INSERT INTO t(v) VALUES('other');");
    EXPECT_EQ(insert->StepAndReset(), c.otherWrite);
    db.Execute(u"INSERT INTO t(v) VALUES('inside');");
    db.Commit();
    EXPECT_EQ(insert->StepAndReset(), storage::kStepDone);
  }
  EXPECT_EQ(QueryInt(u"SELECT count(*) FROM t WHERE v = 'inside';"), 2);
}

// Why an operation failed, asked of the connection right after: SQLite's damage codes (a file
// that is no database, a torn page) count as damage, a missing file or another run's lock do not.
// Each failure shows either as a raise (open, prepare) or as the step's code.
TEST_F(DatabaseTest, LastResultCodeTellsDamageFromOtherFailures) {
  constexpr int kCorrupt = 11, kCantOpen = 14, kNotADb = 26;
  struct Case {
    const char* name;
    std::function<void(const std::filesystem::path&)> make;
    int code;
    bool damage;
  } const cases[] = {
      {"not a database",
       [](const std::filesystem::path& f) { testsupport::WriteBytes(f, std::string(4096, 'x')); },
       kNotADb, true},
      {"torn table page",
       [](const std::filesystem::path& f) {
         std::string bytes = testsupport::ReadBytes(f);
         ASSERT_GE(bytes.size(), 8192u);
         bytes.replace(4096, 4096, std::string(4096, '\xFF'));  // page 2: the table's root
         testsupport::WriteBytes(f, bytes);
       },
       kCorrupt, true},
      {"missing file", [](const std::filesystem::path& f) { std::filesystem::remove(f); },
       kCantOpen, false},
      {"locked", [](const std::filesystem::path&) {}, storage::kStepBusy, false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    {
      TSQLite3Database maker;
      OpenWithTable(maker);
      maker.Execute(u"PRAGMA page_size=4096; VACUUM; INSERT INTO t(v) VALUES('row');");
    }
    c.make(folder_.Path() / "test.sqlite");
    TSQLite3Database holder;
    if (c.code == storage::kStepBusy) {
      holder.Open(DbPath());
      holder.Execute(u"BEGIN EXCLUSIVE;");
    }
    TSQLite3Database db;
    int code = storage::kStepRow;
    try {
      db.OpenExisting(DbPath(), TSQLite3Database::TOpenMode::ReadOnly);
      auto query = db.Prepare(u"SELECT count(*) FROM t WHERE v IS NOT NULL;");
      while ((code = query->Step()) == storage::kStepRow) {
      }
    } catch (const ESQLite3Error&) {
      code = db.LastResultCode();
    }
    EXPECT_EQ(code, c.code);
    EXPECT_EQ(db.LastResultCode(), c.code);
    EXPECT_EQ(storage::ResultCodeIsDamage(code), c.damage);
    db.Close();
    holder.Close();
    std::filesystem::remove(folder_.Path() / "test.sqlite");
  }
  // Nothing open, nothing could be opened.
  EXPECT_EQ(TSQLite3Database().LastResultCode(), kCantOpen);
  // Extended codes by their primary code: SQLITE_CORRUPT_VTAB and _SEQUENCE, SQLITE_IOERR_READ.
  EXPECT_TRUE(storage::ResultCodeIsDamage(267));
  EXPECT_TRUE(storage::ResultCodeIsDamage(523));
  EXPECT_FALSE(storage::ResultCodeIsDamage(266));
}

TEST_F(DatabaseTest, FailingTransactionSQLLeavesTheFlag) {
  TSQLite3Database db;
  OpenWithTable(db);
  db.Execute(u"BEGIN;");  // a transaction the flag does not know of
  EXPECT_EQ(RaisedMessage([&] { db.BeginTransaction(); }),
            u"SQLite3 error: cannot start a transaction within a transaction");
  EXPECT_FALSE(db.TransactionOpen());
  db.Execute(u"COMMIT;");

  db.BeginTransaction();
  db.Execute(u"COMMIT;");  // ends it behind the flag's back
  EXPECT_EQ(RaisedMessage([&] { db.Commit(); }),
            u"SQLite3 error: cannot commit - no transaction is active");
  EXPECT_TRUE(db.TransactionOpen());
  EXPECT_EQ(RaisedMessage([&] { db.Rollback(); }),
            u"SQLite3 error: cannot rollback - no transaction is active");
  EXPECT_TRUE(db.TransactionOpen());
}

TEST_F(DatabaseTest, OpenOnOpenConnectionFreesStatementsAndRollsBack) {
  TSQLite3Database db;
  OpenWithTable(db);
  db.Execute(u"INSERT INTO t(id, v) VALUES(1, zeroblob(4));");
  auto statement = db.Prepare(u"SELECT v FROM t;");
  auto blob = db.BlobOpen(u"t", u"v", 1, false);
  db.BeginTransaction();
  db.Execute(u"INSERT INTO t(v) VALUES('uncommitted');");

  db.Open(DbPath());
  EXPECT_NE(db.Handle(), nullptr);
  EXPECT_FALSE(db.TransactionOpen());
  EXPECT_EQ(statement->Handle(), nullptr);
  EXPECT_EQ(statement->OwnerDatabase(), nullptr);
  EXPECT_EQ(blob->Handle(), nullptr);
  EXPECT_EQ(RaisedMessage([&] { statement->Step(); }), kNotConnected);
  EXPECT_EQ(RaisedMessage([&] { blob->Bytes(); }), kNotConnected);

  auto count = db.Prepare(u"SELECT count(*) FROM t;");
  ASSERT_EQ(count->Step(), storage::kStepRow);
  EXPECT_EQ(count->ColumnInt(0), 1);  // the uncommitted row was rolled back
}

TEST_F(DatabaseTest, CloseDetachesOnlyWhatIsStillListed) {
  const auto memoryBefore = SQLiteMemoryInUse();
  TSQLite3Database db;
  OpenWithTable(db);
  db.Execute(u"INSERT INTO t(id, v) VALUES(1, zeroblob(4));");
  auto first = db.Prepare(u"SELECT 1;");
  auto second = db.Prepare(u"SELECT 2;");
  auto third = db.Prepare(u"SELECT 3;");
  auto blobA = db.BlobOpen(u"t", u"v", 1, false);
  auto blobB = db.BlobOpen(u"t", u"v", 1, false);
  second.reset();  // freed before Close: leaves the list
  blobA.reset();
  db.Close();
  EXPECT_EQ(SQLiteMemoryInUse(), memoryBefore);  // connection, statements and blobs released
  EXPECT_EQ(first->Handle(), nullptr);
  EXPECT_EQ(third->Handle(), nullptr);
  EXPECT_EQ(blobB->Handle(), nullptr);
  // Detached objects outlive their connection; their destructors touch nothing of it.
  first.reset();
  db.Open(DbPath());
  EXPECT_EQ(RaisedMessage([&] { third->ColumnCount(); }), kNotConnected);
}

TEST_F(DatabaseTest, DetachedStatementOutlivesItsConnection) {
  const auto memoryBefore = SQLiteMemoryInUse();
  std::unique_ptr<storage::TSQLite3Statement> statement;
  std::unique_ptr<storage::TSQLite3BlobHandler> blob;
  {
    TSQLite3Database db;
    OpenWithTable(db);
    db.Execute(u"INSERT INTO t(id, v) VALUES(1, zeroblob(4));");
    statement = db.Prepare(u"SELECT v FROM t;");
    blob = db.BlobOpen(u"t", u"v", 1, true);
  }  // the destructor closes and detaches both
  EXPECT_EQ(SQLiteMemoryInUse(), memoryBefore);
  EXPECT_EQ(statement->Handle(), nullptr);
  EXPECT_EQ(statement->OwnerDatabase(), nullptr);
  EXPECT_EQ(RaisedMessage([&] { statement->Step(); }), kNotConnected);
  EXPECT_EQ(RaisedMessage([&] { blob->Write("x", 1, 0); }), kNotConnected);
  statement.reset();  // AddressSanitizer would catch a touch of the freed connection
  blob.reset();
}

// A "ROLLBACK;" that fails stops Close: everything stays open and listed, and the error comes out.
TEST_F(DatabaseTest, CloseWithFailingRollbackRaisesAndKeepsEverything) {
  TSQLite3Database db;
  OpenWithTable(db);
  db.BeginTransaction();
  db.Execute(u"COMMIT;");  // the flag stays set, so Close will send a ROLLBACK that fails
  auto statement = db.Prepare(u"SELECT 7;");
  EXPECT_EQ(RaisedMessage([&] { db.Close(); }),
            u"SQLite3 error: cannot rollback - no transaction is active");
  EXPECT_NE(db.Handle(), nullptr);
  EXPECT_TRUE(db.TransactionOpen());
  ASSERT_NE(statement->Handle(), nullptr);
  ASSERT_EQ(statement->Step(), storage::kStepRow);
  EXPECT_EQ(statement->ColumnInt(0), 7);
  // The same failure in a new Open stops the Open before anything is closed.
  EXPECT_EQ(RaisedMessage([&] { db.Open(DbPath()); }),
            u"SQLite3 error: cannot rollback - no transaction is active");
  EXPECT_NE(statement->Handle(), nullptr);
}

// The destructor lets nothing out and still releases the statements, blob handlers and the
// connection: SQLite's memory count shows a leak of SQLite's objects (which SQLite's global
// structures keep reachable, out of LeakSanitizer's sight), AddressSanitizer a touch of freed
// memory by the detached objects' destructors.
TEST_F(DatabaseTest, DestructorWithFailingRollbackReleasesEverything) {
  const auto memoryBefore = SQLiteMemoryInUse();
  auto db = std::make_unique<TSQLite3Database>();
  OpenWithTable(*db);
  db->Execute(u"INSERT INTO t(id, v) VALUES(1, zeroblob(4));");
  db->BeginTransaction();
  db->Execute(u"COMMIT;");
  auto statement = db->Prepare(u"SELECT v FROM t;");
  auto blob = db->BlobOpen(u"t", u"v", 1, false);
  auto freedEarly = db->Prepare(u"SELECT 1;");
  ASSERT_EQ(statement->Step(), storage::kStepRow);  // a statement in the middle of a query
  freedEarly.reset();
  EXPECT_NO_THROW(db.reset());
  EXPECT_EQ(SQLiteMemoryInUse(), memoryBefore);
  EXPECT_EQ(statement->Handle(), nullptr);
  EXPECT_EQ(blob->Handle(), nullptr);
  EXPECT_EQ(RaisedMessage([&] { statement->ColumnInt(0); }), kNotConnected);
  // The file is closed: another connection can write at once.
  TSQLite3Database other;
  other.Open(DbPath());
  other.Execute(u"INSERT INTO t(v) VALUES('after');");
}

// SQLite's default reading of a double-quoted word that names no column: a text value. The preview
// index compares file names written this way.
TEST_F(DatabaseTest, DoubleQuotedWordThatNamesNoColumnIsText) {
  TSQLite3Database db;
  db.Open(DbPath());
  db.Execute(u"CREATE TABLE files(name TEXT);");
  db.Execute(u"INSERT INTO files(name) VALUES('name.PNG'), ('other.PNG');");

  auto literal = db.Prepare(u"SELECT \"abc\";");
  ASSERT_EQ(literal->Step(), storage::kStepRow);
  EXPECT_EQ(literal->ColumnType(0), 3);  // SQLITE_TEXT
  EXPECT_EQ(literal->ColumnText(0), u"abc");

  struct Case {
    std::u16string sql;
    int count;
  } const cases[] = {
      {u"SELECT count(*) FROM files WHERE name=\"name.PNG\";", 1},
      {u"SELECT count(*) FROM files WHERE name=\"NAME.png\";", 0},
      {u"SELECT count(*) FROM files WHERE name=\"missing.PNG\";", 0},
      {u"SELECT count(*) FROM files WHERE \"name\"='other.PNG';", 1},  // a column name wins
  };
  for (const auto& c : cases) {
    auto statement = db.Prepare(c.sql);
    ASSERT_EQ(statement->Step(), storage::kStepRow) << storage::EncodeUTF8(c.sql);
    EXPECT_EQ(statement->ColumnInt(0), c.count) << storage::EncodeUTF8(c.sql);
  }
}

}  // namespace
}  // namespace storagetest
