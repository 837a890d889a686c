// repair's step 0 for an index in WAL mode (hopgate never sets it, another tool may have): the
// index and its write-ahead log kept as they stand, then the log checkpointed into the index in
// place by SQLite and WAL mode left, so that the repair goes on as for a rollback-mode index and no
// log of the old file is ever left beside the new one (SQLite would play it into the new file).
#include <sqlite3.h>

#include <chrono>
#include <thread>

#include "cachetool/RepairSteps.h"
#include "preview/UpdatePreviewUnit.h"
#include "storage/SQLite3Wrap.h"

namespace cachetool::repair {

using storage::TSQLite3Database;

Text WalOf(const Text& database) { return database + u"-wal"; }

namespace {

// A file (of any size) stands at `path`; a test that cannot tell raises.
bool Stands(const Text& path) {
  const platform::PathKind kind = platform::Examine(path);
  if (kind == platform::PathKind::Unknown) {
    throw ECacheError(Cannot("examine", path, SystemReason()));
  }
  return kind != platform::PathKind::Missing;
}

// The result code of the last call that failed on `db`.
int FailureCode(const TSQLite3Database& db) {
  return db.Handle() == nullptr ? SQLITE_CANTOPEN : sqlite3_errcode(db.Handle());
}

std::string Reason(int code) { return Utf8(storage::ResultCodeText(code)); }

// The database `path` opened on `db` for reading and writing (when closed), with hopgate's wait.
void OpenForWriting(TSQLite3Database& db, const Text& path) {
  if (db.Handle() != nullptr) return;
  db.SetBusyTimeout(preview::kIndexBusyTimeoutMs);
  db.OpenExisting(path, TSQLite3Database::TOpenMode::ReadWrite);
}

// Has SQLite checkpoint the log of the database `path` into it and leave WAL mode, on `db`:
// "PRAGMA journal_mode=DELETE", which SQLite does under its exclusive lock, deleting the -wal and
// the -shm once the log is in the file; cut off or failing midway, the log stays and still gives
// the committed rows. SQLite does not wait for that lock itself (another connection's shared lock
// makes it answer busy at once), so a busy lock is tried again for as long as hopgate waits.
// Gives SQLite's reason when it could not, empty when done.
std::string LeaveWal(TSQLite3Database& db, const Text& path) {
  const auto deadline =
      std::chrono::steady_clock::now() + std::chrono::milliseconds(preview::kIndexBusyTimeoutMs);
  for (;;) {
    int code;
    try {
      OpenForWriting(db, path);
      auto mode = db.Prepare(u"PRAGMA journal_mode=DELETE");
      code = mode->Step();
      if (code == storage::kStepRow && mode->ColumnText(0) == u"delete") return {};
      if (code == storage::kStepRow) return "SQLite kept it in WAL mode";
    } catch (const storage::ESQLite3Error&) {
      code = FailureCode(db);
    }
    const bool busy = (code & 0xff) == SQLITE_BUSY || (code & 0xff) == SQLITE_LOCKED;
    if (!busy || std::chrono::steady_clock::now() > deadline) return Reason(code);
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
}

// A read transaction of `db` on the index: while it lasts, no checkpoint of another connection
// writes into the index what the log copied beside it does not hold, nor starts the log anew, so
// the copies of the two are one state of the index. Gives SQLite's reason when it fails.
std::string BeginRead(TSQLite3Database& db, const Text& index) {
  int code;
  try {
    OpenForWriting(db, index);
    db.BeginTransaction();
    code = db.Prepare(u"PRAGMA schema_version")->Step();
    if (code == storage::kStepRow) return {};
  } catch (const storage::ESQLite3Error&) {
    code = FailureCode(db);
  }
  return Reason(code);
}

// The index and its log as they stand, copied to the kept names: each written under a temporary
// name, synced, renamed, the log first, so that a kept file never stands without its log. An empty
// log holds nothing and is not kept. On failure the copies are deleted again and the repair stops.
void KeepWalPair(Outcome& outcome) {
  const Text index = preview::IndexPath();
  const Text log = WalOf(index);
  const Text kept = BackupName();
  const Text temp = index + FromAscii(".repair-" + UtcStamp() + "-kept");
  const auto fail = [&](const char* what, const Text& path, const std::string& reason) {
    platform::DeleteFile(temp);
    platform::DeleteFile(WalOf(temp));
    ForgetKeptPair(outcome);
    throw ECacheError(Cannot(what, path, reason));
  };
  if (!platform::CopyFile(index, temp)) fail("copy the index", index, SystemReason());
  if (JournalAt(log)) {
    if (!platform::CopyFile(log, WalOf(temp))) {
      fail("copy the write-ahead log", log, SystemReason());
    }
    if (!platform::MoveFile(WalOf(temp), WalOf(kept))) {
      fail("keep the write-ahead log as", WalOf(kept), SystemReason());
    }
    outcome.walKeptAs = WalOf(kept);
  }
  if (!platform::MoveFile(temp, kept)) fail("keep the index as", kept, SystemReason());
  outcome.keptAs = kept;
  if (!platform::SyncFile(kept)) fail("keep the index as", kept, SystemReason());
}

[[noreturn]] void RefuseCheckpoint(const std::string& reason) {
  throw ECacheError(
      Cannot("checkpoint the write-ahead log into the index", preview::IndexPath(), reason));
}

}  // namespace

bool LogStands() { return Stands(WalOf(preview::IndexPath())); }

bool WalIndex() {
  if (LogStands()) return true;
  // SQLite opens the log when the header's read version (byte 19; byte 18 is the write version,
  // both 2 in WAL mode) is 2. An index that cannot be read now (on Windows, while another
  // program writes it) has its log beside it if it is in WAL mode, since SQLite makes one on open.
  std::string bytes;
  return platform::ReadWholeFile(preview::IndexPath(), bytes) && bytes.size() > 19 &&
         bytes[19] == 2;
}

Text CheckpointedCopy(const ScratchFolder& scratch, const Text& name) {
  const Text index = preview::IndexPath();
  if (!scratch.CopyIn(index, name)) {
    throw ECacheError(Cannot("copy the index", index, SystemReason()));
  }
  // The -shm is SQLite's shared memory, which it rebuilds from the log in the copy.
  if (LogStands() && !scratch.CopyIn(WalOf(index), WalOf(name))) {
    throw ECacheError(Cannot("copy the write-ahead log", WalOf(index), SystemReason()));
  }
  TSQLite3Database db;
  const std::string reason = LeaveWal(db, scratch.File(name));
  if (!reason.empty()) RefuseCheckpoint(reason);
  return scratch.File(name);
}

void KeepPairAndCheckpoint(Outcome& outcome) {
  const Text index = preview::IndexPath();
  std::string reason;
  {
    TSQLite3Database db;
    reason = BeginRead(db, index);
    if (!reason.empty()) RefuseCheckpoint(reason);
    KeepWalPair(outcome);
    StepDone("log-kept");
    try {
      db.Commit();
      reason = LeaveWal(db, index);
      db.Close();
    } catch (const storage::ESQLite3Error& e) {
      reason = e.what();
    }
  }
  if (reason.empty() && LogStands()) reason = "SQLite left the log beside it";
  if (!reason.empty()) {
    ForgetKeptPair(outcome);
    RefuseCheckpoint(reason);
  }
  outcome.wal = true;
  StepDone("checkpointed");
}

}  // namespace cachetool::repair
