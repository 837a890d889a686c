// repair: salvages the rows of a damaged index into a new one and puts it in place, keeping the
// damaged file. This file decides and salvages; the steps around it are in RepairSteps.h.
//
// The steps, each of which leaves the index in place with the old index's committed rows (until
// the swap) or the new index's rows (from it on):
//  0. a journal beside the index is copied, with the index, to the kept names (written under
//     temporary names, synced, renamed: the journal first); then SQLite rolls it back into the
//     index in place, under its exclusive lock, as the next import would. From here on no journal
//     stands beside the index, and what is decided and salvaged is the committed rows. An index in
//     WAL mode is checked in a scratch copy in which SQLite has checkpointed its log (a sound one
//     is left as it is, byte for byte); a damaged one is kept with its log the same way (the log
//     first), then SQLite checkpoints the log into the index in place and leaves WAL mode ("PRAGMA
//     journal_mode=DELETE", under its exclusive lock, deleting -wal and -shm), so that the rows
//     committed only in the log are salvaged and no log of the old file is left beside the new
//     one; when SQLite cannot, the repair stops with nothing replaced and the copies deleted;
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
// --dry-run changes nothing: it plays a journal back, or checkpoints a log, in its scratch copy
// instead (step 1).
#include <limits>

#include "cachetool/Cache.h"
#include "cachetool/Commands.h"
#include "cachetool/IndexSalvage.h"
#include "cachetool/Options.h"
#include "cachetool/RepairSteps.h"
#include "preview/ConstUnit.h"
#include "preview/UpdatePreviewUnit.h"
#include "storage/SQLite3Wrap.h"

namespace cachetool {
namespace {

using namespace repair;  // NOLINT(google-build-using-namespace): this file drives its steps
using storage::TSQLite3Database;

// ---- The scratch copy --------------------------------------------------------------------------

// Steps 1 and 2: the rows of the index as it stands, committed (ReadIndexPair: under a shared
// lock, so that no running import's half-written pages are read). A hot journal beside it (a dry
// run's, or one of an import cut off since step 0) is played back in a scratch copy first, as is
// the log of an index still in WAL mode (a dry run's: a repair has taken it out of WAL mode, its
// pair kept); a copy whose journal or log SQLite could not play back is not salvaged.
Salvage SalvageCopy(Outcome& outcome) {
  std::string bytes;
  if (outcome.wal && !outcome.keptAs) {
    const ScratchFolder scratch("hopgate-cache-repair");
    CheckpointedCopy(scratch, preview::kIndexFileName);
    if (!platform::ReadWholeFile(scratch.File(preview::kIndexFileName), bytes)) {
      throw ECacheError(Cannot("read the copy of the index", scratch.File(preview::kIndexFileName),
                               SystemReason()));
    }
  } else {
    IndexPair pair = ReadIndexPair();
    if (pair.journal.empty()) {
      bytes = std::move(pair.index);
    } else {
      outcome.journal = true;
      const ScratchFolder scratch("hopgate-cache-repair");
      const Text copy = PlayedBackCopy(scratch, pair);
      pair = {};
      if (!platform::ReadWholeFile(copy, bytes)) {
        throw ECacheError(Cannot("read the copy of the index", copy, SystemReason()));
      }
    }
  }
  StepDone("copied");
  outcome.counter = ChangeCounter(bytes);
  return SalvageTable(bytes, kIndexTable);
}

// SQLite's integrity check of the index in place (or of its copy `path`): its messages, none when
// it is sound. A check that stops on damage (SQLITE_CORRUPT, SQLITE_NOTADB) gives that as its
// message; one that stops for any other reason (a failed read, a lock held too long) has found
// nothing and stops the repair.
std::vector<Text> Damage(const Text& path) {
  const Text index = preview::IndexPath();
  TSQLite3Database db;
  std::vector<Text> problems;
  try {
    db.SetBusyTimeout(preview::kIndexBusyTimeoutMs);
    db.OpenExisting(path, TSQLite3Database::TOpenMode::ReadOnly);
    auto check = db.Prepare(u"PRAGMA integrity_check");
    int code;
    while ((code = check->Step()) == storage::kStepRow) {
      const Text message = check->ColumnText(0);
      if (message != u"ok") problems.push_back(message);
    }
    if (code == storage::kStepDone) return problems;
    if (!storage::ResultCodeIsDamage(code))
      throw ECacheError(Cannot("read the index", index, Utf8(storage::ResultCodeText(code))));
    problems.push_back(storage::ResultCodeText(code));
    return problems;
  } catch (const storage::ESQLite3Error& e) {
    const int code = db.LastResultCode();
    if (!storage::ResultCodeIsDamage(code)) {
      throw ECacheError(Cannot("read the index", index, Utf8(storage::ResultCodeText(code))));
    }
    return {e.Message()};
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

// Steps 3 to 5 for the salvaged rows: the new index written beside the old one, caught up and
// put in place; then what the new index holds now, which no longer makes the repair fail.
void Replace(Outcome& outcome, std::int64_t start) {
  const Text fresh = preview::IndexPath() + FromAscii(".repair-" + UtcStamp());
  platform::DeleteFile(fresh);
  platform::DeleteFile(JournalOf(fresh));
  try {
    AddRows(fresh, outcome.salvage.rows, false);
    StepDone("written");
    const std::int64_t upTo = outcome.salvage.rows.empty()
                                  ? std::numeric_limits<std::int64_t>::min()
                                  : outcome.salvage.rows.back().id;
    // The rows are in the new index: their memory goes back before the new index is read again.
    std::vector<SalvagedRow>().swap(outcome.salvage.rows);
    PutInPlace(fresh, upTo, outcome);
  } catch (...) {
    platform::DeleteFile(fresh);
    platform::DeleteFile(JournalOf(fresh));
    throw;
  }
  try {
    std::optional<std::size_t> rows;
    outcome.unregistered = UnregisteredSince(start, rows);
    outcome.rowsNow = rows ? *rows : CountRows();
  } catch (const ECacheError& e) {
    outcome.afterwards = e.what();
  }
}

// The integrity check's problems with an index in WAL mode, decided in a scratch copy in which
// SQLite has checkpointed the log: SQLite's own reading of the index in place would rewrite its
// -shm (and leave a -wal and -shm beside an index whose header says WAL mode), and a sound index
// is left as it is, byte for byte. A damaged one (but by a dry run) is then kept with its log,
// checkpointed in place and taken out of WAL mode, and checked again there, as a rollback-mode
// index is.
std::vector<Text> WalProblems(Outcome& outcome, const Options& options) {
  std::vector<Text> problems;
  {
    const ScratchFolder scratch("hopgate-cache-repair");
    problems = Damage(CheckpointedCopy(scratch, preview::kIndexFileName));
  }
  if (problems.empty()) return problems;
  outcome.wal = true;
  if (options.dryRun) return problems;
  RequireReplaceable();
  KeepPairAndCheckpoint(outcome);
  return Damage(preview::IndexPath());
}

// The integrity check's problems with the index in place, a journal beside it rolled back first
// (a dry run does that in its copies only): a hot journal beside a sound index is not damage. A
// missing index and one SQLite finds sound (a zero-length file is an empty database) have none.
std::vector<Text> Problems(Outcome& outcome, const Options& options) {
  if (!platform::FileExists(preview::IndexPath())) return {};
  bool locked = false;
  std::vector<Text> problems;
  if (!options.dryRun && JournalAt(JournalOf(preview::IndexPath()))) {
    KeepPairAndRollBack(outcome);
  }
  if (WalIndex()) return WalProblems(outcome, options);
  if (options.dryRun) {
    problems = IntegrityProblems(CutOffJournal::RolledBack, &locked);
  } else {
    problems = Damage(preview::IndexPath());
    // SQLite reports a read that the system failed (EIO) as damage, SQLITE_CORRUPT: damage is what
    // a second check finds as well.
    if (!problems.empty()) problems = Damage(preview::IndexPath());
  }
  // A lock held for longer than hopgate's wait says nothing about damage.
  if (locked) {
    throw ECacheError(Cannot("read the index", preview::IndexPath(),
                             Utf8(storage::ResultCodeText(storage::kStepBusy))));
  }
  return problems;
}

}  // namespace

int CommandRepair(const Command& self, const std::vector<Text>& arguments, const Console& console) {
  Options options;
  if (!ReadFlags(self, arguments, console,
                 {{"--dry-run", &options.dryRun}, {"--json", &options.json}})) {
    return kExitOk;
  }
  RequireCacheFolder();
  // Nothing of it is opened, copied or moved.
  RequireIndexIsAFile("repair");
  Outcome outcome;
  outcome.problems = Problems(outcome, options);
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
  outcome.salvagedRows = outcome.salvage.rows.size();
  StepDone("salvaged");
  if (!options.dryRun) Replace(outcome, start);
  Report(outcome, true, options, console);
  return outcome.salvage.unreadablePages || outcome.salvage.unreadableRows ? kExitFindings
                                                                           : kExitOk;
}

}  // namespace cachetool
