// hopgate-cache run as its callers run it: installed beside hopgate in a temporary program
// folder, over a temporary data root, on both builds.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <map>
#include <regex>
#include <set>
#include <thread>

#include "storage/SQLite3Wrap.h"
#include "support/images.h"
#include "support/preview_cache.h"
#include "support/show.h"

namespace {

using namespace testsupport;
using storage::TSQLite3Database;

std::string Exe(const char* base) { return std::string(base) + kExeSuffix; }

std::string Utf8(const fs::path& p) {
  const auto u8 = p.u8string();
  return std::string(u8.begin(), u8.end());
}

bool Contains(const std::string& text, const std::string& part) {
  return text.find(part) != std::string::npos;
}

// Everything under a folder: relative path, size and write time of each file, and each folder.
using Tree = std::map<std::string, std::pair<std::uintmax_t, fs::file_time_type>>;
Tree Snapshot(const fs::path& root) {
  Tree tree;
  for (const auto& e : fs::recursive_directory_iterator(root)) {
    const std::string name = Utf8(fs::relative(e.path(), root));
    tree[name] = e.is_regular_file() ? std::make_pair(e.file_size(), e.last_write_time())
                                     : std::make_pair(std::uintmax_t{0}, fs::file_time_type{});
  }
  return tree;
}

class CacheToolTest : public PreviewCacheTest {
 protected:
  void SetUp() override {
    PreviewCacheTest::SetUp();
    fs::copy_file(OwnFolder() / Exe("hopgate-cache"), program / Exe("hopgate-cache"));
  }

  // The tool's output with line ends as "\n" (a Windows console program writes "\r\n").
  RunResult Tool(const std::vector<std::u16string>& args, RunOptions o) {
    RunResult r = RunArguments(program / Exe("hopgate-cache"), args, o);
    std::erase(r.output, '\r');
    return r;
  }
  RunResult Tool(const std::vector<std::u16string>& args) { return Tool(args, Options()); }

  // A model file, an exported BMP and a request, imported by hopgate itself.
  std::u16string Import(const std::string& name, const Image& image = Pattern(6, 4)) {
    WriteFile(caller / (name + ".sw"), "model");
    WriteFile(caller / (name + ".bmp"), Bmp24(image));
    WriteFile(caller / (name + ".json"), "{\"bmp\": \"" + name + ".bmp\", \"sw\": \"" +
                                             JsonPath(caller / (name + ".sw")) + "\"}");
    Run({PathText(caller / (name + ".json"))});
    return PathText(caller / (name + ".sw"));
  }

  static std::string JsonPath(const fs::path& p) {
    std::string out;
    for (char c : Utf8(p)) {
      if (c == '\\') out.push_back('\\');
      out.push_back(c);
    }
    return out;
  }

  void MakeOld(const fs::path& file) {
    fs::last_write_time(file, fs::file_time_type::clock::now() - std::chrono::hours(2));
  }

  // A cache that shows every finding once, beside one sound preview ("good").
  void MakeCacheWithEveryFinding() {
    Import("good");
    const std::u16string stale = Import("stale");
    fs::remove(stale);
    const std::u16string lost = Import("lost");
    for (const auto& row : Rows()) {
      if (row.model == lost) fs::remove(PreviewFolder() / row.png);
    }
    WriteFile(PreviewFolder() / "DAMAGED.PNG",
              ReadFile(PreviewFolder() / Rows()[0].png).substr(0, 40));
    AddRow(std::nullopt, u"DAMAGED.PNG", PathText(caller / "good.sw"));
    AddRow(std::nullopt, u"TWIN.PNG", PathText(caller / "good.sw"));
    AddRow(std::nullopt, u"TWIN.PNG", PathText(caller / "good.sw"));
    fs::copy_file(PreviewFolder() / Rows()[0].png, PreviewFolder() / "TWIN.PNG");
    fs::copy_file(PreviewFolder() / Rows()[0].png, PreviewFolder() / "ORPHAN.PNG");
    WriteFile(PreviewFolder() / "OLD.PNG.77-1.tmp", "half a png");
    MakeOld(PreviewFolder() / "OLD.PNG.77-1.tmp");
    WriteFile(PreviewFolder() / "NEW.PNG.77-2.tmp", "a png being written");
  }
};

TEST_F(CacheToolTest, WhereNamesHopgatesFoldersAndWhatExists) {
  const RunResult before = Tool({u"where"});
  EXPECT_EQ(before.exitCode, 0);
  EXPECT_TRUE(Contains(before.output, Utf8(data) + "  (exists)")) << before.output;
  EXPECT_TRUE(Contains(before.output, Utf8(PreviewFolder()) + "  (missing)")) << before.output;
  Run({});
  const RunResult after = Tool({u"--data-root", PathText(data), u"where"});
  EXPECT_TRUE(Contains(after.output, Utf8(PreviewFolder()) + "  (exists)")) << after.output;
  EXPECT_TRUE(Contains(after.output, Utf8(Index()) + "  (missing)")) << after.output;
}

TEST_F(CacheToolTest, ReadingCommandsOnAMissingCacheCreateNothing) {
  for (const bool rootExists : {true, false}) {
    if (!rootExists) fs::remove_all(data);
    const Tree before = Snapshot(root);
    // list and check say that there is no cache; the others report an empty one.
    static const struct {
      std::vector<std::u16string> command;
      int exitCode;
    } cases[] = {
        {{u"where"}, 0},
        {{u"list"}, 2},
        {{u"list", u"--json"}, 2},
        {{u"check"}, 2},
        {{u"check", u"--json"}, 2},
        {{u"gallery"}, 0},
        {{u"clean", u"--dry-run"}, 0},
        {{u"explain", u"CLEARPNGFILE"}, 0},
        {{u"explain", u"x.json"}, 0},
    };
    for (const auto& c : cases) {
      const RunResult r = Tool(c.command);
      EXPECT_EQ(r.exitCode, c.exitCode) << Show(c.command[0]) << r.output;
    }
    EXPECT_EQ(Snapshot(root), before) << "data root exists: " << rootExists;
  }
}

TEST_F(CacheToolTest, ListShowsEveryRowInIdOrder) {
  const std::u16string a = Import("a");
  const std::u16string b = Import("b");
  fs::remove(b);
  AddRow(std::nullopt, u"NOFILE.PNG", a);
  const RunResult text = Tool({u"list"});
  EXPECT_EQ(text.exitCode, 0);
  EXPECT_TRUE(Contains(text.output, "(3 rows)")) << text.output;
  const RunResult json = Tool({u"list", u"--json"});
  EXPECT_EQ(json.exitCode, 0);
  const auto rows = Rows();
  const auto size = fs::file_size(PreviewFolder() / rows[0].png);
  const std::string first =
      "{\"id\": 1, \"png\": \"" + Utf8(fs::path(rows[0].png)) + "\", \"model\": \"" + JsonPath(a) +
      "\", \"png_bytes\": " + std::to_string(size) + ", \"model_exists\": true}";
  EXPECT_TRUE(Contains(json.output, first)) << json.output;
  EXPECT_TRUE(
      Contains(json.output, "\"model\": \"" + JsonPath(b) + "\", \"png_bytes\": " +
                                std::to_string(fs::file_size(PreviewFolder() / rows[1].png)) +
                                ", \"model_exists\": false}"))
      << json.output;
  EXPECT_TRUE(Contains(json.output, "{\"id\": 3, \"png\": \"NOFILE.PNG\", \"model\": \"" +
                                        JsonPath(a) +
                                        "\", \"png_bytes\": null, \"model_exists\": true}"))
      << json.output;
}

TEST_F(CacheToolTest, CheckReportsEachFindingOnce) {
  MakeCacheWithEveryFinding();
  const RunResult r = Tool({u"check", u"--json"});
  EXPECT_EQ(r.exitCode, 1) << r.output;
  const auto rows = Rows();
  std::map<std::string, int> kinds;
  for (size_t at = 0; (at = r.output.find("\"kind\": \"", at)) != std::string::npos; ++at) {
    const size_t start = at + 9;
    ++kinds[r.output.substr(start, r.output.find('"', start) - start)];
  }
  const std::map<std::string, int> expected = {
      {"stale", 1},          {"png-missing", 1},  {"damaged-png", 1},
      {"duplicate-name", 2}, {"unlisted-png", 1}, {"leftover-temp", 1},
  };
  EXPECT_EQ(kinds, expected) << r.output;
  EXPECT_TRUE(Contains(r.output,
                       "{\"kind\": \"leftover-temp\", \"id\": null, \"png\": "
                       "\"OLD.PNG.77-1.tmp\", \"model\": null}"))
      << r.output;
  EXPECT_TRUE(Contains(r.output,
                       "{\"kind\": \"unlisted-png\", \"id\": null, \"png\": "
                       "\"ORPHAN.PNG\", \"model\": null}"))
      << r.output;
  EXPECT_TRUE(Contains(r.output, "{\"rows\": 6, ")) << r.output;

  const RunResult text = Tool({u"check"});
  EXPECT_EQ(text.exitCode, 1);
  EXPECT_TRUE(Contains(text.output, "6 rows, ")) << text.output;
  EXPECT_TRUE(Contains(text.output, "; 7 findings")) << text.output;
}

TEST_F(CacheToolTest, CheckOfASoundCacheExitsZeroAndUnlistedPngsOnlyInform) {
  Import("good");
  EXPECT_EQ(Tool({u"check"}).exitCode, 0);
  fs::copy_file(PreviewFolder() / Rows()[0].png, PreviewFolder() / "ORPHAN.PNG");
  const RunResult r = Tool({u"check"});
  EXPECT_EQ(r.exitCode, 0) << r.output;
  EXPECT_TRUE(Contains(r.output, "unlisted-png    ORPHAN.PNG")) << r.output;
}

TEST_F(CacheToolTest, CheckReportsADamagedIndex) {
  Import("a");
  Import("b");
  // An index on the name column whose declared column is then changed: its entries no longer
  // match the table, which SQLite's integrity check reports.
  Execute(u"CREATE INDEX byName ON PreviewPNGTable(PngMd5FileName)");
  Execute(
      u"PRAGMA writable_schema=ON; UPDATE sqlite_master SET sql='CREATE INDEX byName ON "
      u"PreviewPNGTable(SwFullFileName)' WHERE name='byName'; PRAGMA writable_schema=OFF;");
  const RunResult r = Tool({u"check", u"--json"});
  EXPECT_EQ(r.exitCode, 1);
  EXPECT_TRUE(Contains(r.output, "\"kind\": \"integrity\"")) << r.output;

  // Not a database at all: check says so as its finding, list cannot read it.
  WriteFile(Index(), std::string(4096, 'x'));
  const RunResult broken = Tool({u"check"});
  EXPECT_EQ(broken.exitCode, 1);
  EXPECT_TRUE(Contains(broken.output, "integrity")) << broken.output;
  const RunResult list = Tool({u"list"});
  EXPECT_EQ(list.exitCode, 2);
  EXPECT_EQ(std::count(list.output.begin(), list.output.end(), '\n'), 1) << list.output;
  EXPECT_TRUE(Contains(list.output, "hopgate-cache: cannot read the index")) << list.output;
}

TEST_F(CacheToolTest, CleanRemovesWhatItShouldAndNothingElse) {
  MakeCacheWithEveryFinding();
  const Tree before = Snapshot(root);
  const RunResult dry = Tool({u"clean", u"--dry-run", u"--stale", u"--unlisted"});
  EXPECT_EQ(dry.exitCode, 0);
  EXPECT_TRUE(Contains(dry.output, "would remove file OLD.PNG.77-1.tmp (leftover-temp)"))
      << dry.output;
  EXPECT_EQ(Snapshot(root), before);

  // Without options: the row without PNG and the old temporary file.
  const size_t rowsBefore = Rows().size();
  const RunResult plain = Tool({u"clean"});
  EXPECT_EQ(plain.exitCode, 0) << plain.output;
  EXPECT_TRUE(Contains(plain.output, "removed 1 row, 1 file")) << plain.output;
  EXPECT_EQ(Rows().size(), rowsBefore - 1);
  EXPECT_FALSE(fs::exists(PreviewFolder() / "OLD.PNG.77-1.tmp"));
  EXPECT_TRUE(fs::exists(PreviewFolder() / "NEW.PNG.77-2.tmp"));  // young: still being written
  EXPECT_TRUE(fs::exists(PreviewFolder() / "ORPHAN.PNG"));

  // --stale: the row and PNG of the vanished model. --unlisted: old orphans only.
  const auto staleRow = Rows()[1];
  ASSERT_FALSE(fs::exists(staleRow.model));
  const RunResult young = Tool({u"clean", u"--stale", u"--unlisted"});
  EXPECT_TRUE(Contains(young.output, "removed 1 row, 1 file")) << young.output;
  EXPECT_FALSE(fs::exists(PreviewFolder() / staleRow.png));
  EXPECT_TRUE(fs::exists(PreviewFolder() / "ORPHAN.PNG"));
  MakeOld(PreviewFolder() / "ORPHAN.PNG");
  MakeOld(PreviewFolder() / "TWIN.PNG");
  const RunResult old = Tool({u"clean", u"--unlisted"});
  EXPECT_TRUE(Contains(old.output, "removed 0 rows, 1 file")) << old.output;
  EXPECT_FALSE(fs::exists(PreviewFolder() / "ORPHAN.PNG"));
  EXPECT_TRUE(fs::exists(PreviewFolder() / "TWIN.PNG"));  // named by rows
  EXPECT_TRUE(fs::exists(Index()));
  EXPECT_EQ(Tool({u"check"}).exitCode, 1);  // the twins and the damaged PNG are left to people
}

TEST_F(CacheToolTest, CleanNeverDeletesOutsideTheCacheFolderOrTheIndex) {
  Import("a");
  WriteFile(data / "outside.PNG", "keep");
  AddRow(std::nullopt,
         u".." + std::u16string(1, static_cast<char16_t>(fs::path::preferred_separator)) +
             u"outside.PNG",
         u"gone.sw");
  AddRow(std::nullopt, u"PreviewPNG.sqlite", u"gone.sw");
  MakeOld(Index());
  const RunResult r = Tool({u"clean", u"--stale", u"--unlisted"});
  EXPECT_EQ(r.exitCode, 0) << r.output;
  EXPECT_TRUE(fs::exists(data / "outside.PNG"));
  EXPECT_TRUE(fs::exists(Index()));
  EXPECT_EQ(Rows().size(), 1u);
}

TEST_F(CacheToolTest, CleanRacingRunningImportsLosesNothing) {
  Run({});
  CreateTable();
  constexpr int kImports = 16;
  for (int i = 0; i < 4; ++i) {
    AddRow(std::nullopt, u"GONE" + std::u16string(1, static_cast<char16_t>(u'0' + i)) + u".PNG",
           PathText(caller / "x.sw"));
  }
  const auto writeRequest = [&](int i) {
    const std::string name = "m" + std::to_string(i);
    WriteFile(caller / (name + ".sw"), "model");
    WriteFile(caller / (name + ".bmp"), Bmp24(Pattern(200 + i, 150)));
    WriteFile(caller / (name + ".json"), "{\"bmp\": \"" + name + ".bmp\", \"sw\": \"" +
                                             JsonPath(caller / (name + ".sw")) + "\"}");
  };
  // Each model imported once, then again while clean runs: a new import deletes the old PNG
  // before it makes the new one, so for a while the row names a PNG that is not there.
  for (int i = 0; i < kImports; ++i) {
    writeRequest(i);
    Run({PathText(caller / ("m" + std::to_string(i) + ".json"))});
    writeRequest(i);
  }
  std::atomic<int> running{kImports};
  std::vector<std::thread> imports;
  for (int i = 0; i < kImports; ++i) {
    imports.emplace_back([&, i] {
      RunArguments(program / Exe("hopgate"),
                   {PathText(caller / ("m" + std::to_string(i) + ".json"))}, Options());
      --running;
    });
  }
  int cleans = 0;
  do {
    const RunResult r = Tool({u"clean", u"--stale", u"--unlisted"});
    EXPECT_EQ(r.exitCode, 0) << r.output;
    ++cleans;
  } while (running > 0);
  for (auto& t : imports) t.join();
  EXPECT_EQ(Tool({u"clean"}).exitCode, 0);

  // Every import has its row and its PNG; every row names a PNG that is there.
  std::set<std::u16string> models;
  for (const auto& row : Rows()) {
    EXPECT_TRUE(fs::exists(PreviewFolder() / row.png)) << Show(row.png);
    models.insert(row.model);
  }
  for (int i = 0; i < kImports; ++i) {
    EXPECT_TRUE(models.count(PathText(caller / ("m" + std::to_string(i) + ".sw")))) << i;
  }
  EXPECT_EQ(models.size(), static_cast<size_t>(kImports)) << cleans << " cleans";
}

TEST_F(CacheToolTest, ExplainTellsAndLeavesTheTreeUnchanged) {
  Import("old");
  fs::remove(caller / "old.sw");
  const fs::path partsbook = PlaceRecorder("partsbook");
  const fs::path target = PlaceRecorder("target");
  WriteFile(program / "debug.ini", "[Forward]\n" + Exe("fwd") + "=target" + kExeSuffix + "\n");
  WriteFile(caller / "m.sw", "model");
  WriteFile(caller / "e.bmp", Bmp24(Pattern(3, 3)));
  WriteFile(caller / "r.json",
            "\xEF\xBB\xBF{\"bmp\": \"e.bmp\", \"sw\": \"" + JsonPath(caller / "m.sw") + "\"}");
  WriteFile(caller / "array.json", "[1]");
  WriteFile(caller / "junk.json", "not json");
  WriteFile(caller / "a.txt", "A");
  static const struct {
    std::vector<std::u16string> args;
    std::vector<std::string> says;
  } cases[] = {
      {{u"explain"}, {"mode: command", "rows take 1 or 3 arguments, not 0"}},
      {{u"explain", u"CLEARPNGFILE"},
       {"command row 1 of 6", "1 of 1 rows name a model file that is gone"}},
      {{u"explain", u"clearpngfile"}, {"command row: none"}},
      {{u"explain", u"model.PartsBook"}, {"command row 2 of 6"}},
      {{u"explain", u"r.json"},
       {"command row 4 of 6", "encoding: UTF-8", "reading grammar: valid", "bmp: \"e.bmp\"",
        "image: converted", "index row for this name: none"}},
      {{u"explain", u"array.json"}, {"validation grammar: invalid (Invalid type conversion"}},
      {{u"explain", u"junk.json"}, {"read as {}", "sw: \"\""}},
      {{u"explain", u"missing.json"}, {"command row: none"}},
      {{u"explain", u"RENAME", u"a.txt", u"b.txt"}, {"command row 5 of 6"}},
      {{u"explain", u"RENAMEANDDEL", u"a.txt", u"b.txt"}, {"command row 6 of 6"}},
      {{u"explain", u"--", u" RENAME ", u"a.txt"},
       {"trimmed \"RENAME\"", "not 2, so nothing happens"}},
      {{u"explain", u"--as", u"fwd" + std::u16string(kExeSuffix[0] ? u".exe" : u""), u"a", u"b c"},
       {"mode: forwarding", "exists)", "would start \"target", "\"a\" \"b c\""}},
      {{u"explain", u"--as", u"nobody", u"x"},
       {"mode: forwarding", "= \"\"", "nothing is started"}},
  };
  for (const auto& c : cases) {
    const Tree before = Snapshot(root);
    RunOptions o = Options();
    const RunResult r = Tool(c.args, o);
    EXPECT_EQ(r.exitCode, 0) << r.output;
    for (const auto& s : c.says) EXPECT_TRUE(Contains(r.output, s)) << s << "\n" << r.output;
    EXPECT_EQ(Snapshot(root), before) << r.output;
  }
  EXPECT_FALSE(WaitForRecord(partsbook, kAbsenceWait));
  EXPECT_FALSE(WaitForRecord(target, 0));
}

TEST_F(CacheToolTest, UsageErrorsExitTwoWithOneLine) {
  static const std::vector<std::vector<std::u16string>> cases = {
      {},
      {u"frobnicate"},
      {u"list", u"--yaml"},
      {u"list", u"extra"},
      {u"--data-root"},
      {u"gallery", u"--limit", u"many"},
      {u"gallery", u"-o"},
  };
  for (const auto& args : cases) {
    const RunResult r = Tool(args);
    EXPECT_EQ(r.exitCode, 2) << r.output;
    EXPECT_EQ(std::count(r.output.begin(), r.output.end(), '\n'), 1) << r.output;
    EXPECT_EQ(r.output.rfind("hopgate-cache: ", 0), 0u) << r.output;
  }
  for (const char16_t* command : {u"where", u"list", u"check", u"clean", u"explain", u"gallery"}) {
    const RunResult r = Tool({command, u"--help"});
    EXPECT_EQ(r.exitCode, 0);
    EXPECT_TRUE(Contains(r.output, "usage: hopgate-cache")) << r.output;
  }
  EXPECT_TRUE(Contains(Tool({u"--help"}).output, "commands:"));
  // The release number, then what git says of the sources built ("unknown" outside a clone).
  const std::string version = Tool({u"--version"}).output;
  EXPECT_TRUE(std::regex_match(
      version, std::regex("hopgate-cache 1\\.0\\.0 \\(([0-9a-f]{12,}(-dirty)?|unknown)\\)\n")))
      << version;
}

TEST_F(CacheToolTest, TheGalleryEmbedsTheNewestPreviews) {
  for (const char* name : {"a", "b", "c"}) Import(name);
  MakeOld(PreviewFolder() / Rows()[0].png);
  const RunResult all = Tool({u"gallery"});
  EXPECT_EQ(all.exitCode, 0);
  size_t images = 0;
  for (size_t at = 0;
       (at = all.output.find("src=\"data:image/png;base64,", at)) != std::string::npos; ++at)
    ++images;
  EXPECT_EQ(images, 3u);
  EXPECT_TRUE(Contains(all.output, "id=\"filter\"")) << all.output.substr(0, 2000);

  const fs::path page = root / "page.html";
  EXPECT_EQ(Tool({u"gallery", u"--limit", u"2", u"-o", PathText(page)}).exitCode, 0);
  const std::string limited = ReadFile(page);
  EXPECT_TRUE(Contains(limited, "2 of 3 previews, newest first; 1 more not shown")) << limited;
  EXPECT_FALSE(Contains(limited, Utf8(fs::path(Rows()[0].png)))) << "the oldest is left out";
}

#ifdef HOPGATE_CHROMIUM
// The page in a real browser: every embedded PNG decodes but the damaged one.
TEST_F(CacheToolTest, ABrowserDecodesEveryPreviewButTheDamagedOne) {
  for (const char* name : {"a", "b", "c"}) Import(name);
  const std::string whole = ReadFile(PreviewFolder() / Rows()[0].png);
  WriteFile(PreviewFolder() / Rows()[1].png, whole.substr(0, whole.size() / 2));
  const fs::path page = root / "gallery.html";
  ASSERT_EQ(Tool({u"gallery", u"-o", PathText(page)}).exitCode, 0);
  // Once everything has loaded, a script counts the images that decoded into the page's DOM.
  std::string html = ReadFile(page);
  const std::string counter =
      "<script>window.addEventListener('load', function () {"
      "var n = 0, all = document.images;"
      "for (var i = 0; i < all.length; i++) if (all[i].complete && all[i].naturalWidth > 0) n++;"
      "document.body.setAttribute('data-decoded', n + ' of ' + all.length); });</script>";
  html.insert(html.rfind("</body>"), counter);
  WriteFile(page, html);

  RunOptions o;
  const RunResult r =
      RunArguments(HOPGATE_CHROMIUM,
                   {u"--headless", u"--no-sandbox", u"--disable-gpu", u"--no-first-run",
                    u"--disable-background-networking", u"--disable-component-update",
                    u"--disable-sync", u"--user-data-dir=" + PathText(root / "chromium-profile"),
                    u"--virtual-time-budget=5000", u"--dump-dom", u"file://" + PathText(page)},
                   o);
  EXPECT_EQ(r.exitCode, 0) << r.output.substr(0, 2000);
  EXPECT_TRUE(Contains(r.output, "data-decoded=\"2 of 3\"")) << r.output.substr(0, 3000);
}
#endif

}  // namespace
