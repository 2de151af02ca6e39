#!/usr/bin/env bash
# Installs what the build and the tests need from Debian's packages. Idempotent: quiet and
# quick when everything is there already.
set -euo pipefail
cd "$(dirname "$0")/.."
packages=(
  cmake make
  g++-mingw-w64-i686-posix g++-mingw-w64-x86-64-posix
  binutils-mingw-w64-i686 binutils-mingw-w64-x86-64 mingw-w64-tools
  wine wine64
  googletest
  wixl msitools
)
# 32-bit Wine runs the i686 build's tests under WoW64. Installed only where the kernel runs
# 32-bit programs: elsewhere the "wine" wrapper would pick its 32-bit loader for every program
# and nothing would start.
packages32=(
  wine32:i386
)

sudo=""
[ "$(id -u)" -ne 0 ] && sudo="sudo"
export DEBIAN_FRONTEND=noninteractive
# Waits (boundedly) for another apt or dpkg that holds the lock instead of failing at once.
apt=($sudo apt-get -qq -o DPkg::Lock::Timeout=300)

installed() { dpkg-query -W -f='${Status}' "$1" 2>/dev/null | grep -q 'install ok installed'; }

missing=()
for p in "${packages[@]}"; do installed "$p" || missing+=("$p"); done
if [ ${#missing[@]} -gt 0 ]; then
  echo "setup: installing ${missing[*]}"
  "${apt[@]}" update
  "${apt[@]}" install -y --no-install-recommends "${missing[@]}" >/dev/null
fi

scripts/can-run-32bit.sh || exit 0
missing=()
for p in "${packages32[@]}"; do installed "$p" || missing+=("$p"); done
[ ${#missing[@]} -eq 0 ] && exit 0
echo "setup: installing ${missing[*]} (32-bit Wine for the i686 tests)"
dpkg --print-foreign-architectures | grep -qx i386 || $sudo dpkg --add-architecture i386
"${apt[@]}" update
"${apt[@]}" install -y --no-install-recommends "${missing[@]}" >/dev/null
