// The text and path rules shared by the command entry and the preview cache: trimming, ASCII-only
// case changes, the extension and file name of a path, the joining of paths, the plain file names
// of the cache, and the splitting of a command line. Pure functions; the separators come from the
// platform layer.
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

// True when the extension of `path` (ExtractExtension), in ASCII upper case, is `upperExtension`:
// ExtensionIs(u"a.Json", u".JSON") is true.
bool ExtensionIs(std::u16string_view path, std::u16string_view upperExtension);

// `folder`, the platform's separator and `name`, joined as they are: nothing is removed or
// resolved, so a folder that ends in a separator gives a doubled one, an absolute or ".." name
// stays as it is after the separator, and an empty name leaves the separator at the end.
Text JoinPath(std::u16string_view folder, std::u16string_view name);

// True for a name that can only name a file inside a folder it is joined to: not empty, not "." or
// "..", and without "\", "/" or ":" (a separator of either OS, a drive or a stream), whatever the
// OS.
bool IsPlainFileName(std::u16string_view name);

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
