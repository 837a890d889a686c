// clean: removes what nothing needs any more, without getting in the way of running imports.
//
// It plans, then shows the plan (--dry-run) or carries it out: both walk the same plan, so a dry
// run shows exactly what the act would remove. The rows go in one short transaction; the files
// only after it has committed, so hopgate never waits on the tool for longer than the deletes of
// rows take. Every reason is tested again right before its removal, since imports may run all the
// while: an import places its PNG before it registers it, so a row whose PNG shows up again after
// the commit is put back.
#include <algorithm>
#include <set>

#include "cachetool/Cache.h"
#include "cachetool/Commands.h"
#include "cachetool/Options.h"
#include "preview/ConstUnit.h"
#include "preview/UpdatePreviewUnit.h"
#include "storage/SQLite3Utils.h"
#include "storage/SQLite3Wrap.h"

namespace cachetool {
namespace {

using storage::TSQLite3Database;

struct CleanOptions {
  bool dryRun = false;
  bool stale = false;     // also the rows and PNGs of model files that are gone
  bool unlisted = false;  // also the abandoned PNGs that no row names
};

struct RowRemoval {
  IndexRow row;
  FindingKind reason;  // PngMissing or Stale
};

struct FileRemoval {
  Text name;
  FindingKind reason;              // Stale (the PNG of a stale row), LeftoverTemp or UnlistedPng
  std::optional<std::int64_t> of;  // the stale row whose PNG this is: it goes only with its row
};

struct CleanPlan {
  std::vector<RowRemoval> rows;    // by ID
  std::vector<FileRemoval> files;  // the PNGs of the stale rows by ID, then the others by name
};

std::string Describe(const RowRemoval& r) {
  return "row " + std::to_string(r.row.id) + " (" + KindName(r.reason) + "): " + Utf8(r.row.png) +
         "  " + Utf8(r.row.model);
}

std::string Describe(const FileRemoval& f) {
  return "file " + Utf8(f.name) + " (" + KindName(f.reason) + ")";
}

// ---- Plan --------------------------------------------------------------------------------------

CleanPlan PlanClean(const CacheView& cache, const CleanOptions& options, std::int64_t now,
                    const Console& console) {
  CleanPlan plan;
  std::set<Text> planned;  // each file once, for the first reason found
  const auto addFile = [&](const Text& name, FindingKind reason, std::optional<std::int64_t> of) {
    if (preview::IsRemovableCacheFile(name) && planned.insert(name).second) {
      plan.files.push_back({name, reason, of});
    }
  };
  for (const auto& row : cache.rows) {
    if (PngMissing(row)) {
      plan.rows.push_back({row, FindingKind::PngMissing});
    } else if (options.stale && ModelGone(row)) {
      plan.rows.push_back({row, FindingKind::Stale});
      addFile(row.png, FindingKind::Stale, row.id);
    }
  }
  const ListedNames listed(cache.rows);
  Progress progress(console, "cleaning", cache.files.size());
  for (const auto& file : cache.files) {
    progress.Step();
    if (IsLeftoverTemp(file, now)) {
      addFile(file.name, FindingKind::LeftoverTemp, std::nullopt);
    } else if (options.unlisted && Abandoned(file.status, now) && IsUnlisted(file.name, listed)) {
      addFile(file.name, FindingKind::UnlistedPng, std::nullopt);
    }
  }
  return plan;
}

// ---- Show --------------------------------------------------------------------------------------

void ShowPlan(const CleanPlan& plan, const Console& console) {
  for (const auto& r : plan.rows) console.out("would remove " + Describe(r) + "\n");
  for (const auto& f : plan.files) console.out("would remove " + Describe(f) + "\n");
  console.out("dry run: nothing removed\n");
}

// ---- Act ---------------------------------------------------------------------------------------

bool StillHolds(const RowRemoval& r) {
  return r.reason == FindingKind::PngMissing ? PngMissing(r.row) : ModelGone(r.row);
}

void RaiseOnStep(int code, const char* what) {
  if (code != storage::kStepDone) {
    throw ECacheError(Cannot(what, preview::IndexPath(), Utf8(storage::ResultCodeText(code))));
  }
}

// Deletes the planned rows whose reason still holds, in one transaction, then puts back those
// whose PNG an import placed meanwhile; returns the rows gone.
std::vector<RowRemoval> DeleteRows(const std::vector<RowRemoval>& planned) {
  std::vector<RowRemoval> deleted;
  TSQLite3Database index;
  index.SetBusyTimeout(preview::kIndexBusyTimeoutMs);
  index.OpenExisting(preview::IndexPath(), TSQLite3Database::TOpenMode::ReadWrite);
  index.BeginTransaction();
  {
    auto remove = index.Prepare(u"DELETE FROM PreviewPNGTable WHERE ID=?");
    for (const auto& r : planned) {
      if (!StillHolds(r)) continue;
      remove->BindInt64(1, r.row.id);
      RaiseOnStep(remove->StepAndReset(), "delete rows of the index");
      deleted.push_back(r);
    }
  }
  index.Commit();

  // An import that placed its PNG between the test above and the commit found its row still
  // there and added none: such a row is put back, as an import adds one (unless the name has a
  // row again). Each PNG is looked at once, so that what is put back and what is reported as
  // removed agree.
  const auto putBack = std::stable_partition(deleted.begin(), deleted.end(), [](const auto& r) {
    return r.reason != FindingKind::PngMissing || PngMissing(r.row);
  });
  if (putBack != deleted.end()) {
    // The write lock first: each row's count reads before its insert writes.
    index.BeginTransaction(TSQLite3Database::TTransactionMode::Immediate);
    for (auto r = putBack; r != deleted.end(); ++r) {
      RaiseOnStep(preview::AddRowUnlessNamed(index, storage::EncodeUTF8(r->row.png),
                                             storage::EncodeUTF8(r->row.model)),
                  "put a row back into the index");
    }
    index.Commit();
  }
  deleted.erase(putBack, deleted.end());
  return deleted;
}

// Whether the planned file is still to go now that the rows are done: a stale row's PNG only with
// its row and while its model is still gone (a model that came back brings an import with it);
// any other file while it is still abandoned, and an unlisted PNG while no row names it now.
bool StillToGo(const FileRemoval& f, const std::vector<RowRemoval>& deleted,
               const std::optional<ListedNames>& listedNow, std::int64_t now) {
  if (f.of) {
    const auto row = std::find_if(deleted.begin(), deleted.end(),
                                  [&](const RowRemoval& r) { return r.row.id == *f.of; });
    return row != deleted.end() && ModelGone(row->row);
  }
  const auto status = platform::GetFileStatus(preview::CachePath(f.name));
  if (!status || status->folder || !Abandoned(*status, now)) return false;
  return f.reason != FindingKind::UnlistedPng || !listedNow->Lists(f.name);
}

const std::string kInterruptedJournal = "the journal of a run cut off while writing the index";

// Lets SQLite roll back the journal that a cut-off run left beside the index, as the next import
// would: a connection that may write does so at its first read.
void RollBackInterruptedWrite(const Console& console) {
  try {
    TSQLite3Database index;
    index.SetBusyTimeout(preview::kIndexBusyTimeoutMs);
    index.OpenExisting(preview::IndexPath(), TSQLite3Database::TOpenMode::ReadWrite);
    const int code = index.Prepare(u"SELECT count(*) FROM sqlite_master")->Step();
    if (code != storage::kStepRow) {
      throw ECacheError(Cannot("roll back the journal of", preview::IndexPath(),
                               Utf8(storage::ResultCodeText(code))));
    }
  } catch (const storage::ESQLite3Error& e) {
    throw ECacheError(Cannot("roll back the journal of", preview::IndexPath(), e.what()));
  }
  console.out("rolled back " + kInterruptedJournal + "\n");
}

// Carries the plan out; returns the exit code: 2 when a file could not be removed.
int CarryOut(const CleanPlan& plan, std::int64_t now, const Console& console) {
  std::vector<RowRemoval> deleted;
  if (!plan.rows.empty()) {
    try {
      deleted = DeleteRows(plan.rows);
    } catch (const storage::ESQLite3Error& e) {
      throw ECacheError(Cannot("change the index", preview::IndexPath(), e.what()));
    }
  }
  for (const auto& r : deleted) console.out("removed " + Describe(r) + "\n");

  // A PNG is taken for an orphan only against the rows as they are now.
  const bool anyUnlisted = std::any_of(plan.files.begin(), plan.files.end(), [](const auto& f) {
    return f.reason == FindingKind::UnlistedPng;
  });
  const std::optional<ListedNames> listedNow =
      anyUnlisted ? std::optional<ListedNames>(ReadRows()) : std::nullopt;
  std::size_t removed = 0, failed = 0;
  for (const auto& f : plan.files) {
    if (!StillToGo(f, deleted, listedNow, now)) continue;
    const Text path = preview::CachePath(f.name);
    if (platform::DeleteFile(path)) {
      console.out("removed " + Describe(f) + "\n");
      ++removed;
    } else if (platform::GetAttributes(path)) {
      // Gone meanwhile is as good as removed; still there is a failure worth naming.
      console.err("hopgate-cache: " + Cannot("remove", path, SystemReason()) + "\n");
      ++failed;
    }
  }
  console.out("removed " + Counted(deleted.size(), "row") + ", " + Counted(removed, "file") +
              (failed ? "; " + Counted(failed, "file") + " could not be removed" : "") + "\n");
  return failed ? kExitFailure : kExitOk;
}

}  // namespace

int CommandClean(const Command& self, const std::vector<Text>& arguments, const Console& console) {
  CleanOptions options;
  if (!ReadFlags(self, arguments, console,
                 {{"--dry-run", &options.dryRun},
                  {"--stale", &options.stale},
                  {"--unlisted", &options.unlisted}})) {
    return kExitOk;
  }
  const std::int64_t now = NowSeconds();
  const CacheView cache = ReadCache();
  const CleanPlan plan = PlanClean(cache, options, now, console);
  if (options.dryRun) {
    if (cache.interruptedWrite) console.out("would roll back " + kInterruptedJournal + "\n");
    ShowPlan(plan, console);
    return kExitOk;
  }
  if (cache.interruptedWrite) RollBackInterruptedWrite(console);
  return CarryOut(plan, now, console);
}

}  // namespace cachetool
