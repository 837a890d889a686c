// hopgate-cache on a Windows console: the tool's text shows as the text it is, whatever the
// console's code page (the tool hands the console characters, not UTF-8 bytes), and the console's
// code page stays the user's. Only a process on a real console shows this; under Wine that needs
// a terminal (run the test from one, e.g. through `script`), elsewhere it is skipped.
#include <windows.h>

#include <gtest/gtest.h>

#include <string>

#include "support/process.h"
#include "support/show.h"

namespace {

using testsupport::OwnFolder;

// The console this test writes on: the one it runs in, or else one of its own. Its output code
// page and the standard handles are put back afterwards.
class TestConsole {
 public:
  TestConsole()
      : in_(::GetStdHandle(STD_INPUT_HANDLE)),
        out_(::GetStdHandle(STD_OUTPUT_HANDLE)),
        err_(::GetStdHandle(STD_ERROR_HANDLE)),
        codePage_(::GetConsoleOutputCP()) {
    if (codePage_ == 0) made_ = ::AllocConsole() != 0;
  }
  ~TestConsole() {
    if (made_) {
      ::FreeConsole();
    } else {
      ::SetConsoleOutputCP(codePage_);
    }
    ::SetStdHandle(STD_INPUT_HANDLE, in_);
    ::SetStdHandle(STD_OUTPUT_HANDLE, out_);
    ::SetStdHandle(STD_ERROR_HANDLE, err_);
  }
  TestConsole(const TestConsole&) = delete;
  TestConsole& operator=(const TestConsole&) = delete;
  // A console that answers: Wine without a terminal or a display hands out one that does not
  // (its code page reads 0).
  bool works() const { return ::GetConsoleOutputCP() != 0; }

 private:
  HANDLE in_, out_, err_;
  UINT codePage_;
  bool made_ = false;
};

// The characters of the screen buffer, from its top to the cursor's line.
std::wstring ScreenText(HANDLE screen) {
  CONSOLE_SCREEN_BUFFER_INFO info{};
  if (!::GetConsoleScreenBufferInfo(screen, &info)) return L"";
  std::wstring text(static_cast<size_t>(info.dwSize.X) * (info.dwCursorPosition.Y + 1), L' ');
  DWORD read = 0;
  ::ReadConsoleOutputCharacterW(screen, text.data(), static_cast<DWORD>(text.size()), COORD{0, 0},
                                &read);
  text.resize(read);
  return text;
}

TEST(CacheToolConsole, TextOutsideTheCodePageShowsAsItIsOnTheConsole) {
  TestConsole console;
  if (!console.works()) {
    GTEST_SKIP() << "no working console here (Wine without a terminal or a display)";
  }
  // The ANSI code page would show each byte of the UTF-8 of "Ä" and "ß" as a character of its own.
  ASSERT_TRUE(::SetConsoleOutputCP(1252));
  SECURITY_ATTRIBUTES inherit{sizeof inherit, nullptr, TRUE};
  HANDLE screen =
      ::CreateFileW(L"CONOUT$", GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                    &inherit, OPEN_EXISTING, 0, nullptr);
  ASSERT_NE(screen, INVALID_HANDLE_VALUE);

  const std::wstring root = L"C:\\hopgate-\u00C4\u00DF-\u20AC-missing";
  std::wstring commandLine = L"\"" + (OwnFolder() / L"hopgate-cache.exe").wstring() +
                             L"\" --data-root \"" + root + L"\" where";
  STARTUPINFOW si{};
  si.cb = sizeof si;
  si.dwFlags = STARTF_USESTDHANDLES;
  si.hStdOutput = screen;
  si.hStdError = screen;
  PROCESS_INFORMATION pi{};
  ASSERT_TRUE(::CreateProcessW(nullptr, commandLine.data(), nullptr, nullptr, TRUE, 0, nullptr,
                               nullptr, &si, &pi));
  ::WaitForSingleObject(pi.hProcess, 60000);
  DWORD code = 1;
  ::GetExitCodeProcess(pi.hProcess, &code);
  ::CloseHandle(pi.hThread);
  ::CloseHandle(pi.hProcess);
  EXPECT_EQ(code, 0u);

  const std::wstring shown = ScreenText(screen);
  ::CloseHandle(screen);
  const std::wstring line = L"data root     " + root + L"  (missing)";
  EXPECT_NE(shown.find(line), std::wstring::npos)
      << testsupport::Show(std::wstring_view(shown).substr(0, 400));
  // The console's code page is the user's: the tool leaves it as it was.
  EXPECT_EQ(::GetConsoleOutputCP(), 1252u);
}

}  // namespace
