// Prints the rows of a preview index (PreviewPNG.sqlite), one a line: ID, PNG name, model path.
// A look into the cache for people; the program itself never prints anything.
#include <cstdio>
#include <exception>
#include <string>

#include "platform/native_text.h"
#include "storage/SQLite3Wrap.h"

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: show_index <PreviewPNG.sqlite>\n");
    return 2;
  }
  try {
    storage::TSQLite3Database index;
    index.Open(platform::FromNative(argv[1]));
    auto rows =
        index.Prepare(u"SELECT ID,PngMd5FileName,SwFullFileName FROM PreviewPNGTable Order By ID");
    std::printf("%-6s %-40s %s\n", "ID", "PngMd5FileName", "SwFullFileName");
    int count = 0;
    while (rows->Step() == storage::kStepRow) {
      std::printf("%-6lld %-40s %s\n", static_cast<long long>(rows->ColumnInt64(0)),
                  platform::ToNative(rows->ColumnText(1)).c_str(),
                  platform::ToNative(rows->ColumnText(2)).c_str());
      ++count;
    }
    std::printf("(%d row%s)\n", count, count == 1 ? "" : "s");
  } catch (const std::exception& e) {
    std::printf("(no rows: %s)\n", e.what());
  }
  return 0;
}
