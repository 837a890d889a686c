# shellcheck shell=bash disable=SC2034  # sets variables for the scripts that source it
# Shared by the benchmark scripts (sourced, not run): the tools, the native build, a work folder
# with a copy of the program, and the helpers that read and print the figures.
#
# Settings, all optional, from the environment:
#   BENCH_SKIP_SETUP=1   do not run scripts/setup --bench (the tools are known to be there)
#   BENCH_SKIP_BUILD=1   use build/native/bin as it is, without building it first
#   BENCH_BIN=/path      take hopgate and libtarncore.so from this folder instead of
#                        build/native/bin (to measure a changed core library built elsewhere)
#   BENCH_KEEP=1         keep the work folder (its path is printed) instead of removing it
#   CONVERT=/path        the ImageMagick convert to compare with (default /usr/bin/convert)
#   TMPDIR               where the work folder goes; the figures depend on its file system

bench_dir=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
repo_dir=$(dirname "$bench_dir")

die() {
  echo "bench: $*" >&2
  exit 1
}

# Installs the tools, builds the native program, makes the work folder and the program folder,
# and points the data root into the work folder. Sets: work, program, hopgate, cache.
bench_prepare() {
  if [[ "${BENCH_SKIP_SETUP:-0}" != 1 ]]; then bash "$repo_dir/scripts/setup" --bench; fi
  local tool
  for tool in hyperfine awk g++ cmp; do
    command -v "$tool" >/dev/null || die "$tool is missing (bash scripts/setup --bench)"
  done
  [[ -x /usr/bin/time ]] || die "GNU time (/usr/bin/time) is missing (bash scripts/setup --bench)"

  if [[ "${BENCH_SKIP_BUILD:-0}" != 1 && -z "${BENCH_BIN:-}" ]]; then
    (cd "$repo_dir" && cmake --preset native >/dev/null &&
      nice cmake --build --preset native --target hopgate tarncore -j 2 >/dev/null) ||
      die "the native build failed"
  fi
  local bin
  bin=$(bench_bin)
  [[ -x "$bin/hopgate" && -e "$bin/libtarncore.so" ]] || die "no hopgate and libtarncore.so in $bin"

  work=$(mktemp -d "${TMPDIR:-/tmp}/hopgate-bench.XXXXXX")
  # hyperfine runs the commands without a shell, split at blanks.
  [[ "$work" != *[[:space:]]* ]] || die "the work folder's path has a blank: set TMPDIR"
  if [[ "${BENCH_KEEP:-0}" == 1 ]]; then
    echo "work folder: $work (kept)"
  else
    trap 'rm -rf "$work"' EXIT
  fi
  # The program runs from a folder of its own, as installed: the program and its core library.
  program="$work/program"
  mkdir -p "$program"
  cp "$bin/hopgate" "$bin/libtarncore.so" "$program/"
  hopgate="$program/hopgate"
  export TARNCORE_DATA_ROOT="$work/data"
  cache="$TARNCORE_DATA_ROOT/Vexmoor/PreviewPNG"
  mkdir -p "$TARNCORE_DATA_ROOT"
}

# The folder the measured programs come from: BENCH_BIN, or the native build's.
bench_bin() { echo "${BENCH_BIN:-$repo_dir/build/native/bin}"; }

# bench_also TARGET...: after bench_prepare, builds further targets of the native build as it
# built hopgate (unless BENCH_SKIP_BUILD or BENCH_BIN says not to), and copies those that are
# programs (hopgate-cache) into the program folder beside hopgate.
bench_also() {
  if [[ "${BENCH_SKIP_BUILD:-0}" != 1 && -z "${BENCH_BIN:-}" ]]; then
    (cd "$repo_dir" && nice cmake --build --preset native --target "$@" -j 2 >/dev/null) ||
      die "the native build of $* failed"
  fi
  local target
  for target in "$@"; do
    if [[ -x "$(bench_bin)/$target" && ! -d "$(bench_bin)/$target" ]]; then
      cp "$(bench_bin)/$target" "$program/"
    fi
  done
}

# The real ImageMagick convert: /usr/bin/convert when present, so that no wrapper found earlier
# on PATH is timed with it.
find_convert() {
  if [[ -n "${CONVERT:-}" ]]; then
    convert_bin=$CONVERT
  elif [[ -x /usr/bin/convert ]]; then
    convert_bin=/usr/bin/convert
  else
    convert_bin=$(command -v convert) || die "ImageMagick's convert is missing (bash scripts/setup --bench)"
  fi
}

# What the figures were measured on: the machine, its load, the sources.
print_context() {
  local commit dirty
  commit=$(git -C "$repo_dir" rev-parse --short HEAD 2>/dev/null || echo unknown)
  dirty=$(git -C "$repo_dir" status --porcelain -- src 2>/dev/null | wc -l)
  echo "== context"
  echo "cpu:        $(nproc) cores, $(awk -F': ' '/model name/ {print $2; exit}' /proc/cpuinfo)"
  echo "load:       $(cut -d' ' -f1-3 /proc/loadavg) (1, 5, 15 min)"
  echo "work dir:   $work on $(df -PT "$work" | awk 'NR == 2 {print $2}')"
  echo "sources:    $commit, $dirty uncommitted path(s) under src/"
  echo "program:    ${BENCH_BIN:-$repo_dir/build/native/bin}"
  echo "hyperfine:  $(hyperfine --version)"
  if [[ -n "${convert_bin:-}" ]]; then echo "convert:    $("$convert_bin" -version | head -1)"; fi
}

# Runs hyperfine niced, with its CSV export in $1; the remaining arguments go to hyperfine.
run_hyperfine() {
  local csv=$1
  shift
  nice -n 10 hyperfine --export-csv "$csv" "$@"
}

# csv_value CSV NAME COLUMN: a column of hyperfine's CSV export (command, mean, stddev, median,
# user, system, min, max; seconds) for the command named NAME.
csv_value() {
  awk -F, -v name="$2" -v column="$3" '
    NR == 1 { for (i = 1; i <= NF; ++i) index_of[$i] = i; next }
    $1 == name { print $(index_of[column]); found = 1 }
    END { if (!found) exit 1 }' "$1" || die "no $3 for $2 in $1"
}

# ratio A B: A / B with three decimals.
ratio() { awk -v a="$1" -v b="$2" 'BEGIN { printf "%.3f", a / b }'; }

# calc EXPRESSION: floating-point arithmetic through awk, e.g. calc "1/3".
calc() { awk "BEGIN { printf \"%.6g\", $1 }"; }

# ms SECONDS: milliseconds with one decimal.
ms() { awk -v s="$1" 'BEGIN { printf "%.1f", s * 1000 }'; }

# met VALUE LIMIT: "yes" when VALUE is at most LIMIT.
met() { awk -v v="$1" -v l="$2" 'BEGIN { print (v <= l ? "yes" : "no") }'; }

# peak_rss RUNS PREPARE COMMAND...: runs PREPARE (a shell text) and then COMMAND under GNU time,
# RUNS times, niced; prints the peak resident sizes in KiB, one per run.
peak_rss() {
  local runs=$1 prepare=$2
  shift 2
  local i
  for ((i = 0; i < runs; ++i)); do
    bash -c "$prepare"
    nice -n 10 /usr/bin/time -f %M -o "$work/rss" "$@"
    cat "$work/rss"
  done
}

# max_of / median_of: of whitespace-separated numbers on standard input.
max_of() { tr -s ' \n' '\n' | awk 'NF { if (m == "" || $1 > m) m = $1 } END { print m }'; }
median_of() {
  tr -s ' \n' '\n' | awk 'NF' | sort -n | awk '{ v[NR] = $1 } END {
    if (NR % 2) print v[(NR + 1) / 2]; else print (v[NR / 2] + v[NR / 2 + 1]) / 2 }'
}

# Of a times file of time_one.c (a line per run: wall, user and system seconds, peak KiB):
# column FILE N gives the Nth column, cpu FILE user + system.
column() { cut -d' ' -f"$2" "$1"; }
cpu() { awk '{ print $2 + $3 }' "$1"; }
