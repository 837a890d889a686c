// ConstUnit: the folder texts of the preview cache. Empty until the start-up sets them
// (PrepareDataFolders through SetFolderTexts, the only writer), once per run; read-only elsewhere.
#pragma once

#include <string>

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

}  // namespace preview
