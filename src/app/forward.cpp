#include "app/forward.h"

#include <optional>

#include "app/IniOptionsUnit.h"
#include "app/hopgate.h"
#include "platform/platform.h"

namespace hopgate {

void ForwardToTarget() {
  ForwardTarget = ReadIniValue(ProgramFolder + u"debug.ini", u"Forward", OwnFileName, u"");
  if (!platform::FileExists(ProgramFolder + platform::kPathSeparator + ForwardTarget)) return;

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
