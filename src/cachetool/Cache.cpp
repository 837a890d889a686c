#include "cachetool/Cache.h"

#include <algorithm>
#include <chrono>
#include <iterator>
#include <thread>

#include "cachetool/PngCheck.h"
#include "platform/native_text.h"
#include "platform/text_encoding.h"
#include "platform/textrules.h"
#include "preview/ConstUnit.h"
#include "preview/DLLfunc.h"
#include "preview/UpdatePreviewUnit.h"
#include "storage/SQLite3File.h"
#include "storage/SQLite3Wrap.h"
#include "tarncore/temporary_name.h"

namespace cachetool {
namespace {

using storage::TSQLite3Database;

// Opens the existing index (or a copy of it) read-only, waiting for a running hopgate's lock as
// hopgate does.
void OpenIndexReadOnly(TSQLite3Database& index, const Text& path) {
  index.SetBusyTimeout(preview::kIndexBusyTimeoutMs);
  index.OpenExisting(path, TSQLite3Database::TOpenMode::ReadOnly);
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
     "a temporary file (conversion, copy or repair) older than one hour", false},
    {FindingKind::Integrity, "integrity", "a message of SQLite's integrity check of the index",
     false},
    {FindingKind::ModelUnreachable, "model-unreachable",
     "a row whose model file cannot be examined now (kept by CLEARPNGFILE and clean)", true},
    {FindingKind::InterruptedWrite, "interrupted-write",
     "a run was cut off writing the index; the next import or clean rolls it back", true},
    {FindingKind::IndexNotAFile, "index-not-a-file",
     "a folder, a device or a FIFO stands in the index's place: no import can register", false},
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

Text JournalOf(const Text& database) { return database + u"-journal"; }

Text JournalPath() { return JournalOf(preview::IndexPath()); }

bool JournalStands() {
  const auto status = platform::GetFileStatus(JournalPath());
  return status && !status->folder && status->size > 0;
}

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

namespace {

// The journal beside the index, read while the index's shared lock is held: empty when there is
// none. Windows refuses to open a file that another program is opening or closing without sharing:
// tried again for as long as hopgate waits for a lock.
std::string ReadJournal() {
  const Text journal = JournalPath();
  const auto deadline =
      std::chrono::steady_clock::now() + std::chrono::milliseconds(preview::kIndexBusyTimeoutMs);
  std::string bytes;
  while (!platform::ReadWholeFile(journal, bytes)) {
    const std::string reason = SystemReason();
    if (platform::Examine(journal) == platform::PathKind::Missing) return {};
    if (std::chrono::steady_clock::now() > deadline) {
      throw ECacheError(Cannot("read the journal", journal, reason));
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  return bytes;
}

}  // namespace

IndexPair ReadIndexPair() {
  const Text index = preview::IndexPath();
  IndexPair pair;
  try {
    TSQLite3Database db;
    OpenIndexReadOnly(db, index);
    const storage::TSharedFileLock lock(db, preview::kIndexBusyTimeoutMs);
    if (!storage::ReadDatabaseFile(db, pair.index)) {
      throw ECacheError(Cannot("read the index", index, "a read failed"));
    }
    if (!lock.WriterActive()) pair.journal = ReadJournal();
  } catch (const storage::ESQLite3Error& e) {
    throw ECacheError(Cannot("read the index", index, e.what()));
  }
  return pair;
}

Text PlayedBackCopy(const ScratchFolder& scratch, const IndexPair& pair) {
  Text copy = scratch.File(preview::kIndexFileName);
  if (!scratch.Write(preview::kIndexFileName, pair.index) ||
      (!pair.journal.empty() && !scratch.Write(JournalOf(preview::kIndexFileName), pair.journal))) {
    throw ECacheError(Cannot("copy the index to", copy, SystemReason()));
  }
  if (pair.journal.empty()) return copy;
  try {
    TSQLite3Database db;
    db.OpenExisting(copy, TSQLite3Database::TOpenMode::ReadWrite);
    db.Prepare(u"SELECT count(*) FROM sqlite_master")->Step();
  } catch (const storage::ESQLite3Error& e) {
    if (StillHot(JournalOf(copy)))
      throw ECacheError(Cannot("play the journal back in", copy, e.what()));
  }
  return copy;
}

namespace {

// Calls `read` with the index's path, or, when that fails with a journal beside the index, with
// the path of a scratch copy of the pair (ReadIndexPair) in which SQLite has rolled the journal
// back; sets `interrupted` to whether the copy was read. The failure of the first read stands when
// no journal does or `rollBack` is false; a copy that cannot be made raises.
template <typename Read>
auto ReadRollingBack(Read read, bool* interrupted, bool rollBack = true) {
  if (interrupted) *interrupted = false;
  try {
    return read(preview::IndexPath());
  } catch (const std::exception&) {
    if (!rollBack || !JournalStands()) throw;
  }
  const ScratchFolder scratch("hopgate-cache-read");
  const Text copy = PlayedBackCopy(scratch, ReadIndexPair());
  if (interrupted) *interrupted = true;
  return read(copy);
}

}  // namespace

std::optional<std::string> IndexNotAFile() {
  const auto index = platform::GetAttributes(preview::IndexPath());
  if (!index) return std::nullopt;
  if (index->folder) return "a folder";
  switch (index->special) {
    case platform::SpecialFile::Device:
      return "a device";
    case platform::SpecialFile::Fifo:
      return "a FIFO";
    case platform::SpecialFile::Socket:
      return "a socket";
    case platform::SpecialFile::None:
      break;
  }
  return std::nullopt;
}

void RequireIndexIsAFile(std::string_view what) {
  if (const auto standing = IndexNotAFile()) {
    throw ECacheError(Cannot(std::string(what) + " the index", preview::IndexPath(),
                             "it is " + *standing + ", not a file"));
  }
}

namespace {

// What `add` makes of the index's rows, read in ID order, read-only: a `Result` to which `add`
// adds each row from the statement standing on it. An empty `Result` when there is no index file
// or no table. Read from a rolled-back copy when a cut-off write's journal stands beside the index
// (ReadRollingBack), a fresh `Result` then; a read that stops early raises ECacheError.
template <typename Result, typename Add>
Result ReadEachRow(Add add, bool* interruptedWrite) {
  if (interruptedWrite) *interruptedWrite = false;
  RequireIndexIsAFile("read");
  if (!platform::FileExists(preview::IndexPath())) return Result{};
  try {
    return ReadRollingBack(
        [&add](const Text& path) {
          Result result{};
          TSQLite3Database index;
          OpenIndexReadOnly(index, path);
          if (!HasTable(index)) return result;
          auto list = index.Prepare(
              u"SELECT ID,PngMd5FileName,SwFullFileName FROM PreviewPNGTable ORDER BY ID");
          std::size_t count = 0;
          int code;
          while ((code = list->Step()) == storage::kStepRow) {
            add(result, *list);
            ++count;
          }
          if (code != storage::kStepDone) {
            throw ECacheError(Cannot("read the index", preview::IndexPath(),
                                     "stopped after " + Counted(count, "row") + ": " +
                                         Utf8(storage::ResultCodeText(code))));
          }
          return result;
        },
        interruptedWrite);
  } catch (const storage::ESQLite3Error& e) {
    throw ECacheError(Cannot("read the index", preview::IndexPath(), e.what()));
  }
}

}  // namespace

std::vector<IndexRow> ReadRows(bool* interruptedWrite) {
  return ReadEachRow<std::vector<IndexRow>>(
      [](std::vector<IndexRow>& rows, storage::TSQLite3Statement& row) {
        rows.push_back({row.ColumnInt64(0), row.ColumnText(1), row.ColumnText(2)});
      },
      interruptedWrite);
}

std::size_t CountRows() {
  return ReadEachRow<std::size_t>(
      [](std::size_t& count, storage::TSQLite3Statement& row) {
        // The values are fetched, as ReadRows fetches them: a row whose overflow pages cannot be
        // read stops the count too.
        row.ColumnBlob(1);
        row.ColumnBlob(2);
        ++count;
      },
      nullptr);
}

CacheView ReadCache(UnreadableIndex unreadable) {
  CacheView cache;
  cache.folderExists = platform::FolderExists(preview::PreviewFolder);
  cache.indexExists = platform::FileExists(preview::IndexPath());
  cache.indexNotAFile = IndexNotAFile();
  try {
    cache.rows = ReadRows(&cache.interruptedWrite);
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

std::vector<Text> IntegrityProblems(CutOffJournal journal, bool* locked) {
  if (locked) *locked = false;
  try {
    RequireIndexIsAFile("check");
    if (!platform::FileExists(preview::IndexPath())) return {};
    return ReadRollingBack(
        [locked](const Text& path) {
          std::vector<Text> problems;
          TSQLite3Database index;
          OpenIndexReadOnly(index, path);
          // A lock is told by the result code of the step that meets it. The first step of a read
          // transaction takes the shared lock, and needs no schema (whose reading would meet the
          // lock inside Prepare, which reports text alone); the check then runs under that lock.
          index.BeginTransaction();
          const int first = index.Prepare(u"PRAGMA schema_version")->Step();
          if (locked) *locked = first == storage::kStepBusy;
          if (first == storage::kStepBusy) {
            throw ECacheError(Cannot("check the index", preview::IndexPath(),
                                     Utf8(storage::ResultCodeText(first))));
          }
          auto check = index.Prepare(u"PRAGMA integrity_check");
          int code;
          while ((code = check->Step()) == storage::kStepRow) {
            const Text message = check->ColumnText(0);
            if (message != u"ok") problems.push_back(message);
          }
          // A check that could not read on has not found the index sound.
          if (code != storage::kStepDone) {
            throw ECacheError(Cannot("check the index", preview::IndexPath(),
                                     Utf8(storage::ResultCodeText(code))));
          }
          return problems;
        },
        nullptr, journal == CutOffJournal::RolledBack);
  } catch (const storage::ESQLite3Error& e) {
    return {e.Message()};
  } catch (const ECacheError& e) {
    return {platform::FromNative(e.what())};
  }
}

ScratchFolder::ScratchFolder(std::string_view prefix) {
  const std::string base = std::string(prefix) + "-" + std::to_string(NowSeconds()) + "-";
  for (int n = 0; n < 1000; ++n) {
    const std::string name = base + std::to_string(n);
    const Text candidate =
        platform::TemporaryFolder() + platform::kPathSeparator + Text(name.begin(), name.end());
    if (platform::CreateFolder(candidate)) {
      path_ = candidate;
      return;
    }
    if (!platform::FolderExists(candidate)) break;
  }
  throw ECacheError(
      Cannot("make a scratch folder in", platform::TemporaryFolder(), SystemReason()));
}

ScratchFolder::~ScratchFolder() {
  if (const auto entries = platform::ListFolder(path_)) {
    for (const auto& e : *entries) {
      // DeleteFile refuses a read-only file, as Windows does.
      platform::SetNormalAttributes(File(e.name));
      platform::DeleteFile(File(e.name));
    }
  }
  platform::RemoveFolder(path_);
}

bool ScratchFolder::CopyIn(const Text& from, const Text& name) const {
  return platform::CopyFile(from, File(name)) && platform::SetNormalAttributes(File(name));
}

bool ScratchFolder::Write(const Text& name, std::string_view bytes) const {
  return platform::WriteNewFile(File(name), bytes);
}

// ---- What is true of a row or a file -----------------------------------------------------------

std::optional<platform::FileStatus> RowPng(const IndexRow& row) {
  if (!textrules::IsPlainFileName(row.png)) return std::nullopt;
  const auto status = platform::GetFileStatus(preview::CachePath(row.png));
  if (!status || status->folder) return std::nullopt;
  return status;
}

bool PngMissing(const IndexRow& row) {
  if (!textrules::IsPlainFileName(row.png)) return true;
  const platform::PathKind kind = platform::Examine(preview::CachePath(row.png));
  return kind == platform::PathKind::Missing || kind == platform::PathKind::Folder;
}

bool ModelGone(const IndexRow& row) { return preview::PreviewIsStale(row.model); }

bool ModelUnreachable(const IndexRow& row) {
  return platform::Examine(row.model) == platform::PathKind::Unknown;
}

std::set<Text> DuplicateNames(const std::vector<IndexRow>& rows) {
  std::set<Text> seen, twice;
  for (const auto& row : rows) {
    if (!seen.insert(row.png).second) twice.insert(row.png);
  }
  return twice;
}

bool IsPngName(const Text& name) { return textrules::ExtensionIs(name, u".PNG"); }

ListedNames::ListedNames(const std::vector<IndexRow>& rows) {
  for (const auto& row : rows) Add(row.png);
}

namespace {

void UpperAsciiBytes(std::string& bytes) {
  for (char& c : bytes) {
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - ('a' - 'A'));
  }
}

}  // namespace

void ListedNames::Add(const Text& png) { AddStored(textencoding::EncodeUtf8(png)); }

void ListedNames::AddStored(std::string png) {
  ++rows_;
  UpperAsciiBytes(png);
  upper_.insert(std::move(png));
}

ListedNames ReadListedNames() {
  return ReadEachRow<ListedNames>(
      [](ListedNames& names, storage::TSQLite3Statement& row) {
        storage::TSQLite3Value png = row.ColumnValue(1);
        // A number is named by its text, as every other reader takes it.
        if (png.type == storage::TSQLite3Value::Type::Integer ||
            png.type == storage::TSQLite3Value::Type::Real) {
          names.Add(row.ColumnText(1));
        } else {
          names.AddStored(std::move(png.bytes));
        }
        row.ColumnBlob(2);
      },
      nullptr);
}

bool ListedNames::Lists(const Text& fileName) const {
  // An ASCII name (any PNG that hopgate writes) is its own bytes.
  std::string bytes(fileName.size(), '\0');
  std::size_t i = 0;
  for (; i < fileName.size() && fileName[i] < 0x80; ++i) {
    const char16_t c = fileName[i];
    bytes[i] = static_cast<char>(c >= u'a' && c <= u'z' ? c - (u'a' - u'A') : c);
  }
  if (i == fileName.size()) return upper_.count(bytes) != 0;
  bytes = textencoding::EncodeUtf8(fileName);
  // A name holding a lone surrogate of U+DC80..U+DCFF (Windows allows it) that encodes as
  // well-formed UTF-8 is not the text any stored name decodes to: no row names it.
  const bool escaped = std::any_of(fileName.begin(), fileName.end(),
                                   [](char16_t c) { return c >= 0xDC80 && c <= 0xDCFF; });
  if (escaped && textencoding::DecodeUtf8Lossless(bytes) != fileName) return false;
  UpperAsciiBytes(bytes);
  return upper_.count(bytes) != 0;
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

namespace {

bool EndsWithDigitsAfter(std::u16string_view name, std::u16string_view marker) {
  size_t end = name.size();
  while (end > 0 && name[end - 1] >= u'0' && name[end - 1] <= u'9') --end;
  if (end == name.size() || end <= marker.size()) return false;
  return name.substr(end - marker.size(), marker.size()) == marker;
}

}  // namespace

bool IsTemporaryFileName(const Text& name) {
  const std::u16string_view view(name);
  // A repair's new index and its journal: "PreviewPNG.sqlite.repair-STAMP[-journal]".
  const Text repair = Text(preview::kIndexFileName) + u".repair-";
  if (view.size() > repair.size() && view.substr(0, repair.size()) == repair) return true;
  return tarncore::IsTemporaryName(view) || EndsWithDigitsAfter(view, u".part");
}

bool IsLeftoverTemp(const CacheFile& file, std::int64_t now) {
  return IsTemporaryFileName(file.name) && Abandoned(file.status, now);
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
    if (ModelUnreachable(row)) add(FindingKind::ModelUnreachable);
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

  if (cache.interruptedWrite) {
    findings.push_back({FindingKind::InterruptedWrite, std::nullopt, Text(), std::nullopt,
                        u"a run was cut off while writing the index; the next import, or "
                        u"hopgate-cache clean, rolls its journal back"});
  }
  if (cache.indexNotAFile) {
    findings.push_back({FindingKind::IndexNotAFile, std::nullopt, Text(), std::nullopt,
                        preview::IndexPath() + u" is " +
                            platform::FromNative(*cache.indexNotAFile) +
                            u", not a file: no import can register a preview until it is moved "
                            u"away"});
  } else if (cache.indexError) {
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
