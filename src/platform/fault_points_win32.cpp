// The fault points' counter, and the process identity of the harness's build of the Win32 backend
// (see fault_points.h). Linked only into the fault harness, never into a shipped program.
#include "platform/fault_points.h"

#include <windows.h>

#include <utility>

#include "platform/platform.h"

namespace platform {
namespace faultpoints {
namespace {

// hopgate runs on one thread; so does the harness.
struct State {
  std::size_t failAt = 0;
  Mode mode = Mode::Off;
  std::vector<const char*> calls;
  std::size_t failed = 0;
  Text modulePath;
  std::vector<Text> arguments;
};

State& TheState() {
  static State state;
  return state;
}

}  // namespace

void Arm(std::size_t n, Mode mode) {
  State& s = TheState();
  s.failAt = mode == Mode::Off ? 0 : n;
  s.mode = mode;
  s.calls.clear();
  s.failed = 0;
}

void Disarm() {
  TheState().failAt = 0;
  TheState().mode = Mode::Off;
}

const std::vector<const char*>& Calls() { return TheState().calls; }

std::size_t FailedCount() { return TheState().failed; }

void SetProcess(std::u16string modulePath, std::vector<std::u16string> arguments) {
  TheState().modulePath = std::move(modulePath);
  TheState().arguments = std::move(arguments);
}

bool Fail(const char* name, unsigned long error) {
  State& s = TheState();
  s.calls.push_back(name);
  const std::size_t n = s.calls.size();
  const bool fails = s.failAt != 0 && (n == s.failAt || (s.mode == Mode::ForGood && n > s.failAt));
  if (!fails) return false;
  ++s.failed;
  ::SetLastError(error);
  return true;
}

}  // namespace faultpoints

Text ModulePath() { return faultpoints::TheState().modulePath; }

std::vector<Text> CommandLineArguments() { return faultpoints::TheState().arguments; }

}  // namespace platform
