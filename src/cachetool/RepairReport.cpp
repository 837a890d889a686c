// What repair prints: a line a finding, or one JSON object with --json.
#include "cachetool/Console.h"
#include "cachetool/RepairSteps.h"
#include "cachetool/Text.h"
#include "preview/UpdatePreviewUnit.h"

namespace cachetool::repair {
namespace {

std::string JsonList(const std::vector<Text>& texts) {
  std::string list = "[";
  for (std::size_t i = 0; i < texts.size(); ++i) list += (i ? ", " : "") + JsonString(texts[i]);
  return list + "]";
}

std::string JsonOrNull(const std::optional<Text>& text) {
  return text ? JsonString(*text) : "null";
}

// The outcome as one JSON object on one line.
void ReportJson(const Outcome& o, bool damaged, const Options& options, const Console& console) {
  const Salvage& s = o.salvage;
  console.out("{\"index\": " + JsonString(preview::IndexPath()) + ", \"damaged\": " +
              (damaged ? "true" : "false") + ", \"problems\": " + JsonList(o.problems) +
              ", \"journal\": " + (o.journal ? "true" : "false") +
              ", \"rows\": " + std::to_string(o.salvagedRows) +
              ", \"unreadable_pages\": " + std::to_string(s.unreadablePages) +
              ", \"unreadable_rows\": " + std::to_string(s.unreadableRows) +
              ", \"recovered_leaves\": " + std::to_string(s.recoveredLeaves) +
              ", \"header_rebuilt\": " + (s.headerRebuilt && damaged ? "true" : "false") +
              ", \"added_during_repair\": " + std::to_string(o.addedMeanwhile) + ", \"kept_as\": " +
              JsonOrNull(o.keptAs) + ", \"journal_kept_as\": " + JsonOrNull(o.journalKeptAs) +
              ", \"wal_kept_as\": " + JsonOrNull(o.walKeptAs) +
              ", \"unregistered\": " + JsonList(o.unregistered) +
              ", \"dry_run\": " + (options.dryRun ? "true" : "false") + "}\n");
}

}  // namespace

void Report(const Outcome& o, bool damaged, const Options& options, const Console& console) {
  const Salvage& s = o.salvage;
  if (options.json) {
    ReportJson(o, damaged, options, console);
    return;
  }
  const char* journalLine =
      options.dryRun ? "a journal stood beside it: played back into the copy first\n"
                     : "a journal stood beside it: SQLite rolled it back into the index\n";
  if (!damaged) {
    if (o.journal) console.out(journalLine);
    console.out(platform::FileExists(preview::IndexPath())
                    ? "the index is sound: nothing to repair\n"
                    : "there is no index: nothing to repair\n");
    return;
  }
  console.out("the index is damaged: " + Utf8(o.problems.front()) +
              (o.problems.size() > 1
                   ? " (and " + Counted(o.problems.size() - 1, "more problem") + ")"
                   : "") +
              "\n");
  if (o.journal) console.out(journalLine);
  if (o.wal) {
    console.out(options.dryRun
                    ? "it is in WAL mode: its write-ahead log checkpointed into the copy "
                      "first\n"
                    : "it is in WAL mode: SQLite checkpointed its write-ahead log into "
                      "it and left WAL mode\n");
  }
  if (s.headerRebuilt) {
    console.out(s.pageSize ? "the file's header is damaged: page size " +
                                 std::to_string(s.pageSize) + " found from its first page\n"
                           : "no page size makes its first page readable\n");
  }
  if (!s.tableFound && s.unreadablePages == 0) console.out("it holds no preview table\n");
  console.out("salvaged " + Counted(o.salvagedRows, "row") +
              (s.recoveredLeaves ? ", " + Counted(s.recoveredLeaves, "leaf page") +
                                       " of them found whole below pages that could not be read"
                                 : "") +
              "; " +
              (s.unreadablePages ? Counted(s.unreadablePages, "page") +
                                       " of the table could not be read: rows that only they held "
                                       "are lost"
                                 : "every page of the table was read") +
              "\n");
  if (s.unreadableRows) {
    console.out(Counted(s.unreadableRows, "row") +
                " could not be read whole (a broken or shared overflow chain, or an ID that "
                "disagrees with the row's own): lost\n");
  }
  if (options.dryRun) {
    console.out("dry run: nothing changed\n");
    return;
  }
  if (o.addedMeanwhile) {
    console.out("carried over " + Counted(o.addedMeanwhile, "row") +
                " that imports added during the repair\n");
  }
  // Beside the index, in the cache folder; --json gives the whole paths.
  const auto fileName = [](const Text& path) {
    return Utf8(path.substr(path.find_last_of(platform::kPathSeparator) + 1));
  };
  console.out("kept the damaged index as " + fileName(*o.keptAs) + "\n");
  if (o.journalKeptAs) console.out("kept its journal as " + fileName(*o.journalKeptAs) + "\n");
  if (o.walKeptAs) {
    console.out("kept its write-ahead log as " + fileName(*o.walKeptAs) + "\n");
  }
  if (!o.unregistered.empty()) {
    std::string names;
    for (const auto& name : o.unregistered) names += " " + Utf8(name);
    console.out(Counted(o.unregistered.size(), "preview") +
                " made during the repair got no row (an import that met the damaged index or the "
                "swap); importing the model again registers it:" +
                names + "\n");
  }
  if (o.afterwards) {
    console.out("repaired, but the new index cannot be read now: " + *o.afterwards + "\n");
  } else {
    console.out("repaired: the new index holds " + Counted(o.rowsNow, "row") + "\n");
  }
}

}  // namespace cachetool::repair
