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
  std::optional<Text> parameters;
  for (size_t i = 1; i <= n; ++i) {
    // Each argument in its own pair of double quotes, otherwise unchanged: no escaping.
    Text quoted = u"\"" + Argument(i) + u"\"";
    parameters = parameters ? *parameters + u" " + quoted : quoted;
  }
  platform::ShellStart(ForwardTarget, parameters, ProgramFolder);
}

}  // namespace hopgate
