#!/usr/bin/env bash
# Fails unless the module exports exactly the four COM entry points, undecorated, at
# ordinals 1 to 4.
set -euo pipefail
dll=$1
# The cross binutils read the PE file on any host; setup installs them.
objdump=$(command -v i686-w64-mingw32-objdump || command -v objdump)
dump=$("$objdump" -p "$dll")
expected="1 DllCanUnloadNow
2 DllGetClassObject
3 DllRegisterServer
4 DllUnregisterServer"
# The "[Ordinal/Name Pointer] Table" lists "[ n] name" with ordinals relative to the base.
base=$(printf '%s\n' "$dump" | awk '/^Ordinal Base/ {print $3}')
actual=$(printf '%s\n' "$dump" | awk -v base="$base" '
  /^\[Ordinal\/Name Pointer\] Table/ {t=1; next}
  t && /^[[:space:]]*\[/ {gsub(/[\[\]]/,""); print $1+base, $2; next}
  t && !/^[[:space:]]*\[/ {t=0}' | sort -n)
if [ "$actual" != "$expected" ]; then
  echo "export table of $dll is wrong:"; printf '%s\n' "$actual"
  echo "expected:"; printf '%s\n' "$expected"
  exit 1
fi
echo "exports of $dll: ok"
