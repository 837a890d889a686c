// Reading a request file as the import does (LoadTextFile, ValiJSONStr, ParseJsonText,
// ReadJsonMember for "bmp" and "sw") for files of 1 KB, 1 MB and 10 MB whose size lies in the two
// long member values. The time per byte must stay the same across the sizes: every step is linear.
#include <benchmark/benchmark.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <map>
#include <string>

#include "preview/JsonOptionsUnit.h"
#include "preview/JsonReader.h"
#include "preview/RequestText.h"

namespace {

// A UTF-8 request file with a mark, on several lines, of about `size` bytes; both paths hold
// non-ASCII characters and escaped backslashes.
std::string RequestBytes(std::size_t size) {
  const std::string piece = "Baugruppe \xC3\xA4\xE2\x82\xAC 42\\\\";
  std::string value;
  while (value.size() + piece.size() < size / 2 - 40) value += piece;
  return "\xEF\xBB\xBF{\r\n  \"bmp\": \"C:\\\\Temp\\\\" + value + ".bmp\",\r\n  \"sw\": \"D:\\\\" +
         value + ".sldprt\"\r\n}\r\n";
}

// The request files, written once per size into the temporary folder and removed at exit.
class RequestFiles {
 public:
  ~RequestFiles() {
    for (const auto& [size, path] : paths_) std::filesystem::remove(path);
  }
  const std::filesystem::path& Get(std::size_t size) {
    auto& path = paths_[size];
    if (path.empty()) {
      path = std::filesystem::temp_directory_path() /
             ("hopgate-bench-request-" + std::to_string(size) + ".json");
      const std::string bytes = RequestBytes(size);
      std::ofstream(path, std::ios::binary)
          .write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    }
    return path;
  }

 private:
  std::map<std::size_t, std::filesystem::path> paths_;
};

RequestFiles files;

void BM_ReadRequest(benchmark::State& state) {
  const auto size = static_cast<std::size_t>(state.range(0));
  const std::u16string path = files.Get(size).u16string();
  const auto bytes = static_cast<std::int64_t>(std::filesystem::file_size(path));
  for (auto _ : state) {
    const std::u16string text = preview::ValiJSONStr(preview::LoadTextFile(path), u"{}");
    const auto value = preview::ParseJsonText(text);
    std::u16string bmp = preview::ReadJsonMember(value, u"bmp");
    std::u16string sw = preview::ReadJsonMember(value, u"sw");
    benchmark::DoNotOptimize(bmp);
    benchmark::DoNotOptimize(sw);
  }
  state.SetBytesProcessed(state.iterations() * bytes);
  state.counters["file_bytes"] = static_cast<double>(bytes);
  state.counters["ns_per_byte"] =
      benchmark::Counter(static_cast<double>(state.iterations() * bytes),
                         benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
}
BENCHMARK(BM_ReadRequest)->Arg(1 << 10)->Arg(1 << 20)->Arg(10 << 20)->Unit(benchmark::kMicrosecond);

}  // namespace

BENCHMARK_MAIN();
