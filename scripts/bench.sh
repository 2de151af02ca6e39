#!/usr/bin/env bash
# Builds the 64-bit build and runs the benchmark (bench/bench.cpp) once under Wine, in the
# build's own prefix. Prints the tables; the figures are recorded in docs/benchmark.md.
set -euo pipefail
cd "$(dirname "$0")/.."

cmake --preset mingw-x64 >/dev/null
cmake --build --preset mingw-x64 -j "$(nproc 2>/dev/null || echo 2)" --target cobalin_bench

build/x64/wineserver.sh start
trap 'build/x64/wineserver.sh stop' EXIT

echo "Machine: $(nproc) CPUs, $(sed -n 's/^model name[[:space:]]*: //p' /proc/cpuinfo | head -n1), $(wine --version 2>/dev/null), $(date -u +%Y-%m-%d)"
build/x64/wine-run.sh build/x64/bin/cobalin_bench.exe
