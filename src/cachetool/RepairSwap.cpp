// repair's steps 3 to 5: the new index written, the rows that imports added meanwhile carried
// into it, and the swap.
#include <sqlite3.h>

#include <chrono>
#include <thread>
#include <utility>

#include "cachetool/RepairSteps.h"
#include "preview/ConstUnit.h"
#include "preview/UpdatePreviewUnit.h"
#include "storage/SQLite3Wrap.h"

namespace cachetool::repair {

using storage::TSQLite3Database;
using storage::TSQLite3Statement;

namespace {

// How long the reading of the old index right before the swap waits for an import's lock: less
// than hopgate's own wait, since the repair only reads there.
constexpr int kLockWaitMs = preview::kIndexBusyTimeoutMs / 2;

void RaiseOn(int code, const char* what, const Text& path) {
  if (code != SQLITE_OK && code != SQLITE_DONE) {
    throw ECacheError(Cannot(what, path, sqlite3_errstr(code)));
  }
}

// Binds the value as the file held it, bytes unchanged.
void Bind(TSQLite3Statement& statement, int index, const StoredValue& v, const Text& path) {
  sqlite3_stmt* s = statement.Handle();
  int code = SQLITE_OK;
  switch (v.type) {
    case StoredValue::Type::Null:
      code = sqlite3_bind_null(s, index);
      break;
    case StoredValue::Type::Integer:
      code = sqlite3_bind_int64(s, index, v.integer);
      break;
    case StoredValue::Type::Real:
      code = sqlite3_bind_double(s, index, v.real);
      break;
    case StoredValue::Type::String:
      code = sqlite3_bind_text(s, index, v.bytes.data(), static_cast<int>(v.bytes.size()),
                               SQLITE_TRANSIENT);
      break;
    case StoredValue::Type::Blob:
      code = sqlite3_bind_blob(s, index, v.bytes.data(), static_cast<int>(v.bytes.size()),
                               SQLITE_TRANSIENT);
      break;
  }
  RaiseOn(code, "write the new index", path);
}

StoredValue Column(TSQLite3Statement& statement, int index) {
  sqlite3_stmt* s = statement.Handle();
  StoredValue v;
  switch (sqlite3_column_type(s, index)) {
    case SQLITE_INTEGER:
      v.type = StoredValue::Type::Integer;
      v.integer = sqlite3_column_int64(s, index);
      break;
    case SQLITE_FLOAT:
      v.type = StoredValue::Type::Real;
      v.real = sqlite3_column_double(s, index);
      break;
    case SQLITE_TEXT: {
      v.type = StoredValue::Type::String;
      const auto* text = reinterpret_cast<const char*>(sqlite3_column_text(s, index));
      v.bytes.assign(text, static_cast<std::size_t>(sqlite3_column_bytes(s, index)));
      break;
    }
    case SQLITE_BLOB: {
      v.type = StoredValue::Type::Blob;
      const auto* blob = static_cast<const char*>(sqlite3_column_blob(s, index));
      v.bytes.assign(blob ? blob : "", static_cast<std::size_t>(sqlite3_column_bytes(s, index)));
      break;
    }
    default:
      break;
  }
  return v;
}

// The rows that imports added to the open index `db` above `after`, read until the end, the first
// page SQLite cannot read, or the first row that no import makes: SQLite reads the pages of a
// damaged file as they come, so a row whose ID does not rise or that lacks a PNG name or a model
// path is the damage speaking, and nothing after it is taken.
std::vector<SalvagedRow> RowsAfter(TSQLite3Database& db, std::int64_t after) {
  std::vector<SalvagedRow> rows;
  db.Execute(u"PRAGMA cell_size_check=ON");
  auto list = db.Prepare(
      u"SELECT ID,PngMd5FileName,SwFullFileName FROM PreviewPNGTable WHERE ID>? ORDER BY ID");
  list->BindInt64(1, after);
  while (list->Step() == storage::kStepRow) {
    SalvagedRow row{list->ColumnInt64(0), Column(*list, 1), Column(*list, 2)};
    if (row.id <= (rows.empty() ? after : rows.back().id) ||
        row.png.type != StoredValue::Type::String || row.model.type != StoredValue::Type::String) {
      break;
    }
    rows.push_back(std::move(row));
  }
  return rows;
}

// The rows that imports added to the index in place above `seenUpTo` go into the new index
// `fresh` with their IDs; gives the last ID carried over.
std::int64_t CatchUp(const Text& fresh, std::int64_t seenUpTo, Outcome& outcome) {
  const Text index = preview::IndexPath();
  // The rows that imports added since the copy go into the new index with their IDs. No lock is
  // held across the swap: an import that meets one waits, and an import that opened the old index
  // before the swap and writes after it is refused by SQLite on POSIX (the file has moved), so the
  // shorter the time between an import's opening and its writing, the fewer are caught out.
  try {
    TSQLite3Database old;
    old.SetBusyTimeout(kLockWaitMs);
    old.OpenExisting(index, TSQLite3Database::TOpenMode::ReadOnly);
    const std::vector<SalvagedRow> added = RowsAfter(old, seenUpTo);
    old.Close();
    if (!added.empty()) {
      AddRows(fresh, added, false);
      seenUpTo = added.back().id;
      outcome.addedMeanwhile += added.size();
    }
  } catch (const storage::ESQLite3Error&) {
    // SQLite cannot read the old index that far: no import could add a row to it either.
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
  const Text index = preview::IndexPath();
  // Rows that imports wrote into the old index after the reading above are in the backup. Its
  // write lock is taken (waiting for a write under way to end); from then on no import writes to
  // it any more (on POSIX SQLite refuses to write a file that has moved; on Windows nobody had it
  // open at the swap, and nobody opens it by the index's name since). They go into the new index
  // as an import adds a row.
  try {
    TSQLite3Database old;
    old.SetBusyTimeout(preview::kIndexBusyTimeoutMs);
    old.OpenExisting(backup, TSQLite3Database::TOpenMode::ReadWrite);
    old.Execute(u"BEGIN IMMEDIATE");
    const std::vector<SalvagedRow> late = RowsAfter(old, seenUpTo);
    old.Close();
    if (!late.empty()) {
      AddRows(index, late, true);
      outcome.addedMeanwhile += late.size();
    }
  } catch (const storage::ESQLite3Error&) {
    // The backup cannot be read by SQLite: nobody could have written to it either.
  }
}

}  // namespace

// Adds the rows to the index `path`, in one transaction: with their own IDs, or, `asNew`, as new
// rows (unless a row already names the PNG), the way an import adds one.
void AddRows(const Text& path, const std::vector<SalvagedRow>& rows, bool asNew) {
  try {
    TSQLite3Database db;
    db.SetBusyTimeout(preview::kIndexBusyTimeoutMs);
    db.Open(path);
    db.Execute(preview::kCreateIndexTable);
    db.BeginTransaction();
    {
      auto insert = db.Prepare(
          asNew ? u"INSERT INTO PreviewPNGTable (PngMd5FileName,SwFullFileName) SELECT ?1,?2 "
                  u"WHERE NOT EXISTS (SELECT 1 FROM PreviewPNGTable WHERE PngMd5FileName=?1)"
                : u"INSERT INTO PreviewPNGTable (PngMd5FileName,SwFullFileName,ID) VALUES "
                  u"(?1,?2,?3)");
      for (const auto& row : rows) {
        Bind(*insert, 1, row.png, path);
        Bind(*insert, 2, row.model, path);
        if (!asNew) sqlite3_bind_int64(insert->Handle(), 3, row.id);
        RaiseOn(insert->StepAndReset(), "write the new index", path);
      }
    }
    db.Commit();
  } catch (const storage::ESQLite3Error& e) {
    throw ECacheError(Cannot("write the new index", path, e.what()));
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
std::vector<Text> UnregisteredSince(std::int64_t since) {
  const auto deadline =
      std::chrono::steady_clock::now() + std::chrono::milliseconds(preview::kIndexBusyTimeoutMs);
  for (;;) {
    const CacheView cache = ReadCache(UnreadableIndex::Record);
    const ListedNames listed(cache.rows);
    std::vector<Text> unregistered;
    for (const auto& file : cache.files) {
      if (file.status.modifiedSeconds >= since && IsUnlisted(file.name, listed)) {
        unregistered.push_back(file.name);
      }
    }
    if (unregistered.empty() || std::chrono::steady_clock::now() > deadline) return unregistered;
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
  }
}

}  // namespace cachetool::repair
