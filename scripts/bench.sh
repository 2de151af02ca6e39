#!/usr/bin/env bash
# Builds the benchmark (bench/bench.cpp) for both targets and runs it under Wine, the x86-64
# build and then the i686 one (the shipped build, under WoW64), each once in its build's own
# prefix with its own wineserver and measured against its own bare-pipe limit. Prints the
# tables; the figures are recorded in docs/benchmark.md. Where the kernel refuses 32-bit
# programs the i686 run goes under user-mode emulation (scripts/setup.sh sets it up) and its
# heading says so: its ratios compare within that run, its absolute figures measure the
# emulator. Where 32-bit programs cannot run at all the i686 run is not attempted and a line
# says why.
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/setup.sh
if mode32=$(scripts/can-run-32bit.sh --mode); then run32=ON; else run32=OFF; fi
jobs=$(nproc 2>/dev/null || echo 2)
cmake --preset mingw-x64 >/dev/null
cmake --build --preset mingw-x64 -j "$jobs" --target cobalin_bench
if [ "$run32" = ON ]; then
  cmake --preset mingw-i686 -DCOBALIN_RUN_WINE_TESTS=ON >/dev/null
  cmake --build --preset mingw-i686 -j "$jobs" --target cobalin_bench
fi

trap 'build/x64/wineserver.sh stop; [ "$run32" = ON ] && build/i686/wineserver.sh stop; true' EXIT
echo "Machine: $(nproc) CPUs, $(sed -n 's/^model name[[:space:]]*: //p' /proc/cpuinfo | head -n1), $(wine --version 2>/dev/null), $(date -u +%Y-%m-%d)"

status=0
bench() {
  echo
  echo "=== $1 ($(date -u +%H:%M) UTC, load average $(cut -d' ' -f1 /proc/loadavg))"
  "build/$2/wineserver.sh" start
  "build/$2/wine-run.sh" "build/$2/bin/cobalin_bench.exe" || status=1
  "build/$2/wineserver.sh" stop
}
bench x86-64 x64
if [ "$run32" = ON ]; then
  if [ "$mode32" = native ]; then
    bench "i686 (native)" i686
  else
    bench "i686, EMULATED: 32-bit programs $mode32; ratios compare, absolute figures do not" i686
  fi
else
  echo
  echo "i686: NOT RUN - $mode32"
fi
exit "$status"
