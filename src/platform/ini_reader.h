// The project's own INI reader: what the POSIX backend uses in place of GetPrivateProfileStringW.
//
// The file is read once, front to back, in pieces of any size, by a line-based state machine that
// keeps only what the one wanted value needs: the wanted names and at most 2048 units of the value.
// So a huge, binary or malformed file is read with bounded memory and never fails, and the reading
// stops as soon as the outcome is settled. Pure code, built on every OS.
//
// The syntax (as GetPrivateProfileStringW reads it, except where a difference is noted):
//  - Encoding by byte-order mark: EF BB BF UTF-8, FF FE UTF-16 LE, FE FF UTF-16 BE; without a mark
//    UTF-8 (Windows takes the ANSI code page there). UTF-8 decodes as FromNative does
//    (native_text.h): bytes that are not UTF-8 become U+DC80..U+DCFF, so a value that names a file
//    reaches the same bytes again. An odd last byte of a UTF-16 file is ignored.
//  - Lines end at CR LF, LF or CR.
//  - Blanks are spaces and tabs (Windows also trims other white space, such as form feeds).
//  - A line whose first non-blank is ";" or "#" is a comment (Windows has no comment lines: there
//    ";x=1" is the key ";x").
//  - A line whose first non-blank is "[" and that holds a "]" is a section header; its name is what
//    stands between that "[" and the last "]" of the line, blanks trimmed; the rest is ignored. A
//    "[" line without "]" is an ordinary line.
//  - An ordinary line that holds "=" is a key line: the key is what stands before the first "=",
//    the value everything after it, both trimmed of blanks; then, when the value is at least two
//    units long and begins and ends with the same quote (" or '), those two quotes are removed.
//    A line without "=" is no key.
//  - Section and key names are compared without regard to the case of the ASCII letters A-Z; every
//    other unit must be equal (Wine does the same). The wanted names are trimmed of blanks too.
//  - Keys before the first section header belong to no section (Windows puts them in a section
//    with the empty name).
//  - Only the first section of the wanted name is searched, and in it the first line with the
//    wanted key wins: later sections of that name are ignored, as Windows does.
//  - A NUL unit ends a name or a value, as it ends a Windows string: "a<NUL>b" reads as "a".
//  - A value is cut to its first 2047 UTF-16 units (a 2048-unit buffer less its terminating NUL),
//    after its quotes are removed.
//  - "key=" gives the empty text; the fallback stands only for a missing file, section or key.
#pragma once

#include <cstddef>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

namespace platform {

// The longest value returned, in UTF-16 units.
inline constexpr std::size_t kIniValueMaxLength = 2047;

// Looks for one value in an INI file handed over piece by piece, in order.
class IniValueScanner {
 public:
  IniValueScanner(std::u16string_view section, std::u16string_view key);
  ~IniValueScanner();
  IniValueScanner(const IniValueScanner&) = delete;
  IniValueScanner& operator=(const IniValueScanner&) = delete;

  // Takes the next bytes of the file; pieces may split a line or a character anywhere. Returns
  // false once the outcome is settled (the value found, or the wanted section ended without it):
  // later bytes are not needed then and are ignored.
  bool Feed(std::string_view bytes);

  // Ends the file (a last line without line end counts). The value, or nothing when the section
  // or the key is missing. Call it once, after the last Feed.
  std::optional<std::u16string> Finish();

 private:
  struct State;
  std::unique_ptr<State> state_;
};

// The value of `key` in `section` of the INI file whose bytes are `fileBytes`; `fallback` when the
// section or the key is missing.
std::u16string ReadIniValueFromBytes(std::string_view fileBytes, std::u16string_view section,
                                     std::u16string_view key, std::u16string_view fallback);

// The same for the file at `nativePath` (the OS's own bytes of the path; POSIX: as ToNative gives
// them), read in chunks of 64 KiB and only as far as needed. `fallback` also when the file is
// missing, is no regular file (a folder, a device, a pipe), cannot be opened or fails to read
// before the outcome is settled.
std::u16string ReadIniValueFromFile(const std::string& nativePath, std::u16string_view section,
                                    std::u16string_view key, std::u16string_view fallback);

}  // namespace platform
