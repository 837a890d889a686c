// The steps of repair (Repair.cpp drives them, in the order its header comment gives): the kept
// pair and the rollback in place (RepairJournal.cpp), the kept pair and the checkpoint of an index
// in WAL mode (RepairWal.cpp), the new index put in place with the rows
// that imports added meanwhile (RepairSwap.cpp), and the report (RepairReport.cpp).
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "cachetool/Cache.h"
#include "cachetool/IndexSalvage.h"

namespace cachetool {
class Console;
}

namespace cachetool::repair {

// For tests only: the name of the step after which the repair stops at once, as a crash or a
// power cut would stop it ("journal-kept", "rolled-back", "log-kept", "checkpointed", "copied",
// "salvaged", "written", "caught-up", "replaced").
void StepDone(const char* step);

struct Options {
  bool dryRun = false;
  bool json = false;
};

struct Outcome {
  std::vector<Text> problems;      // SQLite's integrity check of the index in place
  bool journal = false;            // a journal stood beside the index and was rolled back
  bool wal = false;                // the index was in WAL mode: its log checkpointed into it
  Salvage salvage;                 // its rows are let go once they are in the new index
  std::size_t salvagedRows = 0;    // how many rows the salvage gave
  std::size_t addedMeanwhile = 0;  // rows that imports added while the repair ran
  std::string counter;             // the index's change counter when its rows were last read
  std::optional<Text> keptAs;      // where the damaged index went
  std::optional<Text> journalKeptAs;
  std::optional<Text> walKeptAs;          // the write-ahead log kept beside the kept file
  std::vector<Text> unregistered;         // PNGs made during the repair whose rows did not make it
  std::size_t rowsNow = 0;                // the rows of the new index at the end
  std::optional<std::string> afterwards;  // why the new index could not be read at the end
};

// The table that hopgate's rows are in.
inline constexpr char kIndexTable[] = "PreviewPNGTable";

// A database file's change counter (header bytes 24-27), which every committed write changes;
// empty for a file too short to have one.
std::string ChangeCounter(std::string_view file);
std::string UtcStamp();
Text FromAscii(std::string_view ascii);

// A name beside the index for the damaged file under which neither a file nor a journal or a
// write-ahead log of one stands, made from `base` (by default the index's name with ".damaged-"
// and the time).
Text BackupName(const Text& base);
Text BackupName();

Text WalOf(const Text& database);

// The index is in WAL mode: a write-ahead log that is not empty stands beside it, or its header
// says so; a header that cannot be read now (on Windows, while an import writes the index: in
// WAL mode a log would then stand beside it) gives `unreadable`. A test that cannot tell whether a
// log stands raises ECacheError.
bool WalIndex(bool unreadable = false);

// A write-ahead log that is not empty stands beside the index (SQLite ignores an empty one beside
// an index in rollback mode). A test that cannot tell raises.
bool LogStands();

// A copy of the index named `name` in `scratch`, with its write-ahead log copied too and
// checkpointed into it by SQLite, the copy out of WAL mode. Raises ECacheError naming the index and
// SQLite's reason when SQLite cannot do that (the file too damaged to open, say).
Text CheckpointedCopy(const ScratchFolder& scratch, const Text& name);

// Step 0 for an index in WAL mode: the index and its log kept, then the log checkpointed into the
// index in place by SQLite, the index out of WAL mode. On failure the kept pair is deleted again,
// the index and its log are left to SQLite as they were, and ECacheError is raised.
void KeepPairAndCheckpoint(Outcome& outcome);

// Deletes the kept pair again (the file first) and forgets it.
void ForgetKeptPair(Outcome& outcome);

// Step 0's copies of the index and of the file that goes with it (its journal, or its write-ahead
// log; `companionOf` names it from the database's name), written under a temporary name beside
// the index and then renamed to the kept names, the companion first, so that a kept file never
// stands without its companion. Any failure deletes the copies and the kept pair and raises.
class KeptCopies {
 public:
  // Copies the index under the temporary name at once; raises (Fail) when that fails.
  KeptCopies(Outcome& outcome, Text (*companionOf)(const Text&));

  Text TempCompanion() const { return companionOf_(temp_); }
  // Deletes the temporary copies (the kept pair stays as it is).
  void Discard() const;
  [[noreturn]] void Fail(const char* what, const Text& path, const std::string& reason) const;
  // The companion's copy renamed to its kept name, recorded in `companionKeptAs` (`what` names it
  // in a failure: "journal", "write-ahead log").
  void KeepCompanion(const char* what, std::optional<Text>& companionKeptAs) const;
  // The index's copy renamed to the kept name and put on disk, recorded in the outcome.
  void KeepIndex() const;

 private:
  Outcome& outcome_;
  Text (*companionOf_)(const Text&);
  Text kept_;
  Text temp_;
};

// Step 0: the pair of the index and the journal beside it kept, then the journal rolled back into
// the index in place by SQLite.
void KeepPairAndRollBack(Outcome& outcome);

// Adds the rows to the index `path`, in one transaction: with their own IDs, or, `asNew`, as new
// rows (unless a row already names the PNG), the way an import adds one.
void AddRows(const Text& path, const std::vector<SalvagedRow>& rows, bool asNew);

// Steps 4 and 5: the new index `fresh` takes the old one's place, with the rows that imports
// added above `salvagedUpTo` meanwhile.
void PutInPlace(const Text& fresh, std::int64_t salvagedUpTo, Outcome& outcome);

// The PNGs made since `since` (seconds, UTC) that no row of the index names, once those under way
// have had hopgate's lock wait to register. `rows` is set to the index's rows as its last reading
// counted them (CountRows), or nothing when it read no row (no PNG in the folder, or an index that
// cannot be read).
std::vector<Text> UnregisteredSince(std::int64_t since, std::optional<std::size_t>& rows);

void Report(const Outcome& o, bool damaged, const Options& options, const Console& console);

}  // namespace cachetool::repair
