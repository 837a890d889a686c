// The reports of the cache: where it is (where), what the index holds (list) and what is wrong
// with it (check). Each reads only.
#include <algorithm>

#include "cachetool/Cache.h"
#include "cachetool/Commands.h"
#include "cachetool/Options.h"
#include "preview/ConstUnit.h"
#include "preview/UpdatePreviewUnit.h"

namespace cachetool {
namespace {

const char* Exists(bool exists) { return exists ? "exists" : "missing"; }

bool NoOptions(OptionReader&) { return false; }

// The options of list and check, --json alone, then the cache folder that both require. Nothing
// when --help was asked for.
std::optional<bool> JsonOption(const Command& self, const std::vector<Text>& arguments,
                               const Console& console) {
  bool json = false;
  if (!ReadFlags(self, arguments, console, {{"--json", &json}})) return std::nullopt;
  RequireCacheFolder();
  return json;
}

}  // namespace

int CommandWhere(const Command& self, const std::vector<Text>& arguments, const Console& console) {
  if (!ReadOptions(self, arguments, console, NoOptions)) return kExitOk;
  const auto line = [&](const char* what, const Text& path, bool exists) {
    console.out(PadRight(what, 14) + Utf8(path) + "  (" + Exists(exists) + ")\n");
  };
  line("data root", preview::DataRoot, platform::FolderExists(preview::DataRoot));
  line("cache folder", preview::PreviewFolder, platform::FolderExists(preview::PreviewFolder));
  line("index", preview::IndexPath(), platform::FileExists(preview::IndexPath()));
  return kExitOk;
}

int CommandList(const Command& self, const std::vector<Text>& arguments, const Console& console) {
  const std::optional<bool> json = JsonOption(self, arguments, console);
  if (!json) return kExitOk;
  const std::vector<IndexRow> rows = ReadRows();
  const auto bytes = [](const IndexRow& row) -> std::optional<std::string> {
    const auto png = RowPng(row);
    if (!png) return std::nullopt;
    return std::to_string(png->size);
  };
  if (*json) {
    std::string out = "[";
    for (std::size_t i = 0; i < rows.size(); ++i) {
      const auto& row = rows[i];
      out += std::string(i ? ",\n " : "\n ") + "{\"id\": " + std::to_string(row.id) +
             ", \"png\": " + JsonString(row.png) + ", \"model\": " + JsonString(row.model) +
             ", \"png_bytes\": " + bytes(row).value_or("null") +
             ", \"model_exists\": " + (ModelGone(row) ? "false" : "true") + "}";
    }
    console.out(out + (rows.empty() ? "]\n" : "\n]\n"));
    return kExitOk;
  }
  console.out(PadLeft("ID", 6) + "  " + PadRight("PNG", 40) + "  " + PadLeft("BYTES", 9) +
              "  MODEL EXISTS  MODEL\n");
  for (const auto& row : rows) {
    console.out(PadLeft(std::to_string(row.id), 6) + "  " + PadRight(Utf8(row.png), 40) + "  " +
                PadLeft(bytes(row).value_or("-"), 9) + "  " +
                PadRight(ModelGone(row) ? "no" : "yes", 12) + "  " + Utf8(row.model) + "\n");
  }
  console.out("(" + Counted(rows.size(), "row") + ")\n");
  return kExitOk;
}

int CommandCheck(const Command& self, const std::vector<Text>& arguments, const Console& console) {
  const std::optional<bool> json = JsonOption(self, arguments, console);
  if (!json) return kExitOk;
  // An index that cannot be read is a finding of its own here, not a failure.
  const CacheView cache = ReadCache(UnreadableIndex::Record);
  const std::vector<Finding> findings = FindProblems(cache, NowSeconds(), console);
  std::uint64_t bytes = 0;
  for (const auto& f : cache.files) bytes += f.status.size;
  const bool anyCounted = std::any_of(findings.begin(), findings.end(),
                                      [](const Finding& f) { return !OnlyInforms(f.kind); });

  if (*json) {
    std::string out = "{\"rows\": " + std::to_string(cache.rows.size()) +
                      ", \"files\": " + std::to_string(cache.files.size()) +
                      ", \"bytes\": " + std::to_string(bytes) + ", \"findings\": [";
    for (std::size_t i = 0; i < findings.size(); ++i) {
      const auto& f = findings[i];
      out += std::string(i ? ",\n  " : "\n  ") + "{\"kind\": \"" + KindName(f.kind) +
             "\", \"id\": " + (f.id ? std::to_string(*f.id) : "null") +
             ", \"png\": " + (f.png.empty() ? "null" : JsonString(f.png)) +
             ", \"model\": " + (f.model ? JsonString(*f.model) : "null");
      if (!f.detail.empty()) out += ", \"detail\": " + JsonString(f.detail);
      out += "}";
    }
    console.out(out + (findings.empty() ? "]}\n" : "\n]}\n"));
  } else {
    for (const auto& f : findings) {
      std::string line = PadRight(KindName(f.kind), 15) + " ";
      if (f.id) line += "row " + std::to_string(*f.id) + "  ";
      line += Utf8(f.detail.empty() ? f.png : f.detail);
      if (f.model) line += "  " + Utf8(*f.model);
      console.out(line + "\n");
    }
    console.out(Counted(cache.rows.size(), "row") + ", " + Counted(cache.files.size(), "file") +
                ", " + Counted(bytes, "byte") + "; " + Counted(findings.size(), "finding") + "\n");
    if (std::any_of(findings.begin(), findings.end(),
                    [](const Finding& f) { return f.kind == FindingKind::Integrity; })) {
      console.out(Utf8(kRepairHint) + "\n");
    }
  }
  return anyCounted ? kExitFindings : kExitOk;
}

}  // namespace cachetool
