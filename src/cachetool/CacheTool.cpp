#include "cachetool/CacheTool.h"

#include <algorithm>
#include <map>

#include "cachetool/Cache.h"
#include "cachetool/Options.h"
#include "cachetool/Text.h"
#include "hopgate_version.h"
#include "platform/textrules.h"
#include "preview/ConstUnit.h"
#include "preview/UpdatePreviewUnit.h"

namespace cachetool {
namespace {

constexpr char kUsage[] =
    "usage: hopgate-cache [--data-root DIR] COMMAND [OPTIONS]\n"
    "\n"
    "Looks into hopgate's preview cache: the PNG previews in DATA-ROOT/Vexmoor/PreviewPNG and\n"
    "their index PreviewPNG.sqlite. DATA-ROOT defaults to the core library's data root.\n"
    "\n"
    "commands:\n"
    "  where                      the data root, cache folder and index file, and whether each "
    "exists\n"
    "  list [--json]              every index row in ID order\n"
    "  check [--json]             what is wrong with the cache (exit 1 when anything is)\n"
    "  clean [--dry-run] [--stale] [--unlisted]\n"
    "                             remove rows without PNG and leftover temporary files\n"
    "  explain [--as NAME] ARG... what hopgate would do with these arguments\n"
    "  gallery [-o FILE.html] [--limit N]\n"
    "                             one self-contained HTML page of the newest previews\n"
    "\n"
    "COMMAND --help describes each command. --version prints the version.\n"
    "Exit codes: 0 success, 1 findings (check), 2 the cache cannot be read or wrong usage.\n";

}  // namespace

const char* CommandHelp(const std::string& command) {
  static const std::map<std::string, const char*> help = {
      {"where",
       "usage: hopgate-cache [--data-root DIR] where\n"
       "Prints the data root, the cache folder and the index file as hopgate computes them, and\n"
       "whether each exists. Creates nothing.\n"},
      {"list",
       "usage: hopgate-cache [--data-root DIR] list [--json]\n"
       "Prints every row of the index in ID order: id, PNG name, the PNG's size in bytes (- or\n"
       "null when the PNG is missing), whether the model file exists, and the model path.\n"
       "Opens the index read-only and creates nothing.\n"},
      {"check",
       "usage: hopgate-cache [--data-root DIR] check [--json]\n"
       "Prints every finding with the row or file it concerns, then the totals:\n"
       "  png-missing     a row whose PNG is not in the cache folder\n"
       "  stale           a row whose model file is gone (CLEARPNGFILE would purge it)\n"
       "  duplicate-name  one of several rows for one PNG name\n"
       "  damaged-png     a PNG that is not whole (signature, chunk CRCs, IEND)\n"
       "  unlisted-png    a PNG no row names (informational: does not set exit code 1)\n"
       "  leftover-temp   a temporary file of the converter older than one hour\n"
       "  integrity       a message of SQLite's integrity check of the index\n"
       "Exit code 1 when there is any finding but unlisted-png. Opens the index read-only.\n"},
      {"clean",
       "usage: hopgate-cache [--data-root DIR] clean [--dry-run] [--stale] [--unlisted]\n"
       "Removes the rows whose PNG is missing and the converter's temporary files older than one\n"
       "hour; with --stale also the rows and PNGs of model files that are gone; with --unlisted\n"
       "also PNGs that no row names and that are older than one hour. Waits up to 5 s for a\n"
       "running hopgate's lock, deletes the rows in one short transaction and the files after it.\n"
       "Deletes only plain file names inside the cache folder, never the index or its journal.\n"
       "--dry-run prints what would be removed and changes nothing.\n"},
      {"explain",
       "usage: hopgate-cache [--data-root DIR] explain [--as NAME] [--] ARG...\n"
       "Tells what hopgate would do when started with ARG... (or what a forwarding copy named\n"
       "NAME in hopgate's folder would do), through hopgate's own code: the arguments as split\n"
       "and trimmed, the mode, the command row taken or why none; for forwarding the debug.ini\n"
       "value, the path tested and whether it exists; for a preview request its encoding,\n"
       "whether it is valid, the members bmp and sw, the PNG name, copy or convert, and whether\n"
       "the index has a row for it. Changes nothing and starts nothing.\n"},
      {"gallery",
       "usage: hopgate-cache [--data-root DIR] gallery [-o FILE.html] [--limit N]\n"
       "Writes one self-contained HTML page (every preview embedded) of the newest N previews\n"
       "(default 200) with model path, PNG name and state, and a filter box by model path. To\n"
       "standard output unless -o names a file.\n"},
  };
  return help.at(command);
}

namespace {

using Command = int (*)(const std::vector<Text>&, const Console&);

const std::map<std::string, Command>& Commands() {
  static const std::map<std::string, Command> commands = {
      {"where", CommandWhere}, {"list", CommandList},       {"check", CommandCheck},
      {"clean", CommandClean}, {"explain", CommandExplain}, {"gallery", CommandGallery},
  };
  return commands;
}

}  // namespace

bool ReadOptions(const char* command, const std::vector<Text>& arguments, const Console& console,
                 const std::function<bool(OptionReader&)>& own) {
  CommonOptions common;
  OptionReader reader(arguments, common);
  while (reader.Next()) {
    if (!own(reader)) reader.Unknown();
  }
  if (!reader.Rest().empty()) {
    throw EUsage(std::string(command) + " takes no argument " + Utf8(reader.Rest().front()));
  }
  if (common.help) {
    console.out(CommandHelp(command));
    return false;
  }
  UseDataRoot(common.dataRoot);
  return true;
}

namespace {

std::string Exists(bool exists) { return exists ? "exists" : "missing"; }

std::string Number(std::uint64_t n) { return std::to_string(n); }

// The size of the row's PNG, when it is a file in the cache folder.
std::optional<std::uint64_t> PngBytes(const IndexRow& row) {
  if (!textrules::IsPlainFileName(row.png)) return std::nullopt;
  const auto status = platform::GetFileStatus(preview::CachePath(row.png));
  if (!status || status->folder) return std::nullopt;
  return status->size;
}

std::string Counted(std::uint64_t n, const char* what) {
  return Number(n) + " " + what + (n == 1 ? "" : "s");
}

std::string PadRight(std::string s, std::size_t width) {
  if (s.size() < width) s.append(width - s.size(), ' ');
  return s;
}

std::string PadLeft(std::string s, std::size_t width) {
  if (s.size() < width) s.insert(0, width - s.size(), ' ');
  return s;
}

}  // namespace

int RunCacheTool(const std::vector<Text>& arguments, const Console& console) {
  try {
    CommonOptions common;
    OptionReader reader(arguments, common);
    while (reader.Next()) {
      if (reader.Flag("--version")) {
        console.out("hopgate-cache " HOPGATE_VERSION_TEXT "\n");
        return kExitOk;
      }
      reader.Unknown();
    }
    std::vector<Text> rest = reader.Rest();
    if (rest.empty()) {
      if (common.help) {
        console.out(kUsage);
        return kExitOk;
      }
      throw EUsage("no command given (see --help)");
    }
    const std::string name = Utf8(rest.front());
    const auto command = Commands().find(name);
    if (command == Commands().end()) throw EUsage("unknown command " + name + " (see --help)");
    rest.erase(rest.begin());
    // Global options before the command reach it as if given among its own.
    if (common.help) rest.insert(rest.begin(), u"--help");
    if (common.dataRoot) rest.insert(rest.begin(), {u"--data-root", *common.dataRoot});
    return command->second(rest, console);
  } catch (const EUsage& e) {
    console.err(std::string("hopgate-cache: ") + e.what() + "\n");
  } catch (const std::exception& e) {
    console.err(std::string("hopgate-cache: ") + e.what() + "\n");
  }
  return kExitFailure;
}

int CommandWhere(const std::vector<Text>& arguments, const Console& console) {
  if (!ReadOptions("where", arguments, console, [](OptionReader&) { return false; })) {
    return kExitOk;
  }
  const auto line = [&](const char* what, const Text& path, bool exists) {
    console.out(PadRight(what, 14) + Utf8(path) + "  (" + Exists(exists) + ")\n");
  };
  line("data root", preview::DataRoot, platform::FolderExists(preview::DataRoot));
  line("cache folder", preview::PreviewFolder, platform::FolderExists(preview::PreviewFolder));
  line("index", preview::IndexPath(), platform::FileExists(preview::IndexPath()));
  return kExitOk;
}

int CommandList(const std::vector<Text>& arguments, const Console& console) {
  bool json = false;
  if (!ReadOptions("list", arguments, console,
                   [&](OptionReader& r) { return r.Flag("--json") && (json = true); })) {
    return kExitOk;
  }
  const std::vector<IndexRow> rows = ReadRows();
  if (json) {
    std::string out = "[";
    for (std::size_t i = 0; i < rows.size(); ++i) {
      const auto& row = rows[i];
      const auto bytes = PngBytes(row);
      out += std::string(i ? ",\n " : "\n ") + "{\"id\": " + std::to_string(row.id) +
             ", \"png\": " + JsonString(row.png) + ", \"model\": " + JsonString(row.model) +
             ", \"png_bytes\": " + (bytes ? Number(*bytes) : "null") +
             ", \"model_exists\": " + (platform::FileExists(row.model) ? "true" : "false") + "}";
    }
    console.out(out + (rows.empty() ? "]\n" : "\n]\n"));
    return kExitOk;
  }
  console.out(PadLeft("ID", 6) + "  " + PadRight("PNG", 40) + "  " + PadLeft("BYTES", 9) +
              "  MODEL EXISTS  MODEL\n");
  for (const auto& row : rows) {
    const auto bytes = PngBytes(row);
    console.out(PadLeft(std::to_string(row.id), 6) + "  " + PadRight(Utf8(row.png), 40) + "  " +
                PadLeft(bytes ? Number(*bytes) : "-", 9) + "  " +
                PadRight(platform::FileExists(row.model) ? "yes" : "no", 12) + "  " +
                Utf8(row.model) + "\n");
  }
  console.out("(" + std::to_string(rows.size()) + (rows.size() == 1 ? " row" : " rows") + ")\n");
  return kExitOk;
}

int CommandCheck(const std::vector<Text>& arguments, const Console& console) {
  bool json = false;
  if (!ReadOptions("check", arguments, console,
                   [&](OptionReader& r) { return r.Flag("--json") && (json = true); })) {
    return kExitOk;
  }
  // An index that cannot be read is a finding of its own here, not a failure.
  const CacheView cache = ReadCache(UnreadableIndex::Record);
  const std::vector<Finding> findings = FindProblems(cache, NowSeconds(), console);
  std::uint64_t bytes = 0;
  for (const auto& f : cache.files) bytes += f.status.size;
  const bool anyCounted = std::any_of(findings.begin(), findings.end(), [](const Finding& f) {
    return f.kind != FindingKind::UnlistedPng;
  });

  if (json) {
    std::string out = "{\"rows\": " + Number(cache.rows.size()) +
                      ", \"files\": " + Number(cache.files.size()) +
                      ", \"bytes\": " + Number(bytes) + ", \"findings\": [";
    for (std::size_t i = 0; i < findings.size(); ++i) {
      const auto& f = findings[i];
      out += std::string(i ? ",\n  " : "\n  ") + "{\"kind\": \"" + KindName(f.kind) +
             "\", \"id\": " + (f.id ? std::to_string(*f.id) : "null") +
             ", \"png\": " + (f.png.empty() ? "null" : JsonString(f.png)) +
             ", \"model\": " + (f.model ? JsonString(*f.model) : "null");
      if (f.kind == FindingKind::Integrity) out += ", \"detail\": " + JsonString(f.detail);
      out += "}";
    }
    console.out(out + (findings.empty() ? "]}\n" : "\n]}\n"));
  } else {
    for (const auto& f : findings) {
      std::string line = PadRight(KindName(f.kind), 15) + " ";
      if (f.id) line += "row " + std::to_string(*f.id) + "  ";
      if (f.kind == FindingKind::Integrity) {
        line += Utf8(f.detail);
      } else {
        line += Utf8(f.png);
      }
      if (f.model) line += "  " + Utf8(*f.model);
      console.out(line + "\n");
    }
    console.out(Counted(cache.rows.size(), "row") + ", " + Counted(cache.files.size(), "file") +
                ", " + Counted(bytes, "byte") + "; " + Counted(findings.size(), "finding") + "\n");
  }
  return anyCounted ? kExitFindings : kExitOk;
}

}  // namespace cachetool
