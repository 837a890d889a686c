// repair: salvages the rows of a damaged index into a new one and puts it in place, keeping the
// damaged file.
//
// The steps, each of which leaves the index in place with the old index's committed rows (until
// the swap) or the new index's rows (from it on):
//  0. a journal beside the index is copied, with the index, to the kept names (written under
//     temporary names, synced, renamed: the journal first); then SQLite rolls it back into the
//     index in place, under its exclusive lock, as the next import would. From here on no journal
//     stands beside the index, and what is decided and salvaged is the committed rows;
//  1. the index is copied into a scratch folder in the system's temporary folder;
//  2. the copy's rows are read page by page (IndexSalvage.h), never by SQLite: what SQLite cannot
//     get past (a smashed header, a torn page) only costs the rows of the pages that are not whole;
//  3. a new index is made beside the old one, with hopgate's own CREATE TABLE and those rows;
//  4. the rows that imports added to the old index since the copy are carried into the new one,
//     which is then put in place with one call that keeps the old one under a backup name
//     (platform::ReplaceKeepingBackup); on Windows that call succeeds only while no process has
//     the index open, and is retried;
//  5. under the kept file's write lock, the rows that imports added to it after step 4's reading
//     are carried into the new index as well.
// --dry-run changes nothing: it plays a journal back in its scratch copy instead (step 1).
#include <sqlite3.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <ctime>
#include <limits>
#include <thread>
#include <utility>

#include "cachetool/Cache.h"
#include "cachetool/Commands.h"
#include "cachetool/IndexSalvage.h"
#include "cachetool/Options.h"
#include "preview/ConstUnit.h"
#include "preview/UpdatePreviewUnit.h"
#include "storage/SQLite3Wrap.h"

namespace cachetool {
namespace {

using storage::TSQLite3Database;
using storage::TSQLite3Statement;

constexpr char kTable[] = "PreviewPNGTable";

// For tests only: the name of the step after which the repair stops at once, as a crash or a
// power cut would stop it ("journal-kept", "rolled-back", "copied", "salvaged", "written",
// "caught-up", "replaced").
constexpr char kStopVariable[] = "HOPGATE_CACHE_TEST_REPAIR_STOP";
constexpr int kExitStopped = 70;

void StepDone(const char* step) {
  const char* stop = std::getenv(kStopVariable);
  if (stop != nullptr && std::string(stop) == step) std::_Exit(kExitStopped);
}

// How long the reading of the old index right before the swap waits for an import's lock: less
// than hopgate's own wait, since the repair only reads there.
constexpr int kLockWaitMs = preview::kIndexBusyTimeoutMs / 2;

struct RepairOptions {
  bool dryRun = false;
  bool json = false;
};

struct Outcome {
  std::vector<Text> problems;  // SQLite's integrity check of the index in place
  bool journal = false;        // a journal stood beside the index and was rolled back
  Salvage salvage;
  std::size_t addedMeanwhile = 0;  // rows that imports added while the repair ran
  std::optional<Text> keptAs;      // where the damaged index went
  std::optional<Text> journalKeptAs;
  std::vector<Text> unregistered;         // PNGs made during the repair whose rows did not make it
  std::size_t rowsNow = 0;                // the rows of the new index at the end
  std::optional<std::string> afterwards;  // why the new index could not be read at the end
};

Text JournalOf(const Text& database) { return database + u"-journal"; }

std::string UtcStamp() {
  const std::time_t now = std::time(nullptr);
  char text[32];
  std::strftime(text, sizeof text, "%Y%m%d-%H%M%S", std::gmtime(&now));
  return text;
}

Text FromAscii(std::string_view ascii) { return Text(ascii.begin(), ascii.end()); }

// ---- The scratch copy --------------------------------------------------------------------------

// A journal that SQLite may roll back stands at `path`: a file that is not empty. A test that
// cannot tell (any failure but "not found") stops the repair with nothing changed.
bool JournalAt(const Text& path) {
  const platform::PathKind kind = platform::Examine(path);
  if (kind == platform::PathKind::Missing) return false;
  const auto status =
      kind == platform::PathKind::Unknown ? std::nullopt : platform::GetFileStatus(path);
  if (!status) throw ECacheError(Cannot("examine", path, SystemReason()));
  return !status->folder && status->size > 0;
}

// The journal at `path` is one SQLite would still roll back: it begins with a journal header.
// SQLite deletes a journal it has rolled back, and zeroes the header of one it has finished.
bool StillHot(const Text& path) {
  if (!JournalAt(path)) return false;
  std::string bytes;
  if (!platform::ReadWholeFile(path, bytes)) {
    throw ECacheError(Cannot("read the journal", path, SystemReason()));
  }
  static constexpr char kMagic[] = "\xd9\xd5\x05\xf9\x20\xa1\x63\xd7";
  return bytes.compare(0, 8, kMagic, 8) == 0;
}

// Steps 1 and 2: the rows of a copy of the index. A journal still beside it (a dry run's, or a
// running import's) is copied too and played back in the copy first; a copy whose journal SQLite
// could not play back is not salvaged.
Salvage SalvageCopy(Outcome& outcome) {
  const ScratchFolder scratch("hopgate-cache-repair");
  const Text copy = scratch.File(preview::kIndexFileName);
  if (!scratch.CopyIn(preview::IndexPath(), preview::kIndexFileName)) {
    throw ECacheError(Cannot("copy the index", preview::IndexPath(), SystemReason()));
  }
  const Text journal = JournalOf(preview::IndexPath());
  if (JournalAt(journal)) {
    if (!scratch.CopyIn(journal, JournalOf(preview::kIndexFileName))) {
      throw ECacheError(Cannot("copy the journal", journal, SystemReason()));
    }
    outcome.journal = true;
    // The first read of the copy plays the journal back into it; whatever SQLite then thinks of
    // the copy is the salvage's concern, but the journal must be gone.
    try {
      TSQLite3Database db;
      db.OpenExisting(copy, TSQLite3Database::TOpenMode::ReadWrite);
      db.Prepare(u"SELECT count(*) FROM sqlite_master")->Step();
    } catch (const storage::ESQLite3Error& e) {
      if (StillHot(JournalOf(copy))) {
        throw ECacheError(Cannot("play the journal back in", copy, e.what()));
      }
    }
  }
  StepDone("copied");
  std::string bytes;
  if (!platform::ReadWholeFile(copy, bytes)) {
    throw ECacheError(Cannot("read the copy of the index", copy, SystemReason()));
  }
  return SalvageTable(bytes, kTable);
}

// ---- The new index -----------------------------------------------------------------------------

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

// A name beside the index for the damaged file under which neither a file nor a journal of one
// stands (a stray kept journal is never played into a kept file). A test that cannot tell stops
// the repair.
Text BackupName(const Text& base = preview::IndexPath() + FromAscii(".damaged-" + UtcStamp())) {
  const auto taken = [](const Text& path) {
    const platform::PathKind kind = platform::Examine(path);
    if (kind == platform::PathKind::Unknown) {
      throw ECacheError(Cannot("examine", path, SystemReason()));
    }
    return kind != platform::PathKind::Missing;
  };
  Text name = base;
  for (int n = 2; taken(name) || taken(JournalOf(name)); ++n) {
    name = base + FromAscii("-" + std::to_string(n));
  }
  return name;
}

// A 32-bit big-endian number of a journal's bytes (as SQLite writes them).
std::size_t JournalNumber(const std::string& journal, std::size_t at) {
  std::uint32_t n = 0;
  for (std::size_t i = 0; i < 4; ++i) n = n << 8 | static_cast<unsigned char>(journal[at + i]);
  return static_cast<std::size_t>(n);
}

// The file change counter (header bytes 24-27) of the index before the transaction whose journal
// `journal` is: the one in the journal's copy of page 1. Nothing when the journal holds no page 1.
std::optional<std::string> CounterBefore(const std::string& journal) {
  if (journal.size() < 28) return std::nullopt;
  const std::size_t sector = JournalNumber(journal, 20), page = JournalNumber(journal, 24);
  if (sector < 28 || page < 512) return std::nullopt;
  for (std::size_t at = sector; at + 4 + page + 4 <= journal.size(); at += 4 + page + 4) {
    if (JournalNumber(journal, at) == 1) return journal.substr(at + 4 + 24, 4);
  }
  return std::nullopt;
}

// Whether the index, once SQLite has taken its exclusive lock, holds what rolling back the journal
// `journal` (the hot one kept, `keptSize` the size of the index it stood beside) gives: the size
// its header names and every page it saved (the first segment's). A rollback that SQLite left
// half done under a failed call shows here. An index whose change counter is not the one the
// journal saved was written by an import that committed meanwhile: the journal was that import's,
// not a hot one, and `importsJournal` is set. An index that cannot be read now (on Windows, while
// SQLite has it open) is taken as SQLite left it.
bool RolledBackFully(const std::string& journal, std::uint64_t keptSize, bool& importsJournal) {
  importsJournal = false;
  if (journal.size() < 28) return true;
  const std::size_t records = JournalNumber(journal, 8), pages = JournalNumber(journal, 16);
  const std::size_t sector = JournalNumber(journal, 20), page = JournalNumber(journal, 24);
  if (sector < 28 || page < 512) return true;
  const std::uint64_t size = static_cast<std::uint64_t>(pages) * page;
  const auto status = platform::GetFileStatus(preview::IndexPath());
  if (!status) return true;
  // Far larger than anything an import writes: a page written at a wrong place. Not read.
  if (status->size > 2 * std::max(size, keptSize) + (1u << 20)) return false;
  std::string index;
  if (!platform::ReadWholeFile(preview::IndexPath(), index)) return true;
  const std::optional<std::string> counter = CounterBefore(journal);
  if (counter && index.size() >= 28 && index.compare(24, 4, *counter) != 0) {
    importsJournal = true;
    return true;
  }
  if (index.size() != size) return false;
  std::size_t at = sector;
  for (std::size_t n = 0; n < records && at + 8 + page <= journal.size(); ++n, at += 8 + page) {
    const std::size_t number = JournalNumber(journal, at);
    if (number == 0 || number > pages) continue;
    if (index.compare((number - 1) * page, page, journal, at + 4, page) != 0) return false;
  }
  return true;
}

// Deletes the kept pair again: the file first, so that its journal never stands without it being
// the one it was.
void ForgetKeptPair(Outcome& outcome) {
  if (outcome.keptAs) platform::DeleteFile(*outcome.keptAs);
  if (outcome.journalKeptAs) platform::DeleteFile(*outcome.journalKeptAs);
  outcome.keptAs.reset();
  outcome.journalKeptAs.reset();
}

// Step 0: a journal beside the index. The pair as it stands is copied to the kept names (written
// under temporary names, synced, renamed, the journal first: a kept file never stands without its
// journal), then SQLite rolls the journal back into the index under its exclusive lock, as the
// next import would. A journal that was not hot but a running import's (the index's change counter
// is then not the one the journal saved) is not kept.
void KeepPairAndRollBack(Outcome& outcome) {
  const Text index = preview::IndexPath();
  const Text journal = JournalOf(index);
  const Text kept = BackupName();
  const Text temp = index + FromAscii(".repair-" + UtcStamp() + "-kept");
  const auto fail = [&](const char* what, const Text& path, const std::string& reason) {
    platform::DeleteFile(temp);
    platform::DeleteFile(JournalOf(temp));
    ForgetKeptPair(outcome);
    throw ECacheError(Cannot(what, path, reason));
  };
  if (!platform::CopyFile(index, temp)) fail("copy the index", index, SystemReason());
  // Windows refuses to copy a journal that an import is writing, or deleting: tried again for as
  // long as hopgate waits for a lock. A journal gone meanwhile was rolled back or committed by an
  // import: there is no pair to keep.
  const auto deadline =
      std::chrono::steady_clock::now() + std::chrono::milliseconds(preview::kIndexBusyTimeoutMs);
  while (!platform::CopyFile(journal, JournalOf(temp))) {
    const std::string reason = SystemReason();
    if (platform::Examine(journal) == platform::PathKind::Missing) {
      platform::DeleteFile(temp);
      platform::DeleteFile(JournalOf(temp));
      return;
    }
    if (std::chrono::steady_clock::now() > deadline) fail("copy the journal", journal, reason);
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  if (!platform::MoveFile(JournalOf(temp), JournalOf(kept))) {
    fail("keep the journal as", JournalOf(kept), SystemReason());
  }
  outcome.journalKeptAs = JournalOf(kept);
  if (!platform::MoveFile(temp, kept)) fail("keep the index as", kept, SystemReason());
  outcome.keptAs = kept;
  if (!platform::SyncFile(kept)) fail("keep the index as", kept, SystemReason());
  StepDone("journal-kept");

  std::string saved;
  if (!platform::ReadWholeFile(JournalOf(kept), saved)) {
    fail("read the journal", JournalOf(kept), SystemReason());
  }
  // SQLite rolls a hot journal back when it takes its lock, before it reads the index: a damaged
  // index that it then cannot read is the salvage's concern; a journal still hot is not. Under a
  // failed call SQLite may end a rollback half done and delete the journal all the same: then the
  // saved journal is put back beside the index, under the lock, and SQLite tries once more.
  const auto keptSize = platform::GetFileStatus(kept);
  bool importsJournal = false;
  for (int attempt = 1;; ++attempt) {
    bool whole = true;
    try {
      TSQLite3Database db;
      db.SetBusyTimeout(preview::kIndexBusyTimeoutMs);
      db.OpenExisting(index, TSQLite3Database::TOpenMode::ReadWrite);
      db.Execute(u"BEGIN EXCLUSIVE");
      whole = RolledBackFully(saved, keptSize ? keptSize->size : 0, importsJournal);
      if (!whole && !platform::CopyFile(JournalOf(kept), journal)) {
        fail("put the journal back beside", index, SystemReason());
      }
      db.Execute(u"COMMIT");
    } catch (const storage::ESQLite3Error& e) {
      if (StillHot(journal)) fail("roll the journal back into", index, e.what());
    }
    if (whole) break;
    if (attempt == 2) fail("roll the journal back into", index, "SQLite left it half done");
  }
  if (importsJournal) ForgetKeptPair(outcome);
  outcome.journal = true;
  StepDone("rolled-back");
}

// SQLite's integrity check of the index in place: its messages, none when it is sound. A check that
// stops on damage (SQLITE_CORRUPT, SQLITE_NOTADB) gives that as its message; one that stops for
// any other reason (a failed read, a lock held too long) has found nothing and stops the repair.
std::vector<Text> Damage() {
  const Text index = preview::IndexPath();
  const auto isDamage = [](int code) {
    return (code & 0xff) == SQLITE_CORRUPT || (code & 0xff) == SQLITE_NOTADB;
  };
  TSQLite3Database db;
  std::vector<Text> problems;
  try {
    db.SetBusyTimeout(preview::kIndexBusyTimeoutMs);
    db.OpenExisting(index, TSQLite3Database::TOpenMode::ReadOnly);
    auto check = db.Prepare(u"PRAGMA integrity_check");
    int code;
    while ((code = check->Step()) == storage::kStepRow) {
      const Text message = check->ColumnText(0);
      if (message != u"ok") problems.push_back(message);
    }
    if (code == storage::kStepDone) return problems;
    if (!isDamage(code))
      throw ECacheError(Cannot("read the index", index, Utf8(storage::ResultCodeText(code))));
    problems.push_back(storage::ResultCodeText(code));
    return problems;
  } catch (const storage::ESQLite3Error& e) {
    const int code = db.Handle() == nullptr ? SQLITE_CANTOPEN : sqlite3_errcode(db.Handle());
    if (!isDamage(code)) {
      throw ECacheError(Cannot("read the index", index, Utf8(storage::ResultCodeText(code))));
    }
    return {e.Message()};
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
  StepDone("caught-up");
  // The index is never separated from a journal: while one stands beside it (an import is
  // writing), the swap waits. Windows refuses to replace a file that another process has open.
  // Both are tried again until they succeed, for as long as hopgate waits for a lock.
  const Text journal = JournalOf(index);
  const auto deadline =
      std::chrono::steady_clock::now() + std::chrono::milliseconds(preview::kIndexBusyTimeoutMs);
  for (;;) {
    const bool writing = JournalAt(journal);
    if (!writing && platform::ReplaceKeepingBackup(index, fresh, backup)) break;
    const std::string reason = writing ? "an import is writing it" : SystemReason();
    if (std::chrono::steady_clock::now() > deadline) {
      throw ECacheError(Cannot("replace the index", index, reason));
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  if (!pairKept) outcome.keptAs = backup;
  StepDone("replaced");
  // The new name on disk: a power cut must not bring the old index back beside a deleted backup.
  platform::SyncFile(index);

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

// ---- Report ------------------------------------------------------------------------------------

std::string JsonList(const std::vector<Text>& texts) {
  std::string list = "[";
  for (std::size_t i = 0; i < texts.size(); ++i) list += (i ? ", " : "") + JsonString(texts[i]);
  return list + "]";
}

std::string JsonOrNull(const std::optional<Text>& text) {
  return text ? JsonString(*text) : "null";
}

void Report(const Outcome& o, bool damaged, const RepairOptions& options, const Console& console) {
  const Salvage& s = o.salvage;
  if (options.json) {
    console.out("{\"index\": " + JsonString(preview::IndexPath()) + ", \"damaged\": " +
                (damaged ? "true" : "false") + ", \"problems\": " + JsonList(o.problems) +
                ", \"journal\": " + (o.journal ? "true" : "false") +
                ", \"rows\": " + std::to_string(s.rows.size()) +
                ", \"unreadable_pages\": " + std::to_string(s.unreadablePages) +
                ", \"header_rebuilt\": " + (s.headerRebuilt && damaged ? "true" : "false") +
                ", \"added_during_repair\": " + std::to_string(o.addedMeanwhile) +
                ", \"kept_as\": " + JsonOrNull(o.keptAs) + ", \"journal_kept_as\": " +
                JsonOrNull(o.journalKeptAs) + ", \"unregistered\": " + JsonList(o.unregistered) +
                ", \"dry_run\": " + (options.dryRun ? "true" : "false") + "}\n");
    return;
  }
  const char* journalLine =
      options.dryRun ? "a journal stood beside it: played back into the copy first\n"
                     : "a journal stood beside it: SQLite rolled it back into the index\n";
  if (!damaged) {
    if (o.journal) console.out(journalLine);
    console.out(platform::FileExists(preview::IndexPath())
                    ? "the index is sound: nothing to repair\n"
                    : "there is no index: nothing to repair\n");
    return;
  }
  console.out("the index is damaged: " + Utf8(o.problems.front()) +
              (o.problems.size() > 1
                   ? " (and " + Counted(o.problems.size() - 1, "more problem") + ")"
                   : "") +
              "\n");
  if (o.journal) console.out(journalLine);
  if (s.headerRebuilt) {
    console.out(s.pageSize ? "the file's header is damaged: page size " +
                                 std::to_string(s.pageSize) + " found from its first page\n"
                           : "no page size makes its first page readable\n");
  }
  if (!s.tableFound && s.unreadablePages == 0) console.out("it holds no preview table\n");
  console.out("salvaged " + Counted(s.rows.size(), "row") + "; " +
              (s.unreadablePages ? Counted(s.unreadablePages, "page") +
                                       " of the table could not be read, their rows are lost"
                                 : "every page of the table was read") +
              "\n");
  if (options.dryRun) {
    console.out("dry run: nothing changed\n");
    return;
  }
  if (o.addedMeanwhile) {
    console.out("carried over " + Counted(o.addedMeanwhile, "row") +
                " that imports added during the repair\n");
  }
  // Beside the index, in the cache folder; --json gives the whole paths.
  const auto fileName = [](const Text& path) {
    return Utf8(path.substr(path.find_last_of(platform::kPathSeparator) + 1));
  };
  console.out("kept the damaged index as " + fileName(*o.keptAs) + "\n");
  if (o.journalKeptAs) console.out("kept its journal as " + fileName(*o.journalKeptAs) + "\n");
  if (!o.unregistered.empty()) {
    std::string names;
    for (const auto& name : o.unregistered) names += " " + Utf8(name);
    console.out(Counted(o.unregistered.size(), "preview") +
                " made during the repair got no row (an import that met the damaged index or the "
                "swap); importing the model again registers it:" +
                names + "\n");
  }
  if (o.afterwards) {
    console.out("repaired, but the new index cannot be read now: " + *o.afterwards + "\n");
  } else {
    console.out("repaired: the new index holds " + Counted(o.rowsNow, "row") + "\n");
  }
}

// Raises when the index is one that the swap must not replace: a link would become a file of its
// own (the file it led to left damaged), a read-only file a writable one. Nothing has been copied
// or changed yet.
void RequireReplaceable() {
  const auto index = platform::GetAttributes(preview::IndexPath());
  if (index && index->link) {
    throw ECacheError(Cannot("repair the index", preview::IndexPath(),
                             "it is a symbolic link, and repair would replace the link, not the "
                             "file it leads to"));
  }
  if (index && index->readOnly) {
    throw ECacheError(Cannot("repair the index", preview::IndexPath(),
                             "it is read-only, and repair would replace it by a writable file"));
  }
}

}  // namespace

int CommandRepair(const Command& self, const std::vector<Text>& arguments, const Console& console) {
  RepairOptions options;
  if (!ReadFlags(self, arguments, console,
                 {{"--dry-run", &options.dryRun}, {"--json", &options.json}})) {
    return kExitOk;
  }
  RequireCacheFolder();
  // Nothing of it is opened, copied or moved.
  RequireIndexIsAFile("repair");
  Outcome outcome;
  // A missing index and an index SQLite finds sound (a zero-length file is an empty database)
  // are left alone. A journal beside the index is rolled back first (a dry run does that in its
  // copies only): a hot journal beside a sound index is not damage.
  bool locked = false;
  if (platform::FileExists(preview::IndexPath())) {
    if (options.dryRun) {
      outcome.problems = IntegrityProblems(CutOffJournal::RolledBack, &locked);
    } else {
      if (JournalAt(JournalOf(preview::IndexPath()))) KeepPairAndRollBack(outcome);
      outcome.problems = Damage();
    }
  }
  // A lock held for longer than hopgate's wait says nothing about damage.
  if (locked) {
    throw ECacheError(Cannot("read the index", preview::IndexPath(),
                             Utf8(storage::ResultCodeText(storage::kStepBusy))));
  }
  if (outcome.problems.empty()) {
    ForgetKeptPair(outcome);
    Report(outcome, false, options, console);
    return kExitOk;
  }
  try {
    RequireReplaceable();
  } catch (const ECacheError&) {
    ForgetKeptPair(outcome);
    throw;
  }
  // A second back, since a file's time is kept in whole seconds.
  const std::int64_t start = NowSeconds() - 1;
  outcome.salvage = SalvageCopy(outcome);
  StepDone("salvaged");
  if (!options.dryRun) {
    const Text fresh = preview::IndexPath() + FromAscii(".repair-" + UtcStamp());
    platform::DeleteFile(fresh);
    platform::DeleteFile(JournalOf(fresh));
    try {
      AddRows(fresh, outcome.salvage.rows, false);
      StepDone("written");
      const std::int64_t upTo = outcome.salvage.rows.empty()
                                    ? std::numeric_limits<std::int64_t>::min()
                                    : outcome.salvage.rows.back().id;
      PutInPlace(fresh, upTo, outcome);
    } catch (...) {
      platform::DeleteFile(fresh);
      platform::DeleteFile(JournalOf(fresh));
      throw;
    }
    // The new index is in place: what cannot be read now is said, and does not make it exit 2.
    try {
      outcome.unregistered = UnregisteredSince(start);
      outcome.rowsNow = ReadRows().size();
    } catch (const ECacheError& e) {
      outcome.afterwards = e.what();
    }
  }
  Report(outcome, true, options, console);
  return outcome.salvage.unreadablePages ? kExitFindings : kExitOk;
}

}  // namespace cachetool
