// repair's step 0 and what it shares with the other steps: the index and the journal beside it
// kept as they stand, then the journal rolled back into the index in place by SQLite.
#include <chrono>
#include <cstdlib>
#include <ctime>
#include <thread>

#include "cachetool/RepairSteps.h"
#include "preview/ConstUnit.h"
#include "preview/UpdatePreviewUnit.h"
#include "storage/SQLite3Wrap.h"

namespace cachetool::repair {

using storage::TSQLite3Database;

namespace {

// The variable that names the step after which a test stops the repair.
constexpr char kStopVariable[] = "HOPGATE_CACHE_TEST_REPAIR_STOP";
constexpr int kExitStopped = 70;

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

}  // namespace

void StepDone(const char* step) {
  const char* stop = std::getenv(kStopVariable);
  if (stop != nullptr && std::string(stop) == step) std::_Exit(kExitStopped);
}

Text JournalOf(const Text& database) { return database + u"-journal"; }

std::string UtcStamp() {
  const std::time_t now = std::time(nullptr);
  char text[32];
  std::strftime(text, sizeof text, "%Y%m%d-%H%M%S", std::gmtime(&now));
  return text;
}

Text FromAscii(std::string_view ascii) { return Text(ascii.begin(), ascii.end()); }

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

// A name beside the index for the damaged file under which neither a file nor a journal or a
// write-ahead log of one stands (a stray kept journal or log is never played into a kept file). A
// test that cannot tell stops the repair.
Text BackupName(const Text& base) {
  const auto taken = [](const Text& path) {
    const platform::PathKind kind = platform::Examine(path);
    if (kind == platform::PathKind::Unknown) {
      throw ECacheError(Cannot("examine", path, SystemReason()));
    }
    return kind != platform::PathKind::Missing;
  };
  Text name = base;
  for (int n = 2; taken(name) || taken(JournalOf(name)) || taken(WalOf(name)); ++n) {
    name = base + FromAscii("-" + std::to_string(n));
  }
  return name;
}

Text BackupName() { return BackupName(preview::IndexPath() + FromAscii(".damaged-" + UtcStamp())); }

// Deletes the kept pair again: the file first, so that its journal (or log) never stands without
// it being the one it was.
void ForgetKeptPair(Outcome& outcome) {
  if (outcome.keptAs) platform::DeleteFile(*outcome.keptAs);
  if (outcome.journalKeptAs) platform::DeleteFile(*outcome.journalKeptAs);
  if (outcome.walKeptAs) platform::DeleteFile(*outcome.walKeptAs);
  outcome.keptAs.reset();
  outcome.journalKeptAs.reset();
  outcome.walKeptAs.reset();
}

namespace {

// Gives up step 0: the kept pair is deleted, and the repair stops.
[[noreturn]] void Abandon(Outcome& outcome, const char* what, const Text& path,
                          const std::string& reason) {
  ForgetKeptPair(outcome);
  throw ECacheError(Cannot(what, path, reason));
}

// The pair of the index and its journal as it stands, copied to the kept names (written under
// temporary names, synced, renamed, the journal first: a kept file never stands without its
// journal). False when the journal went meanwhile: an import rolled it back or committed, and
// there is no pair to keep.
bool KeepPair(Outcome& outcome) {
  const Text index = preview::IndexPath();
  const Text journal = JournalOf(index);
  const Text kept = BackupName();
  const Text temp = index + FromAscii(".repair-" + UtcStamp() + "-kept");
  const auto fail = [&](const char* what, const Text& path, const std::string& reason) {
    platform::DeleteFile(temp);
    platform::DeleteFile(JournalOf(temp));
    Abandon(outcome, what, path, reason);
  };
  if (!platform::CopyFile(index, temp)) fail("copy the index", index, SystemReason());
  // Windows refuses to copy a journal that an import is writing, or deleting: tried again for as
  // long as hopgate waits for a lock.
  const auto deadline =
      std::chrono::steady_clock::now() + std::chrono::milliseconds(preview::kIndexBusyTimeoutMs);
  while (!platform::CopyFile(journal, JournalOf(temp))) {
    const std::string reason = SystemReason();
    if (platform::Examine(journal) == platform::PathKind::Missing) {
      platform::DeleteFile(temp);
      platform::DeleteFile(JournalOf(temp));
      return false;
    }
    if (std::chrono::steady_clock::now() > deadline) {
      fail("copy the journal", journal, reason);
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  if (!platform::MoveFile(JournalOf(temp), JournalOf(kept))) {
    fail("keep the journal as", JournalOf(kept), SystemReason());
  }
  outcome.journalKeptAs = JournalOf(kept);
  if (!platform::MoveFile(temp, kept)) {
    fail("keep the index as", kept, SystemReason());
  }
  outcome.keptAs = kept;
  if (!platform::SyncFile(kept)) fail("keep the index as", kept, SystemReason());
  return true;
}

// The journal beside the index rolled back into it by SQLite under its exclusive lock, as the next
// import would, once the pair is kept as `kept`. A journal that was not hot but a running
// import's (the index's change counter is then not the one the journal saved) is not kept.
void RollBackInPlace(const Text& kept, Outcome& outcome) {
  const Text index = preview::IndexPath();
  const Text journal = JournalOf(index);
  std::string saved;
  if (!platform::ReadWholeFile(JournalOf(kept), saved)) {
    Abandon(outcome, "read the journal", JournalOf(kept), SystemReason());
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
        Abandon(outcome, "put the journal back beside", index, SystemReason());
      }
      db.Execute(u"COMMIT");
    } catch (const storage::ESQLite3Error& e) {
      if (StillHot(journal)) Abandon(outcome, "roll the journal back into", index, e.what());
    }
    if (whole) break;
    if (attempt == 2) {
      Abandon(outcome, "roll the journal back into", index, "SQLite left it half done");
    }
  }
  if (importsJournal) ForgetKeptPair(outcome);
  outcome.journal = true;
  StepDone("rolled-back");
}

}  // namespace

void KeepPairAndRollBack(Outcome& outcome) {
  if (!KeepPair(outcome)) return;
  StepDone("journal-kept");
  RollBackInPlace(*outcome.keptAs, outcome);
}

}  // namespace cachetool::repair
