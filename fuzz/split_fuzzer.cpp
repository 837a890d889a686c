// Arbitrary command lines through textrules::SplitCommandLine. The input bytes are read as UTF-8
// the lossless way (invalid bytes become U+DC80..U+DCFF), so every UTF-16 unit can occur. Checked:
// no argument is empty, none holds a double quote, the arguments' characters stand in the line in
// the same order, and a line without double quotes splits exactly at the separators.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

#include "platform/native_text.h"
#include "platform/textrules.h"
#include "fuzz_check.h"

namespace {

bool IsSeparator(char16_t c) { return c <= u' '; }

// The runs of non-separators: the whole splitting of a line that holds no double quote.
std::vector<std::u16string> Runs(std::u16string_view line) {
  std::vector<std::u16string> runs;
  std::size_t i = 0;
  while (i < line.size()) {
    while (i < line.size() && IsSeparator(line[i])) ++i;
    const std::size_t start = i;
    while (i < line.size() && !IsSeparator(line[i])) ++i;
    if (i > start) runs.emplace_back(line.substr(start, i - start));
  }
  return runs;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::u16string line =
      platform::FromNative(std::string_view(reinterpret_cast<const char*>(data), size));
  const std::vector<std::u16string> arguments = textrules::SplitCommandLine(line);

  std::size_t at = 0;  // where the next argument's characters are looked for in the line
  for (const std::u16string& argument : arguments) {
    FUZZ_CHECK(!argument.empty());
    FUZZ_CHECK(argument.find(u'"') == std::u16string::npos);
    for (const char16_t c : argument) {
      while (at < line.size() && line[at] != c) ++at;
      FUZZ_CHECK(at < line.size());
      ++at;
    }
  }
  if (line.find(u'"') == std::u16string::npos) FUZZ_CHECK(arguments == Runs(line));
  return 0;
}
