// The preview cache as the cache tool sees it: the folders and index file that hopgate computes
// for a data root, the rows of the index and the files of the cache folder, what is true of each
// and what is wrong with them. Reading creates nothing: the index is opened read-only and only
// when it exists.
#pragma once

#include <cstdint>
#include <optional>
#include <set>
#include <stdexcept>
#include <string>
#include <string_view>
#include <unordered_set>
#include <vector>

#include "cachetool/Console.h"
#include "cachetool/Text.h"
#include "platform/platform.h"

namespace cachetool {

// The cache cannot be read or changed: the message is the one line the tool prints before it
// exits with 2.
class ECacheError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// The message of a failure on `path`: "cannot WHAT PATH: REASON".
std::string Cannot(std::string_view what, const Text& path, std::string_view reason);

// The system's reason for the latest failed call of the platform layer, in UTF-8.
std::string SystemReason();

// Sets hopgate's folder texts (DataRoot, MakerFolder, PreviewFolder) for `dataRoot`, or for the
// core library's data root when none is given. Creates nothing.
void UseDataRoot(const std::optional<Text>& dataRoot);

// Raises ECacheError "no cache at FOLDER" when the cache folder does not exist: a mistyped data
// root must not look like an empty cache. A cache folder without an index is a cache.
void RequireCacheFolder();

struct IndexRow {
  std::int64_t id = 0;
  Text png;    // PngMd5FileName
  Text model;  // SwFullFileName
};

struct CacheFile {
  Text name;
  platform::FileStatus status;
};

// A snapshot of the cache folder and its index.
struct CacheView {
  bool folderExists = false;
  bool indexExists = false;
  // What stands in the index's place when it is not a file (IndexNotAFile); no rows are read then.
  std::optional<std::string> indexNotAFile;
  // A run was cut off while it wrote the index: its journal stands beside the index, and the rows
  // were read from a copy of the pair with that journal rolled back (see ReadRows).
  bool interruptedWrite = false;
  std::vector<IndexRow> rows;             // in ID order; empty without an index or its table
  std::vector<CacheFile> files;           // the files (not folders) of the cache folder, by name
  std::optional<std::string> indexError;  // why the rows could not be read (ReadCache's choice)
};

// Whether ReadCache raises when the index cannot be read, or records why in indexError.
enum class UnreadableIndex { Raise, Record };

// Reads the index rows and lists the cache folder. An index that exists but cannot be read (not
// a database, locked for longer than hopgate's busy wait, ...) raises ECacheError or is recorded;
// a cache folder that cannot be listed raises.
CacheView ReadCache(UnreadableIndex unreadable = UnreadableIndex::Raise);

// What stands in the index's place when it is not a file that SQLite may open: "a folder", "a
// device", "a FIFO" or "a socket" (links followed). Nothing when a file, or a link to one, stands
// there, when nothing does, and when it cannot be examined (opening it then says why). Such an
// index is never opened: SQLite would wait for a writer at a FIFO.
std::optional<std::string> IndexNotAFile();

// Raises ECacheError "cannot WHAT the index PATH: it is a folder, not a file" (and so on) when the
// index is not a file (IndexNotAFile).
void RequireIndexIsAFile(std::string_view what);

// The index rows alone, read-only; none when there is no index file or no table. A run cut off
// while writing the index leaves its journal beside it, and a read-only connection may not roll
// it back: the rows are then read from a scratch copy of the index and its journal, in which
// SQLite rolls the journal back as the next import would in the index itself, so they are the
// committed rows; `interruptedWrite` (when given) tells whether that happened. The index itself
// is left as it is. An index that is not a file (IndexNotAFile) raises ECacheError.
std::vector<IndexRow> ReadRows(bool* interruptedWrite = nullptr);

// The number of rows ReadRows gives, read the same way (every row's values fetched, so what stops
// ReadRows stops the count too), without keeping them.
std::size_t CountRows();

// How IntegrityProblems treats a journal left beside the index by a cut-off write.
enum class CutOffJournal {
  RolledBack,  // checks a scratch copy of the pair with the journal rolled back, as ReadRows reads
  AsItStands,  // checks the index alone: a read-only connection cannot roll the journal back
};

// SQLite's PRAGMA integrity_check on the index, opened read-only: its messages, none when the
// index is sound or missing. An index that cannot be read at all gives that failure as a message;
// `locked` (when given) tells whether that failure was another connection's lock held for longer
// than hopgate's wait, as the result code of the step that met it says.
std::vector<Text> IntegrityProblems(CutOffJournal journal = CutOffJournal::RolledBack,
                                    bool* locked = nullptr);

// A journal of the index stands beside it and is not empty: a writer is at work, or one was cut
// off (a "hot" journal, which the next connection that may write rolls back).
bool JournalStands();

// The name of the rollback journal of the database file `database`.
Text JournalOf(const Text& database);

// A journal that SQLite may roll back stands at `path`: a file that is not empty. A test that
// cannot tell (any failure but "not found") raises ECacheError.
bool JournalAt(const Text& path);

// The journal at `path` is one SQLite would still roll back: it begins with a journal header.
bool StillHot(const Text& path);

// A folder of its own in the system's temporary folder, removed with what it holds when the object
// goes, also when an exception passes.
class ScratchFolder {
 public:
  // `prefix` starts the folder's name (e.g. "hopgate-cache-repair").
  explicit ScratchFolder(std::string_view prefix);
  ~ScratchFolder();
  ScratchFolder(const ScratchFolder&) = delete;
  ScratchFolder& operator=(const ScratchFolder&) = delete;

  Text File(const Text& name) const { return path_ + platform::kPathSeparator + name; }

  // Copies the file `from` into the folder as `name`, writable whatever `from` is (so that SQLite
  // may roll a journal back in the copy, and the folder can be removed); false when that fails,
  // the system's reason recorded (SystemReason).
  bool CopyIn(const Text& from, const Text& name) const;

  // Writes `bytes` into the folder as the file `name` (platform::WriteNewFile); false when that
  // fails, the system's reason recorded.
  bool Write(const Text& name, std::string_view bytes) const;

 private:
  Text path_;
};

// The index as it stands, committed: its bytes, read through SQLite's own handle under a shared
// lock, and the bytes of a journal beside it that no writer holds (a hot one; empty when none),
// read under the same lock. While it is held no writer writes the index and no rollback removes
// the journal, so the pair is one state, whatever imports are running. Raises ECacheError when
// the index cannot be read or the lock cannot be had within hopgate's wait.
struct IndexPair {
  std::string index;
  std::string journal;
};
IndexPair ReadIndexPair();

// Writes the pair into `scratch` under the index's own file names and lets SQLite roll the journal
// back there (a connection that may write does so at its first read); the copy's path. Whatever
// SQLite thinks of the copy is its reader's concern, but the journal must be gone: raises
// ECacheError when it is still hot.
Text PlayedBackCopy(const ScratchFolder& scratch, const IndexPair& pair);

// ---- What is true of a row or a file -----------------------------------------------------------
// Each fact is decided here only; every command that reports or acts on one asks these.

// The row's PNG: the status of the file that its name gives in the cache folder; nothing when no
// file stands there, or when the name could point outside the folder (it is never looked up).
std::optional<platform::FileStatus> RowPng(const IndexRow& row);

// The row's PNG is missing: nothing (or a folder) stands under its name, or the name could point
// outside the folder. A PNG that cannot be examined now (an I/O error, no permission) is not
// missing: nothing is removed on a guess.
bool PngMissing(const IndexRow& row);

// The row's model file is gone: the row is stale (preview::PreviewIsStale), what CLEARPNGFILE would
// purge.
bool ModelGone(const IndexRow& row);

// The row's model file cannot be examined now (an I/O error, a folder without permission, a drive
// offline): neither CLEARPNGFILE nor clean takes the row for stale.
bool ModelUnreachable(const IndexRow& row);

// The PNG names that more than one row gives, compared exactly, as hopgate's count statement
// compares them (nothing in the index prevents such twins).
std::set<Text> DuplicateNames(const std::vector<IndexRow>& rows);

// The PNG files of the cache: names whose extension, upper-cased, is ".PNG".
bool IsPngName(const Text& name);

// The PNG names the rows give, to ask whether a file is listed. ASCII letter case is ignored, so a
// file that a case-insensitive file system finds under a row's name is never taken for an orphan.
class ListedNames {
 public:
  ListedNames() = default;
  explicit ListedNames(const std::vector<IndexRow>& rows);
  void Add(const Text& png);
  // A row's PNG name as SQLite stores it: its UTF-8 bytes, well-formed or not.
  void AddStored(std::string png);
  bool Lists(const Text& fileName) const;
  // How many names were added (rows read), names that repeat counted each time.
  std::size_t Rows() const { return rows_; }

 private:
  std::size_t rows_ = 0;
  // Each name's lossless UTF-8 bytes (textencoding: the stored bytes exactly), ASCII letters
  // upper-cased: a name's bytes are hashed and compared once, with no UTF-16 text made of them.
  std::unordered_set<std::string> upper_;
};

// The PNG names that the index's rows give, read as ReadRows reads the rows but without keeping
// their model paths (fetched all the same, as CountRows fetches them): Rows() is CountRows().
ListedNames ReadListedNames();

// A PNG file of the cache folder that no row names.
bool IsUnlisted(const Text& fileName, const ListedNames& listed);

// How long a file must lie untouched before the tool takes it for abandoned: a running import
// writes and registers its PNG within far less.
inline constexpr std::int64_t kAbandonedAfterSeconds = 3600;

// Seconds since 1970-01-01 UTC, the clock of FileStatus::modifiedSeconds.
std::int64_t NowSeconds();

// The file was last written kAbandonedAfterSeconds or more before `now`.
bool Abandoned(const platform::FileStatus& status, std::int64_t now);

// The name of a temporary file that a program of the suite writes into the cache folder before it
// renames it into place: the core library's PNG writer (tarncore::TemporaryName), a copy of
// hopgate's (the PNG's name, ".part" and the process id) or a repair's new index
// ("PreviewPNG.sqlite.repair-" and a time stamp, and that file's journal). A kept damaged index
// ("PreviewPNG.sqlite.damaged-...") is never one.
bool IsTemporaryFileName(const Text& name);

// An abandoned temporary file (IsTemporaryFileName).
bool IsLeftoverTemp(const CacheFile& file, std::int64_t now);

// The bytes of the cache file `name`, when it can be read now (a file just being replaced, or
// held by a writer on Windows, cannot).
std::optional<std::string> ReadCacheFile(const Text& name);

// The PNG is damaged: its bytes could be read and are not a whole PNG. A file that could not be
// read is not judged.
bool IsDamagedPng(const std::optional<std::string>& bytes);

// ---- Findings ----------------------------------------------------------------------------------

enum class FindingKind {
  PngMissing,        // a row whose PNG is not in the cache folder
  Stale,             // a row whose model file is gone: what CLEARPNGFILE would purge
  DuplicateName,     // one of several rows for one PNG name
  DamagedPng,        // a PNG file that is not a whole PNG (signature, chunk CRCs, IEND)
  UnlistedPng,       // a PNG file that no row names (informational)
  LeftoverTemp,      // a temporary file of the converter, a copy or a repair, older than one hour
  Integrity,         // a message of SQLite's integrity check
  ModelUnreachable,  // a row whose model file cannot be examined now (informational)
  InterruptedWrite,  // a journal left by a run cut off while writing the index (informational)
  IndexNotAFile,     // a folder, a device or a FIFO in the index's place: no import can register
};

// Every kind, in the order of the enumeration.
const std::vector<FindingKind>& FindingKinds();

// The kind's name in the tool's output ("png-missing", ...).
const char* KindName(FindingKind kind);

// What a finding of the kind means, in one line for the help.
const char* KindMeaning(FindingKind kind);

// True for the kinds that only inform (unlisted-png): they do not make check exit with 1.
bool OnlyInforms(FindingKind kind);

struct Finding {
  FindingKind kind;
  std::optional<std::int64_t> id;  // the row, for the row findings
  Text png;                        // the PNG (or other file) name concerned
  std::optional<Text> model;       // the row's model path, for the row findings
  Text detail;                     // the message of a finding about the index
};

// What check and gallery say about a damaged or unreadable index.
inline constexpr char16_t kRepairHint[] =
    u"hopgate-cache repair salvages the rows that can still be read into a new index";

// Every finding of `cache`, rows first (by ID), then files (by name), then the integrity check
// (or the reason the index could not be read).
std::vector<Finding> FindProblems(const CacheView& cache, std::int64_t now, const Console& console);

}  // namespace cachetool
