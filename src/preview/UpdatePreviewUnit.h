// The preview cache: its folders, the import of preview requests and the preview index.
#pragma once

#include <string>

namespace storage {
class TSQLite3Database;
}

namespace preview {

// Sets DataRoot, MakerFolder and PreviewFolder (ConstUnit.h) and creates the two folders where
// missing (one level each, inside an existing parent; failures are not reported). A failure of the
// core library leaves the texts empty and propagates.
void PrepareDataFolders();

// How long the index waits for another run's lock before a call gives up, in milliseconds. Runs
// of the program started at the same time share the index; without a wait a run that met another
// run's lock would drop its row.
inline constexpr int kIndexBusyTimeoutMs = 5000;

// The statement that makes the index's table where it is missing, run before every registration;
// the cache tool makes a rebuilt index with it too.
inline constexpr char16_t kCreateIndexTable[] =
    u"CREATE TABLE IF NOT EXISTS \"PreviewPNGTable\" (\"ID\" INTEGER PRIMARY KEY NOT NULL , "
    u"\"PngMd5FileName\" TEXT, \"SwFullFileName\" TEXT)";

// The file `fileName` of the cache: PreviewFolder, a separator and the name.
std::u16string CachePath(const std::u16string& fileName);

// The index file: PreviewFolder, a separator and "PreviewPNG.sqlite".
std::u16string IndexPath();

// The cache's PNG name for a model path: the core library's digest of the path upper-cased (ASCII
// letters only), then ".PNG".
std::u16string PngNameFor(const std::u16string& modelPath);

// True when the import copies the image as it is (its extension, upper-cased, is ".PNG"); any
// other image goes through the core library's conversion.
bool ImageIsCopied(const std::u16string& imagePath);

// Adds a row naming the PNG `pngName` for `modelPath` to the index open on `index` (its table
// made), unless a row names that PNG already, with the import's own two statements: the count of
// the rows naming it, then the insert, sent only when the count was read and is 0 (a count that
// could not be read might have found a row, and a second row for one PNG is never wanted). Both
// texts are SQLite's UTF-8, stored byte for byte. The count states the name in its text, between
// double quotes; a name that such a word cannot carry (one with a zero byte, or one that names a
// column of the table, which SQLite would read as that column) is bound instead. The import's
// names are never such. Gives kStepDone when the row was added or one names the PNG; otherwise
// the result code of the step that failed. A statement that cannot be compiled or bound raises.
// The caller's transaction, if any, holds both statements.
int AddRowUnlessNamed(storage::TSQLite3Database& index, const std::string& pngName,
                      const std::string& modelPath);

// Records `pngName` (a file name inside PreviewFolder) for `modelPath` unless the index already
// names it, when both the model file and the PNG file exist. Never throws; the caller cannot tell
// whether a row was added.
void RegisterPreview(const std::u16string& pngName, const std::u16string& modelPath);

// A preview is stale when its model file no longer exists: the purge removes its row, and its PNG
// where IsRemovableCacheFile allows.
bool PreviewIsStale(const std::u16string& modelPath);

// True when the file `fileName` of the cache folder may be deleted by its name, as the index or a
// listing of the folder gives it: a plain file name (textrules::IsPlainFileName) that is not the
// index's or one of its journals' (IsIndexFileName). A tampered index can thus make nobody delete
// a file outside the cache folder, nor the index itself.
bool IsRemovableCacheFile(const std::u16string& fileName);

// Removes the row of every stale preview and its PNG file, from the highest ID down. Failures
// propagate (an index without its table, for one).
void PurgePreviews();

// The members of a preview request as the import reads them.
struct TPreviewRequest {
  std::u16string imagePath;  // "bmp"
  std::u16string modelPath;  // "sw"
};

// Reads a request file the way the import does: LoadTextFile, ValiJSONStr with the fallback "{}",
// ParseJsonText, then ReadJsonMember for "bmp" and "sw". Raises what those raise.
TPreviewRequest ReadPreviewRequest(const std::u16string& requestPath);

// Turns the request file into a PNG in the cache named by the digest of the upper-cased model
// path, consumes the request and its image and registers the preview. Never throws: a failure
// ends the import where it happened.
void ImportPreviewRequest(const std::u16string& requestPath);

}  // namespace preview
