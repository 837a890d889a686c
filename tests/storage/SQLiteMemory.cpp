#include "storage/SQLiteMemory.h"

#include <gtest/gtest.h>
#include <sqlite3.h>

#include "storage/SQLite3Wrap.h"

namespace storagetest {

namespace {

class MemoryStatusEnvironment : public ::testing::Environment {
 public:
  void SetUp() override {
    // Only possible before SQLite initialises, which nothing has done before the first test.
    ASSERT_EQ(sqlite3_config(SQLITE_CONFIG_MEMSTATUS, 1), SQLITE_OK);
    // One connection opened and closed, so that what SQLite sets up once for good (its
    // initialisation, the ciphers' registry) is in the count before any test measures.
    storage::TSQLite3Database db;
    db.Open(u":memory:");
    db.Execute(u"CREATE TABLE t(v); INSERT INTO t VALUES(1);");
  }
};

const auto* const kEnvironment = ::testing::AddGlobalTestEnvironment(new MemoryStatusEnvironment);

}  // namespace

std::int64_t SQLiteMemoryInUse() { return sqlite3_memory_used(); }

}  // namespace storagetest
