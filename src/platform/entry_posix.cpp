#include "platform/process_entry.h"

int main(int argc, char** argv) {
  platform::RecordArguments(argc, argv);
  return HopgateMain();
}
