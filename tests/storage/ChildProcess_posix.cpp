#include <sys/wait.h>
#include <unistd.h>

#include <stdexcept>

#include "storage/ChildProcess.h"

namespace storagetest {

struct ChildProcess::State {
  pid_t pid = -1;
  bool ended = false;
  int exitCode = -1;
};

std::filesystem::path ProgramBeside(const std::string& fileName) {
  return std::filesystem::read_symlink("/proc/self/exe").parent_path() / fileName;
}

ChildProcess::ChildProcess(const std::filesystem::path& program,
                           const std::vector<std::string>& arguments,
                           const std::filesystem::path& folder)
    : state_(std::make_unique<State>()) {
  // Everything the child needs is prepared before fork: after it, only async-signal-safe calls.
  const std::string file = program.string();
  const std::string dir = folder.string();
  std::vector<std::string> words{file};
  words.insert(words.end(), arguments.begin(), arguments.end());
  std::vector<char*> argv;
  for (auto& word : words) argv.push_back(word.data());
  argv.push_back(nullptr);

  state_->pid = fork();
  if (state_->pid < 0) throw std::runtime_error("fork failed");
  if (state_->pid == 0) {
    if (chdir(dir.c_str()) == 0) execv(file.c_str(), argv.data());
    _exit(127);
  }
}

ChildProcess::~ChildProcess() {
  if (state_->pid > 0) Wait();
}

int ChildProcess::Wait() {
  if (!state_->ended) {
    int status = 0;
    while (waitpid(state_->pid, &status, 0) < 0) {
    }
    state_->ended = true;
    state_->exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  }
  return state_->exitCode;
}

bool ChildProcess::HasEnded() {
  if (!state_->ended) {
    int status = 0;
    if (waitpid(state_->pid, &status, WNOHANG) == state_->pid) {
      state_->ended = true;
      state_->exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }
  }
  return state_->ended;
}

}  // namespace storagetest
