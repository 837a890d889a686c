#include "preview/ConstUnit.h"

namespace preview {

std::u16string DataRoot;
std::u16string MakerFolder;
std::u16string PreviewFolder;

}  // namespace preview
