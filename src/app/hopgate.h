// The command entry: the run's global texts, its arguments and the command table.
#pragma once

#include <string>
#include <vector>

namespace hopgate {

using Text = std::u16string;

// Set once at start-up and never changed afterwards.
extern Text ProgramFolder;  // folder of the running executable, ending with a separator
extern Text FirstArgument;  // argument 1, trimmed; empty without arguments
extern Text OwnFileName;    // file name of the running executable, as the system reports it
extern Text ForwardTarget;  // set in forwarding mode only

// Arguments 1..n of the run, untrimmed (see textrules::SplitCommandLine).
extern std::vector<Text> Arguments;

// Argument `index` (1-based), trimmed; empty when there is no such argument.
Text Argument(size_t index);

// Command mode: applies the command table to the run's arguments.
void DispatchCommand();

// The whole run: start-up, data folders, mode choice, command. Never throws; returns 0.
int Run();

}  // namespace hopgate
