// hopgate-cache's command table: usage, help, errors and what every command shares.
#include "commands_fixture.h"

namespace cachecommands {
namespace {

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

}  // namespace
}  // namespace cachecommands
