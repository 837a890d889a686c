#include "platform/textrules.h"

#include "platform/platform.h"

namespace textrules {
namespace {

bool IsBlank(char16_t c) { return c <= u' '; }

}  // namespace

Text Trim(std::u16string_view s) {
  size_t begin = 0;
  size_t end = s.size();
  while (begin < end && IsBlank(s[begin])) ++begin;
  while (end > begin && IsBlank(s[end - 1])) --end;
  return Text(s.substr(begin, end - begin));
}

Text LowerAscii(std::u16string_view s) {
  Text out(s);
  for (auto& c : out) {
    if (c >= u'A' && c <= u'Z') c = static_cast<char16_t>(c + (u'a' - u'A'));
  }
  return out;
}

Text UpperAscii(std::u16string_view s) {
  Text out(s);
  for (auto& c : out) {
    if (c >= u'a' && c <= u'z') c = static_cast<char16_t>(c - (u'a' - u'A'));
  }
  return out;
}

Text ExtractExtension(std::u16string_view path) {
  // Walk back from the end: a separator before any dot means the last name has no dot.
  for (size_t i = path.size(); i-- > 0;) {
    if (path[i] == u'.') return Text(path.substr(i));
    if (platform::IsPathSeparator(path[i])) break;
  }
  return Text();
}

bool ExtensionIs(std::u16string_view path, std::u16string_view upperExtension) {
  return UpperAscii(ExtractExtension(path)) == upperExtension;
}

Text JoinPath(std::u16string_view folder, std::u16string_view name) {
  Text joined(folder);
  joined.push_back(platform::kPathSeparator);
  joined.append(name);
  return joined;
}

bool IsPlainFileName(std::u16string_view name) {
  if (name.empty() || name == u"." || name == u"..") return false;
  return name.find_first_of(u"\\/:") == std::u16string_view::npos;
}

Text FileNameOf(std::u16string_view path) {
  for (size_t i = path.size(); i-- > 0;) {
    if (platform::IsPathSeparator(path[i])) return Text(path.substr(i + 1));
  }
  return Text(path);
}

Text FolderOf(std::u16string_view path) {
  for (size_t i = path.size(); i-- > 0;) {
    if (platform::IsPathSeparator(path[i])) return Text(path.substr(0, i + 1));
  }
  return Text();
}

std::vector<Text> SplitCommandLine(std::u16string_view line) {
  std::vector<Text> args;
  size_t i = 0;
  const size_t n = line.size();
  for (;;) {
    // Where an argument is about to begin: skip separators and pairs of double quotes.
    for (;;) {
      while (i < n && IsBlank(line[i])) ++i;
      if (i + 1 < n && line[i] == u'"' && line[i + 1] == u'"') {
        i += 2;
      } else {
        break;
      }
    }
    if (i >= n) break;
    Text arg;
    while (i < n && !IsBlank(line[i])) {
      if (line[i] == u'"') {
        // A quoted stretch: up to the next double quote or the end of the line.
        ++i;
        while (i < n && line[i] != u'"') arg.push_back(line[i++]);
        if (i < n) ++i;
      } else {
        arg.push_back(line[i++]);
      }
    }
    if (!arg.empty()) args.push_back(std::move(arg));
  }
  return args;
}

std::vector<Text> ArgumentsFromArgv(const std::vector<Text>& argv) {
  std::vector<Text> args;
  for (const auto& a : argv) {
    Text unquoted;
    for (char16_t c : a) {
      if (c != u'"') unquoted.push_back(c);
    }
    if (!unquoted.empty()) args.push_back(std::move(unquoted));
  }
  return args;
}

}  // namespace textrules
