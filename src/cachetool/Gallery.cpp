// gallery: one HTML page that shows the newest previews, each PNG embedded as a data: URI, so the
// page opens anywhere, also on another machine.
#include <algorithm>

#include "cachetool/Cache.h"
#include "cachetool/Commands.h"
#include "cachetool/Options.h"
#include "platform/native_text.h"
#include "preview/ConstUnit.h"
#include "preview/UpdatePreviewUnit.h"

namespace cachetool {
namespace {

// A preview of the page: a row, or a PNG that no row names.
struct Tile {
  std::optional<std::int64_t> id;  // none for a PNG no row names
  Text png, model;
  std::int64_t modified = 0;         // of the PNG; 0 when it is missing
  std::optional<FindingKind> state;  // what is wrong, if anything
  std::optional<std::string> bytes;  // the PNG, read for the tiles shown
};

// The states a tile can show, each with the finding's own name.
constexpr FindingKind kTileStates[] = {FindingKind::PngMissing, FindingKind::Stale,
                                       FindingKind::DamagedPng, FindingKind::UnlistedPng};

std::string StateName(const Tile& tile) { return tile.state ? KindName(*tile.state) : "ok"; }

// A tile's state colour: red for what is wrong, amber for what only informs.
std::string StateStyles() {
  std::string css = ".state-ok { color: #080; }\n";
  for (const FindingKind kind : kTileStates) {
    css += ".state-" + std::string(KindName(kind)) +
           " { color: " + (OnlyInforms(kind) ? "#a60" : "#b00") + "; }\n";
  }
  return css;
}

constexpr char kPageHead[] = R"(<!DOCTYPE html>
<html lang="en">
<head>
<meta charset="utf-8">
<title>hopgate preview cache</title>
<style>
body { font-family: sans-serif; margin: 1em; background: #f4f4f4; }
#filter { width: 40em; max-width: 100%; font-size: 1em; padding: 0.3em; }
main { display: flex; flex-wrap: wrap; gap: 1em; margin-top: 1em; }
figure { margin: 0; padding: 0.5em; background: #fff; border: 1px solid #ccc; width: 220px; }
figure img { max-width: 200px; max-height: 200px; display: block; margin: auto; }
figcaption { font-size: 0.8em; word-break: break-all; }
.state { font-weight: bold; }
.warning { color: #b00; font-weight: bold; }
)";

constexpr char kBodyStart[] = R"(</style>
</head>
<body>
<h1>hopgate preview cache</h1>
)";

constexpr char kPageEnd[] = R"(</main>
<script>
// Shows only the previews whose model path holds the text of the filter box (any letter case).
document.getElementById('filter').addEventListener('input', function () {
  var wanted = this.value.toLowerCase();
  document.querySelectorAll('main figure').forEach(function (figure) {
    var model = (figure.getAttribute('data-model') || '').toLowerCase();
    figure.style.display = model.indexOf(wanted) >= 0 ? '' : 'none';
  });
});
</script>
</body>
</html>
)";

std::string TileHtml(const Tile& tile) {
  std::string html = "<figure data-model=\"" + HtmlText(tile.model) + "\">\n";
  if (tile.bytes) {
    html += "<img alt=\"" + HtmlText(tile.png) + "\" src=\"data:image/png;base64," +
            Base64(*tile.bytes) + "\">\n";
  }
  const std::string state = StateName(tile);
  html += "<figcaption><span class=\"state state-" + state + "\">" + state + "</span>";
  if (tile.id) html += " &middot; row " + std::to_string(*tile.id);
  html += "<br><span class=\"model\">" + (tile.model.empty() ? "(no row)" : HtmlText(tile.model)) +
          "</span><br><span class=\"png\">" + HtmlText(tile.png) + "</span></figcaption>\n";
  return html + "</figure>\n";
}

// The tiles of the cache, newest first: by the PNG's time, then by the row's number.
std::vector<Tile> Tiles(const CacheView& cache) {
  std::vector<Tile> tiles;
  for (const auto& row : cache.rows) {
    Tile tile{row.id, row.png, row.model, 0, std::nullopt, std::nullopt};
    const auto png = RowPng(row);
    if (png) tile.modified = png->modifiedSeconds;
    if (!png) {
      tile.state = FindingKind::PngMissing;
    } else if (ModelGone(row)) {
      tile.state = FindingKind::Stale;
    }
    tiles.push_back(tile);
  }
  const ListedNames listed(cache.rows);
  for (const auto& file : cache.files) {
    if (IsUnlisted(file.name, listed)) {
      tiles.push_back({std::nullopt, file.name, Text(), file.status.modifiedSeconds,
                       FindingKind::UnlistedPng, std::nullopt});
    }
  }
  std::stable_sort(tiles.begin(), tiles.end(), [](const Tile& a, const Tile& b) {
    if (a.modified != b.modified) return a.modified > b.modified;
    return a.id.value_or(0) > b.id.value_or(0);
  });
  return tiles;
}

}  // namespace

int CommandGallery(const Command& self, const std::vector<Text>& arguments,
                   const Console& console) {
  std::optional<Text> output;
  std::size_t limit = kGalleryDefaultLimit;
  if (!ReadOptions(self, arguments, console, [&](OptionReader& r) {
        if (auto o = r.Value("-o")) return (output = *o).has_value();
        if (auto n = r.Value("--limit")) {
          const std::string digits = Utf8(*n);
          if (digits.empty() || digits.size() > 9 ||
              digits.find_first_not_of("0123456789") != std::string::npos) {
            throw EUsage("--limit needs a whole number, not " + digits);
          }
          limit = std::stoul(digits);
          return true;
        }
        return false;
      })) {
    return kExitOk;
  }
  // An index that cannot be read leaves every PNG unlisted; the page is still made.
  const CacheView cache = ReadCache(UnreadableIndex::Record);
  std::vector<Tile> tiles = Tiles(cache);
  const std::size_t shown = std::min(limit, tiles.size());

  std::string page = kPageHead + StateStyles() + kBodyStart;
  if (cache.indexError) {
    page += "<p class=\"warning\">The index cannot be read, so every PNG is shown as unlisted: " +
            HtmlText(platform::FromNative(*cache.indexError)) + ". " + HtmlText(kRepairHint) +
            "</p>\n";
  }
  page += "<p>" + std::to_string(shown) + " of " + std::to_string(tiles.size()) +
          " previews, newest first";
  if (tiles.size() > shown) {
    page += "; " + std::to_string(tiles.size() - shown) + " more not shown";
  }
  page += ". Cache folder: " + HtmlText(preview::PreviewFolder) + "</p>\n" +
          "<input id=\"filter\" type=\"search\" placeholder=\"filter by model path\">\n<main>\n";
  {
    Progress progress(console, "gallery", shown);
    for (std::size_t i = 0; i < shown; ++i) {
      Tile& tile = tiles[i];
      if (tile.state != FindingKind::PngMissing) tile.bytes = ReadCacheFile(tile.png);
      if (!tile.state && IsDamagedPng(tile.bytes)) tile.state = FindingKind::DamagedPng;
      page += TileHtml(tile);
      progress.Step();
    }
  }
  page += kPageEnd;

  if (!output) {
    console.out(page);
  } else if (!platform::WriteNewFile(*output, page)) {
    throw ECacheError(Cannot("write", *output, SystemReason()));
  }
  if (cache.indexError) {
    console.err("hopgate-cache: " + *cache.indexError + "; the page shows every PNG as unlisted; " +
                Utf8(kRepairHint) + "\n");
    return kExitFailure;
  }
  return kExitOk;
}

}  // namespace cachetool
