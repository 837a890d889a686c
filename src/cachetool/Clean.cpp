// clean: removes what nothing needs any more, without getting in the way of running imports.
//
// The rows go in one short transaction; the files only after it has committed, so hopgate never
// waits on the tool for longer than the deletes of rows take. Every condition is tested again
// right before its removal, since imports may run all the while: an import places its PNG before
// it registers it, so a row whose PNG shows up again after the commit is put back.
#include <algorithm>

#include "cachetool/Cache.h"
#include "cachetool/CacheTool.h"
#include "cachetool/Options.h"
#include "cachetool/Text.h"
#include "platform/textrules.h"
#include "preview/ConstUnit.h"
#include "preview/UpdatePreviewUnit.h"
#include "storage/SQLite3Wrap.h"
#include "tarncore/temporary_name.h"

namespace cachetool {
namespace {

using storage::TSQLite3Database;

struct RowRemoval {
  IndexRow row;
  FindingKind reason;  // PngMissing or Stale
};

struct FileRemoval {
  Text name;
  FindingKind reason;  // LeftoverTemp, Stale (the PNG of a stale row) or UnlistedPng
};

bool PngMissing(const IndexRow& row) {
  return !textrules::IsPlainFileName(row.png) || !platform::FileExists(preview::CachePath(row.png));
}

bool Abandoned(const Text& name, std::int64_t now) {
  const auto status = platform::GetFileStatus(preview::CachePath(name));
  return status && !status->folder && now - status->modifiedSeconds >= kAbandonedAfterSeconds;
}

std::string Describe(const RowRemoval& r) {
  return "row " + std::to_string(r.row.id) + " (" + KindName(r.reason) + "): " + Utf8(r.row.png) +
         "  " + Utf8(r.row.model);
}

std::string Describe(const FileRemoval& f) {
  return "file " + Utf8(f.name) + " (" + KindName(f.reason) + ")";
}

void RaiseOnStep(int code, const char* what) {
  if (code != storage::kStepDone) {
    throw ECacheError(std::string("the index is busy or cannot be written while ") + what +
                      " (SQLite code " + std::to_string(code) + ")");
  }
}

// Deletes the rows whose reason still holds, in one transaction; returns those deleted.
std::vector<RowRemoval> DeleteRows(const std::vector<RowRemoval>& planned) {
  std::vector<RowRemoval> deleted;
  TSQLite3Database index;
  index.SetBusyTimeout(preview::kIndexBusyTimeoutMs);
  index.OpenExisting(preview::IndexPath(), TSQLite3Database::TOpenMode::ReadWrite);
  index.BeginTransaction();
  {
    auto remove = index.Prepare(u"DELETE FROM PreviewPNGTable WHERE ID=?");
    for (const auto& r : planned) {
      const bool holds = r.reason == FindingKind::PngMissing ? PngMissing(r.row)
                                                             : !platform::FileExists(r.row.model);
      if (!holds) continue;
      remove->BindInt64(1, r.row.id);
      RaiseOnStep(remove->StepAndReset(), "deleting rows");
      deleted.push_back(r);
    }
  }
  index.Commit();

  // An import that placed its PNG between the test above and the commit found its row still
  // there and added none: such a row is put back (as a new row, unless the name has one again).
  auto putBack = index.Prepare(
      u"INSERT INTO PreviewPNGTable (PngMd5FileName,SwFullFileName) SELECT ?,? WHERE NOT EXISTS "
      u"(SELECT 1 FROM PreviewPNGTable WHERE PngMd5FileName=?)");
  for (auto it = deleted.begin(); it != deleted.end();) {
    if (it->reason == FindingKind::PngMissing && !PngMissing(it->row)) {
      putBack->BindText(1, it->row.png);
      putBack->BindText(2, it->row.model);
      putBack->BindText(3, it->row.png);
      RaiseOnStep(putBack->StepAndReset(), "putting a row back");
      it = deleted.erase(it);
    } else {
      ++it;
    }
  }
  return deleted;
}

}  // namespace

int CommandClean(const std::vector<Text>& arguments, const Console& console) {
  bool dryRun = false, stale = false, unlisted = false;
  if (!ReadOptions("clean", arguments, console, [&](OptionReader& r) {
        if (r.Flag("--dry-run")) return dryRun = true;
        if (r.Flag("--stale")) return stale = true;
        if (r.Flag("--unlisted")) return unlisted = true;
        return false;
      })) {
    return kExitOk;
  }
  const CacheView cache = ReadCache();
  const std::int64_t now = NowSeconds();

  std::vector<RowRemoval> rows;
  for (const auto& row : cache.rows) {
    if (PngMissing(row)) {
      rows.push_back({row, FindingKind::PngMissing});
    } else if (stale && !platform::FileExists(row.model)) {
      rows.push_back({row, FindingKind::Stale});
    }
  }
  std::vector<FileRemoval> files;
  {
    Progress progress(console, "cleaning", cache.files.size());
    for (const auto& file : cache.files) {
      progress.Step();
      if (preview::IsIndexFileName(file.name) || !textrules::IsPlainFileName(file.name)) continue;
      if (now - file.status.modifiedSeconds < kAbandonedAfterSeconds) continue;
      if (tarncore::IsTemporaryName(std::u16string_view(file.name))) {
        files.push_back({file.name, FindingKind::LeftoverTemp});
      } else if (unlisted && IsPngName(file.name) && !RowNames(cache.rows, file.name)) {
        files.push_back({file.name, FindingKind::UnlistedPng});
      }
    }
  }

  if (dryRun) {
    for (const auto& r : rows) console.out("would remove " + Describe(r) + "\n");
    for (const auto& r : rows) {
      if (r.reason == FindingKind::Stale && textrules::IsPlainFileName(r.row.png) &&
          !preview::IsIndexFileName(r.row.png)) {
        console.out("would remove " + Describe(FileRemoval{r.row.png, FindingKind::Stale}) + "\n");
      }
    }
    for (const auto& f : files) console.out("would remove " + Describe(f) + "\n");
    console.out("dry run: nothing removed\n");
    return kExitOk;
  }

  std::vector<RowRemoval> deleted;
  if (!rows.empty()) {
    try {
      deleted = DeleteRows(rows);
    } catch (const storage::ESQLite3Error& e) {
      throw ECacheError(std::string("cannot change the index: ") + e.what());
    }
  }
  std::size_t filesRemoved = 0;
  const auto removeFile = [&](const FileRemoval& f) {
    if (platform::DeleteFile(preview::CachePath(f.name))) {
      console.out("removed " + Describe(f) + "\n");
      ++filesRemoved;
    }
  };
  for (const auto& r : deleted) {
    console.out("removed " + Describe(r) + "\n");
    // The PNG of a vanished model, unless the model came back (and with it an import).
    if (r.reason == FindingKind::Stale && textrules::IsPlainFileName(r.row.png) &&
        !preview::IsIndexFileName(r.row.png) && !platform::FileExists(r.row.model)) {
      removeFile({r.row.png, FindingKind::Stale});
    }
  }
  // A PNG is taken for an orphan only against the rows as they are now.
  const std::vector<IndexRow> rowsNow = unlisted ? ReadRows() : std::vector<IndexRow>();
  for (const auto& f : files) {
    if (!Abandoned(f.name, now)) continue;
    if (f.reason == FindingKind::UnlistedPng && RowNames(rowsNow, f.name)) continue;
    removeFile(f);
  }
  console.out("removed " + std::to_string(deleted.size()) +
              (deleted.size() == 1 ? " row, " : " rows, ") + std::to_string(filesRemoved) +
              (filesRemoved == 1 ? " file\n" : " files\n"));
  return kExitOk;
}

}  // namespace cachetool
