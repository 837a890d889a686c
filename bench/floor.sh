#!/usr/bin/env bash
# A run with no argument (the program starts, loads its core library, makes sure of the data
# folders, finds no command and exits) against exit_only.c, a C program that only exits: the
# process floor of this machine. Reports the ratio.
#
#   bash bench/floor.sh          (RUNS, WARMUP may be set; see lib.sh)
set -euo pipefail
# shellcheck source=bench/lib.sh
source "$(dirname "${BASH_SOURCE[0]}")/lib.sh"

# Each run takes about a millisecond: more runs than the other benchmarks, still well under a
# second of work per command.
runs=${RUNS:-200}
warmup=${WARMUP:-20}

bench_prepare
cc -O2 -o "$work/exit_only" "$bench_dir/exit_only.c"

print_context
echo "floor:      $(cc --version | head -1), -O2, dynamically linked"
echo "libraries:  hopgate $(ldd "$hopgate" | grep -c '=>'), exit_only $(ldd "$work/exit_only" | grep -c '=>') (ldd)"
echo

echo "== time: $runs runs after $warmup warm-up runs each"
csv="$work/floor.csv"
run_hyperfine "$csv" -N --warmup "$warmup" --runs "$runs" \
  -n hopgate "$hopgate" -n exit_only "$work/exit_only"

t_hop=$(csv_value "$csv" hopgate mean)
t_floor=$(csv_value "$csv" exit_only mean)
m_hop=$(csv_value "$csv" hopgate median)
m_floor=$(csv_value "$csv" exit_only median)
rss_hop=$(peak_rss 3 true "$hopgate" | max_of)
rss_floor=$(peak_rss 3 true "$work/exit_only" | max_of)

echo
echo "== summary (ratio: hopgate / exit_only)"
printf '| %-24s | %10s | %10s | %7s |\n' measure hopgate exit_only ratio
printf '|%s|%s|%s|%s|\n' -------------------------- ------------ ------------ ---------
printf '| %-24s | %10s | %10s | %7s |\n' "wall time, mean (ms)" "$(ms "$t_hop")" "$(ms "$t_floor")" \
  "$(ratio "$t_hop" "$t_floor")"
printf '| %-24s | %10s | %10s | %7s |\n' "wall time, median (ms)" "$(ms "$m_hop")" "$(ms "$m_floor")" \
  "$(ratio "$m_hop" "$m_floor")"
printf '| %-24s | %10s | %10s | %7s |\n' "peak memory (KiB)" "$rss_hop" "$rss_floor" \
  "$(ratio "$rss_hop" "$rss_floor")"
echo
echo "load after: $(cut -d' ' -f1-3 /proc/loadavg)"
