// The seam between the per-OS process entry (entry_posix.cpp / entry_win32.cpp) and the program.
#pragma once

// The program proper; defined by the application, called once by the process entry. Returns the
// process exit code.
int HopgateMain();

namespace platform {

// POSIX: the entry hands over argv before it calls HopgateMain (Windows reads GetCommandLineW and
// ignores this).
void RecordArguments(int argc, char** argv);

}  // namespace platform
