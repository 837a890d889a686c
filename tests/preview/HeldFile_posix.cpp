#include "RequestTestSupport.h"

namespace requesttest {

HeldFile::HeldFile(const std::u16string&, Mode) {}
HeldFile::~HeldFile() = default;
bool HeldFile::Supported() { return false; }

}  // namespace requesttest
