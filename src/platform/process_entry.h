// The seam between the per-OS process entry (entry_posix.cpp / entry_win32.cpp) and the program.
#pragma once

// The program proper; defined by the application, called once by the process entry. Returns the
// process exit code.
int HopgateMain();

namespace platform {

// POSIX: the entry hands over argv before it calls HopgateMain (Windows reads GetCommandLineW and
// ignores this). From then on a write beyond the file-size limit (RLIMIT_FSIZE) fails with EFBIG
// like any other write error instead of killing the process: SIGXFSZ is ignored. hopgate and
// hopgate-cache call this first.
void RecordArguments(int argc, char** argv);

}  // namespace platform
