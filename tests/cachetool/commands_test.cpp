// hopgate-cache's commands run through the library, as main() hands them their arguments, on
// fixture caches made in a temporary data root: a console that keeps what each stream is given
// stands in for the process. What only a process shows (the exit code reaching the caller, the
// two streams kept apart, the console code page on Windows) and what needs hopgate running beside
// the tool is left to cachetool_test.cpp.
#include <gtest/gtest.h>

#ifndef _WIN32
#include <sys/stat.h>
#endif

#include <algorithm>
#include <functional>
#include <regex>
#include <set>
#include <sstream>

#include "cachetool/CacheTool.h"
#include "cache_fixture.h"
#include "platform/native_text.h"
#include "platform/platform.h"
#include "platform/text_encoding.h"
#include "preview/UpdatePreviewUnit.h"
#include "support/preview_cache.h"
#include "support/show.h"

namespace {

using namespace testsupport;
using cachetool::RunCacheTool;

struct ToolRun {
  int exitCode = -1;
  std::string out, err;
};

// Runs the tool with these arguments exactly, on a console that keeps both streams; standard
// error counts as a terminal when `terminal` says so.
ToolRun RunTool(const std::vector<std::u16string>& arguments, bool terminal = false) {
  ToolRun r;
  const cachetool::Console console{[&](std::string_view text) { r.out += text; },
                                   [&](std::string_view text) { r.err += text; }, terminal};
  r.exitCode = RunCacheTool(arguments, console);
  return r;
}

std::vector<std::string> Lines(const std::string& text) {
  std::vector<std::string> lines;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

// A line cut into its columns: the runs of text between two or more blanks.
std::vector<std::string> Columns(const std::string& line) {
  std::vector<std::string> columns;
  const std::regex gap("  +");
  std::string trimmed = line.substr(line.find_first_not_of(' '));
  std::sregex_token_iterator it(trimmed.begin(), trimmed.end(), gap, -1), end;
  for (; it != end; ++it) columns.push_back(*it);
  return columns;
}

// The arguments `head`, then those of `tail`.
std::vector<std::u16string> Then(std::vector<std::u16string> head,
                                 const std::vector<std::u16string>& tail) {
  head.insert(head.end(), tail.begin(), tail.end());
  return head;
}

bool Contains(const std::string& text, const std::string& part) {
  return text.find(part) != std::string::npos;
}

// A failed run as the tool reports it: exit 2, nothing on standard output, one line on standard
// error.
void ExpectOneLineFailure(const ToolRun& r, const std::string& says, const std::string& context) {
  EXPECT_EQ(r.exitCode, 2) << context;
  EXPECT_EQ(r.out, "") << context;
  EXPECT_EQ(Lines(r.err).size(), 1u) << context << "\n" << r.err;
  EXPECT_EQ(r.err.rfind("hopgate-cache: " + says, 0), 0u) << context << "\n" << r.err;
}

class CacheCommands : public ::testing::Test {
 protected:
  void SetUp() override {
    fs::create_directories(cache);
    fs::create_directories(models);
  }

  // The tool on the fixture's data root.
  ToolRun Tool(std::vector<std::u16string> arguments, bool terminal = false) const {
    arguments.insert(arguments.begin(), {u"--data-root", PathText(data)});
    return RunTool(arguments, terminal);
  }

  IndexFile Index() const { return IndexFile(cache / "PreviewPNG.sqlite"); }

  // A model path; the file is made unless it is to be gone.
  std::u16string Model(const std::string& name, bool exists = true) const {
    if (exists) WriteFile(models / name, "model");
    return PathText(models / name);
  }

  // A file in the cache folder: a whole PNG unless other bytes are given.
  void CacheFile(const std::string& name, const std::string& bytes = kSamplePng) const {
    WriteFile(cache / name, bytes);
  }

  // A row of the index, the table made first where it is missing.
  void Row(const std::u16string& png, const std::u16string& model) const {
    Index().CreateTable();
    Index().AddRow(std::nullopt, png, model);
  }

  // A cache with every finding once, beside a sound preview (row 1):
  //   row 2 stale, row 3 PNG missing, row 4 damaged PNG, rows 5 and 6 twins, an old orphan, a
  //   young orphan, an old and a young temporary file of the converter.
  void MakeCacheWithEveryFinding() const {
    const std::u16string good = Model("good.sw");
    CacheFile("GOOD.PNG");
    Row(u"GOOD.PNG", good);
    CacheFile("STALE.PNG");
    Row(u"STALE.PNG", Model("gone.sw", false));
    Row(u"LOST.PNG", Model("lost.sw"));
    CacheFile("DAMAGED.PNG", kSamplePng.substr(0, 40));
    Row(u"DAMAGED.PNG", good);
    CacheFile("TWIN.PNG");
    Row(u"TWIN.PNG", good);
    Row(u"TWIN.PNG", good);
    CacheFile("ORPHAN.PNG");
    MakeOld(cache / "ORPHAN.PNG");
    CacheFile("YOUNG.PNG");
    CacheFile("OLD.PNG.77-1.tmp", "half a png");
    MakeOld(cache / "OLD.PNG.77-1.tmp");
    CacheFile("NEW.PNG.77-2.tmp", "a png being written");
  }

  std::string ModelText(const std::string& name) const { return Utf8(models / name); }

  std::vector<std::int64_t> RowIds() const {
    std::vector<std::int64_t> ids;
    for (const auto& row : Index().Rows()) ids.push_back(row.id);
    return ids;
  }

  TempFolder folder_{"hopgate-cachetool"};
  const fs::path root = folder_.Path();
  const fs::path data = root / "data";
  const fs::path cache = data / "Vexmoor" / "PreviewPNG";
  const fs::path models = root / "models";
};

// ---- The command table -------------------------------------------------------------------------

TEST_F(CacheCommands, UsageAndEachHelpComeFromTheCommandRows) {
  const ToolRun usage = RunTool({u"--help"});
  EXPECT_EQ(usage.exitCode, 0);
  std::string readers;
  for (const auto& command : cachetool::Commands()) {
    const std::string name = command.name;
    const std::string line = "  " + name + (*command.synopsis ? " " : "") + command.synopsis;
    EXPECT_TRUE(Contains(usage.out, "\n" + line)) << line << "\n" << usage.out;
    EXPECT_TRUE(Contains(usage.out, std::string(command.summary) + "\n")) << name;
    if (command.readsOnly) readers += (readers.empty() ? "" : ", ") + name;

    // Help after the command and before it: the command's own usage line and help.
    const std::u16string name16(name.begin(), name.end());
    for (const auto& arguments : {std::vector<std::u16string>{name16, u"--help"},
                                  std::vector<std::u16string>{u"--help", name16}}) {
      const ToolRun help = RunTool(arguments);
      EXPECT_EQ(help.exitCode, 0) << name;
      EXPECT_EQ(
          help.out.rfind(
              "usage: hopgate-cache [--data-root DIR] " + line.substr(2) + "\n" + command.help, 0),
          0u)
          << help.out;
      EXPECT_EQ(Contains(help.out, "Reads only:"), command.readsOnly) << help.out;
    }
  }
  EXPECT_TRUE(Contains(usage.out, "The reading commands (" + readers + ") create nothing."))
      << usage.out;
  // The finding kinds in check's help are the kinds' own names.
  const ToolRun check = RunTool({u"check", u"--help"});
  for (const char* kind : {"png-missing", "stale", "duplicate-name", "damaged-png", "unlisted-png",
                           "leftover-temp", "integrity"}) {
    EXPECT_TRUE(Contains(check.out, std::string("\n  ") + kind + " ")) << kind;
  }
  EXPECT_TRUE(Contains(check.out, "unlisted-png    a PNG no row names (informational"));
}

TEST_F(CacheCommands, UsageErrorsAreOneLineAndExitTwo) {
  static const struct {
    std::vector<std::u16string> arguments;
    std::string says;
  } cases[] = {
      {{}, "no command given"},
      {{u"frobnicate"}, "unknown command frobnicate"},
      {{u"--frobnicate", u"list"}, "unknown option --frobnicate"},
      {{u"list", u"--yaml"}, "unknown option --yaml"},
      {{u"list", u"extra"}, "list takes no argument extra"},
      {{u"where", u"--json"}, "unknown option --json"},
      {{u"--data-root"}, "--data-root needs a folder"},
      {{u"gallery", u"--limit", u"many"}, "--limit needs a whole number, not many"},
      {{u"gallery", u"-o"}, "-o needs a value"},
      {{u"explain", u"--as"}, "--as needs a value"},
  };
  for (const auto& c : cases) {
    ExpectOneLineFailure(RunTool(c.arguments), c.says,
                         c.arguments.empty() ? "(none)" : Show(c.arguments.back()));
  }
  // The release number, then what git says of the sources built ("unknown" outside a clone).
  const ToolRun version = RunTool({u"--version"});
  EXPECT_EQ(version.exitCode, 0);
  EXPECT_TRUE(std::regex_match(
      version.out, std::regex("hopgate-cache 1\\.0\\.0 \\(([0-9a-f]{12,}(-dirty)?|unknown)\\)\n")))
      << version.out;
}

// Every reading row of the table, on every state a data root can be in: nothing is created or
// changed. list and check refuse a data root without a cache folder.
TEST_F(CacheCommands, ReadingCommandsCreateNothingAndNameAMissingCache) {
  // The arguments of a run of each reading command; explain needs some.
  const auto runOf = [](const cachetool::Command& command) {
    std::vector<std::u16string> arguments{
        std::u16string(command.name, command.name + std::char_traits<char>::length(command.name))};
    if (arguments[0] == u"explain") arguments.push_back(u"CLEARPNGFILE");
    return arguments;
  };
  std::vector<std::vector<std::u16string>> runs;
  for (const auto& command : cachetool::Commands()) {
    if (command.readsOnly) runs.push_back(runOf(command));
  }
  runs.push_back({u"clean", u"--dry-run", u"--stale", u"--unlisted"});

  enum class State { NoDataRoot, NoCacheFolder, NoIndex, Full };
  for (const State state : {State::NoDataRoot, State::NoCacheFolder, State::NoIndex, State::Full}) {
    fs::remove_all(data);
    if (state != State::NoDataRoot) fs::create_directories(data);
    if (state == State::NoIndex || state == State::Full) fs::create_directories(cache);
    if (state == State::Full) MakeCacheWithEveryFinding();
    const bool noCache = state == State::NoDataRoot || state == State::NoCacheFolder;
    const Tree before = Snapshot(root);
    for (const auto& run : runs) {
      const ToolRun r = Tool(run);
      const std::string context = Show(run[0]) + " in state " + std::to_string(int(state));
      if (noCache && (run[0] == u"list" || run[0] == u"check")) {
        ExpectOneLineFailure(r, "no cache at " + Utf8(cache), context);
      } else {
        EXPECT_EQ(r.err, "") << context;
        EXPECT_EQ(r.exitCode, run[0] == u"check" && state == State::Full ? 1 : 0) << context;
      }
      if (state == State::NoIndex && run[0] == u"list") {
        EXPECT_EQ(Lines(r.out).back(), "(0 rows)");
      }
    }
    EXPECT_EQ(Snapshot(root), before) << "state " << int(state);
  }
}

// A walk over a large cache draws a progress bar on standard error when that is a terminal, and
// wipes it at the end, so that whatever follows starts on a clean line.
TEST_F(CacheCommands, AProgressBarOnlyOnATerminalAndOnlyForALargeCache) {
  for (int i = 0; i < 999; ++i) CacheFile("T" + std::to_string(i) + ".PNG");
  EXPECT_EQ(Tool({u"check"}, true).err, "") << "999 files";
  CacheFile("T999.PNG");
  EXPECT_EQ(Tool({u"check"}, false).err, "") << "not a terminal";
  // The gallery's walk is over the previews it shows.
  for (const auto& arguments :
       {std::vector<std::u16string>{u"check"}, {u"clean"}, {u"gallery", u"--limit", u"1000"}}) {
    const std::string err = Tool(arguments, true).err;
    const std::string context = Show(arguments[0]);
    EXPECT_EQ(err.rfind("\r", 0), 0u) << context;
    EXPECT_TRUE(Contains(err, "] 1000/1000")) << context;
    EXPECT_EQ(err.back(), '\r') << context;
    EXPECT_EQ(err.find_first_not_of(' ', err.rfind('\r', err.size() - 2) + 1), err.size() - 1)
        << context << ": the bar is wiped at the end";
  }
  EXPECT_EQ(Tool({u"gallery"}, true).err, "") << "200 previews shown";
}

// ---- where, list, check ------------------------------------------------------------------------

TEST_F(CacheCommands, WhereNamesHopgatesFoldersAndWhatExists) {
  fs::remove_all(data / "Vexmoor");
  const auto lines = [&] { return Lines(Tool({u"where"}).out); };
  const std::vector<std::string> before = {
      "data root     " + Utf8(data) + "  (exists)",
      "cache folder  " + Utf8(cache) + "  (missing)",
      "index         " + Utf8(cache / "PreviewPNG.sqlite") + "  (missing)",
  };
  EXPECT_EQ(lines(), before);
  fs::create_directories(cache);
  Row(u"A.PNG", Model("a.sw"));
  EXPECT_EQ(lines()[1], "cache folder  " + Utf8(cache) + "  (exists)");
  EXPECT_EQ(lines()[2], "index         " + Utf8(cache / "PreviewPNG.sqlite") + "  (exists)");
}

TEST_F(CacheCommands, ListShowsEveryRowInIdOrderWithItsPngAndModel) {
  CacheFile("A.PNG");
  Row(u"A.PNG", Model("a.sw"));
  CacheFile("B.PNG", "not a png, but a file");
  Row(u"B.PNG", Model("b.sw", false));
  Row(u"NOFILE.PNG", Model("a.sw"));
  Row(u"../outside.PNG", Model("a.sw"));  // never looked up outside the cache folder
  WriteFile(data / "Vexmoor" / "outside.PNG", "x");

  const ToolRun text = Tool({u"list"});
  EXPECT_EQ(text.exitCode, 0);
  const std::vector<std::vector<std::string>> expected = {
      {"ID", "PNG", "BYTES", "MODEL EXISTS", "MODEL"},
      {"1", "A.PNG", "69", "yes", ModelText("a.sw")},
      {"2", "B.PNG", "21", "no", ModelText("b.sw")},
      {"3", "NOFILE.PNG", "-", "yes", ModelText("a.sw")},
      {"4", "../outside.PNG", "-", "yes", ModelText("a.sw")},
  };
  const auto lines = Lines(text.out);
  ASSERT_EQ(lines.size(), expected.size() + 1) << text.out;
  for (size_t i = 0; i < expected.size(); ++i) EXPECT_EQ(Columns(lines[i]), expected[i]);
  EXPECT_EQ(lines.back(), "(4 rows)");

  const ToolRun json = Tool({u"list", u"--json"});
  EXPECT_EQ(json.exitCode, 0);
  const std::string a = JsonPath(models / "a.sw");
  EXPECT_EQ(json.out,
            "[\n"
            " {\"id\": 1, \"png\": \"A.PNG\", \"model\": \"" +
                a +
                "\", \"png_bytes\": 69, \"model_exists\": true},\n"
                " {\"id\": 2, \"png\": \"B.PNG\", \"model\": \"" +
                JsonPath(models / "b.sw") +
                "\", \"png_bytes\": 21, \"model_exists\": false},\n"
                " {\"id\": 3, \"png\": \"NOFILE.PNG\", \"model\": \"" +
                a +
                "\", \"png_bytes\": null, \"model_exists\": true},\n"
                " {\"id\": 4, \"png\": \"../outside.PNG\", \"model\": \"" +
                a + "\", \"png_bytes\": null, \"model_exists\": true}\n]\n");
}

TEST_F(CacheCommands, CheckReportsEachFindingOnceWithItsRowOrFile) {
  MakeCacheWithEveryFinding();
  std::uintmax_t bytes = 0;
  for (const auto& e : fs::directory_iterator(cache)) bytes += e.file_size();

  const ToolRun text = Tool({u"check"});
  EXPECT_EQ(text.exitCode, 1);
  const std::vector<std::vector<std::string>> expected = {
      {"stale", "row 2", "STALE.PNG", ModelText("gone.sw")},
      {"png-missing", "row 3", "LOST.PNG", ModelText("lost.sw")},
      {"duplicate-name", "row 5", "TWIN.PNG", ModelText("good.sw")},
      {"duplicate-name", "row 6", "TWIN.PNG", ModelText("good.sw")},
      {"damaged-png", "DAMAGED.PNG"},
      {"leftover-temp", "OLD.PNG.77-1.tmp"},
      {"unlisted-png", "ORPHAN.PNG"},
      {"unlisted-png", "YOUNG.PNG"},
  };
  const auto lines = Lines(text.out);
  ASSERT_EQ(lines.size(), expected.size() + 1) << text.out;
  for (size_t i = 0; i < expected.size(); ++i) EXPECT_EQ(Columns(lines[i]), expected[i]);
  EXPECT_EQ(lines.back(), "6 rows, 9 files, " + std::to_string(bytes) + " bytes; 8 findings");

  const ToolRun json = Tool({u"check", u"--json"});
  EXPECT_EQ(json.exitCode, 1);
  EXPECT_TRUE(Contains(json.out, "{\"rows\": 6, \"files\": 9, \"bytes\": " + std::to_string(bytes) +
                                     ", \"findings\": [\n"))
      << json.out;
  EXPECT_TRUE(Contains(
      json.out, "\n  {\"kind\": \"stale\", \"id\": 2, \"png\": \"STALE.PNG\", \"model\": \"" +
                    JsonPath(models / "gone.sw") + "\"},\n"))
      << json.out;
  EXPECT_TRUE(Contains(json.out,
                       "\n  {\"kind\": \"leftover-temp\", \"id\": null, \"png\": "
                       "\"OLD.PNG.77-1.tmp\", \"model\": null},\n"))
      << json.out;
  EXPECT_EQ(std::count(json.out.begin(), json.out.end(), '\n'), 10) << json.out;
}

TEST_F(CacheCommands, CheckExitsZeroWhenUnlistedPngsAreAllThereIs) {
  CacheFile("Mixed.Png");
  Row(u"Mixed.Png", Model("good.sw"));
  EXPECT_EQ(Tool({u"check"}).exitCode, 0);
  CacheFile("orphan.png");
  // A file under a row's name in another letter case is the row's, not an orphan (on Windows
  // these are the row's own file).
  CacheFile("MIXED.PNG");
  CacheFile("mixed.png");
  // Rows whose names differ in letter case alone are not twins: hopgate's count of a name's rows
  // compares exactly, so it never took one for the other's.
  Row(u"MIXED.PNG", Model("good.sw"));
  const ToolRun r = Tool({u"check"});
  EXPECT_EQ(r.exitCode, 0) << r.out;
  EXPECT_EQ(Lines(r.out)[0], "unlisted-png    orphan.png");
  EXPECT_EQ(Lines(r.out).size(), 2u) << r.out;
}

TEST_F(CacheCommands, AnIndexThatCannotBeReadIsCheckedAndNamedWithSQLitesReason) {
  CacheFile("A.PNG");
  Row(u"A.PNG", Model("a.sw"));
  Row(u"B.PNG", Model("b.sw"));
  // An index on the name column whose declared column is then changed: its entries no longer
  // match the table, which SQLite's integrity check reports.
  Index().Execute(u"CREATE INDEX byName ON PreviewPNGTable(PngMd5FileName)");
  Index().Execute(
      u"PRAGMA writable_schema=ON; UPDATE sqlite_master SET sql='CREATE INDEX byName ON "
      u"PreviewPNGTable(SwFullFileName)' WHERE name='byName'; PRAGMA writable_schema=OFF;");
  const ToolRun damaged = Tool({u"check", u"--json"});
  EXPECT_EQ(damaged.exitCode, 1);
  EXPECT_TRUE(Contains(damaged.out, "\"kind\": \"integrity\"")) << damaged.out;
  EXPECT_TRUE(Contains(damaged.out, "\"detail\": \"")) << damaged.out;

  // Not a database at all: check reports it as its finding; list cannot read the rows.
  WriteFile(cache / "PreviewPNG.sqlite", std::string(4096, 'x'));
  const std::string reason = "file is not a database";
  const ToolRun check = Tool({u"check"});
  EXPECT_EQ(check.exitCode, 1);
  EXPECT_TRUE(Contains(check.out, "integrity       cannot read the index " +
                                      Utf8(cache / "PreviewPNG.sqlite") +
                                      ": SQLite3 error: " + reason))
      << check.out;
  EXPECT_TRUE(
      Contains(check.out, "\nhopgate-cache repair salvages the rows that can still be read"))
      << check.out;
  ExpectOneLineFailure(
      Tool({u"list"}),
      "cannot read the index " + Utf8(cache / "PreviewPNG.sqlite") + ": SQLite3 error: " + reason,
      "list");
}

// Whatever the tool prints as JSON is UTF-8, for every command: bytes that are not UTF-8 (in the
// index's texts, or, on POSIX, in a path) are written as "\udcXX" escapes of their byte, so they
// stay told apart from the characters that UTF-8 spells with the same bytes' values.
TEST_F(CacheCommands, JsonIsUtf8AndTellsBytesThatAreNotUtf8FromCharacters) {
  Index().CreateTable();
  // PNG names: "A", the byte FF, ".PNG"; and "A", the character U+00FF, ".PNG".
  Index().Execute(
      u"INSERT INTO PreviewPNGTable (PngMd5FileName,SwFullFileName) VALUES "
      u"(CAST(x'41FF2E504E47' AS TEXT), 'gone.sw'), (CAST(x'41C3BF2E504E47' AS TEXT), 'gone.sw')");
  const std::string byte = "\"A\\udcff.PNG\"", character = "\"A\xC3\xBF.PNG\"";
  const std::u16string here = PathText(data);
  struct Case {
    std::vector<std::u16string> arguments;
    std::vector<std::string> says;
  };
  std::vector<Case> cases = {
      {{u"--data-root", here, u"list", u"--json"}, {byte, character}},
      {{u"--data-root", here, u"check", u"--json"}, {byte, character}},
  };
#ifndef _WIN32
  // A data root whose name holds the byte FF, and a damaged index in it (the path's bytes as they
  // are: std::filesystem cannot convert them).
  const std::string odd = root.native() + "/d\xFF";
  fs::create_directories(odd + "/Vexmoor/PreviewPNG");
  WriteFile(odd + "/Vexmoor/PreviewPNG/PreviewPNG.sqlite", std::string(4096, 'x'));
  const std::string oddIndex =
      "\"" + Utf8(root) + "/d\\udcff/Vexmoor/PreviewPNG/PreviewPNG.sqlite\"";
  const std::u16string there = platform::FromNative(odd);
  cases.push_back({{u"--data-root", there, u"check", u"--json"}, {"/d\\udcff/Vexmoor/"}});
  cases.push_back({{u"--data-root", there, u"repair", u"--dry-run", u"--json"}, {oddIndex}});
  cases.push_back({{u"--data-root", there, u"repair", u"--json"}, {oddIndex}});
#endif
  for (const auto& c : cases) {
    const ToolRun r = RunTool(c.arguments);
    const std::string context = Show(c.arguments[1]) + " " + Show(c.arguments[2]);
    EXPECT_TRUE(textencoding::DecodeUtf8Strict(r.out).has_value()) << context << "\n" << r.out;
    for (const auto& says : c.says) {
      EXPECT_TRUE(Contains(r.out, says)) << context << ": " << says << "\n" << r.out;
    }
  }
}

// ---- clean -------------------------------------------------------------------------------------

// For each choice of options: the dry run lists the plan, changes nothing, and the act removes
// exactly what the dry run listed, in the same order.
TEST_F(CacheCommands, CleanCarriesOutExactlyThePlanItsDryRunShows) {
  const auto row = [&](int id, const char* reason, const char* png, const char* model) {
    return "row " + std::to_string(id) + " (" + reason + "): " + png + "  " + ModelText(model);
  };
  const std::string lost = row(3, "png-missing", "LOST.PNG", "lost.sw");
  const std::string stale = row(2, "stale", "STALE.PNG", "gone.sw");
  const std::string temp = "file OLD.PNG.77-1.tmp (leftover-temp)";
  const std::string orphan = "file ORPHAN.PNG (unlisted-png)";
  const struct {
    std::vector<std::u16string> options;
    std::vector<std::string> removals;
    std::vector<std::int64_t> rowsLeft;
    std::vector<std::string> filesGone;
  } cases[] = {
      {{}, {lost, temp}, {1, 2, 4, 5, 6}, {"OLD.PNG.77-1.tmp"}},
      {{u"--stale"},
       {stale, lost, "file STALE.PNG (stale)", temp},
       {1, 4, 5, 6},
       {"STALE.PNG", "OLD.PNG.77-1.tmp"}},
      {{u"--unlisted"}, {lost, temp, orphan}, {1, 2, 4, 5, 6}, {"OLD.PNG.77-1.tmp", "ORPHAN.PNG"}},
  };
  for (const auto& c : cases) {
    fs::remove_all(cache);
    fs::create_directories(cache);
    MakeCacheWithEveryFinding();
    std::vector<std::u16string> arguments = Then({u"clean", u"--dry-run"}, c.options);
    const std::string context = c.options.empty() ? "no options" : Show(c.options[0]);

    const Tree before = Snapshot(root);
    const ToolRun dry = Tool(arguments);
    EXPECT_EQ(dry.exitCode, 0) << context;
    EXPECT_EQ(Snapshot(root), before) << context;
    std::vector<std::string> shown;
    for (const auto& r : c.removals) shown.push_back("would remove " + r);
    shown.push_back("dry run: nothing removed");
    EXPECT_EQ(Lines(dry.out), shown) << context;

    arguments.erase(arguments.begin() + 1);
    const ToolRun act = Tool(arguments);
    EXPECT_EQ(act.exitCode, 0) << context << act.err;
    std::vector<std::string> done;
    for (const auto& r : c.removals) done.push_back("removed " + r);
    const auto rows = static_cast<std::size_t>(
        std::count_if(c.removals.begin(), c.removals.end(),
                      [](const auto& r) { return r.rfind("row", 0) == 0; }));
    const std::size_t files = c.removals.size() - rows;
    done.push_back("removed " + std::to_string(rows) + (rows == 1 ? " row, " : " rows, ") +
                   std::to_string(files) + (files == 1 ? " file" : " files"));
    EXPECT_EQ(Lines(act.out), done) << context;
    EXPECT_EQ(RowIds(), c.rowsLeft) << context;
    for (const char* name :
         {"GOOD.PNG", "STALE.PNG", "DAMAGED.PNG", "TWIN.PNG", "ORPHAN.PNG", "YOUNG.PNG",
          "OLD.PNG.77-1.tmp", "NEW.PNG.77-2.tmp", "PreviewPNG.sqlite"}) {
      const bool gone = std::count(c.filesGone.begin(), c.filesGone.end(), name) != 0;
      EXPECT_EQ(fs::exists(cache / name), !gone) << context << ": " << name;
    }
  }
}

// Every name under which a program of the suite writes a file before renaming it into place is
// known to check and clean (reported and removed once abandoned); a kept damaged index and its
// journal never are, nor names that only look alike.
TEST_F(CacheCommands, EveryTemporaryNameIsKnownAndAKeptDamagedIndexIsNot) {
  const struct {
    const char* name;
    bool temporary;
  } cases[] = {
      {"A.PNG.77-1.tmp", true},                                      // the converter's
      {"A.PNG.part4242", true},                                      // a copy's
      {"PreviewPNG.sqlite.repair-20261211-070000", true},            // a repair's new index
      {"PreviewPNG.sqlite.repair-20261211-070000-journal", true},    // and its journal
      {"PreviewPNG.sqlite.damaged-20261211-070000", false},          // a kept damaged index
      {"PreviewPNG.sqlite.damaged-20261211-070000-journal", false},  // and its journal
      {"A.PNG.part", false},
      {"A.PNG.part42x", false},
      {"notes.txt", false},
  };
  for (const auto& c : cases) {
    CacheFile(c.name, "bytes");
    MakeOld(cache / c.name);
  }
  CacheFile("YOUNG.PNG.part77", "bytes");  // a copy under way

  const ToolRun check = Tool({u"check"});
  EXPECT_EQ(check.exitCode, 1) << check.out;
  for (const auto& c : cases) {
    EXPECT_EQ(Contains(check.out, std::string("leftover-temp   ") + c.name + "\n"), c.temporary)
        << c.name << "\n"
        << check.out;
  }
  EXPECT_FALSE(Contains(check.out, "YOUNG.PNG.part77")) << check.out;

  const ToolRun clean = Tool({u"clean"});
  EXPECT_EQ(clean.exitCode, 0) << clean.out << clean.err;
  for (const auto& c : cases) EXPECT_EQ(fs::exists(cache / c.name), !c.temporary) << c.name;
  EXPECT_TRUE(fs::exists(cache / "YOUNG.PNG.part77"));
}

// A run cut off while it wrote the index leaves its journal beside it. The reading commands read
// the committed rows (from a copy with the journal rolled back), name the cut-off write for what
// it is and leave the pair as it stands; only clean rolls it back in place, as the next import
// would. It is never taken for damage.
TEST_F(CacheCommands, AWriteCutOffLeavesCommittedRowsThatCleanRollsBack) {
  const fs::path index = cache / "PreviewPNG.sqlite";
  const fs::path journal = cache / "PreviewPNG.sqlite-journal";
  const HalfWritten made = MakeHalfWritten(root / "half", 120);
  WriteFile(index, made.index);
  WriteFile(journal, made.journal);
  for (const auto& row : made.committed) CacheFile(Utf8(fs::path(row.png)));
  const Tree before = Snapshot(root);

  const ToolRun list = Tool({u"list"});
  EXPECT_EQ(list.exitCode, 0) << list.err;
  EXPECT_TRUE(Contains(list.out, "(" + std::to_string(made.committed.size()) + " rows)"))
      << list.out;
  for (const auto& row : made.committed) {
    EXPECT_TRUE(Contains(list.out, Utf8(fs::path(row.model)))) << row.id;
  }

  const ToolRun check = Tool({u"check"});
  EXPECT_TRUE(Contains(check.out, "interrupted-write")) << check.out;
  EXPECT_FALSE(Contains(check.out, "integrity")) << check.out;
  EXPECT_FALSE(Contains(check.out, "repair")) << check.out;

  const ToolRun dry = Tool({u"clean", u"--dry-run"});
  EXPECT_EQ(dry.exitCode, 0) << dry.err;
  EXPECT_TRUE(Contains(dry.out, "would roll back the journal of a run cut off")) << dry.out;
  EXPECT_EQ(Snapshot(root), before) << "the reading commands and the dry run change nothing";

  const ToolRun clean = Tool({u"clean"});
  EXPECT_EQ(clean.exitCode, 0) << clean.out << clean.err;
  EXPECT_TRUE(Contains(clean.out, "rolled back the journal of a run cut off")) << clean.out;
  EXPECT_FALSE(fs::exists(journal));
  EXPECT_EQ(Index().Rows(), made.committed);
  EXPECT_FALSE(Contains(Tool({u"check"}).out, "interrupted-write"));
}

#ifndef _WIN32
// POSIX only: a link that loops is how a test gets an answer that is neither "there" nor "not
// found"; on Windows the fault points (tests/fault_win32) give such answers instead.
// A model file that cannot be examined now (here a link that loops; elsewhere an I/O error, a
// drive offline, a folder without permission) is not gone: check only mentions it, and neither
// clean --stale nor CLEARPNGFILE takes its preview.
TEST_F(CacheCommands, AModelThatCannotBeExaminedIsNotStale) {
  std::error_code ec;
  fs::create_symlink("loop", models / "loop", ec);
  if (ec) GTEST_SKIP() << "no symbolic links here: " << ec.message();
  const std::u16string unreachable = PathText(models / "loop" / "m.sw");
  CacheFile("KEPT.PNG");
  Row(u"KEPT.PNG", unreachable);

  const ToolRun check = Tool({u"check"});
  EXPECT_EQ(check.exitCode, 0) << check.out;
  EXPECT_TRUE(
      Contains(check.out, "model-unreachable row 1  KEPT.PNG  " + Utf8(models / "loop" / "m.sw")))
      << check.out;
  EXPECT_FALSE(Contains(check.out, "stale")) << check.out;

  const ToolRun clean = Tool({u"clean", u"--stale"});
  EXPECT_EQ(clean.exitCode, 0) << clean.err;
  EXPECT_EQ(RowIds(), (std::vector<std::int64_t>{1}));
  EXPECT_TRUE(fs::exists(cache / "KEPT.PNG"));
}
#endif

TEST_F(CacheCommands, CleanNeverDeletesOutsideTheCacheFolderOrTheIndex) {
  CacheFile("A.PNG");
  Row(u"A.PNG", Model("a.sw"));
  WriteFile(data / "Vexmoor" / "outside.PNG", "keep");
  const std::u16string gone = Model("gone.sw", false);
  Row(u".." + std::u16string(1, static_cast<char16_t>(fs::path::preferred_separator)) +
          u"outside.PNG",
      gone);
  Row(u"previewpng.SQLITE", gone);  // the index, on a file system that ignores letter case
  Row(u"PreviewPNG.sqlite", gone);
  MakeOld(cache / "PreviewPNG.sqlite");
  // A folder under a row's PNG name is not its PNG: the row is png-missing, the folder stays.
  fs::create_directories(cache / "FOLDER.PNG");
  Row(u"FOLDER.PNG", gone);
  const ToolRun r = Tool({u"clean", u"--stale", u"--unlisted"});
  EXPECT_EQ(r.exitCode, 0) << r.err;
  EXPECT_TRUE(Contains(r.out, "removed row 5 (png-missing): FOLDER.PNG")) << r.out;
  EXPECT_EQ(Lines(r.out).back(), "removed 4 rows, 0 files") << r.out;
  EXPECT_TRUE(fs::exists(data / "Vexmoor" / "outside.PNG"));
  EXPECT_TRUE(fs::is_directory(cache / "FOLDER.PNG"));
  EXPECT_TRUE(fs::exists(cache / "PreviewPNG.sqlite"));
  EXPECT_EQ(RowIds(), std::vector<std::int64_t>{1});
}

// An import may run while clean does: what changed between the plan and a file's removal keeps
// the file. clean prints the rows it removed before it removes any file, so the console's first
// "removed row" line is the moment between the two at which the import's change is made here.
TEST_F(CacheCommands, CleanTestsEachFileAgainRightBeforeRemovingIt) {
  const struct {
    const char* what;
    const char* file;
    std::function<void()> makeFile, change;
    const char* summary;
  } cases[] = {
      {"a leftover temporary file written again", "OLD.PNG.9-1.tmp",
       [&] {
         CacheFile("OLD.PNG.9-1.tmp", "half a png");
         MakeOld(cache / "OLD.PNG.9-1.tmp");
       },
       [&] { CacheFile("OLD.PNG.9-1.tmp", "a png being written again"); },
       "removed 1 row, 0 files"},
      {"an unlisted PNG written again", "ORPHAN.PNG",
       [&] {
         CacheFile("ORPHAN.PNG");
         MakeOld(cache / "ORPHAN.PNG");
       },
       [&] { CacheFile("ORPHAN.PNG"); }, "removed 1 row, 0 files"},
      {"an unlisted PNG that a row names now", "ORPHAN.PNG",
       [&] {
         CacheFile("ORPHAN.PNG");
         MakeOld(cache / "ORPHAN.PNG");
       },
       [&] { Row(u"ORPHAN.PNG", Model("orphan.sw")); }, "removed 1 row, 0 files"},
      {"a stale row's PNG whose model is back", "STALE.PNG",
       [&] {
         CacheFile("STALE.PNG");
         Row(u"STALE.PNG", Model("back.sw", false));
       },
       [&] { Model("back.sw"); }, "removed 2 rows, 0 files"},
  };
  for (const auto& c : cases) {
    fs::remove_all(cache);
    fs::remove_all(models);
    fs::create_directories(cache);
    fs::create_directories(models);
    Row(u"LOST.PNG", Model("lost.sw"));  // a row to remove first: the moment of the change
    c.makeFile();
    const std::string planned = "file " + std::string(c.file) + " (";
    ASSERT_TRUE(Contains(Tool({u"clean", u"--dry-run", u"--stale", u"--unlisted"}).out,
                         "would remove " + planned))
        << c.what;

    ToolRun r;
    bool changed = false;
    const cachetool::Console console{[&](std::string_view text) {
                                       r.out += text;
                                       if (!changed && text.rfind("removed row", 0) == 0) {
                                         changed = true;
                                         c.change();
                                       }
                                     },
                                     [&](std::string_view text) { r.err += text; }, false};
    r.exitCode = RunCacheTool({u"--data-root", PathText(data), u"clean", u"--stale", u"--unlisted"},
                              console);
    EXPECT_TRUE(changed) << c.what << "\n" << r.out;
    EXPECT_EQ(r.exitCode, 0) << c.what << "\n" << r.err;
    EXPECT_FALSE(Contains(r.out, "removed " + planned)) << c.what << "\n" << r.out;
    EXPECT_EQ(Lines(r.out).back(), c.summary) << c.what;
    EXPECT_TRUE(fs::exists(cache / c.file)) << c.what;
  }
}

TEST_F(CacheCommands, CleanNamesAFileItCannotRemoveWithTheSystemsReasonAndGoesOn) {
  for (const char* name : {"A.PNG.1-0.tmp", "B.PNG.1-0.tmp"}) {
    CacheFile(name, "half");
    MakeOld(cache / name);
  }
  SetReadOnly(cache / "A.PNG.1-0.tmp", true);
  // The reason the system gives for a read-only file, asked of the platform layer directly.
  WriteFile(root / "read-only", "x");
  SetReadOnly(root / "read-only", true);
  ASSERT_FALSE(platform::DeleteFile(PathText(root / "read-only")));
  const std::string reason = platform::ToNative(platform::LastErrorText());
  ASSERT_NE(reason, "");

  const ToolRun r = Tool({u"clean"});
  EXPECT_EQ(r.exitCode, 2);
  EXPECT_EQ(r.err,
            "hopgate-cache: cannot remove " + Utf8(cache / "A.PNG.1-0.tmp") + ": " + reason + "\n");
  EXPECT_EQ(Lines(r.out),
            (std::vector<std::string>{"removed file B.PNG.1-0.tmp (leftover-temp)",
                                      "removed 0 rows, 1 file; 1 file could not be removed"}));
  EXPECT_TRUE(fs::exists(cache / "A.PNG.1-0.tmp"));
  EXPECT_FALSE(fs::exists(cache / "B.PNG.1-0.tmp"));
}

// ---- explain -----------------------------------------------------------------------------------

// hopgate's decisions for command lines in command mode, told without acting on any of them.
// (A forwarding copy depends on the folder the tool is installed in: cachetool_test.cpp.)
TEST_F(CacheCommands, ExplainTellsWhatHopgateWouldDoAndDoesNothing) {
  const fs::path cwd = root / "cwd";
  fs::create_directories(cwd);
  const auto path = [&](const char* name) { return PathText(cwd / name); };
  const auto request = [&](const char* name, const std::string& image, const std::string& model) {
    WriteFile(cwd / name, "\xEF\xBB\xBF{\"bmp\": \"" + JsonPath(cwd / image) + "\", \"sw\": \"" +
                              JsonPath(cwd / model) + "\"}");
  };
  WriteFile(cwd / "m.sw", "model");
  WriteFile(cwd / "e.bmp", "BM");
  request("ok.json", "e.bmp", "m.sw");
  request("no-image.json", "missing.bmp", "m.sw");
  request("no-model.json", "e.bmp", "missing.sw");
  request("neither.json", "missing.bmp", "missing.sw");
  WriteFile(cwd / "array.json", "[1]");
  WriteFile(cwd / "junk.json", "not json");
  WriteFile(cwd / "deep-object.json",
            "{\"a\":" + std::string(40, '[') + std::string(40, ']') + "}");
  WriteFile(cwd / "bad-utf8.json", "\xEF\xBB\xBF{\"bmp\": \"\xFF\"}");
  CacheFile("A.PNG");
  Row(u"A.PNG", Model("gone.sw", false));
  Row(u"B.PNG", Model("there.sw"));

  static const char* const kRequestStops = "the import stops here and deletes nothing";
  const struct {
    std::vector<std::u16string> arguments;
    std::vector<std::string> says;
  } cases[] = {
      {{},
       {"arguments: 0", "mode: command (program name \"hopgate",
        "rows take 1 or 3 arguments, not 0"}},
      {{u"CLEARPNGFILE"},
       {"command row 1 of 6", "1 of 2 rows name a model file that is gone and would be purged"}},
      {{u"clearpngfile"}, {"command row: none; no row for 1 argument matches"}},
      {{u"model.PartsBook"}, {"command row 2 of 6"}},
      {{u"RENAME", u"a.txt", u"b.txt"}, {"command row 5 of 6"}},
      {{u"RENAMEANDDEL", u"a.txt", u"b.txt"}, {"command row 6 of 6"}},
      {{u" RENAME ", u"a.txt"},
       {"1: \" RENAME \", trimmed \"RENAME\"",
        "rows take 1 or 3 arguments, not 2, so nothing happens"}},
      {{path("missing.json")}, {"command row: none"}},
      {{path("ok.json")},
       {"command row 4 of 6", "encoding: UTF-8 (mark EF BB BF)", "\n  validation grammar: valid\n",
        "\n  reading grammar: valid\n", "image: converted by the core library",
        "\n  image exists: yes\n", "\n  model exists: yes\n",
        "index row for this name: none (a row is added when model and PNG exist)"}},
      {{path("no-image.json")},
       {"image exists: no (no PNG can be made; a PNG of this name already in the cache is "
        "deleted)",
        "\n  model exists: yes\n", "index row for this name: none (and none is added)"}},
      {{path("no-model.json")},
       {"\n  image exists: yes\n", "model exists: no (the PNG is made, but no row is added)",
        "index row for this name: none (and none is added)"}},
      {{path("neither.json")}, {"image exists: no (no PNG", "\n  model exists: no\n"}},
      {{path("array.json")},
       {"encoding: no mark: the ANSI code page",
        "validation grammar: invalid (Invalid type conversion",
        std::string("): ") + kRequestStops + "\n"}},
      {{path("junk.json")},
       {"validation grammar: not JSON, read as {} (both members empty); the import goes on",
        "reading grammar: valid", "bmp: \"\"", "sw: \"\""}},
      {{path("deep-object.json")},
       {"\n  validation grammar: valid\n", "reading grammar: invalid ("}},
      {{path("bad-utf8.json")}, {"text: cannot be read ("}},
  };
  for (const auto& c : cases) {
    const std::string context = c.arguments.empty() ? "(none)" : Show(c.arguments[0]);
    const Tree before = Snapshot(root);
    const ToolRun r = Tool(Then({u"explain", u"--"}, c.arguments));
    EXPECT_EQ(r.exitCode, 0) << context;
    EXPECT_EQ(r.err, "") << context;
    for (const auto& s : c.says) EXPECT_TRUE(Contains(r.out, s)) << s << "\n" << r.out;
    EXPECT_EQ(Snapshot(root), before) << context;
  }
}

TEST_F(CacheCommands, ExplainFindsTheRowOfTheRequestsPng) {
  const fs::path cwd = root / "cwd";
  fs::create_directories(cwd);
  WriteFile(cwd / "m.sw", "model");
  WriteFile(cwd / "r.json", "{\"sw\": \"" + JsonPath(cwd / "m.sw") + "\"}");
  const ToolRun before = Tool({u"explain", PathText(cwd / "r.json")});
  const std::smatch name = [&] {
    std::smatch m;
    std::regex_search(before.out, m, std::regex("PNG name: ([0-9A-F]{32}\\.PNG)"));
    return m;
  }();
  ASSERT_FALSE(name.empty()) << before.out;
  const std::string png = name[1];
  Row(u"OTHER.PNG", Model("o.sw"));
  Row(std::u16string(png.begin(), png.end()), PathText(cwd / "m.sw"));
  EXPECT_TRUE(Contains(Tool({u"explain", PathText(cwd / "r.json")}).out,
                       "index row for this name: row 2 (kept; no row is added)"));
}

// ---- gallery -----------------------------------------------------------------------------------

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

// ---- repair ------------------------------------------------------------------------------------

constexpr std::size_t kPage = 4096;  // SQLite's default page size, which the fixture indexes use

// The rows that the pages [first, last] (numbered from 1) held, each found by its key in the
// bytes of those pages as they were before the damage.
std::vector<IndexRow> RowsOnPages(const std::string& file, std::size_t first, std::size_t last,
                                  const std::vector<IndexRow>& rows) {
  const std::string pages = file.substr((first - 1) * kPage, (last - first + 1) * kPage);
  std::vector<IndexRow> on;
  for (const auto& row : rows) {
    if (Contains(pages, RowKey(static_cast<int>(row.id)))) on.push_back(row);
  }
  return on;
}

// The index's schema and text encoding as SQLite keeps them.
std::u16string SchemaOf(const fs::path& file) {
  storage::TSQLite3Database db;
  db.OpenExisting(PathText(file), storage::TSQLite3Database::TOpenMode::ReadOnly);
  std::u16string schema;
  auto s = db.Prepare(u"SELECT sql FROM sqlite_master UNION ALL SELECT * FROM pragma_encoding");
  while (s->Step() == storage::kStepRow) schema += s->ColumnText(0) + u"\n";
  return schema;
}

// Each kind of damage, made in the test on an index of known rows: what repair salvages is
// exactly the rows on the pages left whole, the damaged file is kept beside the new index as it
// was, and hopgate registers new previews in the new index.
TEST_F(CacheCommands, RepairSalvagesEveryRowOfTheWholePagesAndKeepsTheDamagedFile) {
  const fs::path index = cache / "PreviewPNG.sqlite";
  const fs::path sample = root / "sample.sqlite";
  const std::vector<IndexRow> written = FillIndex(sample, 3000);
  const std::string sound = ReadFile(sample);
  ASSERT_EQ(sound.size() % kPage, 0u);
  const std::size_t pages = sound.size() / kPage;
  ASSERT_GT(pages, 60u);
  const std::size_t middle = pages / 2;

  struct Case {
    const char* name;
    std::string damaged;             // the index file as the damage leaves it
    std::vector<IndexRow> salvaged;  // what repair must bring back
    int exitCode;
    const char* says;
  };
  std::string smashed = sound;
  smashed.replace(0, 32, std::string(32, '\xA5'));
  std::string torn = sound;
  torn.replace((middle - 1) * kPage + kPage / 2, kPage / 2, std::string(kPage / 2, '\0'));
  std::string both = torn;
  both.replace(0, 32, std::string(32, '\xA5'));
  const std::size_t kept = pages * 6 / 10;
  // The leaf that new rows go to: the page with the last row's cell.
  const std::size_t last = sound.find("P" + RowKey(2999) + ".PNG") / kPage + 1;
  std::string tornLast = sound;
  tornLast.replace((last - 1) * kPage + kPage / 2, kPage / 2, std::string(kPage / 2, '\0'));
  // Rows deleted by the hundred leave whole pages on SQLite's freelist, their cells still in them.
  fs::copy_file(sample, root / "freed.sqlite");
  IndexFile(root / "freed.sqlite")
      .Execute(u"DELETE FROM PreviewPNGTable WHERE ID BETWEEN 1000 AND 1600");
  std::string freed = ReadFile(root / "freed.sqlite");
  ASSERT_EQ(freed.size(), sound.size());
  ASSERT_NE(freed.substr(36, 4), std::string(4, '\0')) << "no page on the freelist";
  freed.replace(0, 32, std::string(32, '\xA5'));
  std::vector<IndexRow> afterDelete = written;
  std::erase_if(afterDelete, [](const IndexRow& r) { return r.id >= 1000 && r.id <= 1600; });
  // A torn write of one leaf: a transaction deleted the page's first row and changed another row
  // in place, and only the page's first sector (its header and cell pointers) reached the disk;
  // the rest is the older content. Every pointer still finds a whole cell and the free blocks read
  // are the older ones, but the deleted row's cell is neither a cell nor free space: only the sum
  // of the content area shows the tear, and taking the page would bring back the changed row's
  // older value.
  const std::size_t leaf = sound.find("P" + RowKey(1500) + ".PNG") / kPage + 1;
  std::vector<IndexRow> onLeaf = RowsOnPages(sound, leaf, leaf, written);
  std::erase_if(onLeaf, [](const IndexRow& r) { return r.id % 40 == 0; });
  ASSERT_GE(onLeaf.size(), 3u);
  const IndexRow gone = onLeaf.front(), changed = onLeaf[onLeaf.size() / 2];
  fs::copy_file(sample, root / "changed.sqlite");
  IndexFile(root / "changed.sqlite")
      .Execute(u"DELETE FROM PreviewPNGTable WHERE ID = " + U16(std::to_string(gone.id)) +
               u"; UPDATE PreviewPNGTable SET SwFullFileName = "
               u"replace(SwFullFileName, '/models/', '/MODELS/') WHERE ID = " +
               U16(std::to_string(changed.id)));
  const std::string newer = ReadFile(root / "changed.sqlite");
  ASSERT_EQ(newer.size(), sound.size());
  constexpr std::size_t kSector = 512;
  const std::size_t leafAt = (leaf - 1) * kPage;
  ASSERT_NE(newer.substr(leafAt, kSector), sound.substr(leafAt, kSector));
  ASSERT_NE(newer.substr(leafAt + kSector, kPage - kSector),
            sound.substr(leafAt + kSector, kPage - kSector));
  std::string tornWrite = newer;
  tornWrite.replace(leafAt + kSector, kPage - kSector,
                    sound.substr(leafAt + kSector, kPage - kSector));
  std::vector<IndexRow> afterChange = Without(written, {gone});
  for (auto& r : afterChange) {
    if (r.id == changed.id) r.model = u"/MODELS/" + r.model.substr(8);
  }
  const Case cases[] = {
      {"a smashed header", smashed, written, 0,
       "the file's header is damaged: page size 4096 found from its first page"},
      {"a smashed header over pages of deleted rows", freed, afterDelete, 0,
       "the file's header is damaged: page size 4096 found from its first page"},
      {"a torn leaf page in the middle", torn,
       Without(written, RowsOnPages(sound, middle, middle, written)), 1,
       "1 page of the table could not be read"},
      {"a smashed header and a torn page", both,
       Without(written, RowsOnPages(sound, middle, middle, written)), 1,
       "1 page of the table could not be read"},
      {"a torn last leaf page", tornLast, Without(written, RowsOnPages(sound, last, last, written)),
       1, "1 page of the table could not be read"},
      {"a leaf torn between its newer header and its older cells", tornWrite,
       Without(afterChange, RowsOnPages(newer, leaf, leaf, afterChange)), 1,
       "1 page of the table could not be read"},
      {"a truncated file", sound.substr(0, kept * kPage),
       Without(written, RowsOnPages(sound, kept + 1, pages, written)), 1,
       "of the table could not be read"},
      {"a file that is not SQLite at all",
       std::string(3 * kPage, 'x'),
       {},
       1,
       "no page size makes its first page readable"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    fs::remove_all(cache);
    fs::create_directories(cache);
    WriteFile(index, c.damaged);
    ASSERT_EQ(Tool({u"check"}).exitCode, 1);

    const Tree before = Snapshot(data);
    const ToolRun dry = Tool({u"repair", u"--dry-run"});
    EXPECT_EQ(dry.exitCode, c.exitCode) << dry.out << dry.err;
    EXPECT_TRUE(Contains(dry.out, c.says)) << dry.out;
    EXPECT_TRUE(Contains(dry.out, "salvaged " + std::to_string(c.salvaged.size()) + " row"))
        << dry.out;
    EXPECT_TRUE(Contains(dry.out, "dry run: nothing changed\n")) << dry.out;
    EXPECT_EQ(Snapshot(data), before);

    const ToolRun r = Tool({u"repair"});
    EXPECT_EQ(r.exitCode, c.exitCode) << r.out << r.err;
    EXPECT_EQ(r.err, "");
    EXPECT_TRUE(Contains(r.out, c.says)) << r.out;
    EXPECT_EQ(Index().Rows(), c.salvaged);
    // The damaged file, byte for byte, under the name the output gives, beside the index.
    const std::regex keptLine(
        "\nkept the damaged index as (PreviewPNG\\.sqlite\\.damaged-[0-9]{8}-[0-9]{6})\n");
    std::smatch m;
    ASSERT_TRUE(std::regex_search(r.out, m, keptLine)) << r.out;
    EXPECT_EQ(ReadFile(cache / m[1].str()), c.damaged);
    EXPECT_TRUE(Contains(
        r.out, "repaired: the new index holds " + std::to_string(c.salvaged.size()) + " row"))
        << r.out;
    // Nothing left of the work: only the index and the kept file.
    EXPECT_EQ(Snapshot(cache).size(), 2u) << r.out;

    // The table as hopgate makes it, in UTF-8.
    EXPECT_EQ(SchemaOf(index), SchemaOf(sample));
    // SQLite finds the new index sound, and hopgate registers new previews in it.
    const ToolRun check = Tool({u"check", u"--json"});
    EXPECT_FALSE(Contains(check.out, "integrity")) << check.out;
    CacheFile("NEW.PNG");
    preview::RegisterPreview(u"NEW.PNG", Model("new.sw"));
    ASSERT_FALSE(Index().Rows().empty());
    EXPECT_EQ(Index().Rows().back().png, u"NEW.PNG");
    EXPECT_GT(Index().Rows().back().id, c.salvaged.empty() ? 0 : c.salvaged.back().id);
    EXPECT_EQ(Tool({u"repair"}).out, "the index is sound: nothing to repair\n");
  }
}

// A transaction cut short leaves a half-written index with its hot journal beside it. repair keeps
// the pair as it stood under matching names, byte for byte, lets SQLite roll the journal back into
// the index, and only then decides: a pair whose rollback leaves a sound index is not damage (the
// index keeps its committed rows, nothing is replaced or kept); a pair that stays damaged (a torn
// leaf the journal does not hold) is salvaged from the committed rows, never the uncommitted ones.
TEST_F(CacheCommands, RepairRollsAHotJournalBackFirstAndKeepsThePairAsItStood) {
  const fs::path index = cache / "PreviewPNG.sqlite";
  const struct {
    const char* name;
    HalfWritten made;
    int exitCode;
  } cases[] = {
      {"a sound index", MakeHalfWritten(root / "half", 400), 0},
      {"a torn leaf besides", MakeTornHalfWritten(root / "torn", 400), 1},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    fs::remove_all(cache);
    fs::create_directories(cache);
    WriteFile(index, c.made.index);
    WriteFile(cache / "PreviewPNG.sqlite-journal", c.made.journal);

    const ToolRun r = Tool({u"repair", u"--json"});
    EXPECT_EQ(r.exitCode, c.exitCode) << r.out << r.err;
    EXPECT_FALSE(fs::exists(cache / "PreviewPNG.sqlite-journal"));
    EXPECT_EQ(Index().Rows(), Without(c.made.committed, c.made.torn));
    const bool damaged = !c.made.torn.empty();
    EXPECT_TRUE(Contains(r.out, std::string("\"damaged\": ") + (damaged ? "true" : "false")))
        << r.out;
    EXPECT_TRUE(Contains(r.out, "\"journal\": true")) << r.out;
    if (!damaged) {
      EXPECT_EQ(Snapshot(cache).size(), 1u) << r.out;
      continue;
    }
    EXPECT_TRUE(Contains(
        r.out, "\"rows\": " + std::to_string(c.made.committed.size() - c.made.torn.size())))
        << r.out;
    const std::regex keptAs("\"kept_as\": \"([^\"]*)\", \"journal_kept_as\": \"([^\"]*)\"");
    std::smatch m;
    ASSERT_TRUE(std::regex_search(r.out, m, keptAs)) << r.out;
    EXPECT_EQ(m[2].str(), m[1].str() + "-journal");
    EXPECT_EQ(ReadFile(cache / fs::path(m[1].str()).filename()), c.made.index);
    EXPECT_EQ(ReadFile(cache / fs::path(m[2].str()).filename()), c.made.journal);
    // The index, the kept file and its journal: nothing else is left.
    EXPECT_EQ(Snapshot(cache).size(), 3u) << r.out;
    CacheFile("NEW.PNG");
    preview::RegisterPreview(u"NEW.PNG", Model("new.sw"));
    EXPECT_EQ(Index().Rows().back().png, u"NEW.PNG");
  }
}

// A lock is told from damage by the result code of the step that met it, never by the words of a
// message: a damaged index whose one integrity message ends in "database is locked" is repaired.
// (A lock itself: RepairLeavesAnIndexThatIsNotDamagedAsItIs.)
TEST_F(CacheCommands, RepairTellsALockFromDamageByTheResultCode) {
  Row(u"A.PNG", Model("a.sw"));
  const std::vector<IndexRow> rows = Index().Rows();
  // A column declared NOT NULL after a NULL was stored in it.
  Index().Execute(
      u"CREATE TABLE t(x); INSERT INTO t VALUES(NULL); PRAGMA writable_schema=ON; UPDATE "
      u"sqlite_master SET sql='CREATE TABLE t(\"database is locked\" NOT NULL)' WHERE name='t'; "
      u"PRAGMA writable_schema=OFF;");
  const ToolRun r = Tool({u"repair"});
  EXPECT_EQ(r.exitCode, 0) << r.out << r.err;
  EXPECT_EQ(Lines(r.out).front(), "the index is damaged: NULL value in t.database is locked");
  EXPECT_EQ(Index().Rows(), rows);
}

// What stands in the index's place decides what each command may do with it. Anything but a file
// (here a folder; on POSIX also a FIFO and a device) is never opened: check names it, counted,
// since no import can register a preview while it stands there, list cannot read it, and repair
// refuses it; a link to a file is read as the file, but repair never replaces a link by a file of
// its own. Nothing is moved or changed.
TEST_F(CacheCommands, WhatStandsInTheIndexsPlaceIsNamedAndOnlyAFileIsRepaired) {
  const fs::path index = cache / "PreviewPNG.sqlite";
  const std::string path = Utf8(index);
  const std::string damagedBytes = std::string(4096, 'x');
  const auto notAFile = [&](const std::string& what) {
    return "index-not-a-file " + path + " is " + what +
           ", not a file: no import can register a preview until it is moved away\n";
  };
  struct Case {
    const char* name;
    std::function<void()> make;
    int checkExit;
    std::string checkSays;  // a line of check's output
    int repairExit;
    std::string repairSays;  // what repair prints (standard output, or the failure's line)
    bool listReads;
  };
  std::vector<Case> cases = {
      {"a folder", [&] { fs::create_directories(index / "inside"); }, 1, notAFile("a folder"), 2,
       "hopgate-cache: cannot repair the index " + path + ": it is a folder, not a file\n", false},
  };
#ifndef _WIN32
  const fs::path elsewhere = root / "elsewhere.sqlite";
  const auto soundRow = [&] {
    IndexFile(elsewhere).CreateTable();
    IndexFile(elsewhere).AddRow(std::nullopt, u"A.PNG", Model("a.sw"));
  };
  cases.push_back(
      {"a FIFO", [&] { ASSERT_EQ(::mkfifo(index.c_str(), 0666), 0); }, 1, notAFile("a FIFO"), 2,
       "hopgate-cache: cannot repair the index " + path + ": it is a FIFO, not a file\n", false});
  cases.push_back(
      {"a link to a device", [&] { fs::create_symlink("/dev/null", index); }, 1,
       notAFile("a device"), 2,
       "hopgate-cache: cannot repair the index " + path + ": it is a device, not a file\n", false});
  cases.push_back({"a link to a sound index",
                   [&] {
                     soundRow();
                     CacheFile("A.PNG");
                     fs::create_symlink(elsewhere, index);
                   },
                   0, "1 row, 2 files, ", 0, "the index is sound: nothing to repair\n", true});
  cases.push_back({"a link to a damaged index",
                   [&] {
                     WriteFile(elsewhere, damagedBytes);
                     fs::create_symlink(elsewhere, index);
                   },
                   1, "integrity       cannot read the index " + path, 2,
                   "hopgate-cache: cannot repair the index " + path +
                       ": it is a symbolic link, and repair would replace the link, not the file "
                       "it leads to\n",
                   false});
#endif
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    fs::remove_all(cache);
    fs::remove(root / "elsewhere.sqlite");
    fs::create_directories(cache);
    c.make();
    const Tree before = Snapshot(root);

    const ToolRun check = Tool({u"check"});
    EXPECT_EQ(check.exitCode, c.checkExit) << check.out << check.err;
    EXPECT_TRUE(Contains("\n" + check.out, "\n" + c.checkSays)) << check.out;
    const ToolRun list = Tool({u"list"});
    if (c.listReads) {
      EXPECT_EQ(list.exitCode, 0) << list.err;
      EXPECT_EQ(Lines(list.out).back(), "(1 row)");
    } else {
      EXPECT_EQ(list.exitCode, 2);
      EXPECT_EQ(list.err.rfind("hopgate-cache: cannot read the index " + path + ": ", 0), 0u)
          << list.err;
    }
    for (const auto& arguments : {std::vector<std::u16string>{u"repair"},
                                  std::vector<std::u16string>{u"repair", u"--dry-run"}}) {
      const ToolRun repair = Tool(arguments);
      EXPECT_EQ(repair.exitCode, c.repairExit) << Show(arguments.back());
      EXPECT_EQ(c.repairExit == 2 ? repair.err : repair.out, c.repairSays);
    }
    EXPECT_EQ(Snapshot(root), before);
  }
}

// What is not damaged is left alone: no index, an empty (zero-length) file, a sound index.
TEST_F(CacheCommands, RepairLeavesAnIndexThatIsNotDamagedAsItIs) {
  const fs::path index = cache / "PreviewPNG.sqlite";
  const struct {
    const char* name;
    std::optional<std::string> bytes;
  } cases[] = {{"no index", std::nullopt}, {"a zero-length file", ""}, {"a sound index", "sound"}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    fs::remove_all(cache);
    fs::create_directories(cache);
    if (c.bytes && c.bytes->empty()) WriteFile(index, "");
    if (c.bytes && !c.bytes->empty()) Row(u"A.PNG", Model("a.sw"));
    const Tree before = Snapshot(data);
    for (const auto& args : {std::vector<std::u16string>{u"repair"},
                             std::vector<std::u16string>{u"repair", u"--dry-run", u"--json"}}) {
      const ToolRun r = Tool(args);
      EXPECT_EQ(r.exitCode, 0) << r.out << r.err;
      if (args.size() == 1) {
        EXPECT_EQ(r.out, c.bytes ? "the index is sound: nothing to repair\n"
                                 : "there is no index: nothing to repair\n");
      } else {
        EXPECT_TRUE(Contains(r.out, "\"damaged\": false")) << r.out;
        EXPECT_TRUE(Contains(r.out, "\"kept_as\": null")) << r.out;
      }
      EXPECT_EQ(Snapshot(data), before);
    }
  }
  ExpectOneLineFailure(Tool({u"--data-root", PathText(root / "nowhere"), u"repair"}),
                       "no cache at ", "repair without a cache");

  // A sound index that another connection keeps locked for longer than hopgate's wait is not
  // taken for a damaged one: the repair fails and changes nothing.
  Row(u"A.PNG", Model("a.sw"));
  storage::TSQLite3Database holder;
  holder.Open(PathText(index));
  holder.Execute(u"BEGIN EXCLUSIVE");
  const Tree before = Snapshot(data);
  ExpectOneLineFailure(Tool({u"repair"}),
                       "cannot read the index " + Utf8(index) + ": database is locked",
                       "repair of a locked index");
  EXPECT_EQ(Snapshot(data), before);
}

}  // namespace
