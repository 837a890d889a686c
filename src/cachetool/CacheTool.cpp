// The command table of hopgate-cache and the dispatch over it. Each command is one row (name,
// synopsis, summary, help, handler, whether it reads only); the usage text and every --help are
// made from the rows, so the three cannot drift apart.
#include "cachetool/CacheTool.h"

#include "cachetool/Cache.h"
#include "cachetool/Commands.h"
#include "cachetool/Options.h"
#include "hopgate_version.h"
#include "preview/UpdatePreviewUnit.h"

namespace cachetool {
namespace {

constexpr char kNoCacheFolder[] =
    "A data root without a cache folder is an error (exit 2); a cache folder without an index\n"
    "has no rows.\n";

// check's list of finding kinds, from the kinds themselves.
std::string FindingKindsHelp() {
  std::string text;
  for (const FindingKind kind : FindingKinds()) {
    text += "  " + PadRight(KindName(kind), 16) + KindMeaning(kind) +
            (OnlyInforms(kind) ? " (informational: does not set exit code 1)" : "") + "\n";
  }
  return text;
}

std::vector<Command> MakeCommands() {
  const std::string busyWait = std::to_string(preview::kIndexBusyTimeoutMs / 1000) + " s";
  return {
      {"where", "", "the data root, cache folder and index file, and whether each exists",
       "Prints the data root, the cache folder and the index file as hopgate computes them, and\n"
       "whether each exists.\n",
       CommandWhere, true},
      {"list", "[--json]", "every index row in ID order",
       std::string("Prints every row of the index in ID order: id, PNG name, the PNG's size in\n"
                   "bytes (- or null when the PNG is missing), whether the model file exists, and\n"
                   "the model path.\n") +
           kNoCacheFolder,
       CommandList, true},
      {"check", "[--json]", "what is wrong with the cache (exit 1 when anything is)",
       "Prints every finding with the row or file it concerns, then the totals:\n" +
           FindingKindsHelp() +
           "Exit code 1 when there is any finding but an informational one. An integrity\n"
           "finding means a damaged index: repair salvages its rows.\n" +
           kNoCacheFolder,
       CommandCheck, true},
      {"clean", "[--dry-run] [--stale] [--unlisted]",
       "remove rows without PNG and leftover temporary files",
       "Removes the rows whose PNG is missing and the converter's temporary files older than one\n"
       "hour; with --stale also the rows and PNGs of model files that are gone; with --unlisted\n"
       "also PNGs that no row names and that are older than one hour. Waits up to " +
           busyWait +
           " for a\n"
           "running hopgate's lock, deletes the rows in one short transaction and the files after\n"
           "it. Deletes only plain file names inside the cache folder, never the index or its\n"
           "journal. A file that cannot be removed is named with the system's reason and the\n"
           "exit code is 2; the rest is removed all the same.\n"
           "--dry-run prints the plan that clean would carry out and changes nothing.\n",
       CommandClean, false},
      {"explain", "[--as NAME] [--] ARG...", "what hopgate would do with these arguments",
       "Tells what hopgate would do when started with ARG... (or what a forwarding copy named\n"
       "NAME in hopgate's folder would do), through hopgate's own code: the arguments as split\n"
       "and trimmed, the mode, the command row taken or why none; for forwarding the debug.ini\n"
       "value, the path tested and whether it exists; for a preview request its encoding, the\n"
       "verdicts of the validation and the reading grammar, the members bmp and sw, the PNG\n"
       "name, copy or convert, and whether the index has a row for it. Starts nothing.\n",
       CommandExplain, true},
      {"gallery", "[-o FILE.html] [--limit N]",
       "one self-contained HTML page of the newest previews",
       "Writes one self-contained HTML page (every preview embedded) of the newest N previews\n"
       "(default " +
           std::to_string(kGalleryDefaultLimit) +
           ") with model path, PNG name and state, and a filter box by model path. To\n"
           "standard output unless -o names a file. An index that cannot be read still gives the\n"
           "page, with a line saying so at its top and every PNG shown as unlisted; the exit code\n"
           "is 2 then, and repair salvages the index's rows.\n",
       CommandGallery, true},
      {"repair", "[--dry-run] [--json]", "salvage the rows of a damaged index into a new one",
       "When SQLite finds the index damaged, reads every row it can from a copy of it (a hot\n"
       "journal beside it played back into the copy first), page by page, writes a new index\n"
       "with those rows and puts it in place, keeping the damaged file beside it as\n"
       "PreviewPNG.sqlite.damaged-YYYYMMDD-HHMMSS (UTC; its journal or write-ahead log with\n"
       "\"-journal\" or \"-wal\" added). An index in WAL mode has its log checkpointed into it\n"
       "by SQLite first; when SQLite cannot, it is left as it was (exit code 2).\n"
       "Rows on pages that are not whole are lost; rows deleted earlier never come back. Imports\n"
       "may run meanwhile: the rows they add are carried into the new index. An index that is\n"
       "not damaged is left as it is. Refused (exit code 2, nothing copied or changed): what\n"
       "is not a file in the index's place, and a damaged index that is a link or read-only.\n"
       "Exit code 0 repaired or nothing to repair, 1 repaired but a page of the table could not\n"
       "be read, 2 could not repair (the index is left as it was).\n"
       "--dry-run reports the same and changes nothing, in the cache folder or elsewhere.\n",
       CommandRepair, false},
  };
}

const Command* FindCommand(const std::string& name) {
  for (const auto& command : Commands()) {
    if (name == command.name) return &command;
  }
  return nullptr;
}

std::string NameAndSynopsis(const Command& command) {
  return std::string(command.name) + (*command.synopsis ? " " : "") + command.synopsis;
}

}  // namespace

const std::vector<Command>& Commands() {
  static const std::vector<Command> commands = MakeCommands();
  return commands;
}

std::string UsageText() {
  constexpr std::size_t kSummaryColumn = 29;
  std::string text =
      "usage: hopgate-cache [--data-root DIR] COMMAND [OPTIONS]\n"
      "\n"
      "Looks into hopgate's preview cache: the PNG previews in DATA-ROOT/Vexmoor/PreviewPNG and\n"
      "their index PreviewPNG.sqlite. DATA-ROOT defaults to the core library's data root.\n"
      "\n"
      "commands:\n";
  std::string readers;
  for (const auto& command : Commands()) {
    // A synopsis too long for its column puts the summary on a line of its own.
    const std::string line = "  " + NameAndSynopsis(command);
    text += (line.size() < kSummaryColumn ? PadRight(line, kSummaryColumn)
                                          : line + "\n" + std::string(kSummaryColumn, ' ')) +
            command.summary + "\n";
    if (command.readsOnly) readers += std::string(readers.empty() ? "" : ", ") + command.name;
  }
  return text + "\nThe reading commands (" + readers + ") create nothing.\n" +
         "COMMAND --help describes each command. --version prints the version.\n"
         "Exit codes: 0 success, 1 findings (check) or rows lost (repair), 2 the cache cannot be\n"
         "read or changed, or wrong usage.\n";
}

std::string HelpText(const Command& command) {
  return "usage: hopgate-cache [--data-root DIR] " + NameAndSynopsis(command) + "\n" +
         command.help +
         (command.readsOnly ? "Reads only: opens the index read-only, if at all, and creates "
                              "nothing.\n"
                            : "");
}

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
        console.out(UsageText());
        return kExitOk;
      }
      throw EUsage("no command given (see --help)");
    }
    const std::string name = Utf8(rest.front());
    const Command* command = FindCommand(name);
    if (command == nullptr) throw EUsage("unknown command " + name + " (see --help)");
    rest.erase(rest.begin());
    // Global options before the command reach it as if given among its own.
    if (common.help) rest.insert(rest.begin(), u"--help");
    if (common.dataRoot) rest.insert(rest.begin(), {u"--data-root", *common.dataRoot});
    return command->run(*command, rest, console);
  } catch (const std::exception& e) {
    // EUsage and ECacheError carry the whole line; anything else is said as it comes.
    console.err(std::string("hopgate-cache: ") + e.what() + "\n");
  }
  return kExitFailure;
}

}  // namespace cachetool
