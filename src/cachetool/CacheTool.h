// hopgate-cache: see, check, explain and tidy hopgate's preview cache. The program's main() hands
// its arguments (split by hopgate's own command-line rules) and its console to RunCacheTool.
//
// Exit codes: 0 success, 1 findings (check) or rows that could not be salvaged (repair), 2 the
// cache cannot be read or changed, or the usage is wrong, with a line "hopgate-cache: ..." on
// standard error.
#pragma once

#include <string>
#include <vector>

#include "cachetool/Console.h"
#include "cachetool/Text.h"

namespace cachetool {

inline constexpr int kExitOk = 0;
inline constexpr int kExitFindings = 1;
inline constexpr int kExitFailure = 2;

// One command of the tool: a row of the command table, from which the usage text, the command's
// --help and the dispatch are all made.
struct Command {
  const char* name;
  const char* synopsis;  // what may follow the name, as the usage shows it ("[--json]")
  const char* summary;   // one line for the usage text
  std::string help;      // what --help says after the usage line
  // Runs the command on the arguments after its name (global options among them). Raises EUsage
  // or ECacheError, which RunCacheTool turns into the one-line message and exit code 2.
  int (*run)(const Command& self, const std::vector<Text>& arguments, const Console& console);
  bool readsOnly;  // creates and changes nothing: the index is opened read-only, if at all
};

// The rows, in the order the usage text lists them.
const std::vector<Command>& Commands();

// --help without a command: the tool's usage, its commands and exit codes, made from the rows.
std::string UsageText();

// A command's --help: its usage line, its help, and that it reads only where it does.
std::string HelpText(const Command& command);

// The whole tool: global options, then the command that the first operand names.
int RunCacheTool(const std::vector<Text>& arguments, const Console& console);

}  // namespace cachetool
