#include "cachetool/Cache.h"

#include <algorithm>
#include <chrono>
#include <map>
#include <string_view>

#include "cachetool/PngCheck.h"
#include "platform/native_text.h"
#include "platform/textrules.h"
#include "preview/ConstUnit.h"
#include "preview/DLLfunc.h"
#include "preview/UpdatePreviewUnit.h"
#include "storage/SQLite3Wrap.h"
#include "tarncore/temporary_name.h"

namespace cachetool {
namespace {

using storage::TSQLite3Database;

// Opens the existing index read-only, waiting for a running hopgate's lock as hopgate does.
void OpenIndexReadOnly(TSQLite3Database& index) {
  index.SetBusyTimeout(preview::kIndexBusyTimeoutMs);
  index.OpenExisting(preview::IndexPath(), TSQLite3Database::TOpenMode::ReadOnly);
}

bool HasTable(TSQLite3Database& index) {
  auto tables = index.Prepare(
      u"SELECT 1 FROM sqlite_master WHERE type='table' AND name='PreviewPNGTable' COLLATE NOCASE");
  return tables->Step() == storage::kStepRow;
}

std::string Utf8(const Text& text) { return platform::ToNative(text); }

}  // namespace

void UseDataRoot(const std::optional<Text>& dataRoot) {
  preview::SetFolderTexts(dataRoot ? *dataRoot : preview::CoreDataRoot());
}

std::vector<IndexRow> ReadRows() {
  std::vector<IndexRow> rows;
  if (!platform::FileExists(preview::IndexPath())) return rows;
  try {
    TSQLite3Database index;
    OpenIndexReadOnly(index);
    if (!HasTable(index)) return rows;
    auto list =
        index.Prepare(u"SELECT ID,PngMd5FileName,SwFullFileName FROM PreviewPNGTable ORDER BY ID");
    int code;
    while ((code = list->Step()) == storage::kStepRow) {
      rows.push_back({list->ColumnInt64(0), list->ColumnText(1), list->ColumnText(2)});
    }
    if (code != storage::kStepDone)
      throw ECacheError("the index cannot be read to its end (SQLite code " + std::to_string(code) +
                        ")");
  } catch (const storage::ESQLite3Error& e) {
    throw ECacheError(std::string("cannot read the index ") + Utf8(preview::IndexPath()) + ": " +
                      e.what());
  }
  return rows;
}

CacheView ReadCache(UnreadableIndex unreadable) {
  CacheView cache;
  cache.folderExists = platform::FolderExists(preview::PreviewFolder);
  cache.indexExists = platform::FileExists(preview::IndexPath());
  try {
    cache.rows = ReadRows();
  } catch (const ECacheError& e) {
    if (unreadable == UnreadableIndex::Raise) throw;
    cache.indexError = e.what();
  }
  if (cache.folderExists) {
    const auto entries = platform::ListFolder(preview::PreviewFolder);
    if (!entries) {
      throw ECacheError("cannot list the cache folder " + Utf8(preview::PreviewFolder));
    }
    for (const auto& e : *entries) {
      if (!e.status.folder) cache.files.push_back({e.name, e.status});
    }
    std::sort(cache.files.begin(), cache.files.end(),
              [](const CacheFile& a, const CacheFile& b) { return a.name < b.name; });
  }
  return cache;
}

std::vector<Text> IntegrityProblems() {
  std::vector<Text> problems;
  if (!platform::FileExists(preview::IndexPath())) return problems;
  try {
    TSQLite3Database index;
    OpenIndexReadOnly(index);
    auto check = index.Prepare(u"PRAGMA integrity_check");
    while (check->Step() == storage::kStepRow) {
      const Text message = check->ColumnText(0);
      if (message != u"ok") problems.push_back(message);
    }
  } catch (const storage::ESQLite3Error& e) {
    problems.push_back(e.Message());
  }
  return problems;
}

const char* KindName(FindingKind kind) {
  switch (kind) {
    case FindingKind::PngMissing:
      return "png-missing";
    case FindingKind::Stale:
      return "stale";
    case FindingKind::DuplicateName:
      return "duplicate-name";
    case FindingKind::DamagedPng:
      return "damaged-png";
    case FindingKind::UnlistedPng:
      return "unlisted-png";
    case FindingKind::LeftoverTemp:
      return "leftover-temp";
    case FindingKind::Integrity:
      return "integrity";
  }
  return "?";
}

std::int64_t NowSeconds() {
  return std::chrono::duration_cast<std::chrono::seconds>(
             std::chrono::system_clock::now().time_since_epoch())
      .count();
}

bool IsPngName(const Text& name) { return textrules::ExtensionIs(name, u".PNG"); }

bool RowNames(const std::vector<IndexRow>& rows, const Text& name) {
  const Text upper = textrules::UpperAscii(name);
  return std::any_of(rows.begin(), rows.end(),
                     [&](const IndexRow& row) { return textrules::UpperAscii(row.png) == upper; });
}

std::vector<Finding> FindProblems(const CacheView& cache, std::int64_t now,
                                  const Console& console) {
  std::vector<Finding> findings;
  Progress progress(console, "checking", cache.rows.size() + cache.files.size());

  std::map<Text, int> rowsPerName;
  for (const auto& row : cache.rows) ++rowsPerName[row.png];
  for (const auto& row : cache.rows) {
    const auto add = [&](FindingKind kind) {
      findings.push_back({kind, row.id, row.png, row.model, Text()});
    };
    // A name that could point outside the cache folder is never looked up there.
    if (!textrules::IsPlainFileName(row.png) ||
        !platform::FileExists(preview::CachePath(row.png))) {
      add(FindingKind::PngMissing);
    }
    if (!platform::FileExists(row.model)) add(FindingKind::Stale);
    if (rowsPerName[row.png] > 1) add(FindingKind::DuplicateName);
    progress.Step();
  }

  for (const auto& file : cache.files) {
    const auto add = [&](FindingKind kind) {
      findings.push_back({kind, std::nullopt, file.name, std::nullopt, Text()});
    };
    const bool old = now - file.status.modifiedSeconds >= kAbandonedAfterSeconds;
    if (tarncore::IsTemporaryName(std::u16string_view(file.name))) {
      if (old) add(FindingKind::LeftoverTemp);
    } else if (IsPngName(file.name)) {
      std::string bytes;
      // A file that cannot be read now (just replaced, held by a writer) is not judged.
      if (platform::ReadWholeFile(preview::CachePath(file.name), bytes) && !IsWholePng(bytes)) {
        add(FindingKind::DamagedPng);
      }
      if (!RowNames(cache.rows, file.name)) add(FindingKind::UnlistedPng);
    }
    progress.Step();
  }

  if (cache.indexError) {
    findings.push_back({FindingKind::Integrity, std::nullopt, Text(), std::nullopt,
                        platform::FromNative(*cache.indexError)});
  } else {
    for (const auto& message : IntegrityProblems()) {
      findings.push_back({FindingKind::Integrity, std::nullopt, Text(), std::nullopt, message});
    }
  }
  return findings;
}

}  // namespace cachetool
