// Starting a helper program of the tests in a separate process and waiting for it. One file per
// OS implements it (ChildProcess_posix.cpp, ChildProcess_win32.cpp).
#pragma once

#include <filesystem>
#include <memory>
#include <string>
#include <vector>

namespace storagetest {

// The file `fileName` in the folder of the running test program.
std::filesystem::path ProgramBeside(const std::string& fileName);

class ChildProcess {
 public:
  // Starts `program` with `arguments` (plain ASCII words) in the working folder `folder`.
  // Throws std::runtime_error when it cannot be started.
  ChildProcess(const std::filesystem::path& program, const std::vector<std::string>& arguments,
               const std::filesystem::path& folder);
  // Waits for the process when Wait was not called.
  ~ChildProcess();
  ChildProcess(const ChildProcess&) = delete;
  ChildProcess& operator=(const ChildProcess&) = delete;

  // Waits for the process to end; its exit code (-1 when it did not exit normally).
  int Wait();
  // True once the process has ended; does not wait.
  bool HasEnded();

 private:
  struct State;
  std::unique_ptr<State> state_;
};

}  // namespace storagetest
