// The handlers of the command table (CacheTool.cpp), one file each or by kind: Report.cpp (where,
// list, check), Clean.cpp, Explain.cpp, Gallery.cpp, Repair.cpp.
#pragma once

#include <cstddef>
#include <vector>

#include "cachetool/CacheTool.h"

namespace cachetool {

// How many previews the gallery shows without --limit.
inline constexpr std::size_t kGalleryDefaultLimit = 200;

int CommandWhere(const Command& self, const std::vector<Text>& arguments, const Console& console);
int CommandList(const Command& self, const std::vector<Text>& arguments, const Console& console);
int CommandCheck(const Command& self, const std::vector<Text>& arguments, const Console& console);
int CommandClean(const Command& self, const std::vector<Text>& arguments, const Console& console);
int CommandExplain(const Command& self, const std::vector<Text>& arguments, const Console& console);
int CommandRepair(const Command& self, const std::vector<Text>& arguments, const Console& console);
int CommandGallery(const Command& self, const std::vector<Text>& arguments, const Console& console);

}  // namespace cachetool
