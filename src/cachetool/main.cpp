// hopgate-cache's process entry: a console program on both builds. Its arguments are split by
// hopgate's own command-line rules, so that `explain` sees them as hopgate would.
#include <cstdio>

#include "cachetool/CacheTool.h"
#include "platform/platform.h"
#include "platform/process_entry.h"

int main(int argc, char** argv) {
  platform::RecordArguments(argc, argv);
  platform::UseUtf8Console();
  cachetool::Console console;
  console.out = [](std::string_view text) { std::fwrite(text.data(), 1, text.size(), stdout); };
  console.err = [](std::string_view text) {
    std::fwrite(text.data(), 1, text.size(), stderr);
    std::fflush(stderr);
  };
  console.errIsTerminal = platform::StandardErrorIsTerminal();
  const int code = cachetool::RunCacheTool(platform::CommandLineArguments(), console);
  return std::fflush(stdout) == 0 ? code : cachetool::kExitFailure;
}
