#include "app/forward.h"

#include <optional>

#include "app/hopgate.h"
#include "platform/platform.h"
#include "platform/textrules.h"

namespace hopgate {

// The value is taken relative to the program folder by plain joining; the shell gets it exactly
// as read, with the program folder as its working folder (docs/forwarding.md lists odd values).
Text ForwardPathTested(const Text& programFolder, const Text& target) {
  return textrules::JoinPath(programFolder, target);
}

std::optional<Text> ForwardParameters(const std::vector<Text>& arguments) {
  // Each argument trimmed, in its own pair of double quotes, otherwise unchanged: no escaping.
  // Without arguments there is no parameter string at all.
  if (arguments.empty()) return std::nullopt;
  Text parameters;
  for (const Text& argument : arguments) {
    if (!parameters.empty()) parameters.push_back(u' ');
    parameters.push_back(u'"');
    parameters.append(textrules::Trim(argument));
    parameters.push_back(u'"');
  }
  return parameters;
}

void ForwardToTarget() {
  if (!platform::FileExists(ForwardPathTested(ProgramFolder, ForwardTarget))) return;

  const size_t n = Arguments.size();
  if (n > kMaxForwardedArguments) return;
  platform::ShellStart(ForwardTarget, ForwardParameters(Arguments), ProgramFolder);
}

}  // namespace hopgate
