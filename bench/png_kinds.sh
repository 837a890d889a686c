#!/usr/bin/env bash
# The PNG writer on four kinds of 1920x1080 24-bit image, each made by make_model_bmp.cpp from a
# fixed recipe: flat (a rendered assembly on a flat background), smooth (the same on a gradient
# background, blurred), photo (a seeded fractal texture) and indexed (the flat render taken to at
# most 216 colours). For each kind, the import of a preview request against ImageMagick's
# `convert in.bmp out.png`: time, peak memory, PNG size, and whether the preview decodes to the
# image's exact pixels.
#
#   bash bench/png_kinds.sh        (ROUNDS, RUNS_PER_ROUND, MEM_RUNS and KINDS may be set)
#
# The machine may be busy with other work, so the two commands alternate: each of ROUNDS hyperfine
# runs times RUNS_PER_ROUND runs of the import, then as many of convert. The figures are over all
# rounds: the mean and minimum wall time and the CPU time (user + system), which other work moves
# least.
set -euo pipefail
# shellcheck source=bench/lib.sh
source "$(dirname "${BASH_SOURCE[0]}")/lib.sh"

rounds=${ROUNDS:-5}
per_round=${RUNS_PER_ROUND:-2}
mem_runs=${MEM_RUNS:-3}
kinds=${KINDS:-flat smooth photo indexed}

bench_prepare
find_convert
g++ -std=c++20 -O2 -o "$work/make_model_bmp" "$bench_dir/make_model_bmp.cpp"

project="$work/project"
mkdir -p "$project/models" "$work/convert"
model="$project/models/assembly.sw"
touch "$model"
cat >"$work/prepare-import.sh" <<EOF
set -e
cp "$work/\$1.bmp" "$project/export.bmp"
printf '{\n  "bmp": "%s",\n  "sw": "%s"\n}\n' "$project/export.bmp" "$model" >"$project/request.json"
EOF
cat >"$work/prepare-convert.sh" <<EOF
set -e
rm -f "$work/convert/out.png"
cp "$work/\$1.bmp" "$work/convert/in.bmp"
EOF

print_context
echo "rounds:     $rounds of $per_round runs each command, alternating; peak memory over $mem_runs runs"
echo

# Targets per kind: PNG size, time and peak memory as ratios to convert's.
declare -A size_target=([flat]=0.95 [smooth]=0.95 [photo]=1.0 [indexed]=1.0)
declare -A time_target=([flat]=0.30 [smooth]=0.30 [photo]=0.50 [indexed]=0.30)
mem_target=0.40

summary="$work/summary"
: >"$summary"
for kind in $kinds; do
  "$work/make_model_bmp" "$work/$kind.bmp" 1920 1080 "$kind"
  colours=$("$convert_bin" "$work/$kind.bmp" -format %k info:)
  echo "== $kind: $(stat -c %s "$work/$kind.bmp") bytes, $colours colours"
  # One import first, so that the timed ones meet an existing cache and index.
  bash "$work/prepare-import.sh" "$kind"
  "$hopgate" "$project/request.json"

  for ((round = 1; round <= rounds; ++round)); do
    run_hyperfine "$work/$kind-$round.csv" -N --style basic --warmup 1 --runs "$per_round" \
      --prepare "bash $work/prepare-import.sh $kind" \
      --prepare "bash $work/prepare-convert.sh $kind" \
      -n import "$hopgate $project/request.json" \
      -n convert "$convert_bin $work/convert/in.bmp $work/convert/out.png" >/dev/null
    [[ ! -e "$project/request.json" ]] || die "the import did not consume the request"
  done
  # Over the rounds (each has the same number of runs): mean of the means, least of the minima,
  # mean of the CPU times.
  over_rounds() {  # NAME: "mean min cpu" in seconds
    local round mean=0 least="" cpu=0 m n u s
    for ((round = 1; round <= rounds; ++round)); do
      m=$(csv_value "$work/$kind-$round.csv" "$1" mean)
      n=$(csv_value "$work/$kind-$round.csv" "$1" min)
      u=$(csv_value "$work/$kind-$round.csv" "$1" user)
      s=$(csv_value "$work/$kind-$round.csv" "$1" system)
      mean=$(calc "$mean + $m / $rounds")
      cpu=$(calc "$cpu + ($u + $s) / $rounds")
      if [[ -z "$least" ]] || awk -v a="$n" -v b="$least" 'BEGIN { exit !(a < b) }'; then least=$n; fi
    done
    echo "$mean $least $cpu"
  }
  read -r t_imp n_imp c_imp < <(over_rounds import)
  read -r t_conv n_conv c_conv < <(over_rounds convert)

  rss_imp=$(peak_rss "$mem_runs" "bash $work/prepare-import.sh $kind" "$hopgate" "$project/request.json")
  rss_conv=$(peak_rss "$mem_runs" "bash $work/prepare-convert.sh $kind" \
    "$convert_bin" "$work/convert/in.bmp" "$work/convert/out.png")
  m_imp=$(max_of <<<"$rss_imp")
  m_conv=$(max_of <<<"$rss_conv")

  png=$(find "$cache" -name '*.PNG' -printf '%T@ %p\n' | sort -n | tail -1 | cut -d' ' -f2-)
  png_bytes=$(stat -c %s "$png")
  convert_bytes=$(stat -c %s "$work/convert/out.png")
  # Not a timing check: the figures mean nothing if the preview is not the image.
  "$convert_bin" "$png" rgb:- | cmp -s - <("$convert_bin" "$work/$kind.bmp" rgb:-) ||
    die "$kind: the preview does not decode to the image's pixels"
  png_type=$("$convert_bin" "$png" -format '%[png:IHDR.color-type-orig]' info: 2>/dev/null || true)

  row() {  # measure, import, convert, ratio, target
    printf '| %-8s | %-22s | %12s | %12s | %6s | %6s | %-3s |\n' "$kind" "$1" "$2" "$3" "$4" "${5:--}" \
      "$([[ -n "${5:-}" ]] && met "$4" "$5" || echo -)"
  }
  {
    row "wall time, mean (ms)" "$(ms "$t_imp")" "$(ms "$t_conv")" "$(ratio "$t_imp" "$t_conv")" \
      "${time_target[$kind]}"
    row "wall time, min (ms)" "$(ms "$n_imp")" "$(ms "$n_conv")" "$(ratio "$n_imp" "$n_conv")" \
      "${time_target[$kind]}"
    row "CPU time (ms)" "$(ms "$c_imp")" "$(ms "$c_conv")" "$(ratio "$c_imp" "$c_conv")" \
      "${time_target[$kind]}"
    row "peak memory (KiB)" "$m_imp" "$m_conv" "$(ratio "$m_imp" "$m_conv")" "$mem_target"
    row "PNG size (bytes)" "$png_bytes" "$convert_bytes" "$(ratio "$png_bytes" "$convert_bytes")" \
      "${size_target[$kind]}"
    row "PNG colour type ${png_type:-?}, pixels exact" "" "" "" ""
  } | tee -a "$summary"
  echo "load: $(cut -d' ' -f1-3 /proc/loadavg)"
  echo
done

echo "== summary (ratios are import / convert; met: ratio at most the target)"
printf '| %-8s | %-22s | %12s | %12s | %6s | %6s | %-3s |\n' kind measure import convert ratio target met
printf '|%s|%s|%s|%s|%s|%s|%s|\n' ---------- ------------------------ -------------- -------------- \
  -------- -------- -----
cat "$summary"
echo
echo "load after: $(cut -d' ' -f1-3 /proc/loadavg)"
