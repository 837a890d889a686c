// Forwarding mode: a copy of the program under another file name passes its call on to the
// program that debug.ini names for that file name.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <vector>

namespace hopgate {

// The path whose existence decides whether the target is started: the program folder, a
// separator and the target exactly as read.
std::u16string ForwardPathTested(const std::u16string& programFolder, const std::u16string& target);

// The parameter string the target is started with: each argument trimmed and in its own pair of
// double quotes, separated by single blanks; none at all without arguments.
std::optional<std::u16string> ForwardParameters(const std::vector<std::u16string>& arguments);

// With more arguments than this, nothing is forwarded.
inline constexpr std::size_t kMaxForwardedArguments = 3;

// When ForwardTarget (already read from debug.ini by the start-up) names a file in ProgramFolder,
// starts it with up to three arguments, each in double quotes; with four or more arguments
// nothing is started.
void ForwardToTarget();

}  // namespace hopgate
