// Arbitrary bytes as a damaged preview index, through the cache tool's page reader. Besides not
// crashing or reading outside the bytes, what it salvages must have the shape of the table: row
// IDs rising, and a page size that SQLite allows whenever anything was read.
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "cachetool/IndexSalvage.h"
#include "fuzz_check.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view file(reinterpret_cast<const char*>(data), size);
  const cachetool::Salvage salvage = cachetool::SalvageTable(file, "PreviewPNGTable");
  for (std::size_t i = 1; i < salvage.rows.size(); ++i) {
    FUZZ_CHECK(salvage.rows[i - 1].id < salvage.rows[i].id);
  }
  if (!salvage.rows.empty() || salvage.tableFound) {
    FUZZ_CHECK(salvage.pageSize >= 512 && salvage.pageSize <= 65536);
    FUZZ_CHECK((salvage.pageSize & (salvage.pageSize - 1)) == 0);
    FUZZ_CHECK(file.size() >= salvage.pageSize);
  }
  return 0;
}
