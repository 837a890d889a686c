// gallery: one HTML page that shows the newest previews, each PNG embedded as a data: URI, so the
// page opens anywhere, also on another machine.
#include <algorithm>

#include "cachetool/Cache.h"
#include "cachetool/CacheTool.h"
#include "cachetool/Options.h"
#include "cachetool/PngCheck.h"
#include "cachetool/Text.h"
#include "platform/textrules.h"
#include "preview/ConstUnit.h"
#include "preview/UpdatePreviewUnit.h"

namespace cachetool {
namespace {

constexpr std::size_t kDefaultLimit = 200;

struct Tile {
  std::optional<std::int64_t> id;  // none for a PNG no row names
  Text png, model;
  std::int64_t modified = 0;  // of the PNG; 0 when it is missing
  const char* state = "ok";
};

constexpr char kPageStart[] = R"(<!DOCTYPE html>
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
.state-ok { color: #080; } .state-stale, .state-damaged-png, .state-png-missing { color: #b00; }
.state-unlisted-png { color: #a60; }
</style>
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
  if (tile.modified != 0) {
    std::string bytes;
    if (platform::ReadWholeFile(preview::CachePath(tile.png), bytes)) {
      html += "<img alt=\"" + HtmlText(tile.png) + "\" src=\"data:image/png;base64," +
              Base64(bytes) + "\">\n";
    }
  }
  html += "<figcaption><span class=\"state state-" + std::string(tile.state) + "\">" + tile.state +
          "</span>";
  if (tile.id) html += " &middot; row " + std::to_string(*tile.id);
  html += "<br><span class=\"model\">" + (tile.model.empty() ? "(no row)" : HtmlText(tile.model)) +
          "</span><br><span class=\"png\">" + HtmlText(tile.png) + "</span></figcaption>\n";
  return html + "</figure>\n";
}

}  // namespace

int CommandGallery(const std::vector<Text>& arguments, const Console& console) {
  std::optional<Text> output;
  std::size_t limit = kDefaultLimit;
  if (!ReadOptions("gallery", arguments, console, [&](OptionReader& r) {
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
  const CacheView cache = ReadCache();

  std::vector<Tile> tiles;
  for (const auto& row : cache.rows) {
    Tile tile{row.id, row.png, row.model};
    const auto status = textrules::IsPlainFileName(row.png)
                            ? platform::GetFileStatus(preview::CachePath(row.png))
                            : std::nullopt;
    if (status && !status->folder) tile.modified = status->modifiedSeconds;
    if (tile.modified == 0) {
      tile.state = "png-missing";
    } else if (!platform::FileExists(row.model)) {
      tile.state = "stale";
    }
    tiles.push_back(tile);
  }
  for (const auto& file : cache.files) {
    if (IsPngName(file.name) && !RowNames(cache.rows, file.name)) {
      tiles.push_back(
          {std::nullopt, file.name, Text(), file.status.modifiedSeconds, "unlisted-png"});
    }
  }
  // Newest first: by the PNG's time, then by the row's number.
  std::stable_sort(tiles.begin(), tiles.end(), [](const Tile& a, const Tile& b) {
    if (a.modified != b.modified) return a.modified > b.modified;
    return a.id.value_or(0) > b.id.value_or(0);
  });
  const std::size_t shown = std::min(limit, tiles.size());

  std::string page = kPageStart;
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
      if (tile.modified != 0 && std::string_view(tile.state) == "ok") {
        std::string bytes;
        if (platform::ReadWholeFile(preview::CachePath(tile.png), bytes) && !IsWholePng(bytes)) {
          tile.state = "damaged-png";
        }
      }
      page += TileHtml(tile);
      progress.Step();
    }
  }
  page += kPageEnd;

  if (!output) {
    console.out(page);
  } else if (!platform::WriteNewFile(*output, page)) {
    throw ECacheError("cannot write " + Utf8(*output));
  }
  return kExitOk;
}

}  // namespace cachetool
