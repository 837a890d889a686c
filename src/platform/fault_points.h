// Fault points of the Win32 backend, for the fault harness only (tests/fault_win32).
//
// platform_win32.cpp is compiled a second time, with HOPGATE_FAULT_POINTS defined, into a library
// that only the harness links (hopgate_platform_faults); the shipped programs link the plain
// build, in which every fault point is the bare Win32 call. In this build every Win32 call of the
// backend on a file or folder is counted, and the one the harness names fails without being made,
// with the system's reason set as a real failure of its kind would set it:
//
// - ERROR_DISK_FULL for the calls that create or write (CreateFileW for writing, WriteFile,
//   CopyFileW, CreateDirectoryW): a full disk, the commonest failure of a writer;
// - ERROR_IO_DEVICE for every other (opening for reading, reading, attributes, identity, flush,
//   close, delete, move, replace, listing): the plain I/O error of a disk or a network drive, the
//   counterpart of POSIX's EIO.
//
// Never "not found" (that would only ask for what the callers do on a missing file) and never a
// sharing or lock error (those mean another program, which this harness does not play).
//
// A failed CloseHandle is the one exception to "not made": the handle is closed and the failure
// reported, as a real close that reports a late write error does; a handle left open without
// sharing would hold the file for the rest of the run, which no real failure does.
//
// The process's own identity is the harness's too in this build: ModulePath and
// CommandLineArguments answer what SetProcess gave, so that the harness can run the program's
// entry (hopgate::Run) in its own process, once per case.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

namespace platform::faultpoints {

enum class Mode {
  Off,      // no call fails
  Once,     // the chosen call fails, the ones after it are made
  ForGood,  // the chosen call and every later one fail
};

// Starts counting afresh: the `n`th counted call from now (1-based) fails as `mode` says. With
// Mode::Off, or n == 0, no call fails.
void Arm(std::size_t n, Mode mode);

// Stops failing calls; the count and the record of calls stay until the next Arm.
void Disarm();

// The counted calls since the last Arm, each by its Win32 name, in the order made (a failed call
// is counted and recorded too).
const std::vector<const char*>& Calls();

// How many calls failed since the last Arm.
std::size_t FailedCount();

// What ModulePath and CommandLineArguments answer in this build.
void SetProcess(std::u16string modulePath, std::vector<std::u16string> arguments);

// The backend's side: counts the call `name` and says whether it is to fail; when it is, the
// thread's last error is set to `error` (the call is then not made).
bool Fail(const char* name, unsigned long error);

}  // namespace platform::faultpoints
