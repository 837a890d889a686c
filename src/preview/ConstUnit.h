// ConstUnit: the folder texts of the preview cache. Empty until the start-up sets them
// (PrepareDataFolders through SetFolderTexts, the only writer), once per run; read-only elsewhere.
#pragma once

#include <string>
#include <string_view>

namespace preview {

extern const std::u16string& DataRoot;       // as the core library names it, unchanged
extern const std::u16string& MakerFolder;    // DataRoot + separator + "Vexmoor"
extern const std::u16string& PreviewFolder;  // MakerFolder + separator + "PreviewPNG"

// Sets the three texts for a data root by plain concatenation (textrules::JoinPath): nothing is
// trimmed, added or normalised (an empty root gives a folder at the root of the current drive, a
// root ending in a separator a doubled separator). Creates nothing.
void SetFolderTexts(const std::u16string& dataRoot);

// The name of the preview index inside PreviewFolder.
inline constexpr char16_t kIndexFileName[] = u"PreviewPNG.sqlite";

// True for the index's name and for the files SQLite keeps beside it (its name followed by "-":
// journal, WAL, shared memory), in any ASCII letter case, since the cache folder may sit on a file
// system that ignores case. No row of the index may make anyone delete these.
bool IsIndexFileName(std::u16string_view name);

}  // namespace preview
