#include <fcntl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <stdexcept>

#include "platform/text_encoding.h"
#include "platform/textrules.h"
#include "support/process.h"
#include "support/temp_folder.h"

extern char** environ;

namespace testsupport {

const char* const kExeSuffix = "";
const char* const kCoreLibrary = "libtarncore.so";

fs::path OwnFolder() { return fs::read_symlink("/proc/self/exe").parent_path(); }

void SetReadOnly(const fs::path& path, bool readOnly) {
  fs::permissions(path, fs::perms::owner_write,
                  readOnly ? fs::perm_options::remove : fs::perm_options::add);
}

std::vector<std::u16string> ExpectedReceived(const std::optional<std::u16string>&,
                                             const std::vector<std::u16string>& posixArguments) {
  return posixArguments;
}

namespace {

int ExitCode(int status) {
  if (WIFEXITED(status)) return WEXITSTATUS(status);
  if (WIFSIGNALED(status)) return 1000 + WTERMSIG(status);
  return -1;
}

}  // namespace

struct ChildProcess::State {
  pid_t pid = -1;
  bool ended = false;
  int exitCode = -1;
  std::string outName;
  std::string errName;  // with errorsApart
};

ChildProcess::ChildProcess(const fs::path& exe, const CommandLineTail& tail,
                           const RunOptions& options)
    : ChildProcess(exe, textrules::SplitCommandLine(tail.text), options) {}

ChildProcess::ChildProcess(const fs::path& exe, const std::vector<std::u16string>& args,
                           const RunOptions& options)
    : state_(std::make_unique<State>()) {
  // Everything the child needs is prepared before fork: after it, only async-signal-safe calls.
  std::vector<std::string> argv{exe.string()};
  // By the program's own lossless rule, as its POSIX entry decodes argv: U+DC80..U+DCFF reach the
  // child as the byte each stands for.
  for (const auto& a : args) argv.push_back(textencoding::EncodeUtf8(a));

  std::map<std::string, std::string> env;
  for (char** e = environ; *e; ++e) {
    const char* eq = std::strchr(*e, '=');
    if (eq) env[std::string(*e, static_cast<size_t>(eq - *e))] = eq + 1;
  }
  for (const auto& [k, v] : options.environment) {
    if (v) {
      env[k] = *v;
    } else {
      env.erase(k);
    }
  }
  std::vector<std::string> envStrings;
  for (const auto& [k, v] : env) envStrings.push_back(k + "=" + v);
  std::vector<char*> argvp, envp;
  for (auto& a : argv) argvp.push_back(a.data());
  argvp.push_back(nullptr);
  for (auto& e : envStrings) envp.push_back(e.data());
  envp.push_back(nullptr);
  const std::string folder = options.workingFolder.string();

  char outName[] = "/tmp/hopgate-test-out-XXXXXX";
  const int outFd = ::mkstemp(outName);
  if (outFd < 0) throw std::runtime_error("cannot create the output file of a child process");
  state_->outName = outName;
  char errName[] = "/tmp/hopgate-test-err-XXXXXX";
  const int errFd = options.errorsApart ? ::mkstemp(errName) : outFd;
  if (errFd < 0) {
    ::close(outFd);
    ::unlink(outName);
    throw std::runtime_error("cannot create the error file of a child process");
  }
  if (options.errorsApart) state_->errName = errName;

  state_->pid = ::fork();
  if (state_->pid == 0) {
    ::dup2(outFd, 1);
    ::dup2(errFd, 2);
    if (!folder.empty() && ::chdir(folder.c_str()) != 0) _exit(126);
    if (options.fileSizeLimit) {
      struct rlimit rl {
        options.fileSizeLimit, options.fileSizeLimit
      };
      ::setrlimit(RLIMIT_FSIZE, &rl);
    }
    ::execve(argvp[0], argvp.data(), envp.data());
    _exit(127);
  }
  ::close(outFd);
  if (options.errorsApart) ::close(errFd);
  if (state_->pid < 0) {
    ::unlink(outName);
    if (options.errorsApart) ::unlink(errName);
    throw std::runtime_error("fork failed");
  }
}

ChildProcess::~ChildProcess() {
  Wait();
  ::unlink(state_->outName.c_str());
  if (!state_->errName.empty()) ::unlink(state_->errName.c_str());
}

int ChildProcess::Wait() {
  if (!state_->ended) {
    int status = 0;
    while (::waitpid(state_->pid, &status, 0) < 0 && errno == EINTR) {
    }
    state_->ended = true;
    state_->exitCode = ExitCode(status);
  }
  return state_->exitCode;
}

bool ChildProcess::HasEnded() {
  if (!state_->ended) {
    int status = 0;
    if (::waitpid(state_->pid, &status, WNOHANG) == state_->pid) {
      state_->ended = true;
      state_->exitCode = ExitCode(status);
    }
  }
  return state_->ended;
}

std::string ChildProcess::Output() const { return ReadBytes(state_->outName); }

std::string ChildProcess::Errors() const {
  return state_->errName.empty() ? std::string() : ReadBytes(state_->errName);
}

}  // namespace testsupport
