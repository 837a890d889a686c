// repair's steps 3 to 5: the new index written, the rows that imports added meanwhile carried
// into it, and the swap.
#include <algorithm>
#include <chrono>
#include <thread>
#include <utility>

#include "cachetool/RepairSteps.h"
#include "preview/ConstUnit.h"
#include "preview/UpdatePreviewUnit.h"
#include "storage/SQLite3File.h"
#include "storage/SQLite3Wrap.h"

namespace cachetool::repair {

using storage::TSQLite3Database;

namespace {

// How long the reading of the old index right before the swap waits for an import's lock: less
// than hopgate's own wait, since the repair only reads there.
constexpr int kLockWaitMs = preview::kIndexBusyTimeoutMs / 2;

// The rows that imports committed to the open index `db` since its change counter (header bytes
// 24-27, which every committed write changes) was `outcome.counter`, above `after`: none while the
// counter stands. The file is read through the connection, under the lock its transaction holds,
// and its rows as the salvage reads them: from whole pages only, never a row SQLite would take
// from a damaged page (a deleted row, or garbage). Raises when the file cannot be read.
std::vector<SalvagedRow> CommittedSince(const TSQLite3Database& db, std::int64_t after,
                                        Outcome& outcome) {
  std::string file;
  if (!storage::ReadDatabaseFile(db, file)) {
    throw ECacheError(Cannot("read the index", preview::IndexPath(), "a read failed"));
  }
  const std::string counter = ChangeCounter(file);
  if (counter == outcome.counter) return {};
  outcome.counter = counter;
  std::vector<SalvagedRow> rows = SalvageTable(file, kIndexTable).rows;
  // An import adds a row above every other, with a PNG name and a model path as texts.
  std::erase_if(rows, [&](const SalvagedRow& row) {
    return row.id <= after || row.png.type != StoredValue::Type::String ||
           row.model.type != StoredValue::Type::String;
  });
  return rows;
}

// The rows that imports added to the index in place since the salvage's copy was taken go into the
// new index `fresh` with their IDs; gives the last ID carried over. The index's read lock is held
// while it is read. No lock is held across the swap: an import that meets one waits, and an import
// that opened the old index before the swap and writes after it is refused by SQLite on POSIX (the
// file has moved), so the shorter the time between an import's opening and its writing, the fewer
// are caught out.
std::int64_t CatchUp(const Text& fresh, std::int64_t seenUpTo, Outcome& outcome) {
  std::vector<SalvagedRow> added;
  try {
    TSQLite3Database old;
    old.SetBusyTimeout(kLockWaitMs);
    old.OpenExisting(preview::IndexPath(), TSQLite3Database::TOpenMode::ReadOnly);
    old.Execute(u"BEGIN");
    old.Execute(u"SELECT count(*) FROM sqlite_master");
    added = CommittedSince(old, seenUpTo, outcome);
  } catch (const storage::ESQLite3Error&) {
    // SQLite cannot read the old index: no import could add a row to it either.
  }
  if (!added.empty()) {
    AddRows(fresh, added, false);
    seenUpTo = added.back().id;
    outcome.addedMeanwhile += added.size();
  }
  return seenUpTo;
}

// The new index `fresh` put in place, the old one kept as `backup`.
void Swap(const Text& fresh, const Text& backup) {
  const Text index = preview::IndexPath();
  // The index is never separated from a journal: while one stands beside it (an import is
  // writing), the swap waits. Windows refuses to replace a file that another process has open.
  // Both are tried again until they succeed, for as long as hopgate waits for a lock.
  // Nor does a write-ahead log (of a tool that put the index back in WAL mode) stay beside it.
  const Text journal = JournalOf(index);
  const auto deadline =
      std::chrono::steady_clock::now() + std::chrono::milliseconds(preview::kIndexBusyTimeoutMs);
  for (;;) {
    const bool writing = JournalAt(journal) || JournalAt(WalOf(index));
    if (!writing && platform::ReplaceKeepingBackup(index, fresh, backup)) break;
    const std::string reason = writing ? "an import is writing it" : SystemReason();
    if (std::chrono::steady_clock::now() > deadline) {
      throw ECacheError(Cannot("replace the index", index, reason));
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
}

// The rows that imports wrote into the old index, now `backup`, above `seenUpTo`, added to the
// index in place as an import adds a row.
void LateCatchUp(const Text& backup, std::int64_t seenUpTo, Outcome& outcome) {
  // Rows that imports wrote into the old index after the reading above are in the backup. Its
  // write lock is taken (waiting for a write under way to end); from then on no import writes to
  // it any more (on POSIX SQLite refuses to write a file that has moved; on Windows nobody had it
  // open at the swap, and nobody opens it by the index's name since). They go into the new index
  // as an import adds a row.
  std::vector<SalvagedRow> late;
  try {
    TSQLite3Database old;
    old.SetBusyTimeout(preview::kIndexBusyTimeoutMs);
    old.OpenExisting(backup, TSQLite3Database::TOpenMode::ReadWrite);
    old.Execute(u"BEGIN IMMEDIATE");
    late = CommittedSince(old, seenUpTo, outcome);
  } catch (const storage::ESQLite3Error&) {
    // The backup cannot be read by SQLite: nobody could have written to it either.
  } catch (const ECacheError&) {
    // The new index is in place: rows that cannot be read here are not carried over.
  }
  if (!late.empty()) {
    AddRows(preview::IndexPath(), late, true);
    outcome.addedMeanwhile += late.size();
  }
}

// The PNG files of the cache folder (none without the folder) that no row of the index names
// (none when the index cannot be read now). The folder is listed by name alone: of the PNGs that
// a cache holds, only those without a row are examined, and the rows are read only when the
// folder holds a PNG.
std::vector<Text> UnlistedPngs(std::optional<std::size_t>& rows) {
  if (!platform::FolderExists(preview::PreviewFolder)) return {};
  auto names = platform::ListFolderNames(preview::PreviewFolder);
  if (!names) {
    throw ECacheError(Cannot("list the cache folder", preview::PreviewFolder, SystemReason()));
  }
  std::erase_if(*names, [](const Text& name) { return !IsPngName(name); });
  if (names->empty()) return {};
  ListedNames listed;
  try {
    listed = ReadListedNames();
    rows = listed.Rows();
  } catch (const ECacheError&) {
    // An index that cannot be read now lists no row: every PNG made since is named.
  }
  std::erase_if(*names, [&listed](const Text& name) { return listed.Lists(name); });
  return std::move(*names);
}

}  // namespace

// Adds the rows to the index `path`, in one transaction: with their own IDs, or, `asNew`, as new
// rows the way an import adds one (unless a row already names the PNG; their PNG names and model
// paths are texts, as CommittedSince takes them). The write lock is taken first: the count of an
// import's statements reads before the insert writes.
void AddRows(const Text& path, const std::vector<SalvagedRow>& rows, bool asNew) {
  TSQLite3Database db;
  // SQLite says "disk I/O error" for a write the system refused: the system's reason goes with it.
  const auto fail = [&](const std::string& reason) {
    const Text system = platform::ErrorText(db.SystemErrorCode());
    throw ECacheError(Cannot("write the new index", path,
                             system.empty() ? reason : reason + " (" + Utf8(system) + ")"));
  };
  const auto check = [&](int code) {
    if (code != storage::kStepDone) fail(Utf8(storage::ResultCodeText(code)));
  };
  try {
    db.SetBusyTimeout(preview::kIndexBusyTimeoutMs);
    db.Open(path);
    db.Execute(preview::kCreateIndexTable);
    db.BeginTransaction(TSQLite3Database::TTransactionMode::Immediate);
    if (asNew) {
      for (const auto& row : rows)
        check(preview::AddRowUnlessNamed(db, row.png.bytes, row.model.bytes));
    } else {
      auto insert = db.Prepare(
          u"INSERT INTO PreviewPNGTable (PngMd5FileName,SwFullFileName,ID) VALUES (?1,?2,?3)");
      for (const auto& row : rows) {
        insert->Bind(1, row.png);
        insert->Bind(2, row.model);
        insert->BindInt64(3, row.id);
        check(insert->StepAndReset());
      }
    }
    db.Commit();
  } catch (const storage::ESQLite3Error& e) {
    fail(e.what());
  }
}

// Step 4 and 5: the new index `fresh` takes the old one's place; the old one is kept, unless the
// pair as it stood before the rollback is kept already: then it is deleted once its late rows are
// carried over.
void PutInPlace(const Text& fresh, std::int64_t salvagedUpTo, Outcome& outcome) {
  const Text index = preview::IndexPath();
  const bool pairKept = outcome.keptAs.has_value();
  // With the pair kept, the old index's name is made from the kept one, not from the clock.
  const Text backup = pairKept ? BackupName(*outcome.keptAs + u"-rolled-back") : BackupName();
  std::int64_t seenUpTo = salvagedUpTo;
  seenUpTo = CatchUp(fresh, seenUpTo, outcome);
  StepDone("caught-up");
  Swap(fresh, backup);
  if (!pairKept) outcome.keptAs = backup;
  StepDone("replaced");
  // The new name on disk: a power cut must not bring the old index back beside a deleted backup.
  platform::SyncFile(index);
  LateCatchUp(backup, seenUpTo, outcome);
  if (pairKept) platform::DeleteFile(backup);
}

// The PNGs made since `since` (seconds, UTC) that no row of the index names: imports that were
// under way at the swap. Each registers within moments, unless it had opened the old index before
// the swap and writes after it (on POSIX SQLite then refuses the write, since the file has moved:
// the row is lost). They are waited for as long as hopgate waits for a lock; those still without a
// row then are returned, to be named.
std::vector<Text> UnregisteredSince(std::int64_t since, std::optional<std::size_t>& rows) {
  const auto deadline =
      std::chrono::steady_clock::now() + std::chrono::milliseconds(preview::kIndexBusyTimeoutMs);
  for (;;) {
    rows.reset();
    std::vector<Text> unregistered = UnlistedPngs(rows);
    std::erase_if(unregistered, [since](const Text& name) {
      const auto status = platform::GetFileStatus(preview::CachePath(name));
      return !status || status->folder || status->modifiedSeconds < since;
    });
    std::sort(unregistered.begin(), unregistered.end());
    if (unregistered.empty() || std::chrono::steady_clock::now() > deadline) return unregistered;
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
  }
}

}  // namespace cachetool::repair
