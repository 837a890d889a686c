// explain: what hopgate would do with a command line, told through hopgate's own code (the
// splitting and trimming, the mode, the command table, the forwarding and the request reading),
// with every action left out: nothing is changed on disk and nothing is started.
#include "app/IniOptionsUnit.h"
#include "app/forward.h"
#include "app/hopgate.h"
#include "cachetool/Cache.h"
#include "cachetool/CacheTool.h"
#include "cachetool/Options.h"
#include "cachetool/Text.h"
#include "platform/text_encoding.h"
#include "platform/textrules.h"
#include "preview/JsonOptionsUnit.h"
#include "preview/RequestText.h"
#include "preview/UpdatePreviewUnit.h"
#include "storage/SQLite3Wrap.h"

namespace cachetool {
namespace {

std::string Quoted(const Text& text) { return JsonString(text); }

std::string YesNo(bool value) { return value ? "yes" : "no"; }

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

void ExplainRequest(const Text& path, const Console& console) {
  console.out("request file " + Quoted(path) + "\n");
  std::string bytes;
  if (platform::ReadWholeFile(path, bytes)) {
    console.out("  encoding: " + std::string(EncodingName(textencoding::DetectMark(bytes))) + "\n");
  }
  // Why a request is or is not taken, step by step as the import reads it.
  try {
    const Text text = preview::LoadTextFile(path);
    const Text validated = preview::ValiJSONStr(text, u"{}");
    if (validated != text) {
      console.out(
          "  valid: no, not a JSON object by the validation grammar: read as {} (both members "
          "empty); the import goes on\n");
    }
  } catch (const std::exception& e) {
    console.out(std::string("  valid: no (") + e.what() +
                "): the import stops here and deletes nothing\n");
    return;
  }
  preview::TPreviewRequest request;
  try {
    request = preview::ReadPreviewRequest(path);
  } catch (const std::exception& e) {
    console.out(std::string("  valid: no, passes the validation but cannot be read (") + e.what() +
                "): the import stops here and deletes nothing\n");
    return;
  }
  console.out("  valid: yes\n");
  console.out("  bmp: " + Quoted(request.imagePath) + "\n");
  console.out("  sw: " + Quoted(request.modelPath) + "\n");
  const Text png = preview::PngNameFor(request.modelPath);
  console.out("  PNG name: " + Utf8(png) + "  (" + Utf8(preview::CachePath(png)) + ")\n");
  console.out(preview::ImageIsCopied(request.imagePath)
                  ? "  image: copied as it is (its extension is .PNG)\n"
                  : "  image: converted by the core library\n");
  console.out("  image exists: " + YesNo(platform::FileExists(request.imagePath)) + "\n");
  console.out("  model exists: " + YesNo(platform::FileExists(request.modelPath)) +
              (platform::FileExists(request.modelPath)
                   ? "\n"
                   : " (the PNG is made, but no row is added)\n"));
  const auto ids = RowsNaming(png);
  if (ids.empty()) {
    console.out("  index row for this name: none (a row is added when model and PNG exist)\n");
  } else {
    console.out("  index row for this name: row " + std::to_string(ids.front()) +
                " (kept; no row is added)\n");
  }
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
    console.out(anyForCount ? "command row: none; no row for " + std::to_string(arguments.size()) +
                                  (arguments.size() == 1 ? " argument" : " arguments") +
                                  " matches, so nothing happens\n"
                            : "command row: none; rows take 1 or 3 arguments, not " +
                                  std::to_string(arguments.size()) + ", so nothing happens\n");
    return;
  }
  console.out("command row " + std::to_string(row - table + 1) + " of " + std::to_string(count) +
              ": " + row->description + "\n");
  const Text first = textrules::Trim(arguments.front());
  if (row->kind == hopgate::CommandKind::ImportRequest) {
    ExplainRequest(first, console);
  } else if (row->kind == hopgate::CommandKind::Purge) {
    std::size_t vanished = 0, rows = 0;
    for (const auto& r : ReadRows()) {
      ++rows;
      if (!platform::FileExists(r.model)) ++vanished;
    }
    console.out("  " + std::to_string(vanished) + " of " + std::to_string(rows) +
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
    console.out("nothing is started: " + std::to_string(arguments.size()) +
                " arguments, at most 3 are forwarded\n");
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

int CommandExplain(const std::vector<Text>& arguments, const Console& console) {
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
    console.out(CommandHelp("explain"));
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
