// repair's step 0 and what it shares with the other steps: the index and the journal beside it
// kept as they stand, then the journal rolled back into the index in place by SQLite.
#include <chrono>
#include <cstdlib>
#include <ctime>
#include <map>
#include <string_view>
#include <thread>

#include "cachetool/RepairSteps.h"
#include "preview/ConstUnit.h"
#include "preview/UpdatePreviewUnit.h"
#include "storage/SQLite3File.h"
#include "storage/SQLite3Wrap.h"

namespace cachetool::repair {

using storage::TSQLite3Database;

namespace {

// The variable that names the step after which a test stops the repair.
constexpr char kStopVariable[] = "HOPGATE_CACHE_TEST_REPAIR_STOP";
constexpr int kExitStopped = 70;

// A 32-bit big-endian number of a journal's bytes (as SQLite writes them).
std::uint32_t JournalNumber(std::string_view journal, std::size_t at) {
  std::uint32_t n = 0;
  for (std::size_t i = 0; i < 4; ++i) n = n << 8 | static_cast<unsigned char>(journal[at + i]);
  return n;
}

// The page images that the rollback journal `journal` holds, by page number, and its page size:
// what rolling it back may write into the index. Read segment by segment as SQLite lays them out
// (a header at a sector boundary, then its records); a record that runs past the end ends it.
struct JournalImages {
  std::size_t pageSize = 0;
  std::map<std::uint32_t, std::string_view> pages;
};

JournalImages ImagesOf(std::string_view journal) {
  JournalImages images;
  if (journal.size() < 28) return images;
  const std::size_t sector = JournalNumber(journal, 20), page = JournalNumber(journal, 24);
  if (sector < 28 || page < 512 || page > 65536) return images;
  images.pageSize = page;
  const std::size_t record = 4 + page + 4;
  for (std::size_t header = 0; header + sector <= journal.size();) {
    std::size_t count = JournalNumber(journal, header + 8);
    std::size_t at = header + sector;
    // 0 (not yet synced) and 0xffffffff (no syncing at all): the records up to the end.
    if (count == 0 || count == 0xffffffff) count = (journal.size() - at) / record;
    for (std::size_t n = 0; n < count && at + record <= journal.size(); ++n, at += record) {
      images.pages.emplace(JournalNumber(journal, at), journal.substr(at + 4, page));
    }
    header = (at + sector - 1) / sector * sector;
  }
  return images;
}

// Whether every page of `index` is the one the kept index `kept` held or the journal's image of
// it: all that a rollback, whole or half done, ever writes. Anything else was written by another
// program: an import that rolled the journal back itself and then committed.
bool OnlyRollbackWrote(std::string_view index, std::string_view kept, const JournalImages& images) {
  const std::size_t page = images.pageSize;
  if (page == 0 || index.size() % page != 0) return false;
  for (std::size_t at = 0; at < index.size(); at += page) {
    const std::string_view now = index.substr(at, page);
    const auto image = images.pages.find(static_cast<std::uint32_t>(at / page + 1));
    if (at + page <= kept.size() && now == kept.substr(at, page)) continue;
    if (image == images.pages.end() || now != image->second) return false;
  }
  return true;
}

// The index as rolling the kept pair back leaves it, the rollback done by SQLite in a scratch
// copy of the pair: what the index in place must hold once SQLite has rolled the journal back
// there. Raises when SQLite could not finish the rollback in the copy.
std::string RolledBackCopy(const Text& kept) {
  const ScratchFolder scratch("hopgate-cache-rollback");
  const Text copy = scratch.File(preview::kIndexFileName);
  if (!scratch.CopyIn(kept, preview::kIndexFileName) ||
      !scratch.CopyIn(JournalOf(kept), JournalOf(preview::kIndexFileName))) {
    throw ECacheError(Cannot("copy the kept index", kept, SystemReason()));
  }
  try {
    TSQLite3Database db;
    db.OpenExisting(copy, TSQLite3Database::TOpenMode::ReadWrite);
    db.Execute(u"BEGIN EXCLUSIVE");
    db.Execute(u"COMMIT");
  } catch (const storage::ESQLite3Error& e) {
    if (StillHot(JournalOf(copy))) throw ECacheError(Cannot("roll back a copy of", kept, e.what()));
  }
  std::string bytes;
  if (StillHot(JournalOf(copy)) || !platform::ReadWholeFile(copy, bytes)) {
    throw ECacheError(Cannot("roll back a copy of", kept, SystemReason()));
  }
  return bytes;
}

}  // namespace

void StepDone(const char* step) {
  const char* stop = std::getenv(kStopVariable);
  if (stop != nullptr && std::string(stop) == step) std::_Exit(kExitStopped);
}

std::string ChangeCounter(std::string_view file) {
  return file.size() >= 28 ? std::string(file.substr(24, 4)) : std::string();
}

std::string UtcStamp() {
  const std::time_t now = std::time(nullptr);
  char text[32];
  std::strftime(text, sizeof text, "%Y%m%d-%H%M%S", std::gmtime(&now));
  return text;
}

Text FromAscii(std::string_view ascii) { return Text(ascii.begin(), ascii.end()); }

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

KeptCopies::KeptCopies(Outcome& outcome, Text (*companionOf)(const Text&))
    : outcome_(outcome),
      companionOf_(companionOf),
      kept_(BackupName()),
      temp_(preview::IndexPath() + FromAscii(".repair-" + UtcStamp() + "-kept")) {
  if (!platform::CopyFile(preview::IndexPath(), temp_)) {
    Fail("copy the index", preview::IndexPath(), SystemReason());
  }
}

void KeptCopies::Discard() const {
  platform::DeleteFile(temp_);
  platform::DeleteFile(companionOf_(temp_));
}

void KeptCopies::Fail(const char* what, const Text& path, const std::string& reason) const {
  Discard();
  ForgetKeptPair(outcome_);
  throw ECacheError(Cannot(what, path, reason));
}

void KeptCopies::KeepCompanion(const char* what, std::optional<Text>& companionKeptAs) const {
  if (!platform::MoveFile(companionOf_(temp_), companionOf_(kept_))) {
    Fail((std::string("keep the ") + what + " as").c_str(), companionOf_(kept_), SystemReason());
  }
  companionKeptAs = companionOf_(kept_);
}

void KeptCopies::KeepIndex() const {
  if (!platform::MoveFile(temp_, kept_)) Fail("keep the index as", kept_, SystemReason());
  outcome_.keptAs = kept_;
  if (!platform::SyncFile(kept_)) Fail("keep the index as", kept_, SystemReason());
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
// journal). False when the journal went meanwhile (an import rolled it back or committed) or is
// a running import's: there is no pair to keep.
bool KeepPair(Outcome& outcome) {
  const Text index = preview::IndexPath();
  const Text journal = JournalOf(index);
  const KeptCopies copies(outcome, JournalOf);
  // Windows refuses to copy a journal that an import is writing, or deleting: tried again for as
  // long as hopgate waits for a lock.
  const auto deadline =
      std::chrono::steady_clock::now() + std::chrono::milliseconds(preview::kIndexBusyTimeoutMs);
  while (!platform::CopyFile(journal, copies.TempCompanion())) {
    const std::string reason = SystemReason();
    if (platform::Examine(journal) == platform::PathKind::Missing) {
      copies.Discard();
      return false;
    }
    if (std::chrono::steady_clock::now() > deadline) {
      copies.Fail("copy the journal", journal, reason);
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  // A journal that a running import is writing is not the damaged index's: SQLite itself tells,
  // by the locks, once the copies are taken (a hot journal stays as it is until it is rolled back).
  bool hot = false;
  try {
    hot = storage::JournalIsHot(index, preview::kIndexBusyTimeoutMs);
  } catch (const storage::ESQLite3Error& e) {
    copies.Fail("examine the journal", journal, e.what());
  }
  if (!hot) {
    copies.Discard();
    return false;
  }
  copies.KeepCompanion("journal", outcome.journalKeptAs);
  copies.KeepIndex();
  return true;
}

// What SQLite's rollback in place left, seen under its exclusive lock.
enum class RollbackSeen { Whole, HalfDone, ByAnother };

RollbackSeen SeeRollback(const TSQLite3Database& db, const std::string& expected,
                         const std::string& kept, const std::string& journal) {
  std::string index;
  if (!storage::ReadDatabaseFile(db, index)) {
    throw ECacheError(Cannot("read the index", preview::IndexPath(), "a read failed"));
  }
  if (index == expected) return RollbackSeen::Whole;
  return OnlyRollbackWrote(index, kept, ImagesOf(journal)) ? RollbackSeen::HalfDone
                                                           : RollbackSeen::ByAnother;
}

// The journal beside the index rolled back into it by SQLite under its exclusive lock, as the next
// import would, once the pair is kept as `kept`. What SQLite leaves is checked under that lock
// against the same rollback done in a scratch copy of the kept pair: under a failed call SQLite
// may end a rollback half done and delete the journal all the same; then the kept journal is put
// back beside the index, still under the lock, and SQLite rolls it back once more. An index that
// another program wrote meanwhile (an import that rolled the journal back itself, then
// committed) is taken as it is.
void RollBackInPlace(const Text& kept, Outcome& outcome) {
  const Text index = preview::IndexPath();
  const Text journal = JournalOf(index);
  std::string saved, keptIndex;
  if (!platform::ReadWholeFile(JournalOf(kept), saved) ||
      !platform::ReadWholeFile(kept, keptIndex)) {
    Abandon(outcome, "read the kept index", kept, SystemReason());
  }
  std::string expected;
  try {
    expected = RolledBackCopy(kept);
  } catch (const ECacheError&) {
    ForgetKeptPair(outcome);
    throw;
  }
  for (int attempt = 1;; ++attempt) {
    RollbackSeen seen = RollbackSeen::Whole;
    try {
      TSQLite3Database db;
      db.SetBusyTimeout(preview::kIndexBusyTimeoutMs);
      db.OpenExisting(index, TSQLite3Database::TOpenMode::ReadWrite);
      db.Execute(u"BEGIN EXCLUSIVE");
      try {
        seen = SeeRollback(db, expected, keptIndex, saved);
      } catch (const ECacheError&) {
        seen = RollbackSeen::HalfDone;  // cannot tell: the journal goes back, which is safe
      }
      if (seen == RollbackSeen::HalfDone && !platform::CopyFile(JournalOf(kept), journal)) {
        Abandon(outcome, "put the journal back beside", index, SystemReason());
      }
      db.Execute(u"COMMIT");
    } catch (const storage::ESQLite3Error& e) {
      if (StillHot(journal)) Abandon(outcome, "roll the journal back into", index, e.what());
    }
    if (seen != RollbackSeen::HalfDone) break;
    if (attempt == 2) {
      Abandon(outcome, "roll the journal back into", index, "SQLite left it half done");
    }
  }
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
