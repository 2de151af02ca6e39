#!/usr/bin/env bash
# Everything a fresh machine needs to run every test: installs the packages, builds both
# targets with their test programs, and runs the whole suite twice under Wine, x86-64 and then
# i686 (the shipped build, under WoW64), each in its own prefix with its own wineserver. Ends
# with one summary: a line per run and, last, the plain total "N passed, M failed". The i686
# line names how 32-bit programs ran: natively, or emulated by qemu-user where the kernel
# refuses them (scripts/setup.sh sets that up where it can).
# Where 32-bit programs cannot run at all the i686 run is not attempted (only the i686 tests
# that run no 32-bit program, labelled no32bit, are run) and the summary says why; the x86-64
# run then decides the exit status. Arguments are passed to both ctest runs.
set -uo pipefail
cd "$(dirname "$0")/.."
root=$PWD

scripts/setup.sh || { echo "test: the packages could not be installed (scripts/setup.sh)" >&2; exit 1; }

if mode32=$(scripts/can-run-32bit.sh --mode); then run32=ON; else run32=OFF; fi

jobs=$(nproc 2>/dev/null || echo 2)
build() {
  cmake --preset "$1" "${@:2}" >/dev/null && cmake --build --preset "$1" -j "$jobs" ||
    { echo "test: the $1 build failed" >&2; exit 1; }
}
build mingw-x64
build mingw-i686 -DCOBALIN_RUN_WINE_TESTS=$run32

# The i686 run must be a 32-bit one: its test programs are checked to be 32-bit PE files.
objdump=$(command -v i686-w64-mingw32-objdump || command -v objdump)
for exe in build/i686/bin/tests_*.exe; do
  "$objdump" -f "$exe" | grep -q 'file format pei-i386' ||
    { echo "test: $exe is not a 32-bit program" >&2; exit 1; }
done

logs=$root/build/test-logs
mkdir -p "$logs"
summary=()
total_passed=0
total_failed=0
status=0

# Runs ctest for one preset; its output goes to the terminal and to a log, from whose last
# "tests passed" line the counts are taken. A run whose ctest fails without failed tests
# (a fixture or a discovery error) still fails the command.
run() {
  local label=$1 preset=$2 log="$logs/$2${3:+-$3}.log"
  shift 3
  echo
  echo "=== $label"
  ctest --preset "$preset" "$@" 2>&1 | tee "$log"
  local rc=${PIPESTATUS[0]}
  local counts passed=0 failed=0
  counts=$(sed -n 's/^[0-9]*% tests passed, \([0-9]*\) tests\{0,1\} failed out of \([0-9]*\)$/\1 \2/p' "$log" | tail -n1)
  if [ -n "$counts" ]; then
    failed=${counts% *}
    passed=$(( ${counts#* } - failed ))
  fi
  local line="$label: $passed passed, $failed failed"
  if [ "$rc" -ne 0 ]; then
    status=1
    [ "$failed" -eq 0 ] && line="$line (ctest exit status $rc, see $log)"
  fi
  summary+=("$line")
  total_passed=$(( total_passed + passed ))
  total_failed=$(( total_failed + failed ))
}

# A Wine process very rarely hangs at exit after its test passed; such a time-out is run
# again, while a failure is never retried. One wineserver per prefix for the whole run,
# stopped however the run ends.
trap 'for t in x64 i686; do for s in wineserver e2e-wineserver install-wineserver; do [ -x build/$t/$s.sh ] && build/$t/$s.sh stop; done; done' EXIT

build/x64/wineserver.sh start
run x86-64 mingw-x64 "" --repeat after-timeout:2 "$@"
build/x64/wineserver.sh stop

if [ "$run32" = ON ]; then
  build/i686/wineserver.sh start
  run "i686, $mode32" mingw-i686 "" --repeat after-timeout:2 "$@"
  build/i686/wineserver.sh stop
else
  run "i686 (no32bit tests only)" mingw-i686 no32bit -L no32bit "$@"
  summary+=("i686: NOT RUN - $mode32")
fi

echo
echo "=== Summary"
printf '%s\n' "${summary[@]}"
echo "$total_passed passed, $total_failed failed"
[ "$total_failed" -eq 0 ] || status=1
exit "$status"
