// explain: what hopgate would do with a command line, told through hopgate's own code (the
// splitting and trimming, the mode, the command table, the forwarding and the request reading),
// with every action left out: nothing is changed on disk and nothing is started.
#include <algorithm>
#include <set>

#include "app/IniOptionsUnit.h"
#include "app/forward.h"
#include "app/hopgate.h"
#include "cachetool/Cache.h"
#include "cachetool/Commands.h"
#include "cachetool/Options.h"
#include "platform/text_encoding.h"
#include "platform/textrules.h"
#include "preview/JsonOptionsUnit.h"
#include "preview/RequestText.h"
#include "preview/UpdatePreviewUnit.h"
#include "storage/SQLite3Wrap.h"

namespace cachetool {
namespace {

std::string Quoted(const Text& text) { return JsonString(text); }

const char* EncodingName(textencoding::ByteOrderMark mark) {
  switch (mark) {
    case textencoding::ByteOrderMark::Utf8:
      return "UTF-8 (mark EF BB BF)";
    case textencoding::ByteOrderMark::Utf16LittleEndian:
      return "UTF-16 little-endian (mark FF FE)";
    case textencoding::ByteOrderMark::Utf16BigEndian:
      return "UTF-16 big-endian (mark FE FF)";
    case textencoding::ByteOrderMark::None:
      break;
  }
  return "no mark: the ANSI code page";
}

// The rows of the index that name `png` exactly, as hopgate's count statement compares.
std::vector<std::int64_t> RowsNaming(const Text& png) {
  std::vector<std::int64_t> ids;
  for (const auto& row : ReadRows()) {
    if (row.png == png) ids.push_back(row.id);
  }
  return ids;
}

constexpr char kImportStops[] = "the import stops here and deletes nothing";

// Whether the request is taken, told as the import reads it: the text, then the verdict of each
// of the two grammars, labelled by its grammar. Returns the request when the import goes on.
std::optional<preview::TPreviewRequest> ReadRequestAsTheImport(const Text& path,
                                                               const Console& console) {
  Text text;
  try {
    text = preview::LoadTextFile(path);
  } catch (const std::exception& e) {
    console.out(std::string("  text: cannot be read (") + e.what() + "): " + kImportStops + "\n");
    return std::nullopt;
  }
  try {
    console.out(preview::ValiJSONStr(text, u"{}") == text
                    ? "  validation grammar: valid\n"
                    : "  validation grammar: not JSON, read as {} (both members empty); the "
                      "import goes on\n");
  } catch (const std::exception& e) {
    console.out(std::string("  validation grammar: invalid (") + e.what() + "): " + kImportStops +
                "\n");
    return std::nullopt;
  }
  try {
    const preview::TPreviewRequest request = preview::ReadPreviewRequest(path);
    console.out("  reading grammar: valid\n");
    return request;
  } catch (const std::exception& e) {
    console.out(std::string("  reading grammar: invalid (") + e.what() + "): " + kImportStops +
                "\n");
    return std::nullopt;
  }
}

void ExplainRequest(const Text& path, const Console& console) {
  console.out("request file " + Quoted(path) + "\n");
  std::string bytes;
  if (platform::ReadWholeFile(path, bytes)) {
    console.out("  encoding: " + std::string(EncodingName(textencoding::DetectMark(bytes))) + "\n");
  }
  const auto request = ReadRequestAsTheImport(path, console);
  if (!request) return;
  console.out("  bmp: " + Quoted(request->imagePath) + "\n");
  console.out("  sw: " + Quoted(request->modelPath) + "\n");
  const Text png = preview::PngNameFor(request->modelPath);
  console.out("  PNG name: " + Utf8(png) + "  (" + Utf8(preview::CachePath(png)) + ")\n");
  console.out(preview::ImageIsCopied(request->imagePath)
                  ? "  image: copied as it is (its extension is .PNG)\n"
                  : "  image: converted by the core library\n");
  // The import deletes the PNG of this name before it makes the new one, and registers a row
  // only when the model file and the new PNG both exist.
  const bool image = platform::FileExists(request->imagePath);
  const bool model = platform::FileExists(request->modelPath);
  console.out(image ? "  image exists: yes\n"
                    : "  image exists: no (no PNG can be made; a PNG of this name already in "
                      "the cache is deleted)\n");
  console.out(model   ? "  model exists: yes\n"
              : image ? "  model exists: no (the PNG is made, but no row is added)\n"
                      : "  model exists: no\n");
  const auto ids = RowsNaming(png);
  if (!ids.empty()) {
    console.out("  index row for this name: row " + std::to_string(ids.front()) +
                " (kept; no row is added)\n");
  } else if (image && model) {
    console.out("  index row for this name: none (a row is added when model and PNG exist)\n");
  } else {
    console.out("  index row for this name: none (and none is added)\n");
  }
}

// The argument counts that the command table's rows take, as "1 or 3".
std::string ArgumentCounts(const hopgate::CommandRow* table, std::size_t count) {
  std::set<std::size_t> counts;
  for (std::size_t i = 0; i < count; ++i) counts.insert(table[i].argumentCount);
  std::string text;
  std::size_t left = counts.size();
  for (const std::size_t n : counts) {
    text += std::to_string(n) + (--left == 0 ? "" : left == 1 ? " or " : ", ");
  }
  return text;
}

void ExplainCommandMode(const std::vector<Text>& arguments, const Console& console) {
  std::size_t count = 0;
  const hopgate::CommandRow* table = hopgate::CommandTable(&count);
  const hopgate::CommandRow* row = hopgate::ChooseCommand(arguments);
  if (row == nullptr) {
    bool anyForCount = false;
    for (std::size_t i = 0; i < count; ++i) {
      anyForCount = anyForCount || table[i].argumentCount == arguments.size();
    }
    console.out(anyForCount
                    ? "command row: none; no row for " + Counted(arguments.size(), "argument") +
                          " matches, so nothing happens\n"
                    : "command row: none; rows take " + ArgumentCounts(table, count) +
                          " arguments, not " + std::to_string(arguments.size()) +
                          ", so nothing happens\n");
    return;
  }
  console.out("command row " + std::to_string(row - table + 1) + " of " + std::to_string(count) +
              ": " + row->description + "\n");
  const Text first = textrules::Trim(arguments.front());
  if (row->kind == hopgate::CommandKind::ImportRequest) {
    ExplainRequest(first, console);
  } else if (row->kind == hopgate::CommandKind::Purge) {
    const std::vector<IndexRow> rows = ReadRows();
    const auto stale = std::count_if(rows.begin(), rows.end(), ModelGone);
    console.out("  " + std::to_string(stale) + " of " + std::to_string(rows.size()) +
                " rows name a model file that is gone and would be purged\n");
  }
}

void ExplainForwarding(const Text& programFolder, const Text& ownFileName,
                       const std::vector<Text>& arguments, const Console& console) {
  const Text target = hopgate::ReadForwardTarget(programFolder, ownFileName);
  console.out("debug.ini: " + Utf8(hopgate::IniFilePath(programFolder)) + "  (" +
              (platform::FileExists(hopgate::IniFilePath(programFolder)) ? "exists" : "missing") +
              ")\n");
  console.out("  [Forward] " + Utf8(ownFileName) + " = " + Quoted(target) + "\n");
  const Text tested = hopgate::ForwardPathTested(programFolder, target);
  const bool exists = platform::FileExists(tested);
  console.out("path tested: " + Utf8(tested) + "  (" + (exists ? "exists" : "missing") + ")\n");
  if (!exists) {
    console.out("nothing is started: no file stands at the path tested\n");
  } else if (arguments.size() > hopgate::kMaxForwardedArguments) {
    console.out("nothing is started: " + std::to_string(arguments.size()) + " arguments, at most " +
                std::to_string(hopgate::kMaxForwardedArguments) + " are forwarded\n");
  } else {
    const auto parameters = hopgate::ForwardParameters(arguments);
    console.out("would start " + Quoted(target) + " through the shell, in " + Utf8(programFolder) +
                ", with " +
                (parameters ? "the parameter string " + Utf8(*parameters)
                            : std::string("no parameter string")) +
                "\n");
  }
}

}  // namespace

int CommandExplain(const Command& self, const std::vector<Text>& arguments,
                   const Console& console) {
  CommonOptions common;
  std::optional<Text> as;
  OptionReader reader(arguments, common);
  while (reader.Next()) {
    if (auto name = reader.Value("--as")) {
      as = name;
      continue;
    }
    reader.Unknown();
  }
  if (common.help) {
    console.out(HelpText(self));
    return kExitOk;
  }
  UseDataRoot(common.dataRoot);
  const std::vector<Text> hopgateArguments = reader.Rest();

  // hopgate's folder is this program's own: hopgate-cache is installed beside it.
  const Text programFolder = textrules::FolderOf(platform::ModulePath());
  const Text ownFileName = as ? *as : u"hopgate" + platform::ExecutableSuffix();
  console.out("arguments: " + std::to_string(hopgateArguments.size()) + "\n");
  for (std::size_t i = 0; i < hopgateArguments.size(); ++i) {
    console.out("  " + std::to_string(i + 1) + ": " + Quoted(hopgateArguments[i]) + ", trimmed " +
                Quoted(textrules::Trim(hopgateArguments[i])) + "\n");
  }
  if (hopgate::IsCommandMode(ownFileName)) {
    console.out("mode: command (program name " + Quoted(ownFileName) + ")\n");
    ExplainCommandMode(hopgateArguments, console);
  } else {
    console.out("mode: forwarding (program name " + Quoted(ownFileName) + " in " +
                Utf8(programFolder) + ")\n");
    ExplainForwarding(programFolder, ownFileName, hopgateArguments, console);
  }
  return kExitOk;
}

}  // namespace cachetool
