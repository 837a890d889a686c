// The folder texts of the preview cache. Empty until PrepareDataFolders sets them, once per run;
// none ends in a separator.
#pragma once

#include <string>

namespace preview {

extern std::u16string DataRoot;       // as the core library names it, unchanged
extern std::u16string MakerFolder;    // DataRoot + separator + "Vexmoor"
extern std::u16string PreviewFolder;  // MakerFolder + separator + "PreviewPNG"

// The name of the preview index inside PreviewFolder.
inline constexpr char16_t kIndexFileName[] = u"PreviewPNG.sqlite";

}  // namespace preview
