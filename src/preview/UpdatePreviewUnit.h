// The preview cache: its folders, the import of preview requests and the preview index.
#pragma once

#include <string>

namespace preview {

// Sets DataRoot, MakerFolder and PreviewFolder and creates the two folders where missing (one
// level each, inside an existing parent; failures are not reported). A failure of the core
// library leaves the texts empty and propagates.
void PrepareDataFolders();

}  // namespace preview
