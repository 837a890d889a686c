// Printable forms of UTF-16 texts for failure messages, shared by every test folder.
#pragma once

#include <string>
#include <string_view>

namespace testsupport {

// The text in double quotes: printable ASCII as itself, `"` and `\` escaped with a backslash,
// every other unit as \uXXXX, so that two different texts never print alike.
std::string Show(std::u16string_view text);
// As above; "(null)" for a null pointer.
std::string Show(const char16_t* text);

// A system's text as a one-line message shows it: without the line break and full stop that some
// systems end it with.
std::string OneLine(std::string text);

#ifdef _WIN32
// wchar_t holds UTF-16 units on Windows: the core library's texts are wchar_t there.
std::string Show(std::wstring_view text);
std::string Show(const wchar_t* text);
#endif

}  // namespace testsupport
