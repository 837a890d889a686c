// The command entry: the run's global texts, its arguments and the command table.
#pragma once

#include <string>
#include <vector>

namespace hopgate {

using Text = std::u16string;

// The run's global texts: set once by the start-up in Run (hopgate.cpp), the only place that
// writes them, and read-only everywhere else.
extern const Text& ProgramFolder;  // folder of the running executable, ending with a separator
extern const Text& FirstArgument;  // argument 1, trimmed; empty without arguments
extern const Text& OwnFileName;    // file name of the running executable, as the system reports it
extern const Text&
    ForwardTarget;  // debug.ini's value for OwnFileName; read in forwarding mode only

// Arguments 1..n of the run, untrimmed (see textrules::SplitCommandLine).
extern const std::vector<Text>& Arguments;

// Argument `index` (1-based), trimmed; empty when there is no such argument.
Text Argument(size_t index);

// True when a program of this file name runs in command mode (its name, ASCII letters
// lower-cased, is hopgate's own); any other name forwards.
bool IsCommandMode(const Text& ownFileName);

// A row of the command table: how many arguments it takes, what it does (for people), the test on
// the trimmed first argument, and the action on the run's global texts.
enum class CommandKind { Purge, StartSibling, ImportRequest, Rename, RenameAndDelete };

struct CommandRow {
  size_t argumentCount;
  CommandKind kind;
  const char* description;
  bool (*test)(const Text& first);
  void (*action)();
};

// The row that a run with these arguments (untrimmed, as split) would act on, or null when no row
// matches. Decides only: nothing is started or changed.
const CommandRow* ChooseCommand(const std::vector<Text>& arguments);

// The rows in the order they are tried; `*rowCount` receives their number.
const CommandRow* CommandTable(size_t* rowCount);

// Command mode: applies the command table to the run's arguments.
void DispatchCommand();

// The whole run: start-up, data folders, mode choice, command. Never throws; returns 0.
int Run();

}  // namespace hopgate
