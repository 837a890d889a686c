#include <csignal>

#include "platform/process_entry.h"

int main(int argc, char** argv) {
  // A write beyond the file-size limit must fail with EFBIG like any other write error, so that
  // the caller can clean up, instead of killing the process half-way through a file.
  std::signal(SIGXFSZ, SIG_IGN);
  platform::RecordArguments(argc, argv);
  return HopgateMain();
}
