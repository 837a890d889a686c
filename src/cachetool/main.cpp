// hopgate-cache's process entry: a console program on both builds. Its arguments are split by
// hopgate's own command-line rules, so that `explain` sees them as hopgate would.
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

#include "cachetool/CacheTool.h"
#include "cachetool/Text.h"
#include "platform/platform.h"
#include "platform/process_entry.h"

namespace {

// The system's reason for the first write to a stream that failed; nothing while none did.
using WriteFailure = std::optional<std::string>;

// A writer of UTF-8 text to one standard stream: a terminal gets it from the platform layer (a
// Windows console the characters, whatever its code page); a file or a pipe the bytes, through
// the C library. `*failure`, where given, records why the first write that failed did.
std::function<void(std::string_view)> StreamWriter(platform::StandardStream stream, std::FILE* file,
                                                   WriteFailure* failure) {
  if (platform::IsTerminal(stream)) {
    return [stream, failure](std::string_view text) {
      if (!platform::WriteToTerminal(stream, text) && failure != nullptr && !*failure) {
        *failure = cachetool::Utf8(platform::LastErrorText());
      }
    };
  }
  return [file, failure](std::string_view text) {
    if (std::fwrite(text.data(), 1, text.size(), file) != text.size() && failure != nullptr &&
        !*failure) {
      *failure = std::strerror(errno);
    }
    // What goes to standard error is seen at once (the progress bar, the failure line).
    if (file == stderr) std::fflush(stderr);
  };
}

}  // namespace

int main(int argc, char** argv) {
  platform::RecordArguments(argc, argv);
  WriteFailure outFailure;
  cachetool::Console console;
  console.out = StreamWriter(platform::StandardStream::Output, stdout, &outFailure);
  console.err = StreamWriter(platform::StandardStream::Error, stderr, nullptr);
  console.errIsTerminal = platform::IsTerminal(platform::StandardStream::Error);
  const int code = cachetool::RunCacheTool(platform::CommandLineArguments(), console);
  // The last of the buffered output is written here, and may fail here only (a full disk).
  if (std::fflush(stdout) != 0 && !outFailure) outFailure = std::strerror(errno);
  if (!outFailure) return code;
  // Results that did not all reach standard output are a failure of the run.
  console.err("hopgate-cache: cannot write the results to standard output: " + *outFailure + "\n");
  return cachetool::kExitFailure;
}
