// hopgate-cache run as its callers run it: installed beside hopgate in a temporary program
// folder, over a temporary data root, on both builds. Only what a process shows is tested here:
// the exit code the caller receives, which of the two streams carries what, the folder the tool
// is installed in (explain --as), imports by running hopgate processes, and the page in a real
// browser. The commands' behaviour is tested through the library (commands_*_test.cpp, one file
// a command).
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <regex>
#include <set>
#include <thread>

#include "cache_fixture.h"
#include "storage/SQLite3Wrap.h"
#include "support/images.h"
#include "support/preview_cache.h"
#include "support/show.h"

namespace {

using namespace testsupport;

std::string Exe(const char* base) { return std::string(base) + kExeSuffix; }

bool Contains(const std::string& text, const std::string& part) {
  return text.find(part) != std::string::npos;
}

class CacheToolTest : public PreviewCacheTest {
 protected:
  void SetUp() override {
    PreviewCacheTest::SetUp();
    fs::copy_file(OwnFolder() / Exe("hopgate-cache"), program / Exe("hopgate-cache"));
  }

  // The tool's standard output and standard error, each with line ends as "\n" (a Windows
  // console program writes "\r\n").
  RunResult Tool(const std::vector<std::u16string>& args) { return Tool(args, Options()); }
  RunResult Tool(const std::vector<std::u16string>& args, RunOptions o) {
    o.errorsApart = true;
    RunResult r = RunArguments(program / Exe("hopgate-cache"), args, o);
    std::erase(r.output, '\r');
    std::erase(r.errors, '\r');
    return r;
  }

  // The options of a run whose system temporary folder is `folder` (made here), so that the test
  // sees what the run leaves there.
  RunOptions WithTemporaryFolder(const fs::path& folder) {
    fs::create_directories(folder);
    RunOptions o = Options();
    for (const char* name : {"TMPDIR", "TMP", "TEMP"}) o.environment[name] = Utf8(folder);
    return o;
  }

  // A model file, an exported BMP and a request, imported by hopgate itself.
  std::u16string Import(const std::string& name, const Image& image = Pattern(6, 4)) {
    WriteFile(caller / (name + ".sw"), "model");
    WriteFile(caller / (name + ".bmp"), Bmp24(image));
    WriteFile(caller / (name + ".json"), "{\"bmp\": \"" + name + ".bmp\", \"sw\": \"" +
                                             JsonPath(caller / (name + ".sw")) + "\"}");
    Run({PathText(caller / (name + ".json"))});
    return PathText(caller / (name + ".sw"));
  }
};

// What the caller receives: the exit code, the results on standard output, the one-line failure
// on standard error, and nothing more there when standard error is not a terminal (no progress
// bar, even for a cache of more than a thousand files).
TEST_F(CacheToolTest, EachStreamCarriesItsOwnAndTheExitCodeReachesTheCaller) {
  Run({});  // hopgate makes the cache folder, in the data root the core library names
  CreateTable();
  AddRow(std::nullopt, u"A.PNG", PathText(caller / "gone.sw"));
  WriteFile(PreviewFolder() / "A.PNG", kSamplePng);
  for (int i = 0; i < 1000; ++i) WriteFile(PreviewFolder() / ("T" + std::to_string(i)), "");
  const std::u16string elsewhere = PathText(root / "elsewhere");
  const struct {
    std::vector<std::u16string> args;
    int exitCode;
    std::string out, err;  // how each stream begins; "" for nothing at all
  } cases[] = {
      {{u"where"}, 0, "data root     " + Utf8(data) + "  (exists)\n", ""},
      {{u"check"}, 1, "stale           row 1  A.PNG", ""},
      {{u"clean", u"--dry-run", u"--stale"}, 0, "would remove row 1 (stale)", ""},
      {{u"--help"}, 0, "usage: hopgate-cache", ""},
      {{u"--data-root", elsewhere, u"list"}, 2, "", "hopgate-cache: no cache at "},
      {{u"frobnicate"}, 2, "", "hopgate-cache: unknown command frobnicate (see --help)\n"},
  };
  for (const auto& c : cases) {
    const RunResult r = Tool(c.args);
    EXPECT_EQ(r.exitCode, c.exitCode) << Show(c.args.back()) << r.output << r.errors;
    EXPECT_EQ(r.output.rfind(c.out, 0), 0u) << Show(c.args.back()) << r.output;
    EXPECT_EQ(r.output.empty(), c.out.empty()) << Show(c.args.back()) << r.output;
    EXPECT_EQ(r.errors.rfind(c.err, 0), 0u) << Show(c.args.back()) << r.errors;
    EXPECT_EQ(std::count(r.errors.begin(), r.errors.end(), '\n'), c.err.empty() ? 0 : 1)
        << r.errors;
  }

  // The gallery of an index that cannot be read: the page on standard output, why on standard
  // error, and an exit code that says the run was not clean.
  WriteFile(Index(), std::string(4096, 'x'));
  const RunResult page = Tool({u"gallery"});
  EXPECT_EQ(page.exitCode, 2);
  EXPECT_TRUE(Contains(page.output, "<p class=\"warning\">The index cannot be read"));
  EXPECT_TRUE(Contains(page.output, "</html>\n"));
  EXPECT_EQ(page.errors.rfind("hopgate-cache: cannot read the index ", 0), 0u) << page.errors;
  EXPECT_EQ(std::count(page.errors.begin(), page.errors.end(), '\n'), 1) << page.errors;
}

// A forwarding copy is explained from the folder the tool is installed in, which is hopgate's:
// debug.ini there and the target beside it. Nothing is started, nothing changes.
TEST_F(CacheToolTest, ExplainReadsHopgatesFolderAndStartsNothing) {
  const fs::path target = PlaceRecorder("target");
  const fs::path partsbook = PlaceRecorder("partsbook");
  WriteFile(program / "debug.ini", "[Forward]\n" + Exe("fwd") + "=target" + kExeSuffix + "\n");
  WriteFile(caller / "m.partsbook", "document");
  const std::u16string fwd = u"fwd" + PathText(kExeSuffix);
  const std::string folder = Utf8(program / "");
  const struct {
    std::vector<std::u16string> args;
    std::vector<std::string> says;
  } cases[] = {
      {{u"explain", u"m.partsbook"},
       {"mode: command (program name \"hopgate", "command row 2 of 6"}},
      {{u"explain", u"--as", fwd, u"a", u"b c"},
       {"mode: forwarding (program name \"" + Exe("fwd") + "\" in " + folder + ")\n",
        "debug.ini: " + Utf8(program / "debug.ini") + "  (exists)\n",
        "[Forward] " + Exe("fwd") + " = \"target", "would start \"target", "\"a\" \"b c\""}},
      {{u"explain", u"--as", fwd, u"a", u"b", u"c", u"d"},
       {"nothing is started: 4 arguments, at most 3 are forwarded"}},
      {{u"explain", u"--as", u"nobody", u"x"},
       {"[Forward] nobody = \"\"", "nothing is started: no file stands at the path tested"}},
  };
  for (const auto& c : cases) {
    const Tree before = Snapshot(root);
    const RunResult r = Tool(c.args);
    EXPECT_EQ(r.exitCode, 0) << r.output << r.errors;
    for (const auto& s : c.says) EXPECT_TRUE(Contains(r.output, s)) << s << "\n" << r.output;
    EXPECT_EQ(Snapshot(root), before) << r.output;
  }
  EXPECT_FALSE(WaitForRecord(partsbook, kAbsenceWait));
  EXPECT_FALSE(WaitForRecord(target, 0));
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
    EXPECT_EQ(r.exitCode, 0) << r.output << r.errors;
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

// A damaged index beside running imports: a half-written index with a torn leaf and its hot
// journal, which the first import (or the repair) rolls back, so that imports go on writing while
// the repair runs. The repair does run (the index stays damaged), and no row is lost without a
// word: every committed row of the old index that the salvage could read and every import's row is
// in the new one, or the repair names the import's PNG as one whose row did not make it.
TEST_F(CacheToolTest, RepairRacingRunningImportsLosesNoRowSilently) {
  Run({});
  constexpr int kRounds = 4;
  constexpr int kImports = 8;
  const HalfWritten made = MakeTornHalfWritten(root / "half", 300);
  for (int round = 0; round < kRounds; ++round) {
    SCOPED_TRACE(round);
    for (const auto& e : fs::directory_iterator(PreviewFolder())) fs::remove(e.path());
    WriteFile(Index(), made.index);
    WriteFile(PreviewFolder() / "PreviewPNG.sqlite-journal", made.journal);
    std::vector<std::u16string> models;
    for (int i = 0; i < kImports; ++i) {
      const std::string name = "r" + std::to_string(round) + "-" + std::to_string(i);
      WriteFile(caller / (name + ".sw"), "model");
      WriteFile(caller / (name + ".bmp"), Bmp24(Pattern(100 + i, 80)));
      WriteFile(caller / (name + ".json"), "{\"bmp\": \"" + name + ".bmp\", \"sw\": \"" +
                                               JsonPath(caller / (name + ".sw")) + "\"}");
      models.push_back(PathText(caller / (name + ".sw")));
    }
    std::vector<std::thread> imports;
    for (int i = 0; i < kImports; ++i) {
      imports.emplace_back([&, i] {
        const std::string name = "r" + std::to_string(round) + "-" + std::to_string(i);
        RunArguments(program / Exe("hopgate"), {PathText(caller / (name + ".json"))}, Options());
      });
    }
    const RunResult repair = Tool({u"repair"});
    for (auto& t : imports) t.join();
    EXPECT_EQ(repair.exitCode, 1) << repair.output << repair.errors;
    EXPECT_TRUE(Contains(repair.output, "the index is damaged")) << repair.output;

    const std::vector<IndexRow> rows = Rows();
    std::set<std::u16string> pngs;
    for (const auto& row : rows) EXPECT_TRUE(pngs.insert(row.png).second) << Show(row.png);
    for (const auto& row : Without(made.committed, made.torn)) {
      EXPECT_NE(std::find(rows.begin(), rows.end(), row), rows.end()) << row;
    }
    std::size_t registered = 0;
    for (const auto& model : models) {
      registered += std::count_if(rows.begin(), rows.end(),
                                  [&](const IndexRow& r) { return r.model == model; });
    }
    // Each PNG that no row names is one the repair named.
    std::size_t named = 0;
    for (const auto& e : fs::directory_iterator(PreviewFolder())) {
      const std::u16string name = e.path().filename().u16string();
      if (e.path().extension() != ".PNG" || pngs.count(name)) continue;
      EXPECT_TRUE(Contains(repair.output, " " + Utf8(e.path().filename()))) << repair.output;
      ++named;
    }
    EXPECT_EQ(registered + named, static_cast<std::size_t>(kImports)) << repair.output;
  }
}

// A repair stopped after any of its steps (as a crash or a power cut would stop it) leaves an
// index in place, never none: the old one (with its journal, or rolled back) up to the swap, the
// new one from it on. A repair run again then finishes the work with the committed rows the
// salvage can read, never the uncommitted ones; a kept file stands only with the journal it stood
// with, both byte for byte; and hopgate registers new previews.
TEST_F(CacheToolTest, ARepairStoppedAtAnyStepLeavesTheOldOrTheNewIndexInPlace) {
  Run({});
  const HalfWritten made = MakeTornHalfWritten(root / "half", 200);
  const std::vector<IndexRow> salvageable = Without(made.committed, made.torn);
  const char* const steps[] = {"journal-kept", "rolled-back", "copied",  "salvaged",
                               "written",      "caught-up",   "replaced"};
  int imports = 0;
  for (const char* step : steps) {
    SCOPED_TRACE(step);
    for (const auto& e : fs::directory_iterator(PreviewFolder())) fs::remove(e.path());
    WriteFile(Index(), made.index);
    WriteFile(PreviewFolder() / "PreviewPNG.sqlite-journal", made.journal);
    // A stopped run leaves its scratch folder behind: in the test's folder, not the system's.
    RunOptions o = WithTemporaryFolder(root / "tmp");
    o.environment["HOPGATE_CACHE_TEST_REPAIR_STOP"] = step;
    const RunResult stopped = RunArguments(program / Exe("hopgate-cache"), {u"repair"}, o);
    EXPECT_EQ(stopped.exitCode, 70) << stopped.output;
    ASSERT_TRUE(fs::exists(Index()));
    if (std::string(step) == "replaced") {
      EXPECT_EQ(Rows(), salvageable);
    } else if (std::string(step) == "journal-kept") {
      EXPECT_EQ(ReadFile(Index()), made.index);
      EXPECT_EQ(ReadFile(PreviewFolder() / "PreviewPNG.sqlite-journal"), made.journal);
    } else {
      EXPECT_FALSE(fs::exists(PreviewFolder() / "PreviewPNG.sqlite-journal"));
    }

    const RunResult again = Tool({u"repair"});
    EXPECT_TRUE(again.exitCode == 0 || again.exitCode == 1) << again.output << again.errors;
    EXPECT_EQ(Rows(), salvageable) << again.output;
    int pairs = 0;
    for (const auto& e : fs::directory_iterator(PreviewFolder())) {
      const std::string name = Utf8(e.path().filename());
      if (!Contains(name, ".damaged-") || Contains(name, "-journal")) continue;
      const fs::path journal = fs::path(e.path()).concat("-journal");
      if (ReadFile(e.path()) == made.index) {
        ASSERT_TRUE(fs::exists(journal)) << name << ": the kept file without its journal";
        EXPECT_EQ(ReadFile(journal), made.journal) << name;
        ++pairs;
      } else {
        EXPECT_FALSE(fs::exists(journal)) << name << ": a journal beside another file";
      }
    }
    EXPECT_GE(pairs, 1) << "the pair as it stood is kept";
    const std::string name = "after-" + std::to_string(++imports);
    const std::u16string model = Import(name);
    const std::vector<IndexRow> rows = Rows();
    EXPECT_TRUE(std::any_of(rows.begin(), rows.end(), [&](const IndexRow& r) {
      return r.model == model;
    })) << again.output;
  }
}

// The scratch folder that repair and the reading commands copy the index into, in the system's
// temporary folder, is gone once the run ends, whatever the way it ends: a repair, its dry run, a
// refusal, a read of a write cut off, also of a read-only index (whose copy would be read-only
// too). A read-only index is refused by repair, its dry run included: nothing is copied, and the
// index keeps its bytes and its protection.
TEST_F(CacheToolTest, ARunLeavesNothingInTheTemporaryFolderAndARepairKeepsAReadOnlyIndex) {
  Run({});
  FillIndex(root / "sample.sqlite", 100);
  std::string damaged = ReadFile(root / "sample.sqlite");
  damaged.replace(0, 32, std::string(32, '\xA5'));
  const HalfWritten half = MakeHalfWritten(root / "half", 100);
  const std::string refusal = "hopgate-cache: cannot repair the index " + Utf8(Index()) +
                              ": it is read-only, and repair would replace it by a writable file\n";
  const struct {
    const char* name;
    const std::string& index;
    bool cutOff;  // the half-written index's journal stands beside it
    bool readOnly;
    std::vector<std::u16string> args;
    int exitCode;
    std::string errors;
  } cases[] = {
      {"repair", damaged, false, false, {u"repair"}, 0, ""},
      {"dry run", damaged, false, false, {u"repair", u"--dry-run"}, 0, ""},
      {"read-only", damaged, false, true, {u"repair"}, 2, refusal},
      {"read-only, dry run", damaged, false, true, {u"repair", u"--dry-run"}, 2, refusal},
      {"a write cut off", half.index, true, false, {u"list"}, 0, ""},
      {"a read-only index, a write cut off", half.index, true, true, {u"list"}, 0, ""},
  };
  const fs::path temporary = root / "tmp";
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    fs::remove_all(temporary);
    for (const auto& e : fs::directory_iterator(PreviewFolder())) fs::remove(e.path());
    WriteFile(Index(), c.index);
    if (c.cutOff) WriteFile(PreviewFolder() / "PreviewPNG.sqlite-journal", half.journal);
    if (c.readOnly) fs::permissions(Index(), fs::perms::owner_write, fs::perm_options::remove);
    const Tree before = Snapshot(PreviewFolder());

    const RunResult r = Tool(c.args, WithTemporaryFolder(temporary));
    EXPECT_EQ(r.exitCode, c.exitCode) << r.output << r.errors;
    EXPECT_EQ(r.errors, c.errors);
    EXPECT_TRUE(fs::is_empty(temporary));
    if (c.exitCode == 2) {
      EXPECT_EQ(Snapshot(PreviewFolder()), before);
    }
    if (c.readOnly) {
      EXPECT_EQ(fs::status(Index()).permissions() & fs::perms::owner_write, fs::perms::none);
      fs::permissions(Index(), fs::perms::owner_write, fs::perm_options::add);
    }
  }
}

#ifndef _WIN32
// A write that fails part-way (a file-size limit, a full disk) is said with the system's reason
// and exit code 2, and leaves nothing behind: the tool is not killed by SIGXFSZ half-way through
// a file, and results that never reached standard output are not a success.
TEST_F(CacheToolTest, AWriteThatFailsIsSaidWithTheSystemsReasonAndLeavesNothing) {
  Run({});
  FillIndex(Index(), 200);
  WriteFile(PreviewFolder() / "A.PNG", kSamplePng);
  std::string damaged = ReadFile(Index());
  damaged.replace(0, 32, std::string(32, '\xA5'));
  const fs::path page = root / "gallery.html";
  const fs::path tool = program / Exe("hopgate-cache");
  const struct {
    const char* name;
    bool damage;
    std::vector<std::u16string> args;  // given to the tool, or to a shell that starts it
    std::uint64_t fileSizeLimit;
    std::string errors;
  } cases[] = {
      {"a page beyond the file-size limit",
       false,
       {u"gallery", u"-o", PathText(page)},
       4096,
       "hopgate-cache: cannot write " + Utf8(page) + ": File too large\n"},
      {"the results on a full disk",
       false,
       {u"-c", u"exec \"$0\" where >/dev/full", PathText(tool)},
       0,
       "hopgate-cache: cannot write the results to standard output: No space left on device\n"},
      {"a new index beyond the file-size limit",
       true,
       {u"repair"},
       4096,
       "hopgate-cache: cannot write the new index " + Utf8(Index()) +
           ".repair-STAMP: SQLite3 error: disk I/O error (File too large)\n"},
  };
  const fs::path temporary = root / "tmp";
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    if (c.damage) WriteFile(Index(), damaged);
    RunOptions o = WithTemporaryFolder(temporary);
    o.fileSizeLimit = c.fileSizeLimit;
    o.errorsApart = true;
    const Tree before = Snapshot(root);
    const RunResult r =
        c.args[0] == u"-c" ? RunArguments("/bin/sh", c.args, o) : RunArguments(tool, c.args, o);
    EXPECT_EQ(r.exitCode, 2) << r.output << r.errors;
    EXPECT_EQ(
        std::regex_replace(r.errors, std::regex("\\.repair-[0-9]{8}-[0-9]{6}"), ".repair-STAMP"),
        c.errors);
    EXPECT_EQ(Snapshot(root), before);
  }
}
#endif

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
