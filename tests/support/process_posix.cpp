#include <fcntl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstring>
#include <fstream>
#include <sstream>

#include "platform/textrules.h"
#include "support/process.h"

extern char** environ;

namespace testsupport {

const char* const kExeSuffix = "";
const char* const kCoreLibrary = "libtarncore.so";

fs::path OwnFolder() { return fs::read_symlink("/proc/self/exe").parent_path(); }

namespace {

std::string Utf8(const std::u16string& s) {
  const auto u8 = fs::path(s).u8string();
  return std::string(u8.begin(), u8.end());
}

}  // namespace

RunResult RunArguments(const fs::path& exe, const std::vector<std::u16string>& args,
                       const RunOptions& options) {
  std::vector<std::string> argv{exe.string()};
  for (const auto& a : args) argv.push_back(Utf8(a));

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

  char outName[] = "/tmp/hopgate-test-out-XXXXXX";
  const int outFd = ::mkstemp(outName);
  RunResult result;
  if (outFd < 0) return result;

  const pid_t pid = ::fork();
  if (pid == 0) {
    ::dup2(outFd, 1);
    ::dup2(outFd, 2);
    if (!options.workingFolder.empty() && ::chdir(options.workingFolder.c_str()) != 0) _exit(126);
    if (options.fileSizeLimit) {
      struct rlimit rl {
        options.fileSizeLimit, options.fileSizeLimit
      };
      ::setrlimit(RLIMIT_FSIZE, &rl);
    }
    ::execve(argvp[0], argvp.data(), envp.data());
    _exit(127);
  }
  int status = 0;
  while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
  ::close(outFd);
  std::ifstream in(outName, std::ios::binary);
  std::stringstream ss;
  ss << in.rdbuf();
  result.output = ss.str();
  ::unlink(outName);
  if (WIFEXITED(status)) {
    result.exitCode = WEXITSTATUS(status);
  } else if (WIFSIGNALED(status)) {
    result.exitCode = 1000 + WTERMSIG(status);
  }
  return result;
}

RunResult RunCommandLine(const fs::path& exe, const std::u16string& tail,
                         const RunOptions& options) {
  return RunArguments(exe, textrules::SplitCommandLine(tail), options);
}

std::vector<std::u16string> ExpectedReceived(const std::optional<std::u16string>& parameters) {
  if (!parameters) return {};
  return textrules::SplitCommandLine(*parameters);
}

void SetReadOnly(const fs::path& path, bool readOnly) {
  fs::permissions(path, fs::perms::owner_write,
                  readOnly ? fs::perm_options::remove : fs::perm_options::add);
}

}  // namespace testsupport
