// The preview cache as the cache tool sees it: the folders and index file that hopgate computes
// for a data root, the rows of the index and the files of the cache folder, and what is wrong
// with them. Reading creates nothing: the index is opened read-only and only when it exists.
#pragma once

#include <cstdint>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "cachetool/Console.h"
#include "platform/platform.h"

namespace cachetool {

using Text = std::u16string;

// The cache cannot be read: the message is the one line the tool prints before it exits with 2.
class ECacheError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// Sets hopgate's folder texts (DataRoot, MakerFolder, PreviewFolder) for `dataRoot`, or for the
// core library's data root when none is given. Creates nothing.
void UseDataRoot(const std::optional<Text>& dataRoot);

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
  std::vector<IndexRow> rows;             // in ID order; empty without an index or its table
  std::vector<CacheFile> files;           // the files (not folders) of the cache folder, by name
  std::optional<std::string> indexError;  // why the rows could not be read (ReadCache's choice)
};

// Whether ReadCache raises when the index cannot be read, or records why in indexError.
enum class UnreadableIndex { Raise, Record };

// Reads the index rows and lists the cache folder. An index that exists but cannot be read (not
// a database, locked for longer than hopgate's busy wait, ...) raises ECacheError or is recorded.
CacheView ReadCache(UnreadableIndex unreadable = UnreadableIndex::Raise);

// The index rows alone, read-only; none when there is no index file or no table.
std::vector<IndexRow> ReadRows();

// SQLite's PRAGMA integrity_check on the index, opened read-only: its messages, none when the
// index is sound or missing. An index that cannot be read at all gives that failure as a message.
std::vector<Text> IntegrityProblems();

// ---- Findings ----------------------------------------------------------------------------------

enum class FindingKind {
  PngMissing,     // a row whose PNG is not in the cache folder
  Stale,          // a row whose model file is gone: what CLEARPNGFILE would purge
  DuplicateName,  // one of several rows for one PNG name
  DamagedPng,     // a PNG file that is not a whole PNG (signature, chunk CRCs, IEND)
  UnlistedPng,    // a PNG file that no row names (informational)
  LeftoverTemp,   // a temporary file of the converter, older than one hour
  Integrity,      // a message of SQLite's integrity check
};

const char* KindName(FindingKind kind);

struct Finding {
  FindingKind kind;
  std::optional<std::int64_t> id;  // the row, for the row findings
  Text png;                        // the PNG (or other file) name concerned
  std::optional<Text> model;       // the row's model path, for the row findings
  Text detail;                     // the integrity check's message
};

// How old a leftover temporary file or an unlisted PNG must be before the tool counts it as
// abandoned: a running import writes and registers its PNG within far less.
inline constexpr std::int64_t kAbandonedAfterSeconds = 3600;

// Seconds since 1970-01-01 UTC, the clock of FileStatus::modifiedSeconds.
std::int64_t NowSeconds();

// The PNG files of the cache: names whose extension, upper-cased, is ".PNG".
bool IsPngName(const Text& name);

// True when some row names the file `name`. Letter case is ignored for ASCII letters, so a file
// that a case-insensitive file system finds under a row's name is never taken for an orphan.
bool RowNames(const std::vector<IndexRow>& rows, const Text& name);

// Every finding of `cache`, rows first (by ID), then files (by name), then the integrity check
// (or the reason the index could not be read).
std::vector<Finding> FindProblems(const CacheView& cache, std::int64_t now, const Console& console);

}  // namespace cachetool
