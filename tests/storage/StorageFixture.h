// Fixture of the storage tests: a temporary folder and a database file path inside it, plus small
// helpers that read back what a test wrote.
#pragma once

#include <gtest/gtest.h>

#include <functional>
#include <string>

#include "storage/SQLite3Wrap.h"
#include "support/temp_folder.h"

namespace storagetest {

using testsupport::ReadHead;

inline const std::u16string kNotConnected = u"SQLite3 error: database is not connected.";

class StorageTest : public ::testing::Test {
 protected:
  std::u16string DbPath() const { return folder_.File("test.sqlite"); }

  // Opens `db` on DbPath() with a table t(id INTEGER PRIMARY KEY, v).
  void OpenWithTable(storage::TSQLite3Database& db) {
    db.Open(DbPath());
    db.Execute(u"CREATE TABLE IF NOT EXISTS t(id INTEGER PRIMARY KEY, v);");
  }

  // The single integer that `sql` selects, read through a connection of its own.
  int QueryInt(const std::u16string& sql) {
    storage::TSQLite3Database db;
    db.Open(DbPath());
    auto statement = db.Prepare(sql);
    EXPECT_EQ(statement->Step(), storage::kStepRow) << "no row from the query";
    return statement->ColumnInt(0);
  }

  testsupport::TempFolder folder_{"hopgate-storage"};
};

// The message of the ESQLite3Error that `action` raises; a failure when it raises nothing or
// something else.
inline std::u16string RaisedMessage(const std::function<void()>& action) {
  try {
    action();
  } catch (const storage::ESQLite3Error& e) {
    return e.Message();
  } catch (const std::exception& e) {
    ADD_FAILURE() << "unexpected exception: " << e.what();
    return u"<other exception>";
  }
  ADD_FAILURE() << "nothing was raised";
  return u"<nothing raised>";
}

}  // namespace storagetest
