#!/usr/bin/env bash
# What `hopgate-cache repair` costs on an index with one torn leaf, against copying the same rows
# out of a sound copy of that index with SQLite alone (row_copy.c, linked with the project's
# SQLite): wall time, CPU time and peak resident size of each, whole processes.
#
#   bash bench/repair_cost.sh      (RUNS, WARMUP, SHAPES; see below and lib.sh)
#
# Each shape is an index made with the sqlite3 CLI and hopgate's own CREATE TABLE, in a data root
# of its own laid out as hopgate lays it (DATA/Vexmoor/PreviewPNG/PreviewPNG.sqlite, with an empty
# stand-in PNG file for every row, written two hours back). The PNG names are 32 hex digits and
# ".PNG"; the model paths are Windows paths ("C:\Users\...\part-NNNNNN.SLDPRT") whose lengths
# spread evenly over the shape's range. One leaf page is then torn: the second half of the page
# that holds the row named (the middle row, or the last one) is zeroed, as a write cut short
# leaves it, and SQLite's integrity check must fail on the result.
#
#   middle   50,000 rows, paths of 60-120 characters, the leaf of row 25,000 torn
#   end      50,000 rows, paths of 60-120 characters, the last leaf torn
#   long      5,000 rows, paths of 1,000-6,000 characters (about half of them on overflow pages),
#            the leaf of row 2,500 torn
#
# In every round each shape runs `hopgate-cache --data-root DATA repair` on a fresh copy of its
# torn index (laid, with the backup of the run before removed, and the disk synced, outside the
# timing), then row_copy on the sound index into a new file; the order of the two alternates from
# round to round. Each run is timed on its own by time_one.c: the monotonic clock around fork and
# wait4, and the command's CPU time and peak resident size from wait4's rusage.
# After the rounds (untimed), the last repaired index of each shape is checked: SQLite finds it
# sound, and it holds exactly the sound index's rows less those of the torn page.
#
# Targets: the repair's median wall time at most 4 times the copy's, and its peak resident size at
# most the torn index's size plus 32 MiB.
#
# Settings besides lib.sh's:
#   RUNS=7                   rounds (timed runs of each command of each shape)
#   WARMUP=1                 untimed rounds first
#   SHAPES="middle end long" the shapes measured
set -euo pipefail
# shellcheck source=bench/lib.sh
source "$(dirname "${BASH_SOURCE[0]}")/lib.sh"

runs=${RUNS:-7}
warmup=${WARMUP:-1}
read -r -a shapes <<<"${SHAPES:-middle end long}"
time_target=4
memory_allowance_kib=$((32 * 1024))

# shape_of NAME: sets rows, min_path, max_path and torn (the row whose leaf is torn).
shape_of() {
  case $1 in
    middle) rows=50000 min_path=60 max_path=120 torn=25000 ;;
    end) rows=50000 min_path=60 max_path=120 torn=50000 ;;
    long) rows=5000 min_path=1000 max_path=6000 torn=2500 ;;
    *) die "unknown shape $1 (middle, end, long)" ;;
  esac
}
for shape in "${shapes[@]}"; do shape_of "$shape"; done

bench_prepare
bench_also hopgate-cache sqlite3mc
command -v sqlite3 >/dev/null || die "the sqlite3 CLI is missing (bash scripts/setup --bench)"
[[ -x "$program/hopgate-cache" ]] || die "no hopgate-cache in $(bench_bin)"

# row_copy is linked with the amalgamation the native build compiles (its folder is the build's
# HOPGATE_DEPS_DIR).
deps_dir=$(sed -n 's/^HOPGATE_DEPS_DIR:[A-Z]*=//p' "$repo_dir/build/native/CMakeCache.txt")
[[ -f "$deps_dir/sqlite3mc/sqlite3.h" && -f "$repo_dir/build/native/lib/libsqlite3mc.a" ]] ||
  die "the native build's SQLite is missing (build target sqlite3mc)"
cc -O2 -o "$work/time_one" "$bench_dir/time_one.c"
cc -O2 -I"$deps_dir/sqlite3mc" -o "$work/row_copy" "$bench_dir/row_copy.c" \
  "$repo_dir/build/native/lib/libsqlite3mc.a" -lpthread -ldl -lm

create_table='CREATE TABLE IF NOT EXISTS "PreviewPNGTable" ("ID" INTEGER PRIMARY KEY NOT NULL , "PngMd5FileName" TEXT, "SwFullFileName" TEXT)'

# make_shape NAME: the sound index $work/NAME/sound.sqlite, its torn copy $work/NAME/torn.sqlite,
# and the data root $work/NAME/data with the cache folder's PNG stand-ins.
make_shape() {
  local name=$1 folder="$work/$1"
  shape_of "$name"
  mkdir -p "$folder/data/Vexmoor/PreviewPNG"
  # A path: a user and project folder, then assembly folders cut to the row's length, then the
  # part's file name. The folder names repeat, but each path starts them at another place.
  sqlite3 "$folder/sound.sqlite" <<EOF
$create_table;
BEGIN;
WITH RECURSIVE n(i) AS (SELECT 1 UNION ALL SELECT i + 1 FROM n WHERE i < $rows),
filler(f) AS (SELECT replace(hex(zeroblob(($max_path + 200) / 12)), '00',
                             'Subassembly\Conveyor-Frame\Weldment-A\Bracket\'))
INSERT INTO PreviewPNGTable (PngMd5FileName, SwFullFileName)
SELECT printf('%08X%08X%08X%08X.PNG', (i * 2654435761) % 4294967296, (i * 2246822519) % 4294967296,
              (i * 3266489917) % 4294967296, (i * 668265263) % 4294967296),
       head || substr(f, 1 + i % 37, len - length(head) - 18) || printf('part-%06d.SLDPRT', i)
FROM (SELECT i, printf('C:\Users\eng%02d\Projects\Plant-%04d\', i % 17, i % 613) AS head,
             $min_path + (i * 7919) % ($max_path - $min_path + 1) AS len FROM n), filler;
COMMIT;
EOF
  # The stand-in PNG files, old enough that no run takes them for made during the repair.
  (cd "$folder/data/Vexmoor/PreviewPNG" && sqlite3 "$folder/sound.sqlite" \
    'SELECT PngMd5FileName FROM PreviewPNGTable' | xargs -r touch -d '2 hours ago')

  # The torn leaf: the second half of the page that holds the named row's PNG name, zeroed.
  local page_size png at page
  page_size=$(sqlite3 "$folder/sound.sqlite" 'PRAGMA page_size')
  png=$(sqlite3 "$folder/sound.sqlite" "SELECT PngMd5FileName FROM PreviewPNGTable WHERE ID = $torn")
  at=$(grep -obUaF "$png" "$folder/sound.sqlite" | head -1 | cut -d: -f1)
  [[ -n "$at" ]] || die "$name: row $torn's PNG name is not in the file"
  page=$((at / page_size))
  cp "$folder/sound.sqlite" "$folder/torn.sqlite"
  dd if=/dev/zero of="$folder/torn.sqlite" bs=$((page_size / 2)) seek=$((page * 2 + 1)) count=1 \
    conv=notrunc status=none
  [[ $(sqlite3 "$folder/torn.sqlite" 'PRAGMA integrity_check' 2>&1 | head -1) != ok ]] ||
    die "$name: SQLite still finds the torn index sound"
  echo "$name: $rows rows, paths of $min_path-$max_path characters," \
    "$(stat -c %s "$folder/sound.sqlite") bytes, page $((page + 1)) of" \
    "$(($(stat -c %s "$folder/sound.sqlite") / page_size)) torn (row $torn)"
}

# prepare NAME COMMAND: lays the next run's input (repair: a fresh torn index, no backup of the
# run before; copy: no output file) and puts the disk at rest.
prepare() {
  local folder="$work/$1"
  if [[ $2 == repair ]]; then
    rm -f "$folder/data/Vexmoor/PreviewPNG/PreviewPNG.sqlite"*
    cp "$folder/torn.sqlite" "$folder/data/Vexmoor/PreviewPNG/PreviewPNG.sqlite"
  else
    rm -f "$folder/copy.sqlite" "$folder/copy.sqlite-journal"
  fi
  sync -f "$folder"
}

# run NAME COMMAND TIMES: one timed run; the repair must exit 1 (rows lost) and say what it
# salvaged, the copy must copy every row.
run() {
  local folder="$work/$1" status=0
  prepare "$1" "$2"
  if [[ $2 == repair ]]; then
    nice -n 10 "$work/time_one" "$3" "$program/hopgate-cache" --data-root "$folder/data" repair \
      >"$folder/repair.out" || status=$?
    if [[ $status -ne 1 ]] || ! grep -q '^salvaged ' "$folder/repair.out"; then
      die "$1: repair exited $status: $(cat "$folder/repair.out")"
    fi
  else
    nice -n 10 "$work/time_one" "$3" "$work/row_copy" "$folder/sound.sqlite" "$folder/copy.sqlite" \
      >"$folder/copy.out" || die "$1: row_copy failed"
    shape_of "$1"
    [[ $(cat "$folder/copy.out") -eq $rows ]] || die "$1: row_copy copied $(cat "$folder/copy.out")"
  fi
}

# check_repaired NAME: the repaired index is sound and holds the sound index's rows, each
# unchanged, less those of the torn page (a check, not a timing: without it the figures mean
# nothing). Prints the rows lost.
check_repaired() {
  local folder="$work/$1" index="$work/$1/data/Vexmoor/PreviewPNG/PreviewPNG.sqlite"
  [[ $(sqlite3 "$index" 'PRAGMA integrity_check') == ok ]] || die "$1: the repaired index is not sound"
  local foreign lost
  foreign=$(sqlite3 "$index" "ATTACH '$folder/sound.sqlite' AS sound;
    SELECT count(*) FROM main.PreviewPNGTable r WHERE NOT EXISTS (SELECT 1 FROM
      sound.PreviewPNGTable s WHERE s.ID = r.ID AND s.PngMd5FileName IS r.PngMd5FileName AND
      s.SwFullFileName IS r.SwFullFileName)")
  lost=$(sqlite3 "$index" "ATTACH '$folder/sound.sqlite' AS sound;
    SELECT count(*) FROM sound.PreviewPNGTable WHERE ID NOT IN (SELECT ID FROM main.PreviewPNGTable)")
  shape_of "$1"
  ((foreign == 0)) || die "$1: $foreign repaired rows are not the sound index's"
  ((lost > 0 && lost < 400)) || die "$1: $lost rows lost, not one page's"
  grep -q "^salvaged $((rows - lost)) rows;" "$folder/repair.out" ||
    die "$1: the repair's report does not say $((rows - lost)) rows: $(cat "$folder/repair.out")"
  echo "$lost"
}

print_context
echo
echo "== the indexes"
for shape in "${shapes[@]}"; do make_shape "$shape"; done

echo
echo "== $warmup untimed and $runs timed round(s); in each, every shape's repair and copy"
for ((i = -warmup; i < runs; ++i)); do
  for shape in "${shapes[@]}"; do
    order=(repair copy)
    if (((i + warmup) % 2)); then order=(copy repair); fi
    for command in "${order[@]}"; do
      times="$work/$shape-$command.times"
      ((i >= 0)) || times="$work/warmup.times"
      run "$shape" "$command" "$times"
    done
  done
  printf '.'
done
echo
echo "load after the rounds: $(cut -d' ' -f1-3 /proc/loadavg)"

mib() { awk -v k="$1" 'BEGIN { printf "%.1f", k / 1024 }'; }

echo
echo "== summary: medians over $runs runs (min-max of the wall time); peak = the largest of the runs"
printf '| %-6s | %-6s | %10s | %15s | %8s | %9s | %11s | %s |\n' shape command "wall (ms)" \
  "min-max (ms)" "CPU (ms)" "peak MiB" "time ratio" "within target"
printf '|%s|%s|%s|%s|%s|%s|%s|%s|\n' -------- -------- ------------ ----------------- ---------- \
  ----------- ------------- ------------------
# row SHAPE COMMAND RATIO VERDICT: one line of the table.
row() {
  local f="$work/$1-$2.times"
  printf '| %-6s | %-6s | %10s | %15s | %8s | %9s | %11s | %s |\n' "$1" "$2" \
    "$(ms "$(column "$f" 1 | median_of)")" \
    "$(ms "$(column "$f" 1 | sort -g | head -1)")-$(ms "$(column "$f" 1 | max_of)")" \
    "$(ms "$(cpu "$f" | median_of)")" "$(mib "$(column "$f" 4 | max_of)")" "$3" "$4"
}
for shape in "${shapes[@]}"; do
  lost=$(check_repaired "$shape")
  limit_kib=$(($(stat -c %s "$work/$shape/torn.sqlite") / 1024 + memory_allowance_kib))
  r=$(ratio "$(column "$work/$shape-repair.times" 1 | median_of)" \
    "$(column "$work/$shape-copy.times" 1 | median_of)")
  peak=$(column "$work/$shape-repair.times" 4 | max_of)
  row "$shape" repair "$r" "time $(met "$r" "$time_target"), memory $(met "$peak" "$limit_kib")"
  row "$shape" copy "" ""
  echo "|        | $lost rows lost; limit of the repair's peak: $(mib "$limit_kib") MiB |"
done
echo
echo "targets: the repair's median wall time at most $time_target x the copy's; its peak resident" \
  "size at most the torn index's size + 32 MiB"
echo "load at the end: $(cut -d' ' -f1-3 /proc/loadavg) (1, 5, 15 min)"
