#include "preview/ConstUnit.h"

#include "platform/textrules.h"

namespace preview {
namespace {

std::u16string dataRoot;
std::u16string makerFolder;
std::u16string previewFolder;

}  // namespace

const std::u16string& DataRoot = dataRoot;
const std::u16string& MakerFolder = makerFolder;
const std::u16string& PreviewFolder = previewFolder;

void SetFolderTexts(const std::u16string& root) {
  dataRoot = root;
  makerFolder = textrules::JoinPath(dataRoot, u"Vexmoor");
  previewFolder = textrules::JoinPath(makerFolder, u"PreviewPNG");
}

bool IsIndexFileName(std::u16string_view name) {
  const std::u16string index = textrules::UpperAscii(kIndexFileName);
  const std::u16string upper = textrules::UpperAscii(name);
  return upper == index || upper.rfind(index + u"-", 0) == 0;
}

}  // namespace preview
