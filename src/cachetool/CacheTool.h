// hopgate-cache: see, check, explain and tidy hopgate's preview cache. The program's main() hands
// its arguments (split by hopgate's own command-line rules) and its console to RunCacheTool.
//
// Exit codes: 0 success, 1 findings (check only), 2 the cache cannot be read or the usage is
// wrong, with one line on standard error.
#pragma once

#include <string>
#include <vector>

#include "cachetool/Console.h"

namespace cachetool {

inline constexpr int kExitOk = 0;
inline constexpr int kExitFindings = 1;
inline constexpr int kExitFailure = 2;

int RunCacheTool(const std::vector<std::u16string>& arguments, const Console& console);

// The commands, each given the arguments after its name (the global options removed). They
// raise EUsage or ECacheError; RunCacheTool turns those into the one-line message and exit 2.
int CommandWhere(const std::vector<std::u16string>& arguments, const Console& console);
int CommandList(const std::vector<std::u16string>& arguments, const Console& console);
int CommandCheck(const std::vector<std::u16string>& arguments, const Console& console);
int CommandClean(const std::vector<std::u16string>& arguments, const Console& console);
int CommandExplain(const std::vector<std::u16string>& arguments, const Console& console);
int CommandGallery(const std::vector<std::u16string>& arguments, const Console& console);

}  // namespace cachetool
