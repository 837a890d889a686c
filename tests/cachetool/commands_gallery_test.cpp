// hopgate-cache gallery.
#include "commands_fixture.h"

namespace cachecommands {
namespace {

// The previews of a page, in its order: each tile's state and PNG name.
std::vector<std::pair<std::string, std::string>> Tiles(const std::string& page) {
  std::vector<std::pair<std::string, std::string>> tiles;
  const std::regex tile(
      "<span class=\"state state-([a-z-]+)\">\\1</span>[^\n]*<span "
      "class=\"png\">([^<]*)</span>");
  for (std::sregex_iterator it(page.begin(), page.end(), tile), end; it != end; ++it) {
    tiles.emplace_back((*it)[1], (*it)[2]);
  }
  return tiles;
}

TEST_F(CacheCommands, TheGalleryShowsTheNewestPreviewsWithTheirStates) {
  MakeCacheWithEveryFinding();
  // Oldest first: the PNGs' times set one minute apart.
  const auto now = fs::file_time_type::clock::now();
  int minutes = 10;
  for (const char* name : {"TWIN.PNG", "DAMAGED.PNG", "STALE.PNG", "GOOD.PNG", "YOUNG.PNG"}) {
    fs::last_write_time(cache / name, now - std::chrono::minutes(minutes--));
  }
  const ToolRun all = Tool({u"gallery"});
  EXPECT_EQ(all.exitCode, 0) << all.err;
  const std::vector<std::pair<std::string, std::string>> expected = {
      {"unlisted-png", "YOUNG.PNG"},  {"ok", "GOOD.PNG"},          {"stale", "STALE.PNG"},
      {"damaged-png", "DAMAGED.PNG"}, {"ok", "TWIN.PNG"},          {"ok", "TWIN.PNG"},
      {"unlisted-png", "ORPHAN.PNG"}, {"png-missing", "LOST.PNG"},
  };
  EXPECT_EQ(Tiles(all.out), expected);
  // Every PNG that is there is embedded, the damaged one too (the browser shows what it can).
  std::ptrdiff_t images = 0;
  for (size_t at = 0; (at = all.out.find("src=\"data:image/png;base64,", at)) != std::string::npos;
       ++at)
    ++images;
  EXPECT_EQ(images, 7);
  EXPECT_TRUE(Contains(all.out, "8 of 8 previews, newest first. Cache folder: " + Utf8(cache)));

  const fs::path page = root / "page.html";
  const ToolRun limited = Tool({u"gallery", u"--limit", u"2", u"-o", PathText(page)});
  EXPECT_EQ(limited.exitCode, 0);
  EXPECT_EQ(limited.out, "");
  const std::string written = ReadFile(page);
  EXPECT_TRUE(Contains(written, "2 of 8 previews, newest first; 6 more not shown")) << written;
  EXPECT_EQ(Tiles(written), std::vector(expected.begin(), expected.begin() + 2));
}

TEST_F(CacheCommands, AGalleryOfAnUnreadableIndexShowsEveryPngUnlistedAndSaysWhy) {
  CacheFile("A.PNG");
  CacheFile("B.PNG");
  WriteFile(cache / "PreviewPNG.sqlite", std::string(4096, 'x'));
  const std::string why = "cannot read the index " + Utf8(cache / "PreviewPNG.sqlite") +
                          ": SQLite3 error: file is not a database";
  const ToolRun r = Tool({u"gallery"});
  EXPECT_EQ(r.exitCode, 2);
  const std::string repair =
      "hopgate-cache repair salvages the rows that can still be read into a new index";
  EXPECT_EQ(r.err,
            "hopgate-cache: " + why + "; the page shows every PNG as unlisted; " + repair + "\n");
  // The line that says so stands first under the heading.
  EXPECT_TRUE(Contains(r.out,
                       "<h1>hopgate preview cache</h1>\n<p class=\"warning\">The index cannot be "
                       "read, so every PNG is shown as unlisted: " +
                           why + ". " + repair + "</p>\n<p>2 of 2 previews"))
      << r.out.substr(0, 3000);
  for (const auto& [state, png] : Tiles(r.out)) EXPECT_EQ(state, "unlisted-png") << png;
  EXPECT_EQ(Tiles(r.out).size(), 2u);
}

TEST_F(CacheCommands, AGalleryThatCannotBeWrittenNamesThePathAndTheSystemsReason) {
  CacheFile("A.PNG");
  const fs::path page = root / "no-such-folder" / "page.html";
  ASSERT_FALSE(platform::WriteNewFile(PathText(page), "x"));
  const std::string reason = platform::ToNative(platform::LastErrorText());
  ASSERT_NE(reason, "");
  ExpectOneLineFailure(Tool({u"gallery", u"-o", PathText(page)}),
                       "cannot write " + Utf8(page) + ": " + reason + "\n", "gallery");
}

}  // namespace
}  // namespace cachecommands
