#!/usr/bin/env bash
# Everything a fresh machine needs to run every test: installs the packages, builds the
# shipped 32-bit module and the 64-bit build, then runs all tests (the 64-bit ones under Wine).
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh

jobs=$(nproc 2>/dev/null || echo 2)
cmake --preset mingw-i686 >/dev/null
cmake --build --preset mingw-i686 -j "$jobs"
cmake --preset mingw-x64 >/dev/null
cmake --build --preset mingw-x64 -j "$jobs"

# One wineserver for the whole run, stopped however the run ends.
build/x64/wineserver.sh start
trap 'build/x64/wineserver.sh stop' EXIT
ctest --preset mingw-i686
# A Wine process very rarely hangs at exit after its test passed; such a time-out is run
# again, while a failure is never retried.
ctest --preset mingw-x64 --repeat after-timeout:2 "$@"
