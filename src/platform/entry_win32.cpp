#include <windows.h>

#include "platform/process_entry.h"

// The product is a GUI-subsystem program (no console window ever appears); it shows nothing.
int WINAPI wWinMain(HINSTANCE, HINSTANCE, PWSTR, int) {
  // First of all: a path on a drive without media must count as missing, not raise a dialog.
  SetErrorMode(SEM_FAILCRITICALERRORS | SEM_NOOPENFILEERRORBOX);
  return HopgateMain();
}
