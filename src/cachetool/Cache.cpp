#include "cachetool/Cache.h"

#include <algorithm>
#include <chrono>
#include <iterator>

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

struct KindRow {
  FindingKind kind;
  const char* name;
  const char* meaning;
  bool onlyInforms;
};

// One row per kind, in the order of the enumeration.
constexpr KindRow kKinds[] = {
    {FindingKind::PngMissing, "png-missing", "a row whose PNG is not in the cache folder", false},
    {FindingKind::Stale, "stale", "a row whose model file is gone (CLEARPNGFILE would purge it)",
     false},
    {FindingKind::DuplicateName, "duplicate-name", "one of several rows for one PNG name", false},
    {FindingKind::DamagedPng, "damaged-png",
     "a PNG that is not whole (signature, chunk CRCs, IEND)", false},
    {FindingKind::UnlistedPng, "unlisted-png", "a PNG no row names", true},
    {FindingKind::LeftoverTemp, "leftover-temp",
     "a temporary file of the converter older than one hour", false},
    {FindingKind::Integrity, "integrity", "a message of SQLite's integrity check of the index",
     false},
};

constexpr bool InEnumerationOrder() {
  for (std::size_t i = 0; i < std::size(kKinds); ++i) {
    if (static_cast<std::size_t>(kKinds[i].kind) != i) return false;
  }
  return true;
}
static_assert(InEnumerationOrder(), "RowOf finds a kind's row by its value");

const KindRow& RowOf(FindingKind kind) { return kKinds[static_cast<std::size_t>(kind)]; }

}  // namespace

std::string Cannot(std::string_view what, const Text& path, std::string_view reason) {
  return "cannot " + std::string(what) + " " + Utf8(path) + ": " + std::string(reason);
}

std::string SystemReason() { return Utf8(platform::LastErrorText()); }

void UseDataRoot(const std::optional<Text>& dataRoot) {
  preview::SetFolderTexts(dataRoot ? *dataRoot : preview::CoreDataRoot());
}

void RequireCacheFolder() {
  if (!platform::FolderExists(preview::PreviewFolder)) {
    throw ECacheError("no cache at " + Utf8(preview::PreviewFolder));
  }
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
    if (code != storage::kStepDone) {
      throw ECacheError(Cannot("read the index", preview::IndexPath(),
                               "stopped after " + Counted(rows.size(), "row") + ": " +
                                   Utf8(storage::ResultCodeText(code))));
    }
  } catch (const storage::ESQLite3Error& e) {
    throw ECacheError(Cannot("read the index", preview::IndexPath(), e.what()));
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
    if (!entries)
      throw ECacheError(Cannot("list the cache folder", preview::PreviewFolder, SystemReason()));
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

// ---- What is true of a row or a file -----------------------------------------------------------

std::optional<platform::FileStatus> RowPng(const IndexRow& row) {
  if (!textrules::IsPlainFileName(row.png)) return std::nullopt;
  const auto status = platform::GetFileStatus(preview::CachePath(row.png));
  if (!status || status->folder) return std::nullopt;
  return status;
}

bool PngMissing(const IndexRow& row) { return !RowPng(row); }

bool ModelGone(const IndexRow& row) { return preview::PreviewIsStale(row.model); }

std::set<Text> DuplicateNames(const std::vector<IndexRow>& rows) {
  std::set<Text> seen, twice;
  for (const auto& row : rows) {
    if (!seen.insert(row.png).second) twice.insert(row.png);
  }
  return twice;
}

bool IsPngName(const Text& name) { return textrules::ExtensionIs(name, u".PNG"); }

ListedNames::ListedNames(const std::vector<IndexRow>& rows) {
  for (const auto& row : rows) upper_.insert(textrules::UpperAscii(row.png));
}

bool ListedNames::Lists(const Text& fileName) const {
  return upper_.count(textrules::UpperAscii(fileName)) != 0;
}

bool IsUnlisted(const Text& fileName, const ListedNames& listed) {
  return IsPngName(fileName) && !listed.Lists(fileName);
}

std::int64_t NowSeconds() {
  return std::chrono::duration_cast<std::chrono::seconds>(
             std::chrono::system_clock::now().time_since_epoch())
      .count();
}

bool Abandoned(const platform::FileStatus& status, std::int64_t now) {
  return now - status.modifiedSeconds >= kAbandonedAfterSeconds;
}

bool IsLeftoverTemp(const CacheFile& file, std::int64_t now) {
  return tarncore::IsTemporaryName(std::u16string_view(file.name)) && Abandoned(file.status, now);
}

std::optional<std::string> ReadCacheFile(const Text& name) {
  std::string bytes;
  if (!platform::ReadWholeFile(preview::CachePath(name), bytes)) return std::nullopt;
  return bytes;
}

bool IsDamagedPng(const std::optional<std::string>& bytes) { return bytes && !IsWholePng(*bytes); }

// ---- Findings ----------------------------------------------------------------------------------

const std::vector<FindingKind>& FindingKinds() {
  static const std::vector<FindingKind> kinds = [] {
    std::vector<FindingKind> all;
    for (const auto& k : kKinds) all.push_back(k.kind);
    return all;
  }();
  return kinds;
}

const char* KindName(FindingKind kind) { return RowOf(kind).name; }

const char* KindMeaning(FindingKind kind) { return RowOf(kind).meaning; }

bool OnlyInforms(FindingKind kind) { return RowOf(kind).onlyInforms; }

std::vector<Finding> FindProblems(const CacheView& cache, std::int64_t now,
                                  const Console& console) {
  std::vector<Finding> findings;
  Progress progress(console, "checking", cache.rows.size() + cache.files.size());

  const std::set<Text> twins = DuplicateNames(cache.rows);
  for (const auto& row : cache.rows) {
    const auto add = [&](FindingKind kind) {
      findings.push_back({kind, row.id, row.png, row.model, Text()});
    };
    if (PngMissing(row)) add(FindingKind::PngMissing);
    if (ModelGone(row)) add(FindingKind::Stale);
    if (twins.count(row.png) != 0) add(FindingKind::DuplicateName);
    progress.Step();
  }

  const ListedNames listed(cache.rows);
  for (const auto& file : cache.files) {
    const auto add = [&](FindingKind kind) {
      findings.push_back({kind, std::nullopt, file.name, std::nullopt, Text()});
    };
    if (IsLeftoverTemp(file, now)) add(FindingKind::LeftoverTemp);
    if (IsPngName(file.name) && IsDamagedPng(ReadCacheFile(file.name))) {
      add(FindingKind::DamagedPng);
    }
    if (IsUnlisted(file.name, listed)) add(FindingKind::UnlistedPng);
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
