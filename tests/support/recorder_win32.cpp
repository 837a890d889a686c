// A stand-in for a started program: records its working folder and what follows the program's
// own name on its command line, exactly, in "<own path>.rec" (UTF-8, one item a line), written
// whole under a temporary name and then moved into place.
#include <windows.h>

#include <string>

namespace {

std::string Utf8(const std::wstring& w) {
  if (w.empty()) return {};
  const int n = ::WideCharToMultiByte(CP_UTF8, 0, w.data(), static_cast<int>(w.size()), nullptr, 0,
                                      nullptr, nullptr);
  std::string out(static_cast<size_t>(n), '\0');
  ::WideCharToMultiByte(CP_UTF8, 0, w.data(), static_cast<int>(w.size()), out.data(), n, nullptr,
                        nullptr);
  return out;
}

// The command line after the program part: a quoted stretch or a run of non-blanks, then blanks.
std::wstring Tail(const wchar_t* line) {
  const wchar_t* p = line;
  if (*p == L'"') {
    ++p;
    while (*p && *p != L'"') ++p;
    if (*p) ++p;
  } else {
    while (*p && *p > L' ') ++p;
  }
  while (*p && *p <= L' ') ++p;
  return p;
}

}  // namespace

int WINAPI wWinMain(HINSTANCE, HINSTANCE, PWSTR, int) {
  wchar_t self[32768];
  const DWORD n = ::GetModuleFileNameW(nullptr, self, 32768);
  std::wstring target(self, n);
  target += L".rec";
  const std::wstring temp = target + L".tmp";
  wchar_t cwd[32768];
  const DWORD c = ::GetCurrentDirectoryW(32768, cwd);
  std::string record = Utf8(std::wstring(cwd, c)) + "\n";
  const std::wstring tail = Tail(::GetCommandLineW());
  if (!tail.empty()) record += Utf8(tail) + "\n";
  HANDLE h = ::CreateFileW(temp.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                           FILE_ATTRIBUTE_NORMAL, nullptr);
  if (h == INVALID_HANDLE_VALUE) return 1;
  DWORD written = 0;
  ::WriteFile(h, record.data(), static_cast<DWORD>(record.size()), &written, nullptr);
  ::CloseHandle(h);
  return ::MoveFileExW(temp.c_str(), target.c_str(), MOVEFILE_REPLACE_EXISTING) ? 0 : 1;
}
