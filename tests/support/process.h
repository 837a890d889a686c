// Starting programs from the tests, per OS: process_posix.cpp, process_win32.cpp. The one
// child-process launcher of the tests: the built program as its callers start it, and helper
// programs that run beside a test (the storage tests' lock holder).
#pragma once

#include <cstdint>
#include <filesystem>
#include <map>
#include <memory>
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
  bool errorsApart = false;         // stderr gathered on its own, not into the output
};

struct RunResult {
  int exitCode = -1;   // 1000 + the signal number when a POSIX child was killed by one
  std::string output;  // everything the child wrote to stdout and stderr (only stdout with
                       // errorsApart)
  std::string errors;  // with errorsApart: what the child wrote to stderr
};

// Folder of the running test executable (the build's bin folder).
fs::path OwnFolder();

// The command line after the program's own name, given exactly (see ChildProcess).
struct CommandLineTail {
  std::u16string text;
};

// A started program, its stdout and stderr gathered in a temporary file (stderr in one of its own
// with errorsApart). The destructor waits for it. Throws std::runtime_error when the program
// cannot be started.
class ChildProcess {
 public:
  // POSIX: the arguments as argv. Windows: each argument in double quotes on the command line.
  ChildProcess(const fs::path& exe, const std::vector<std::u16string>& args,
               const RunOptions& options = {});
  // Windows: the exact command line `"exe"` + tail. POSIX: the tail split by the program's own
  // command-line rules (as a shell would not).
  ChildProcess(const fs::path& exe, const CommandLineTail& tail, const RunOptions& options = {});
  ~ChildProcess();
  ChildProcess(const ChildProcess&) = delete;
  ChildProcess& operator=(const ChildProcess&) = delete;

  // Waits for the program to end; its exit code as in RunResult.
  int Wait();
  // True once the program has ended; does not wait.
  bool HasEnded();
  // What the program wrote so far (all of it once Wait returned).
  std::string Output() const;
  // With errorsApart: what the program wrote to stderr so far; otherwise empty.
  std::string Errors() const;

 private:
  struct State;
  std::unique_ptr<State> state_;
};

// Starts `exe` and waits for it (see ChildProcess for how the arguments travel).
RunResult RunArguments(const fs::path& exe, const std::vector<std::u16string>& args,
                       const RunOptions& options = {});
RunResult RunCommandLine(const fs::path& exe, const std::u16string& tail,
                         const RunOptions& options = {});

// What a recorder program placed as a started program writes (see recorder_*.cpp): its working
// folder and what it received. The record is written atomically; waits up to `seconds`.
struct Record {
  fs::path workingFolder;
  std::vector<std::u16string> received;
};
std::optional<Record> WaitForRecord(const fs::path& recorderExe, double seconds);

// What a recorder receives when started with the parameter string `parameters`: on Windows the
// string itself (one item; nothing without a parameter string); on POSIX the arguments that the
// shell stand-in splits it into, which the test writes out as `posixArguments`.
std::vector<std::u16string> ExpectedReceived(const std::optional<std::u16string>& parameters,
                                             const std::vector<std::u16string>& posixArguments);

// Path text as the program under test takes it.
std::u16string PathText(const fs::path& p);

}  // namespace testsupport
