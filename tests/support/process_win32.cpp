#include <windows.h>

#include <optional>
#include <stdexcept>

#include "platform/scoped_handle.h"
#include "support/process.h"
#include "support/temp_folder.h"

namespace testsupport {

const char* const kExeSuffix = ".exe";
const char* const kCoreLibrary = "tarnCore.dll";

fs::path OwnFolder() {
  std::wstring buffer(32768, L'\0');
  const DWORD n = ::GetModuleFileNameW(nullptr, buffer.data(), static_cast<DWORD>(buffer.size()));
  buffer.resize(n);
  return fs::path(buffer).parent_path();
}

void SetReadOnly(const fs::path& path, bool readOnly) {
  const DWORD a = ::GetFileAttributesW(path.wstring().c_str());
  ::SetFileAttributesW(path.wstring().c_str(),
                       readOnly ? (a | FILE_ATTRIBUTE_READONLY) : (a & ~FILE_ATTRIBUTE_READONLY));
}

std::vector<std::u16string> ExpectedReceived(const std::optional<std::u16string>& parameters,
                                             const std::vector<std::u16string>&) {
  if (!parameters) return {};
  return {*parameters};
}

namespace {

std::wstring Wide(const std::string& s) { return fs::path(s).wstring(); }

// The environment block of this process with the options' changes, sorted as Windows keeps it.
std::wstring EnvironmentBlock(const RunOptions& options) {
  std::map<std::wstring, std::wstring> env;
  wchar_t* block = ::GetEnvironmentStringsW();
  for (const wchar_t* p = block; *p; p += wcslen(p) + 1) {
    std::wstring entry(p);
    const size_t eq = entry.find(L'=', 1);
    if (eq != std::wstring::npos) env[entry.substr(0, eq)] = entry.substr(eq + 1);
  }
  ::FreeEnvironmentStringsW(block);
  for (const auto& [k, v] : options.environment) {
    if (v) {
      env[Wide(k)] = Wide(*v);
    } else {
      env.erase(Wide(k));
    }
  }
  std::wstring out;
  for (const auto& [k, v] : env) out += k + L"=" + v + L'\0';
  out += L'\0';
  return out;
}

std::u16string QuotedEach(const std::vector<std::u16string>& args) {
  std::u16string tail;
  for (const auto& a : args) tail += u" \"" + a + u"\"";
  return tail;
}

}  // namespace

struct ChildProcess::State {
  std::optional<platform::ScopedHandle> process;
  int exitCode = -1;
  std::wstring outName;
  std::wstring errName;  // with errorsApart
};

ChildProcess::ChildProcess(const fs::path& exe, const std::vector<std::u16string>& args,
                           const RunOptions& options)
    : ChildProcess(exe, CommandLineTail{QuotedEach(args)}, options) {}

ChildProcess::ChildProcess(const fs::path& exe, const CommandLineTail& tail,
                           const RunOptions& options)
    : state_(std::make_unique<State>()) {
  std::wstring commandLine = L"\"" + exe.wstring() + L"\"" + fs::path(tail.text).wstring();
  wchar_t tempDir[MAX_PATH + 1];
  const DWORD tempLength = ::GetTempPathW(MAX_PATH, tempDir);
  if (tempLength == 0 || tempLength > MAX_PATH) {
    throw std::runtime_error("cannot find the temporary folder for a child process's output");
  }
  SECURITY_ATTRIBUTES sa{sizeof sa, nullptr, TRUE};
  // A fresh temporary file that the child inherits as a standard stream.
  const auto streamFile = [&](const wchar_t* prefix, std::wstring& name) -> HANDLE {
    wchar_t buffer[MAX_PATH + 1];
    if (::GetTempFileNameW(tempDir, prefix, 0, buffer) == 0) {
      throw std::runtime_error("cannot name an output file of a child process");
    }
    name = buffer;
    const HANDLE file = ::CreateFileW(buffer, GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                      &sa, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
      ::DeleteFileW(buffer);
      throw std::runtime_error("cannot create an output file of a child process");
    }
    return file;
  };
  platform::ScopedHandle out(streamFile(L"hgo", state_->outName));
  platform::ScopedHandle err(options.errorsApart ? streamFile(L"hge", state_->errName) : nullptr);
  STARTUPINFOW si{};
  si.cb = sizeof si;
  si.dwFlags = STARTF_USESTDHANDLES;
  si.hStdInput = nullptr;
  si.hStdOutput = out.get();
  si.hStdError = options.errorsApart ? err.get() : out.get();
  PROCESS_INFORMATION pi{};
  std::wstring env = EnvironmentBlock(options);
  const std::wstring cwd = options.workingFolder.wstring();
  // Paths beyond MAX_PATH reach the file system only with the \\?\ prefix.
  std::wstring application = exe.wstring();
  if (application.size() >= MAX_PATH) application = L"\\\\?\\" + application;
  const BOOL ok = ::CreateProcessW(application.c_str(), commandLine.data(), nullptr, nullptr, TRUE,
                                   CREATE_UNICODE_ENVIRONMENT, env.data(),
                                   cwd.empty() ? nullptr : cwd.c_str(), &si, &pi);
  // Closed before the files can be deleted: they were opened without FILE_SHARE_DELETE.
  out.Close();
  err.Close();
  if (!ok) {
    ::DeleteFileW(state_->outName.c_str());
    if (options.errorsApart) ::DeleteFileW(state_->errName.c_str());
    throw std::runtime_error("CreateProcessW failed");
  }
  const platform::ScopedHandle thread(pi.hThread);
  state_->process.emplace(pi.hProcess);
}

ChildProcess::~ChildProcess() {
  Wait();
  state_->process.reset();
  ::DeleteFileW(state_->outName.c_str());
  if (!state_->errName.empty()) ::DeleteFileW(state_->errName.c_str());
}

int ChildProcess::Wait() {
  ::WaitForSingleObject(state_->process->get(), INFINITE);
  DWORD code = 0;
  ::GetExitCodeProcess(state_->process->get(), &code);
  state_->exitCode = static_cast<int>(code);
  return state_->exitCode;
}

bool ChildProcess::HasEnded() {
  return ::WaitForSingleObject(state_->process->get(), 0) == WAIT_OBJECT_0;
}

std::string ChildProcess::Output() const { return ReadBytes(fs::path(state_->outName)); }

std::string ChildProcess::Errors() const {
  return state_->errName.empty() ? std::string() : ReadBytes(fs::path(state_->errName));
}

}  // namespace testsupport
