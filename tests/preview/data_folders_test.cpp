// The cache folder texts: plain concatenation of the data root, whatever it holds.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>

#include "preview/ConstUnit.h"
#include "preview/UpdatePreviewUnit.h"
#include "support/show.h"

namespace {

using testsupport::Show;

// The texts below are written with '/'; the Windows build separates with '\'.
std::u16string Native(std::u16string text) {
#ifdef _WIN32
  std::replace(text.begin(), text.end(), u'/', u'\\');
#endif
  return text;
}

TEST(DataFolders, TextsAreThePlainConcatenationOfTheRoot) {
  static const struct {
    std::u16string root, maker, preview, index;
  } cases[] = {
      // the root of the current drive: no check, no correction
      {u"", u"/Vexmoor", u"/Vexmoor/PreviewPNG", u"/Vexmoor/PreviewPNG/PreviewPNG.sqlite"},
      // relative stays relative
      {u"data", u"data/Vexmoor", u"data/Vexmoor/PreviewPNG",
       u"data/Vexmoor/PreviewPNG/PreviewPNG.sqlite"},
      // a trailing separator doubles before Vexmoor
      {u"data/", u"data//Vexmoor", u"data//Vexmoor/PreviewPNG",
       u"data//Vexmoor/PreviewPNG/PreviewPNG.sqlite"},
      // letter case and non-ASCII unchanged
      {u"D\u00C4ta/x", u"D\u00C4ta/x/Vexmoor", u"D\u00C4ta/x/Vexmoor/PreviewPNG",
       u"D\u00C4ta/x/Vexmoor/PreviewPNG/PreviewPNG.sqlite"},
  };
  for (const auto& c : cases) {
    const std::u16string root = Native(c.root);
    preview::SetFolderTexts(root);
    EXPECT_EQ(Show(preview::DataRoot), Show(root));
    EXPECT_EQ(Show(preview::MakerFolder), Show(Native(c.maker)));
    EXPECT_EQ(Show(preview::PreviewFolder), Show(Native(c.preview)));
    EXPECT_EQ(Show(preview::IndexPath()), Show(Native(c.index)));
  }
}

}  // namespace
