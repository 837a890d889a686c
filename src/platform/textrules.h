// The text and path rules shared by the command entry and the preview cache: trimming, ASCII-only
// case changes, the extension and file name of a path, and the splitting of a command line.
// Pure functions; the separators come from the platform layer.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace textrules {

using Text = std::u16string;

// Leading and trailing characters at or below U+0020 removed.
Text Trim(std::u16string_view s);

// Only A-Z / a-z change; every other UTF-16 unit stays as it is.
Text LowerAscii(std::u16string_view s);
Text UpperAscii(std::u16string_view s);

// From the last "." to the end, the dot included, when no path separator stands after that dot;
// otherwise empty.
Text ExtractExtension(std::u16string_view path);

// The part after the last path separator (the whole text when there is none).
Text FileNameOf(std::u16string_view path);

// The part up to and including the last path separator (empty when there is none).
Text FolderOf(std::u16string_view path);

// Splits a command line into arguments:
//  1. characters at or below U+0020 separate arguments;
//  2. where an argument is about to begin, separators and pairs of adjacent double quotes are
//     skipped;
//  3. a double quote opens a stretch, ending at the next double quote or the end of the line,
//     inside which separators belong to the argument;
//  4. double quotes are never part of an argument;
//  5. a backslash is an ordinary character.
// Empty arguments are not counted. Every item is returned, the program's own name included.
std::vector<Text> SplitCommandLine(std::u16string_view line);

// The POSIX stand-in for the command line: argv[1..] with every double quote removed and the
// items that are then empty dropped.
std::vector<Text> ArgumentsFromArgv(const std::vector<Text>& argv);

}  // namespace textrules
