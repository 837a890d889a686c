// The command line of hopgate-cache: global options and each command's own.
#pragma once

#include <functional>
#include <initializer_list>
#include <optional>
#include <string>
#include <vector>

#include "cachetool/CacheTool.h"
#include "cachetool/Console.h"
#include "cachetool/Text.h"

namespace cachetool {

// The options every command takes. `--data-root DIR` may stand before the command or among its
// options.
struct CommonOptions {
  std::optional<Text> dataRoot;
  bool help = false;
};

// Walks a command's arguments: common options are taken as they come, the command's own through
// Flag and Value; anything left is an error unless the command takes operands (explain).
class OptionReader {
 public:
  OptionReader(const std::vector<Text>& arguments, CommonOptions& common);

  // False at the end, or at the first operand ("--" ends the options and is passed over).
  bool Next();
  // The option at hand; Flag and Value test and take it.
  bool Flag(const char* name);
  std::optional<Text> Value(const char* name);
  // Raises EUsage for the option at hand, which no test took.
  [[noreturn]] void Unknown() const;
  // The arguments from the first operand on.
  std::vector<Text> Rest() const;

 private:
  const std::vector<Text>& arguments_;
  CommonOptions& common_;
  std::size_t at_ = 0;
  bool taken_ = true;
};

// Reads the options of a command that takes no operands (`own` takes the command's own options),
// then sets hopgate's folder texts for the data root. Returns false when --help was asked for;
// the command's help is printed then.
bool ReadOptions(const Command& command, const std::vector<Text>& arguments, const Console& console,
                 const std::function<bool(OptionReader&)>& own);

// A command's own option that is a switch: its name, and what it turns on.
struct FlagOption {
  const char* name;
  bool* on;
};

// ReadOptions for a command whose own options are all switches.
bool ReadFlags(const Command& command, const std::vector<Text>& arguments, const Console& console,
               std::initializer_list<FlagOption> flags);

}  // namespace cachetool
