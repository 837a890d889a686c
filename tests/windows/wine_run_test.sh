#!/usr/bin/env bash
# scripts/wine-run, the one place that starts Wine, on both kinds of machine: one that can start
# 32-bit programs (a stub 32-bit loader that starts) and one that cannot (HOPGATE_NO_32BIT=1, or a
# loader the kernel refuses with "Exec format error"). Stub loaders stand in for Wine: they make
# the prefix's system.reg on "wineboot -i" and record how they were started.
# Usage: wine_run_test.sh SOURCE_DIR BUILD_DIR   (BUILD_DIR: a configured Windows preset)
set -uo pipefail
source_dir=${1:?source folder}
build_dir=${2:?build folder}
wine_run=$source_dir/scripts/wine-run
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
failed=0

fail() { echo "FAIL: $*"; failed=1; }

# stub FOLDER NAME BEHAVIOUR: a loader NAME in FOLDER (with a wineserver beside it).
#   ok        --version and wineboot succeed, a program run is recorded and its exit is $STUB_EXIT
#   bootfail  wineboot says "boot broke" and fails
#   noreg     wineboot succeeds but makes no prefix
#   broken    --version fails with "broken loader"
#   exec      not a program the kernel can start (bytes of no known executable format)
stub() {
  local folder=$1 name=$2 behaviour=$3
  mkdir -p "$folder"
  printf '#!/bin/sh\nexit 0\n' >"$folder/wineserver"
  chmod +x "$folder/wineserver"
  case $behaviour in
    exec) printf '\x7fELF\x01\x01\x01\x00garbage-of-no-machine\x00\x01\x02' >"$folder/$name" ;;
    *) cat >"$folder/$name" <<STUB
#!/bin/sh
case "\$1" in
  --version) [ $behaviour = broken ] && { echo "broken loader" >&2; exit 1; }; echo wine-stub; exit 0 ;;
  wineboot)
    [ $behaviour = bootfail ] && { echo "boot broke" >&2; exit 1; }
    [ $behaviour = noreg ] || { mkdir -p "\$WINEPREFIX"; : >"\$WINEPREFIX/system.reg"; }
    exit 0 ;;
esac
printf '%s\n' "loader=\$0" "WINELOADER=\$WINELOADER" "WINEPREFIX=\$WINEPREFIX" "args=\$*" >"\$STUB_RECORD"
exit "\${STUB_EXIT:-0}"
STUB
    ;;
  esac
  chmod +x "$folder/$name"
}

for b in ok bootfail noreg broken exec; do
  stub "$work/$b" wine $b
  stub "$work/$b" wine64 $b
done

# A clean environment for each case: none of the caller's overrides leak in.
run() {
  env -u HOPGATE_NO_32BIT -u HOPGATE_WINE32_LOADER -u HOPGATE_WINE64_LOADER -u HOPGATE_WINEARCH \
    -u HOPGATE_WINEPREFIX STUB_RECORD="$work/record" "$@"
}

# Each case: name | HOPGATE_WINEARCH | loader folder | extra environment | exit | text in output |
# whether the program ran (the stub's record).
cases=(
  "64-bit runs through the 64-bit loader|win64|ok||5|record|yes"
  "the 32-bit switch leaves 64-bit runs alone|win64|ok|HOPGATE_NO_32BIT=1|5||yes"
  "32-bit runs through the 32-bit loader where it starts|win32|ok||5||yes"
  "the switch skips 32-bit runs with the reason|win32|ok|HOPGATE_NO_32BIT=1|77|32-bit Windows tests skipped: HOPGATE_NO_32BIT=1|no"
  "a kernel that cannot start the 32-bit loader skips|win32|exec||77|cannot start 32-bit programs|no"
  "a 64-bit loader the kernel refuses fails, never skips|win64|exec||1|does not start|no"
  "a missing 32-bit loader fails|win32|missing||1|does not start|no"
  "a 32-bit loader failing otherwise fails with its message|win32|broken||1|broken loader|no"
  "a prefix that cannot be made fails with the reason|win64|bootfail||1|boot broke|no"
  "a 32-bit prefix that cannot be made fails too|win32|bootfail||1|could not be made|no"
  "wineboot without a prefix made fails|win64|noreg||1|could not be made|no"
)
n=0
for row in "${cases[@]}"; do
  IFS='|' read -r name arch folder extra want_exit want_text want_ran <<<"$row"
  n=$((n + 1))
  rm -f "$work/record"
  prefix=$work/prefix-$n
  loader_var=HOPGATE_WINE64_LOADER loader=$work/$folder/wine64
  [[ $arch == win32 ]] && loader_var=HOPGATE_WINE32_LOADER loader=$work/$folder/wine
  # shellcheck disable=SC2086
  out=$(run HOPGATE_WINEARCH=$arch HOPGATE_WINEPREFIX="$prefix" STUB_EXIT=5 \
    "$loader_var=$loader" $extra bash "$wine_run" 'C:\prog.exe' 'an arg' 2>&1)
  got_exit=$?
  [[ $got_exit == "$want_exit" ]] || fail "$name: exit $got_exit, not $want_exit; output: $out"
  [[ -z $want_text || $want_text == record || $out == *"$want_text"* ]] ||
    fail "$name: the output lacks '$want_text': $out"
  if [[ $want_ran == yes ]]; then
    expected=$(printf '%s\n' "loader=$loader" "WINELOADER=$loader" "WINEPREFIX=$prefix" \
      'args=C:\prog.exe an arg')
    [[ -f $work/record && "$(cat "$work/record")" == "$expected" ]] ||
      fail "$name: the loader was not started as expected: $(cat "$work/record" 2>&1)"
  elif [[ -f $work/record ]]; then
    fail "$name: the program ran: $(cat "$work/record")"
  fi
  # Where 32-bit programs cannot start, the skip reason is one line.
  if [[ $want_exit == 77 && $(grep -c . <<<"$out") != 1 ]]; then
    fail "$name: the skip says more than one line: $out"
  fi
done

# The probe alone, as scripts/test asks it before the 32-bit tests: the reason on standard output.
out=$(run HOPGATE_WINEARCH=win32 HOPGATE_NO_32BIT=1 bash "$wine_run" --probe 2>/dev/null)
[[ $? == 77 && $out == *"skipped: HOPGATE_NO_32BIT=1"* ]] || fail "probe with the switch: '$out'"
out=$(run HOPGATE_WINEARCH=win32 HOPGATE_WINE32_LOADER="$work/ok/wine" bash "$wine_run" --probe)
[[ $? == 0 && -z $out ]] || fail "probe of a 32-bit loader that starts: '$out'"

# Through CTest as the build registers its tests (emulator and skip code): one of the build's test
# programs, from a copy of its own test file, shows as passed where the 32-bit loader starts,
# skipped with the reason under the switch, and failed where the loader is missing.
testfile=$build_dir/tests/platform/CTestTestfile.cmake
if ! grep -q 'add_test.*textrules_test' "$testfile" 2>/dev/null; then
  fail "no textrules_test in $testfile"
else
  mkdir -p "$work/ctest"
  grep -v '^subdirs(' "$testfile" >"$work/ctest/CTestTestfile.cmake"
  ctest_case() {  # name, expected CTest status word, text in the output, environment...
    local name=$1 status=$2 text=$3
    shift 3
    local out
    out=$(run HOPGATE_WINEPREFIX="$work/ctest-prefix" HOPGATE_WINE32_LOADER="$work/ok/wine" \
      HOPGATE_WINE64_LOADER="$work/ok/wine64" "$@" \
      ctest --test-dir "$work/ctest" -R '^textrules_test$' -V 2>&1)
    [[ $out == *"textrules_test ."*"$status"* ]] || fail "ctest, $name: not $status: $out"
    [[ -z $text || $out == *"$text"* ]] || fail "ctest, $name: the output lacks '$text': $out"
  }
  ctest_case "the loader starts" Passed "" STUB_EXIT=0
  ctest_case "the loader is missing" Failed "does not start" \
    HOPGATE_WINE32_LOADER="$work/missing/wine" HOPGATE_WINE64_LOADER="$work/missing/wine64"
  if grep -q 'HOPGATE_WINEARCH=win32' "$work/ctest/CTestTestfile.cmake"; then
    ctest_case "the switch" Skipped "32-bit Windows tests skipped: HOPGATE_NO_32BIT=1" \
      HOPGATE_NO_32BIT=1
    ctest_case "a kernel without 32-bit programs" Skipped "cannot start 32-bit programs" \
      HOPGATE_WINE32_LOADER="$work/exec/wine"
  else
    ctest_case "the switch on the 64-bit build" Passed "" HOPGATE_NO_32BIT=1 STUB_EXIT=0
  fi
fi

((failed == 0)) && echo "wine-run: every case as expected"
exit $failed
