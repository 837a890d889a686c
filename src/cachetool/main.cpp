// hopgate-cache's process entry: a console program on both builds. Its arguments are split by
// hopgate's own command-line rules, so that `explain` sees them as hopgate would.
#include <cstdio>
#include <functional>
#include <string_view>

#include "cachetool/CacheTool.h"
#include "platform/platform.h"
#include "platform/process_entry.h"

namespace {

// A writer of UTF-8 text to one standard stream: a terminal gets it from the platform layer (a
// Windows console the characters, whatever its code page); a file or a pipe the bytes, through
// the C library. `*written`, where given, turns false when anything could not be written.
std::function<void(std::string_view)> StreamWriter(platform::StandardStream stream, std::FILE* file,
                                                   bool* written) {
  const auto note = [written](bool ok) {
    if (written != nullptr && !ok) *written = false;
  };
  if (platform::IsTerminal(stream)) {
    return [stream, note](std::string_view text) { note(platform::WriteToTerminal(stream, text)); };
  }
  return [file, note](std::string_view text) {
    note(std::fwrite(text.data(), 1, text.size(), file) == text.size());
    // What goes to standard error is seen at once (the progress bar, the failure line).
    if (file == stderr) std::fflush(stderr);
  };
}

}  // namespace

int main(int argc, char** argv) {
  platform::RecordArguments(argc, argv);
  bool outWritten = true;
  cachetool::Console console;
  console.out = StreamWriter(platform::StandardStream::Output, stdout, &outWritten);
  console.err = StreamWriter(platform::StandardStream::Error, stderr, nullptr);
  console.errIsTerminal = platform::IsTerminal(platform::StandardStream::Error);
  const int code = cachetool::RunCacheTool(platform::CommandLineArguments(), console);
  // Results that did not all reach standard output are a failure of the run.
  return std::fflush(stdout) == 0 && outWritten ? code : cachetool::kExitFailure;
}
