#!/usr/bin/env bash
# The import of a preview request against ImageMagick's `convert in.bmp out.png` on the same
# 1920x1080 24-bit BMP (a rendered model made by make_model_bmp.cpp), side by side in one
# hyperfine run; then the peak memory of each (GNU time, several runs) and the size of each PNG.
#
#   bash bench/import_vs_convert.sh          (RUNS, WARMUP and MEM_RUNS may be set; see lib.sh)
#
# Three commands are timed:
#   import-new    a request for a model the index does not hold yet: the PNG is written and a
#                 row inserted (what a model's first preview costs)
#   import-again  the same model again: the old PNG is replaced, the row is already there
#   convert       ImageMagick with its defaults
# The import consumes the image and the request, so hyperfine's --prepare lays fresh copies before
# every run (outside the timing); convert's --prepare copies its input the same way.
set -euo pipefail
# shellcheck source=bench/lib.sh
source "$(dirname "${BASH_SOURCE[0]}")/lib.sh"

runs=${RUNS:-10}
warmup=${WARMUP:-2}
mem_runs=${MEM_RUNS:-5}

bench_prepare
find_convert

# The image: the same bytes on every run of the script.
g++ -std=c++20 -O2 -o "$work/make_model_bmp" "$bench_dir/make_model_bmp.cpp"
"$work/make_model_bmp" "$work/model.bmp" 1920 1080
image_bytes=$(stat -c %s "$work/model.bmp")

# The caller's folder, as the suite leaves it: the exported image, the request, the model files.
project="$work/project"
mkdir -p "$project/models" "$work/convert"
touch "$project/models/assembly.sw"

# import-new names a new model file on each run (a counter in the work folder); import-again
# always the same one. The requests carry full paths, as the suite writes them.
cat >"$work/prepare-import.sh" <<EOF
set -e
model=\$1
if [ "\$model" = new ]; then
  n=\$(cat "$work/counter" 2>/dev/null || echo 0); n=\$((n + 1)); echo "\$n" >"$work/counter"
  model="$project/models/part-\$n.sw"
  : >"\$model"
fi
cp "$work/model.bmp" "$project/export.bmp"
printf '{\n  "bmp": "%s",\n  "sw": "%s"\n}\n' "$project/export.bmp" "\$model" >"$project/request.json"
EOF
cat >"$work/prepare-convert.sh" <<EOF
set -e
rm -f "$work/convert/out.png"
cp "$work/model.bmp" "$work/convert/in.bmp"
EOF

# One import first, so that both import commands meet an existing cache and index.
bash "$work/prepare-import.sh" "$project/models/assembly.sw"
"$hopgate" "$project/request.json"

print_context
echo "image:      1920x1080 24-bit BMP, $image_bytes bytes"
echo

echo "== time: $runs runs after $warmup warm-up runs each"
csv="$work/import.csv"
run_hyperfine "$csv" -N --warmup "$warmup" --runs "$runs" \
  --prepare "bash $work/prepare-import.sh new" \
  --prepare "bash $work/prepare-import.sh $project/models/assembly.sw" \
  --prepare "bash $work/prepare-convert.sh" \
  -n import-new "$hopgate $project/request.json" \
  -n import-again "$hopgate $project/request.json" \
  -n convert "$convert_bin $work/convert/in.bmp $work/convert/out.png"
[[ ! -e "$project/request.json" && ! -e "$project/export.bmp" ]] ||
  die "the import did not consume the request: is the program built?"

echo
echo "== peak memory (max RSS, KiB): $mem_runs runs each"
rss_new=$(peak_rss "$mem_runs" "bash $work/prepare-import.sh new" "$hopgate" "$project/request.json")
rss_again=$(peak_rss "$mem_runs" "bash $work/prepare-import.sh $project/models/assembly.sw" \
  "$hopgate" "$project/request.json")
rss_convert=$(peak_rss "$mem_runs" "bash $work/prepare-convert.sh" \
  "$convert_bin" "$work/convert/in.bmp" "$work/convert/out.png")
echo "import-new:    $(paste -sd" " <<<"$rss_new")"
echo "import-again:  $(paste -sd" " <<<"$rss_again")"
echo "convert:       $(paste -sd" " <<<"$rss_convert")"

# The PNG of the last import (all are of the same image): the newest in the cache.
png=$(find "$cache" -name '*.PNG' -printf '%T@ %p\n' | sort -n | tail -1 | cut -d' ' -f2-)
png_bytes=$(stat -c %s "$png")
convert_bytes=$(stat -c %s "$work/convert/out.png")
echo
echo "== PNG"
echo "hopgate: $png_bytes bytes ($(basename "$png"))"
echo "convert: $convert_bytes bytes"
# Not a timing check: the figures mean nothing if the preview is not the image.
if "$convert_bin" "$png" rgb:- | cmp -s - <("$convert_bin" "$work/model.bmp" rgb:-); then
  echo "the preview decodes to the image's pixels"
else
  die "the preview does not decode to the image's pixels"
fi
rows=$(find "$cache" -name '*.PNG' | wc -l)
echo "cache after the runs: $rows PNG files"

# The figures. Wall time is what the caller waits for; CPU time (user + system) is less moved by
# other work on the machine.
mean() { csv_value "$csv" "$1" mean; }
cpu() { calc "$(csv_value "$csv" "$1" user) + $(csv_value "$csv" "$1" system)"; }
t_conv=$(mean convert)
c_conv=$(cpu convert)
m_conv=$(max_of <<<"$rss_convert")
size_ratio=$(ratio "$png_bytes" "$convert_bytes")
echo
echo "== summary (ratios are hopgate / convert)"
printf '| %-28s | %12s | %12s | %12s | %7s | %6s | %s |\n' measure import-new import-again convert \
  "ratio" target met
printf '|%s|%s|%s|%s|%s|%s|%s|\n' ------------------------------ -------------- -------------- \
  -------------- --------- -------- -----
row() {  # label, new, again, convert, ratio of new, target
  printf '| %-28s | %12s | %12s | %12s | %7s | %6s | %s |\n' "$1" "$2" "$3" "$4" "$5" "$6" \
    "$(met "$5" "${6#<= }")"
}
t_new=$(mean import-new)
t_again=$(mean import-again)
row "wall time, mean (ms)" "$(ms "$t_new")" "$(ms "$t_again")" "$(ms "$t_conv")" \
  "$(ratio "$t_new" "$t_conv")" "<= 0.4"
row "  import-again / convert" "" "" "" "$(ratio "$t_again" "$t_conv")" "<= 0.4"
# The fastest run: the one least disturbed by other work on the machine.
n_new=$(csv_value "$csv" import-new min)
n_again=$(csv_value "$csv" import-again min)
n_conv=$(csv_value "$csv" convert min)
row "wall time, min (ms)" "$(ms "$n_new")" "$(ms "$n_again")" "$(ms "$n_conv")" \
  "$(ratio "$n_new" "$n_conv")" "<= 0.4"
row "  import-again / convert" "" "" "" "$(ratio "$n_again" "$n_conv")" "<= 0.4"
c_new=$(cpu import-new)
c_again=$(cpu import-again)
row "CPU time, user+sys (ms)" "$(ms "$c_new")" "$(ms "$c_again")" "$(ms "$c_conv")" \
  "$(ratio "$c_new" "$c_conv")" "<= 0.4"
row "  import-again / convert" "" "" "" "$(ratio "$c_again" "$c_conv")" "<= 0.4"
m_new=$(max_of <<<"$rss_new")
m_again=$(max_of <<<"$rss_again")
row "peak memory, max RSS (KiB)" "$m_new" "$m_again" "$m_conv" "$(ratio "$m_new" "$m_conv")" "<= 0.5"
row "PNG size (bytes)" "$png_bytes" "$png_bytes" "$convert_bytes" "$size_ratio" "<= 1.0"
echo
echo "load after: $(cut -d' ' -f1-3 /proc/loadavg)"
