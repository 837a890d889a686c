// The cache folder texts: plain concatenation of the data root, whatever it holds.
#include <gtest/gtest.h>

#include "platform/platform.h"
#include "preview/ConstUnit.h"
#include "preview/UpdatePreviewUnit.h"
#include "support/show.h"

namespace {

using testsupport::Show;

TEST(DataFolders, TextsAreThePlainConcatenationOfTheRoot) {
  const std::u16string s(1, platform::kPathSeparator);
  static const std::u16string roots[] = {
      u"",                      // the root of the current drive: no check, no correction
      u"data",                  // relative stays relative
      u"data" + s,              // a trailing separator doubles before Vexmoor
      u"D\u00C4ta" + s + u"x",  // letter case and non-ASCII unchanged
  };
  for (const auto& root : roots) {
    preview::SetFolderTexts(root);
    EXPECT_EQ(preview::DataRoot, root) << Show(root);
    EXPECT_EQ(preview::MakerFolder, root + s + u"Vexmoor") << Show(root);
    EXPECT_EQ(preview::PreviewFolder, root + s + u"Vexmoor" + s + u"PreviewPNG") << Show(root);
    EXPECT_EQ(preview::IndexPath(), preview::PreviewFolder + s + u"PreviewPNG.sqlite")
        << Show(root);
  }
}

}  // namespace
