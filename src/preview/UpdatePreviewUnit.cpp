#include "preview/UpdatePreviewUnit.h"

#include "platform/platform.h"
#include "preview/ConstUnit.h"
#include "preview/DLLfunc.h"

namespace preview {

void PrepareDataFolders() {
  DataRoot = CoreDataRoot();
  MakerFolder = DataRoot + platform::kPathSeparator + u"Vexmoor";
  if (!platform::FolderExists(MakerFolder)) platform::CreateFolder(MakerFolder);
  PreviewFolder = MakerFolder + platform::kPathSeparator + u"PreviewPNG";
  if (!platform::FolderExists(PreviewFolder)) platform::CreateFolder(PreviewFolder);
}

}  // namespace preview
