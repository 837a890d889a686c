#!/usr/bin/env bash
# "hopgate CLEARPNGFILE" over an index of ROWS rows (default 10,000), two ways:
#   stale  no row's model file exists: every PNG file and every row is deleted
#   live   every row's model file exists: nothing is deleted, each model file is looked up
# and over an index with no rows (empty), the fixed cost of a run, which the per-row figures net
# out. Reports the time per row.
#
#   bash bench/purge.sh        (ROWS, RUNS, WARMUP for empty and live, STALE_RUNS; see lib.sh)
#
# The fixtures are built once with the sqlite3 CLI (the table made by the program's own create
# statement) and kept as templates; before each run hyperfine's --prepare lays a fresh copy of the
# cache folder when the last run changed it. The PNG files are 4 KiB stand-ins (a PNG signature
# and zeros): the purge only deletes them.
set -euo pipefail
# shellcheck source=bench/lib.sh
source "$(dirname "${BASH_SOURCE[0]}")/lib.sh"

rows=${ROWS:-10000}
runs=${RUNS:-10}
warmup=${WARMUP:-2}
stale_runs=${STALE_RUNS:-3}

bench_prepare
command -v sqlite3 >/dev/null || die "the sqlite3 CLI is missing (bash scripts/setup --bench)"

fixtures="$work/fixtures"
models="$work/models"
mkdir -p "$fixtures" "$models/live" "$models/gone"
stub="$work/stub.png"
{ printf '\211PNG\r\n\032\n'; head -c $((4096 - 8)) /dev/zero; } >"$stub"

create_table='CREATE TABLE IF NOT EXISTS "PreviewPNGTable" ("ID" INTEGER PRIMARY KEY NOT NULL , "PngMd5FileName" TEXT, "SwFullFileName" TEXT)'

# make_fixture NAME COUNT MODEL_FOLDER: a cache folder with an index of COUNT rows, each naming a
# PNG file (32 hex digits, like the digest names; made from the row number) that is there, and a
# model file MODEL_FOLDER/part-NNNNN.sw.
make_fixture() {
  local name=$1 count=$2 model_folder=$3 folder="$fixtures/$1"
  mkdir -p "$folder"
  sqlite3 "$folder/PreviewPNG.sqlite" <<EOF
$create_table;
WITH RECURSIVE n(i) AS (SELECT 1 WHERE $count > 0 UNION ALL SELECT i + 1 FROM n WHERE i < $count)
INSERT INTO PreviewPNGTable (PngMd5FileName, SwFullFileName)
SELECT printf('%08X%08X%08X%08X.PNG', (i * 2654435761) % 4294967296, (i * 2246822519) % 4294967296,
              (i * 3266489917) % 4294967296, (i * 668265263) % 4294967296),
       printf('%s/part-%05d.sw', '$model_folder', i)
FROM n;
EOF
  # The PNG files, written by tee a few hundred at a time rather than by one cp each.
  # shellcheck disable=SC2016  # the inner shell expands them
  (cd "$folder" && sqlite3 PreviewPNG.sqlite 'SELECT PngMd5FileName FROM PreviewPNGTable' |
    xargs -r -n 256 sh -c 'tee "$@" <"$0" >/dev/null' "$stub")
  [[ $(find "$folder" -name '*.PNG' | wc -l) -eq $count ]] || die "fixture $name: PNG files missing"
}

echo "building the fixtures ($rows rows each)"
make_fixture empty 0 "$models/gone"
make_fixture stale "$rows" "$models/gone"
make_fixture live "$rows" "$models/live"
# The live rows' model files (empty files; the purge only asks whether they exist).
(cd "$models/live" && seq -f 'part-%05g.sw' 1 "$rows" | xargs -r touch)

# Lays a fixture into the data root, unless the cache already holds it unchanged (a run that
# deleted nothing leaves the index as it was).
cat >"$work/restore.sh" <<EOF
set -e
if ! cmp -s "$fixtures/\$1/PreviewPNG.sqlite" "$cache/PreviewPNG.sqlite"; then
  rm -rf "$cache"
  mkdir -p "$(dirname "$cache")"
  cp -r "$fixtures/\$1" "$cache"
fi
EOF

count_rows() { sqlite3 "$cache/PreviewPNG.sqlite" 'SELECT count(*) FROM PreviewPNGTable'; }
count_pngs() { find "$cache" -name '*.PNG' | wc -l; }

print_context
echo "rows:       $rows per fixture, PNG stand-ins of $(stat -c %s "$stub") bytes"
echo

echo "== empty and live: $runs runs after $warmup warm-up runs each"
csv_fast="$work/purge-fast.csv"
run_hyperfine "$csv_fast" -N --warmup "$warmup" --runs "$runs" \
  --prepare "bash $work/restore.sh empty" --prepare "bash $work/restore.sh live" \
  -n empty "$hopgate CLEARPNGFILE" -n live "$hopgate CLEARPNGFILE"
[[ $(count_rows) -eq $rows && $(count_pngs) -eq $rows ]] || die "the live purge deleted something"

echo
echo "== stale: $stale_runs runs, no warm-up (the fixture is copied, so in the page cache, before each)"
csv_stale="$work/purge-stale.csv"
run_hyperfine "$csv_stale" -N --runs "$stale_runs" --prepare "bash $work/restore.sh stale" \
  -n stale "$hopgate CLEARPNGFILE"
[[ $(count_rows) -eq 0 && $(count_pngs) -eq 0 ]] || die "the stale purge left rows or PNG files"

t_empty=$(csv_value "$csv_fast" empty mean)
cpu() { calc "$(csv_value "$1" "$2" user) + $(csv_value "$1" "$2" system)"; }
per_row() { awk -v t="$1" -v base="$2" -v n="$rows" 'BEGIN { printf "%.1f", (t - base) / n * 1e6 }'; }

echo
echo "== summary (per row: microseconds; net: less the empty run's mean)"
line() { printf '| %-6s | %14s | %12s | %12s | %12s | %12s | %12s |\n' "$@"; }
line index "wall mean (ms)" "per row" "net per row" "min per row" "max per row" "CPU per row"
printf '|%s|%s|%s|%s|%s|%s|%s|\n' -------- ---------------- -------------- -------------- \
  -------------- -------------- --------------
line empty "$(ms "$t_empty")" "" "" "" "" ""
for name in live stale; do
  file=$csv_fast
  [[ $name == stale ]] && file=$csv_stale
  t=$(csv_value "$file" "$name" mean)
  line "$name" "$(ms "$t")" "$(per_row "$t" 0)" "$(per_row "$t" "$t_empty")" \
    "$(per_row "$(csv_value "$file" "$name" min)" 0)" "$(per_row "$(csv_value "$file" "$name" max)" 0)" \
    "$(per_row "$(cpu "$file" "$name")" 0)"
done
echo
echo "load after: $(cut -d' ' -f1-3 /proc/loadavg)"
