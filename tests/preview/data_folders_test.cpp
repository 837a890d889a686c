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

// The one rule by which the purge and hopgate-cache's clean delete a file that a row or a listing
// of the cache folder names: a plain name, and never the index or what SQLite keeps beside it.
TEST(DataFolders, OnlyPlainNamesBesideTheIndexAreRemovable) {
  static const struct {
    std::u16string name;
    bool removable;
  } cases[] = {
      {u"0123456789ABCDEF0123456789ABCDEF.PNG", true},
      {u"A.PNG.77-1.tmp", true},
      {u"PreviewPNG.sqlite.PNG", true},  // only the index's name and its "-" files are kept
      {u"PreviewPNG.sqlite", false},
      {u"previewpng.SQLITE", false},  // a file system that ignores case finds the index
      {u"PreviewPNG.sqlite-journal", false},
      {u"PreviewPNG.sqlite-wal", false},
      {u"../outside.PNG", false},
      {u"..\\outside.PNG", false},
      {u"C:x.PNG", false},
      {u"", false},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(preview::IsRemovableCacheFile(c.name), c.removable) << Show(c.name);
  }
}

}  // namespace
