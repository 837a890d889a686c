#include "preview/UpdatePreviewUnit.h"

#include <cstdint>
#include <memory>
#include <string>

#include "platform/platform.h"
#include "platform/textrules.h"
#include "preview/ConstUnit.h"
#include "preview/DLLfunc.h"
#include "preview/JsonOptionsUnit.h"
#include "preview/JsonReader.h"
#include "preview/RequestText.h"
#include "storage/SQLite3Utils.h"
#include "storage/SQLite3Wrap.h"

namespace preview {
namespace {

using storage::TSQLite3Database;
using Text = std::u16string;

const char kCountPrefix[] = "SELECT Count(ID) AS IDS FROM PreviewPNGTable WHERE PngMd5FileName=";
// The count for a name that the text cannot state.
const char kCountBound[] = "SELECT Count(ID) AS IDS FROM PreviewPNGTable WHERE PngMd5FileName=?";
const char kInsert[] = "INSERT INTO PreviewPNGTable (PngMd5FileName,SwFullFileName) VALUES (?,?)";
const char16_t kList[] =
    u"SELECT ID,PngMd5FileName,SwFullFileName FROM PreviewPNGTable Order By ID DESC";
const char16_t kDeletePrefix[] = u"Delete From PreviewPNGTable WHERE ID=";

Text Decimal(std::int64_t value) {
  const std::string digits = std::to_string(value);
  return Text(digits.begin(), digits.end());
}

// The bytes as a text value of SQLite's.
storage::TSQLite3Value AsText(const std::string& bytes) {
  return {storage::TSQLite3Value::Type::String, 0, 0, bytes};
}

// True when SQLite would read the double-quoted word `name` as a column of the index's table (a
// column's name or one of the row ID's, compared without ASCII case), not as a text value.
bool NamesAColumn(const std::string& name) {
  std::string lower = name;
  for (char& c : lower) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  }
  for (const char* column : {"id", "pngmd5filename", "swfullfilename", "rowid", "oid", "_rowid_"}) {
    if (lower == column) return true;
  }
  return false;
}

// The count of the rows that name `pngName`: the name in the text, between double quotes (SQLite
// reads a double-quoted word that names no column as a text value; a double quote inside is
// doubled), or bound where the word could not carry it.
std::unique_ptr<storage::TSQLite3Statement> PrepareCount(TSQLite3Database& index,
                                                         const std::string& pngName) {
  if (pngName.find('\0') != std::string::npos || NamesAColumn(pngName)) {
    auto count = index.Prepare(std::string(kCountBound));
    count->Bind(1, AsText(pngName));
    return count;
  }
  std::string quoted;
  for (const char c : pngName) {
    quoted += c;
    if (c == '"') quoted += '"';
  }
  return index.Prepare(kCountPrefix + ('"' + quoted + '"'));
}

// Opens the index for one operation, with the wait for other runs' locks.
void OpenIndex(TSQLite3Database& index) {
  index.SetBusyTimeout(kIndexBusyTimeoutMs);
  index.Open(IndexPath());
}

// After the copy or the conversion: false when a PNG was made but may not survive a power cut, so
// the import must stop before the image and the request are consumed and before a row names the
// PNG. The core library renames its PNG into place without syncing it (hopgate cannot rely on a
// closed library to do so), so the PNG is synced here, with its folder. No PNG at all is the
// failed copy or conversion, which the import goes on from (the request is still consumed).
bool PngIsOnDisk(const Text& pngPath) {
  switch (platform::Examine(pngPath)) {
    case platform::PathKind::Missing:
    case platform::PathKind::Folder:
      return true;
    case platform::PathKind::File:
      return platform::SyncFile(pngPath);
    case platform::PathKind::Unknown:
      return false;
  }
  return false;
}

}  // namespace

void PrepareDataFolders() {
  // A failure of the core library leaves all three texts empty.
  SetFolderTexts(CoreDataRoot());
  // Each level once, inside an existing parent; a failure shows later, in the cache's own files.
  if (!platform::FolderExists(MakerFolder)) platform::CreateFolder(MakerFolder);
  if (!platform::FolderExists(PreviewFolder)) platform::CreateFolder(PreviewFolder);
}

Text CachePath(const Text& fileName) { return textrules::JoinPath(PreviewFolder, fileName); }

Text IndexPath() { return CachePath(kIndexFileName); }

Text PngNameFor(const Text& modelPath) {
  return HashText(textrules::UpperAscii(modelPath)) + u".PNG";
}

bool ImageIsCopied(const Text& imagePath) { return textrules::ExtensionIs(imagePath, u".PNG"); }

int AddRowUnlessNamed(TSQLite3Database& index, const std::string& pngName,
                      const std::string& modelPath) {
  {
    auto count = PrepareCount(index, pngName);
    const int code = count->Step();
    if (code != storage::kStepRow) return code;
    if (count->ColumnInt(0) > 0) return storage::kStepDone;
    count->Reset();
  }
  auto insert = index.Prepare(std::string(kInsert));
  insert->Bind(1, AsText(pngName));
  insert->Bind(2, AsText(modelPath));
  return insert->Step();
}

void RegisterPreview(const Text& pngName, const Text& modelPath) {
  try {
    // Neither check opens or creates the index.
    if (!platform::FileExists(modelPath)) return;
    if (!platform::FileExists(CachePath(pngName))) return;

    // Declared before the statements, so that on every way out the statements go first.
    TSQLite3Database index;
    OpenIndex(index);
    index.Execute(kCreateIndexTable);
    // Not examined: a row that could not be added is not reported.
    AddRowUnlessNamed(index, storage::EncodeUTF8(pngName), storage::EncodeUTF8(modelPath));
  } catch (...) {
    // Registration is best effort: the caller goes on either way.
  }
}

bool PreviewIsStale(const Text& modelPath) {
  // Only a model file that is surely not there (or a folder in its place) is stale. One that
  // cannot be examined now (an I/O error, a drive offline, a folder without permission) keeps
  // its preview: a purge never deletes on a guess.
  const platform::PathKind kind = platform::Examine(modelPath);
  return kind == platform::PathKind::Missing || kind == platform::PathKind::Folder;
}

bool IsRemovableCacheFile(const Text& fileName) {
  return textrules::IsPlainFileName(fileName) && !IsIndexFileName(fileName);
}

void PurgePreviews() {
  TSQLite3Database index;
  OpenIndex(index);
  auto list = index.Prepare(kList);
  while (list->Step() == storage::kStepRow) {
    // 64 bits: row numbers above 2147483647 are deleted by their own number.
    const std::int64_t id = list->ColumnInt64(0);
    const Text pngName = list->ColumnText(1);
    const Text modelPath = list->ColumnText(2);
    if (!PreviewIsStale(modelPath)) continue;
    if (IsRemovableCacheFile(pngName)) platform::DeleteFile(CachePath(pngName));
    // Each delete on its own, in SQLite's automatic mode, while the list is still being stepped.
    index.Execute(kDeletePrefix + Decimal(id));
  }
  list->Reset();
}

TPreviewRequest ReadPreviewRequest(const Text& requestPath) {
  const Text text = LoadTextFile(requestPath);
  const Text validated = ValiJSONStr(text, u"{}");
  const auto request = ParseJsonText(validated);
  TPreviewRequest read;
  read.imagePath = ReadJsonMember(request, u"bmp");
  read.modelPath = ReadJsonMember(request, u"sw");
  return read;
}

void ImportPreviewRequest(const Text& requestPath) {
  if (!platform::FileExists(requestPath)) return;
  try {
    const TPreviewRequest request = ReadPreviewRequest(requestPath);
    const Text& imagePath = request.imagePath;
    const Text& modelPath = request.modelPath;

    const Text pngName = PngNameFor(modelPath);
    const Text pngPath = CachePath(pngName);
    if (platform::FileExists(pngPath)) platform::DeleteFile(pngPath);

    // A copy that succeeded is on disk already (CopyFile syncs it and its folder); anything else
    // that stands at the PNG's name now is synced before the import goes on.
    bool copiedToDisk = false;
    if (ImageIsCopied(imagePath)) {
      copiedToDisk = platform::CopyFile(imagePath, pngPath);
    } else {
      CoreImageToPng(imagePath, pngPath);
    }
    if (!copiedToDisk && !PngIsOnDisk(pngPath)) return;

    // The image is consumed, unless the request names the model file or the index as its image:
    // those are not the request's to destroy. A test that cannot tell counts as "the same".
    if (!platform::MayBeSameFile(imagePath, modelPath) &&
        !platform::MayBeSameFile(imagePath, IndexPath())) {
      platform::DeleteFile(imagePath);
    }
    platform::DeleteFile(requestPath);
    RegisterPreview(pngName, modelPath);
  } catch (...) {
    // The import ends here: what is done stays done, and nothing is reported.
  }
}

}  // namespace preview
