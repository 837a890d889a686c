// repair's step 0 for an index in WAL mode (hopgate never sets it, another tool may have): the
// index and its write-ahead log kept as they stand, then the log checkpointed into the index in
// place by SQLite and WAL mode left, so that the repair goes on as for a rollback-mode index and no
// log of the old file is ever left beside the new one (SQLite would play it into the new file).
#include <chrono>
#include <thread>

#include "cachetool/RepairSteps.h"
#include "preview/ConstUnit.h"
#include "preview/UpdatePreviewUnit.h"
#include "storage/SQLite3File.h"
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
int FailureCode(const TSQLite3Database& db) { return db.LastResultCode(); }

std::string Reason(int code) { return Utf8(storage::ResultCodeText(code)); }

// The database `path` opened on `db` for reading and writing (when closed), with hopgate's wait.
void OpenForWriting(TSQLite3Database& db, const Text& path) {
  if (db.IsOpen()) return;
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
    const bool busy = (code & 0xff) == storage::kStepBusy || (code & 0xff) == storage::kStepLocked;
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
  const Text log = WalOf(preview::IndexPath());
  const KeptCopies copies(outcome, WalOf);
  if (JournalAt(log)) {
    if (!platform::CopyFile(log, copies.TempCompanion())) {
      copies.Fail("copy the write-ahead log", log, SystemReason());
    }
    copies.KeepCompanion("write-ahead log", outcome.walKeptAs);
  }
  copies.KeepIndex();
}

// A copy named `name` in `scratch` of the database `from` and of the log beside it, the log
// checkpointed into it by SQLite; nothing when SQLite could not (its reason in `reason`).
std::optional<Text> CheckpointedCopyOf(const ScratchFolder& scratch, const Text& name,
                                       const Text& from, std::string& reason) {
  if (!scratch.CopyIn(from, name)) {
    reason = Cannot("copy", from, SystemReason());
    return std::nullopt;
  }
  // The -shm is SQLite's shared memory, which it rebuilds from the log in the copy.
  if (Stands(WalOf(from)) && !scratch.CopyIn(WalOf(from), WalOf(name))) {
    reason = Cannot("copy", WalOf(from), SystemReason());
    return std::nullopt;
  }
  TSQLite3Database db;
  reason = LeaveWal(db, scratch.File(name));
  if (!reason.empty()) return std::nullopt;
  return scratch.File(name);
}

// Whether the index in place holds what SQLite's checkpoint of the kept pair gives (in a scratch
// copy): a failed read of the log while SQLite rebuilds its shared memory in place can make it go
// on with a shorter log, checkpoint that and delete the log. An index whose change counter (header
// bytes 24-27) is not the copy's was written by an import meanwhile, and one whose pair cannot be
// checkpointed in a copy is taken as SQLite left it. The index is read through `db`'s own handle,
// under the lock it holds (another handle's close would drop the lock on POSIX, and Windows would
// refuse it); one that cannot be read is not taken for whole.
bool CheckpointedFully(const Outcome& outcome, const TSQLite3Database& db) {
  if (!outcome.keptAs || !outcome.walKeptAs) return true;
  const ScratchFolder scratch("hopgate-cache-repair");
  std::string reason, copy, index;
  const auto checkpointed =
      CheckpointedCopyOf(scratch, preview::kIndexFileName, *outcome.keptAs, reason);
  if (!checkpointed || !platform::ReadWholeFile(*checkpointed, copy)) return true;
  if (!storage::ReadDatabaseFile(db, index)) return false;
  if (copy.size() >= 28 && index.size() >= 28 && index.compare(24, 4, copy, 24, 4) != 0)
    return true;
  return index == copy;
}

// Whether the index holds the kept pair's committed rows (CheckpointedFully), asked under SQLite's
// exclusive lock; when it does not, the kept log is put back beside it before the lock goes, and
// false is returned. When it does, an empty log and a -shm that a failed deletion of SQLite's left
// are deleted under that lock (no connection in WAL mode holds the index then; SQLite ignores
// both beside an index in rollback mode, and a failed deletion leaves them so). `reason` is set,
// and `short_` when the index is left without them, when that cannot be done.
bool PutLogBackIfShort(const Outcome& outcome, std::string& reason, bool& short_) {
  try {
    TSQLite3Database db;
    OpenForWriting(db, preview::IndexPath());
    db.Execute(u"BEGIN EXCLUSIVE");
    const bool whole = CheckpointedFully(outcome, db);
    if (!whole && !platform::CopyFile(*outcome.walKeptAs, WalOf(preview::IndexPath()))) {
      reason = Cannot("put the write-ahead log back beside", preview::IndexPath(), SystemReason());
      short_ = true;
    }
    if (whole && !JournalAt(WalOf(preview::IndexPath()))) {
      platform::DeleteFile(WalOf(preview::IndexPath()));
      platform::DeleteFile(preview::IndexPath() + u"-shm");
    }
    db.Execute(u"COMMIT");
    return whole;
  } catch (const storage::ESQLite3Error& e) {
    reason = e.what();
    return true;
  }
}

[[noreturn]] void RefuseCheckpoint(const std::string& reason) {
  throw ECacheError(
      Cannot("checkpoint the write-ahead log into the index", preview::IndexPath(), reason));
}

}  // namespace

bool LogStands() { return JournalAt(WalOf(preview::IndexPath())); }

bool WalIndex(bool unreadable) {
  if (LogStands()) return true;
  // SQLite opens the log when the header's read version (byte 19; byte 18 is the write version,
  // both 2 in WAL mode) is 2.
  std::string bytes;
  if (!platform::ReadWholeFile(preview::IndexPath(), bytes)) return unreadable;
  return bytes.size() > 19 && bytes[19] == 2;
}

Text CheckpointedCopy(const ScratchFolder& scratch, const Text& name) {
  std::string reason;
  const auto copy = CheckpointedCopyOf(scratch, name, preview::IndexPath(), reason);
  if (!copy) RefuseCheckpoint(reason);
  return *copy;
}

void KeepPairAndCheckpoint(Outcome& outcome) {
  const Text index = preview::IndexPath();
  std::string reason;
  // A pair kept already (a journal rolled back first) is the index as it stood.
  if (!outcome.keptAs) {
    TSQLite3Database db;
    reason = BeginRead(db, index);
    if (!reason.empty()) RefuseCheckpoint(reason);
    KeepWalPair(outcome);
    StepDone("log-kept");
    try {
      db.Commit();
    } catch (const storage::ESQLite3Error& e) {
      reason = e.what();
    }
  }
  // SQLite deletes the log before it writes the header's new mode, and a failure of that write
  // is not reported: the header is read again, and SQLite tries once more. An index that lacks
  // what the kept pair gives has the kept log put back beside it, under SQLite's exclusive lock,
  // and SQLite checkpoints once more.
  int left = 0, putBack = 0;
  bool short_ = false;
  while (reason.empty()) {
    // A header that cannot be read now is tried once more: leaving WAL mode again costs nothing.
    if (WalIndex(true)) {
      if (++left > 3) {
        reason = "SQLite left it in WAL mode";
        break;
      }
      TSQLite3Database db;
      reason = LeaveWal(db, index);
      continue;
    }
    if (PutLogBackIfShort(outcome, reason, short_)) break;
    if (++putBack > 1) reason = "SQLite left part of the log out of it";
  }
  // An index left short of its log's rows keeps the pair that holds them.
  if (short_) RefuseCheckpoint(reason);
  if (!reason.empty()) {
    ForgetKeptPair(outcome);
    RefuseCheckpoint(reason);
  }
  outcome.wal = true;
  StepDone("checkpointed");
}

}  // namespace cachetool::repair
