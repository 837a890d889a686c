#include "app/forward.h"

#include <optional>

#include "app/hopgate.h"
#include "platform/platform.h"
#include "platform/textrules.h"

namespace hopgate {

void ForwardToTarget() {
  // The value is taken relative to the program folder by plain joining; the shell gets it exactly
  // as read, with the program folder as its working folder (docs/forwarding.md lists odd values).
  if (!platform::FileExists(textrules::JoinPath(ProgramFolder, ForwardTarget))) return;

  const size_t n = Arguments.size();
  if (n > 3) return;
  // Each argument in its own pair of double quotes, otherwise unchanged: no escaping. Without
  // arguments there is no parameter string at all.
  Text parameters;
  for (size_t i = 1; i <= n; ++i) {
    if (i > 1) parameters.push_back(u' ');
    parameters.push_back(u'"');
    parameters.append(Argument(i));
    parameters.push_back(u'"');
  }
  platform::ShellStart(ForwardTarget, n ? std::optional<Text>(parameters) : std::nullopt,
                       ProgramFolder);
}

}  // namespace hopgate
