#include <windows.h>

#include <fstream>
#include <sstream>

#include "support/process.h"

namespace testsupport {

const char* const kExeSuffix = ".exe";
const char* const kCoreLibrary = "tarnCore.dll";

fs::path OwnFolder() {
  std::wstring buffer(32768, L'\0');
  const DWORD n = ::GetModuleFileNameW(nullptr, buffer.data(), static_cast<DWORD>(buffer.size()));
  buffer.resize(n);
  return fs::path(buffer).parent_path();
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

RunResult Start(const fs::path& exe, std::wstring commandLine, const RunOptions& options) {
  RunResult result;
  wchar_t tempDir[MAX_PATH + 1];
  wchar_t outName[MAX_PATH + 1];
  ::GetTempPathW(MAX_PATH, tempDir);
  ::GetTempFileNameW(tempDir, L"hgo", 0, outName);
  SECURITY_ATTRIBUTES sa{sizeof sa, nullptr, TRUE};
  HANDLE out = ::CreateFileW(outName, GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, &sa,
                             CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  STARTUPINFOW si{};
  si.cb = sizeof si;
  si.dwFlags = STARTF_USESTDHANDLES;
  si.hStdInput = nullptr;
  si.hStdOutput = out;
  si.hStdError = out;
  PROCESS_INFORMATION pi{};
  std::wstring env = EnvironmentBlock(options);
  const std::wstring cwd = options.workingFolder.wstring();
  // Paths beyond MAX_PATH reach the file system only with the \\?\ prefix.
  std::wstring application = exe.wstring();
  if (application.size() >= MAX_PATH) application = L"\\\\?\\" + application;
  const BOOL ok = ::CreateProcessW(application.c_str(), commandLine.data(), nullptr, nullptr, TRUE,
                                   CREATE_UNICODE_ENVIRONMENT, env.data(),
                                   cwd.empty() ? nullptr : cwd.c_str(), &si, &pi);
  ::CloseHandle(out);
  if (ok) {
    ::WaitForSingleObject(pi.hProcess, INFINITE);
    DWORD code = 0;
    ::GetExitCodeProcess(pi.hProcess, &code);
    result.exitCode = static_cast<int>(code);
    ::CloseHandle(pi.hProcess);
    ::CloseHandle(pi.hThread);
  }
  std::ifstream in(outName, std::ios::binary);
  std::stringstream ss;
  ss << in.rdbuf();
  in.close();
  result.output = ss.str();
  ::DeleteFileW(outName);
  return result;
}

}  // namespace

RunResult RunArguments(const fs::path& exe, const std::vector<std::u16string>& args,
                       const RunOptions& options) {
  std::u16string tail;
  for (const auto& a : args) tail += u" \"" + a + u"\"";
  return RunCommandLine(exe, tail, options);
}

RunResult RunCommandLine(const fs::path& exe, const std::u16string& tail,
                         const RunOptions& options) {
  std::wstring line = L"\"" + exe.wstring() + L"\"" + fs::path(tail).wstring();
  return Start(exe, line, options);
}

std::vector<std::u16string> ExpectedReceived(const std::optional<std::u16string>& parameters) {
  if (!parameters) return {};
  return {*parameters};
}

void SetReadOnly(const fs::path& path, bool readOnly) {
  const DWORD a = ::GetFileAttributesW(path.wstring().c_str());
  ::SetFileAttributesW(path.wstring().c_str(),
                       readOnly ? (a | FILE_ATTRIBUTE_READONLY) : (a & ~FILE_ATTRIBUTE_READONLY));
}

}  // namespace testsupport
