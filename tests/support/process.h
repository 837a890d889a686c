// Starting the built program as its callers do, per OS: process_posix.cpp, process_win32.cpp.
#pragma once

#include <cstdint>
#include <filesystem>
#include <map>
#include <optional>
#include <string>
#include <vector>

namespace testsupport {

namespace fs = std::filesystem;

// File names of the build's outputs on this OS.
extern const char* const kExeSuffix;    // ".exe" or ""
extern const char* const kCoreLibrary;  // "tarnCore.dll" or "libtarncore.so"

struct RunOptions {
  // Environment changes for the child: a value sets, nothing removes.
  std::map<std::string, std::optional<std::string>> environment;
  fs::path workingFolder;           // the caller's current folder; empty: the test's own
  std::uint64_t fileSizeLimit = 0;  // POSIX only: RLIMIT_FSIZE for the child, 0 for none
};

struct RunResult {
  int exitCode = -1;
  std::string output;  // everything the child wrote to stdout and stderr
};

// Folder of the running test executable (the build's bin folder).
fs::path OwnFolder();

// Starts `exe` with these arguments and waits for it. POSIX: as argv. Windows: each argument in
// double quotes on the command line.
RunResult RunArguments(const fs::path& exe, const std::vector<std::u16string>& args,
                       const RunOptions& options = {});

// Starts `exe` with the exact command line `"exe"` + `tail` and waits (Windows only; on POSIX the
// tail is split by the program's own command-line rules, as a shell would not).
RunResult RunCommandLine(const fs::path& exe, const std::u16string& tail,
                         const RunOptions& options = {});

// What a recorder program placed as a started program writes (see recorder_*.cpp): its working
// folder and what it received. The record is written atomically; waits up to `seconds`.
struct Record {
  fs::path workingFolder;
  std::vector<std::u16string> received;
};
std::optional<Record> WaitForRecord(const fs::path& recorderExe, double seconds);

// What a recorder receives for the parameter string `parameters`: Windows the string itself (one
// item); POSIX the parameter string split by the command-line rules. No parameter string: nothing.
std::vector<std::u16string> ExpectedReceived(const std::optional<std::u16string>& parameters);

// Sets or clears the read-only attribute (Windows) / the owner-write bit (POSIX).
void SetReadOnly(const fs::path& path, bool readOnly);

// Path text as the program under test takes it.
std::u16string PathText(const fs::path& p);

}  // namespace testsupport
