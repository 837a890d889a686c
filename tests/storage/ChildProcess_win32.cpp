#include <windows.h>

#include <stdexcept>

#include "storage/ChildProcess.h"

namespace storagetest {

struct ChildProcess::State {
  HANDLE process = nullptr;
  int exitCode = -1;
};

std::filesystem::path ProgramBeside(const std::string& fileName) {
  std::wstring path(32768, L'\0');
  const DWORD length = GetModuleFileNameW(nullptr, path.data(), static_cast<DWORD>(path.size()));
  path.resize(length);
  return std::filesystem::path(path).parent_path() / fileName;
}

ChildProcess::ChildProcess(const std::filesystem::path& program,
                           const std::vector<std::string>& arguments,
                           const std::filesystem::path& folder)
    : state_(std::make_unique<State>()) {
  // The arguments are plain words, so quoting the program path is all the command line needs.
  std::wstring commandLine = L"\"" + program.wstring() + L"\"";
  for (const auto& argument : arguments) {
    commandLine += L" " + std::wstring(argument.begin(), argument.end());
  }
  STARTUPINFOW startup{};
  startup.cb = sizeof startup;
  PROCESS_INFORMATION info{};
  if (!CreateProcessW(program.wstring().c_str(), commandLine.data(), nullptr, nullptr, FALSE,
                      CREATE_NO_WINDOW, nullptr, folder.wstring().c_str(), &startup, &info)) {
    throw std::runtime_error("CreateProcessW failed");
  }
  CloseHandle(info.hThread);
  state_->process = info.hProcess;
}

ChildProcess::~ChildProcess() {
  if (state_->process != nullptr) {
    Wait();
    CloseHandle(state_->process);
  }
}

int ChildProcess::Wait() {
  WaitForSingleObject(state_->process, INFINITE);
  DWORD code = 0;
  GetExitCodeProcess(state_->process, &code);
  state_->exitCode = static_cast<int>(code);
  return state_->exitCode;
}

bool ChildProcess::HasEnded() { return WaitForSingleObject(state_->process, 0) == WAIT_OBJECT_0; }

}  // namespace storagetest
