#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <thread>

#include "storage/SQLite3Wrap.h"
#include "storage/StorageFixture.h"
#include "support/process.h"

namespace storagetest {
namespace {

using storage::TSQLite3Database;

using storage::kStepBusy;
const std::u16string kLocked = u"SQLite3 error: database is locked";

using BusyTest = StorageTest;

// Without a busy time-out (the default) a lock held by another connection makes a write fail at
// once: a tested call raises SQLite's busy text and Step hands back the busy code.
TEST_F(BusyTest, LockHeldElsewhereFailsAtOnceByDefault) {
  TSQLite3Database holder;
  OpenWithTable(holder);
  TSQLite3Database other;
  other.Open(DbPath());
  EXPECT_EQ(other.GetBusyTimeout(), 0);
  auto insert = other.Prepare(u"INSERT INTO t(v) VALUES('other');");

  holder.Execute(u"BEGIN IMMEDIATE; INSERT INTO t(v) VALUES('holder');");
  EXPECT_EQ(RaisedMessage([&] { other.Execute(u"INSERT INTO t(v) VALUES('other');"); }), kLocked);
  EXPECT_EQ(insert->StepAndReset(), kStepBusy);
  // A time-out that runs out ends the same way, only later.
  other.SetBusyTimeout(50);
  EXPECT_EQ(RaisedMessage([&] { other.Execute(u"INSERT INTO t(v) VALUES('other');"); }), kLocked);
  other.SetBusyTimeout(0);
  EXPECT_EQ(other.GetBusyTimeout(), 0);

  holder.Execute(u"COMMIT;");
  EXPECT_EQ(insert->StepAndReset(), storage::kStepDone);
  other.Execute(u"INSERT INTO t(v) VALUES('other');");
  other.Close();
  EXPECT_EQ(QueryInt(u"SELECT count(*) FROM t;"), 3);
}

TEST_F(BusyTest, ANegativeTimeOutMeansNone) {
  TSQLite3Database db;
  db.SetBusyTimeout(-5);
  EXPECT_EQ(db.GetBusyTimeout(), 0);
}

// Writes "probed.flag" when it goes out of scope, which lets the lock holder go on; also when an
// assertion ends the test early, so that the helper never waits out its limit.
struct ReleaseHolder {
  std::filesystem::path flag;
  ~ReleaseHolder() { std::ofstream(flag).put('1'); }
};

// When the waiting connection is given its time-out.
enum class TimeOutSet { BeforeOpen, OnTheOpenConnection, BeforeAnEarlierOpen };

// With a busy time-out, a call that meets another process's lock waits for it to go instead of
// failing. The helper program holds the lock until the test has seen, through a connection without
// time-out, that it is held; the waiting call starts right then and succeeds once the helper
// commits. A time-out set on a connection that was closed since holds for its next Open.
TEST_F(BusyTest, TimeOutWaitsForLockOfAnotherProcess) {
  const auto path = folder_.Path() / "busy.sqlite";
  static const struct {
    TimeOutSet when;
    const char* name;
  } cases[] = {
      {TimeOutSet::BeforeOpen, "time-out set before Open"},
      {TimeOutSet::OnTheOpenConnection, "time-out set on the open connection"},
      {TimeOutSet::BeforeAnEarlierOpen, "time-out set before an earlier Open, then Close"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    std::filesystem::remove(folder_.Path() / "held.flag");
    std::filesystem::remove(folder_.Path() / "probed.flag");
    {
      TSQLite3Database setup;
      setup.Open(path.u16string());
      setup.Execute(u"DROP TABLE IF EXISTS t; CREATE TABLE t(v TEXT);");
    }
    testsupport::RunOptions options;
    options.workingFolder = folder_.Path();
    testsupport::ChildProcess holder(testsupport::OwnFolder() / STORAGE_LOCK_HOLDER,
                                     std::vector<std::u16string>{}, options);
    {
      ReleaseHolder release{folder_.Path() / "probed.flag"};
      for (int i = 0; i < 6000 && !std::filesystem::exists(folder_.Path() / "held.flag"); ++i) {
        ASSERT_FALSE(holder.HasEnded()) << "the lock holder ended early: " << holder.Wait();
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
      }
      ASSERT_TRUE(std::filesystem::exists(folder_.Path() / "held.flag"));

      TSQLite3Database probe;
      probe.Open(path.u16string());
      ASSERT_EQ(RaisedMessage([&] { probe.Execute(u"INSERT INTO t(v) VALUES('probe');"); }),
                kLocked);
    }  // the helper commits a little after this

    TSQLite3Database waiting;
    if (c.when == TimeOutSet::BeforeAnEarlierOpen) {
      waiting.SetBusyTimeout(60000);
      waiting.Open(path.u16string());
      waiting.Close();
    }
    if (c.when == TimeOutSet::BeforeOpen) waiting.SetBusyTimeout(60000);
    waiting.Open(path.u16string());
    if (c.when == TimeOutSet::OnTheOpenConnection) waiting.SetBusyTimeout(60000);
    EXPECT_NO_THROW(waiting.Execute(u"INSERT INTO t(v) VALUES('waited');"));
    EXPECT_EQ(holder.Wait(), 0);

    auto rows = waiting.Prepare(u"SELECT group_concat(v, ',') FROM (SELECT v FROM t ORDER BY v);");
    ASSERT_EQ(rows->Step(), storage::kStepRow);
    EXPECT_EQ(rows->ColumnText(0), u"helper,waited");
  }
}

}  // namespace
}  // namespace storagetest
