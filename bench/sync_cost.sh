#!/usr/bin/env bash
# What syncing costs: the same commands timed on a program built from a revision before the
# import synced what it writes (BEFORE, default 951c630) and on the current tree (after), in
# alternating order on a disk file system, with the ratio after / before of the medians.
#
#   bash bench/sync_cost.sh      (RUNS, WARMUP, BEFORE, BENCH_BEFORE_BIN, BENCH_ALLOW_TMPFS; see
#                                 below and lib.sh)
#
# Three pairs of commands, each run once per round for RUNS rounds:
#   copy      a request whose image is a .png (the PNG of one conversion of the BMP below): the
#             image is copied into the cache
#   convert   a request whose image is the 1920x1080 24-bit BMP of make_model_bmp.cpp: the core
#             library converts it
#   rename    hopgate RENAMEANDDEL of a 1 MiB file over the 1 MiB file a run before left
# Every import names a model file of its own (models/model-N.sw, N counting up), so each one writes
# a new PNG and registers a new row. Before each run its image, request and model file (or the
# rename's source) are laid fresh and the file system is synced (sync -f), outside the timing, so
# that no run flushes what an earlier one left dirty. In a round the pair runs as before, after;
# in the next one as after, before; and so on, so that a drift of the machine's load falls on both.
# Each run is timed on its own by time_one.c (the monotonic clock around fork and wait4, with the
# command's CPU time), which adds no shell and no other process to what is timed.
#
# Settings besides lib.sh's:
#   RUNS=20               rounds (timed runs of each command)
#   WARMUP=2              untimed runs of each command first (they also make the cache and index)
#   BEFORE=951c630        the revision built as "before", in a git worktree of its own (removed
#                         at the end)
#   BENCH_BEFORE_BIN=DIR  take "before"'s hopgate and libtarncore.so from DIR instead of building
#   BENCH_ALLOW_TMPFS=1   run on tmpfs anyway (its fsync does nothing, so the figures mean little)
set -euo pipefail
# shellcheck source=bench/lib.sh
source "$(dirname "${BASH_SOURCE[0]}")/lib.sh"

runs=${RUNS:-20}
warmup=${WARMUP:-2}
before_rev=${BEFORE:-951c630}
target=1.5

# fsync on a memory file system returns at once: what this script measures would not be there.
fs_type=$(stat -f -c %T "${TMPDIR:-/tmp}")
if [[ "$fs_type" == tmpfs || "$fs_type" == ramfs ]] && [[ "${BENCH_ALLOW_TMPFS:-0}" != 1 ]]; then
  die "${TMPDIR:-/tmp} is on $fs_type, where fsync costs nothing: set TMPDIR to a folder on a disk" \
    "(or BENCH_ALLOW_TMPFS=1 to run anyway)"
fi
before_commit=$(git -C "$repo_dir" rev-parse --verify --short "$before_rev^{commit}") ||
  die "BEFORE=$before_rev is not a commit of this repository"

bench_prepare
after_program=$program

# "before": its own worktree and build folder inside the work folder, taken away on exit.
before_program="$work/program-before"
mkdir -p "$before_program"
if [[ -n "${BENCH_BEFORE_BIN:-}" ]]; then
  before_bin=$BENCH_BEFORE_BIN
else
  before_src="$work/before-src"
  git -C "$repo_dir" worktree add --detach "$before_src" "$before_commit" >/dev/null 2>&1 ||
    die "git worktree add $before_src $before_commit failed"
  # On exit the worktree goes (its program was copied out), then the work folder as lib.sh does.
  cleanup() {
    git -C "$repo_dir" worktree remove --force "$before_src" || true
    if [[ "${BENCH_KEEP:-0}" != 1 ]]; then rm -rf "$work"; fi
  }
  trap cleanup EXIT
  # Only the program is built there, without the tests (whose data sit beside the main checkout).
  # The fetched dependencies of this checkout serve that one too (no second fetch).
  options=(-DHOPGATE_TESTS=OFF)
  if [[ -d "$repo_dir/build/_deps" ]]; then options+=("-DHOPGATE_DEPS_DIR=$repo_dir/build/_deps"); fi
  echo "building $before_commit (before) in $before_src"
  (cd "$before_src" && cmake --preset native "${options[@]}" >/dev/null &&
    nice cmake --build --preset native --target hopgate tarncore -j 2 >/dev/null) ||
    die "the native build of $before_commit failed"
  before_bin="$before_src/build/native/bin"
fi
[[ -x "$before_bin/hopgate" && -e "$before_bin/libtarncore.so" ]] ||
  die "no hopgate and libtarncore.so in $before_bin"
cp "$before_bin/hopgate" "$before_bin/libtarncore.so" "$before_program/"
if [[ "${BENCH_KEEP:-0}" == 1 ]]; then
  echo "before's program: $before_program (BENCH_BEFORE_BIN=$before_program skips its build)"
fi

cc -O2 -o "$work/time_one" "$bench_dir/time_one.c"
cc -O2 -o "$work/fsync_latency" "$bench_dir/fsync_latency.c"
g++ -std=c++20 -O2 -o "$work/make_model_bmp" "$bench_dir/make_model_bmp.cpp"
"$work/make_model_bmp" "$work/image.bmp" 1920 1080
head -c $((1024 * 1024)) /dev/urandom >"$work/one-mib.bin"

# Every command has its own data root (cache and index) and project folder, so that each index
# grows by the same rows whatever the order.
#   setup NAME: the folders of command NAME.
setup() {
  mkdir -p "$work/$1/data" "$work/$1/project/models"
}

# The copy's image: the PNG of one conversion of the BMP (by the current program).
setup png-source
cp "$work/image.bmp" "$work/png-source/project/export.bmp"
: >"$work/png-source/project/models/source.sw"
printf '{\n  "bmp": "%s",\n  "sw": "%s"\n}\n' "$work/png-source/project/export.bmp" \
  "$work/png-source/project/models/source.sw" >"$work/png-source/project/request.json"
TARNCORE_DATA_ROOT="$work/png-source/data" "$after_program/hopgate" \
  "$work/png-source/project/request.json"
png=$(find "$work/png-source/data" -name '*.PNG' | head -1)
[[ -n "$png" ]] || die "the conversion made no PNG: is the program built?"
cp "$png" "$work/image.png"

commands=(copy-before copy-after convert-before convert-after rename-before rename-after)
declare -A count
for name in "${commands[@]}"; do
  setup "$name"
  count[$name]=0
done

# prepare NAME: lays the next run's input of command NAME and puts the disk at rest.
prepare() {
  local name=$1 project="$work/$1/project"
  case $name in
    copy-* | convert-*)
      local ext=bmp
      [[ $name == copy-* ]] && ext=png
      count[$name]=$((count[$name] + 1))
      local model="$project/models/model-${count[$name]}.sw"
      : >"$model"
      cp "$work/image.$ext" "$project/export.$ext"
      printf '{\n  "bmp": "%s",\n  "sw": "%s"\n}\n' "$project/export.$ext" "$model" \
        >"$project/request.json"
      ;;
    rename-*) cp "$work/one-mib.bin" "$project/source.bin" ;;
  esac
  sync -f "$project"
}

# command_of NAME: sets argv to the command line of command NAME (the program of its side).
command_of() {
  local name=$1 project="$work/$1/project" bin="$after_program"
  [[ $name == *-before ]] && bin=$before_program
  case $name in
    rename-*) argv=("$bin/hopgate" RENAMEANDDEL "$project/source.bin" "$project/destination.bin") ;;
    *) argv=("$bin/hopgate" "$project/request.json") ;;
  esac
}

# run NAME OUT: one run of command NAME, timed into OUT, checked for what it must have done.
run() {
  local name=$1 project="$work/$1/project"
  command_of "$name"
  TARNCORE_DATA_ROOT="$work/$name/data" nice -n 10 "$work/time_one" "$2" "${argv[@]}" ||
    die "$name: the command failed"
  if [[ $name == rename-* ]]; then
    [[ ! -e "$project/source.bin" && $(stat -c %s "$project/destination.bin") -eq 1048576 ]] ||
      die "$name: RENAMEANDDEL did not move its file"
  else
    [[ ! -e "$project/request.json" ]] || die "$name: the request was not consumed"
  fi
}

print_context
echo "before:     $before_commit ($before_rev), ${BENCH_BEFORE_BIN:-built in its own worktree}"
echo "device:     $(df -P "$work" | awk 'NR == 2 {print $1}') ($(stat -f -c %T "$work") by stat -f)"
echo "inputs:     $(stat -c %s "$work/image.png") B PNG (copy), 1920x1080 24-bit BMP of" \
  "$(stat -c %s "$work/image.bmp") B (convert), 1 MiB (rename)"
echo "models:     every import names a new models/model-N.sw: a new PNG and a new row each time"
echo

echo "== $warmup untimed run(s) of each command"
for ((i = 0; i < warmup; ++i)); do
  for name in "${commands[@]}"; do
    prepare "$name"
    run "$name" "$work/warmup.times"
  done
done

echo "== $runs rounds, the pairs alternating (before, after / after, before)"
for ((i = 0; i < runs; ++i)); do
  for task in copy convert rename; do
    if ((i % 2 == 0)); then order=(before after); else order=(after before); fi
    for side in "${order[@]}"; do
      prepare "$task-$side"
      run "$task-$side" "$work/$task-$side.times"
    done
  done
  printf '.'
done
echo
echo "load after the rounds: $(cut -d' ' -f1-3 /proc/loadavg)"

# Each import registered a row of its own (a check, not a timing).
if command -v sqlite3 >/dev/null; then
  for name in copy-before copy-after convert-before convert-after; do
    rows=$(sqlite3 "$(find "$work/$name/data" -name PreviewPNG.sqlite)" \
      'SELECT count(*) FROM PreviewPNGTable')
    [[ $rows -eq $((warmup + runs)) ]] || die "$name: $rows rows, not $((warmup + runs))"
  done
  echo "every import registered a row of its own ($((warmup + runs)) rows in each index)"
fi

# The syncs each command asks for, counted once more (untimed) under strace.
declare -A syncs
for name in "${commands[@]}"; do syncs[$name]=n/a; done
if command -v strace >/dev/null; then
  for name in "${commands[@]}"; do
    prepare "$name"
    command_of "$name"
    TARNCORE_DATA_ROOT="$work/$name/data" strace -f -qq -e trace=fsync,fdatasync,syncfs,sync \
      -o "$work/$name.strace" "${argv[@]}"
    syncs[$name]=$(grep -c 'sync(' "$work/$name.strace" || true)
  done
fi

# The disk's own sync latency, for reading the figures: a new 4 KiB file, then its folder, then
# the same file again with nothing changed.
"$work/fsync_latency" "$work" "$runs" >"$work/fsync.times"
# fsync_figure COLUMN: its median and maximum in ms, two decimals.
fsync_figure() {
  local values
  values=$(cut -d' ' -f"$1" "$work/fsync.times")
  awk -v m="$(median_of <<<"$values")" -v x="$(max_of <<<"$values")" \
    'BEGIN { printf "%.2f (%.2f) ms", m * 1000, x * 1000 }'
}

mean_of() { awk '{ s += $1 } END { printf "%.6f", s / NR }'; }
min_of() { sort -g | head -1; }

echo
echo "== summary: wall time per run in ms over $runs runs; ratio = after / before of the medians"
printf '| %-8s | %-6s | %8s | %8s | %8s | %8s | %10s | %6s | %6s | %s |\n' command side median mean \
  min max "CPU median" fsyncs ratio "target, met"
printf '|%s|%s|%s|%s|%s|%s|%s|%s|%s|%s|\n' ---------- -------- ---------- ---------- ---------- \
  ---------- ------------ -------- -------- -------------
declare -A median
for name in "${commands[@]}"; do median[$name]=$(column "$work/$name.times" 1 | median_of); done
for task in copy convert rename; do
  for side in before after; do
    f="$work/$task-$side.times"
    r='' verdict=''
    if [[ $side == after ]]; then
      r=$(ratio "${median[$task-after]}" "${median[$task-before]}")
      verdict='(none)'
      [[ $task == rename ]] || verdict="<= $target: $(met "$r" "$target")"
    fi
    printf '| %-8s | %-6s | %8s | %8s | %8s | %8s | %10s | %6s | %6s | %s |\n' "$task" "$side" \
      "$(ms "${median[$task-$side]}")" "$(ms "$(column "$f" 1 | mean_of)")" \
      "$(ms "$(column "$f" 1 | min_of)")" "$(ms "$(column "$f" 1 | max_of)")" \
      "$(ms "$(cpu "$f" | median_of)")" "${syncs[$task-$side]}" "$r" "$verdict"
  done
done
echo
echo "target: an import takes at most $target times its time before (copy and convert)"
echo "fsync on this disk, median (max) of $runs: a new 4 KiB file $(fsync_figure 1), then its" \
  "folder $(fsync_figure 2), then the file again, unchanged, $(fsync_figure 3)"
echo "load at the end: $(cut -d' ' -f1-3 /proc/loadavg) (1, 5, 15 min)"
