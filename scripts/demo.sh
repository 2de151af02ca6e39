#!/usr/bin/env bash
# The demonstration: on a fresh machine, installs what is missing, builds, installs the module
# and the Tarnswell service stand-in into a Wine prefix of its own, and runs a whole session
# with the GUI stand-in while the trace viewer records the module's trace:
#   connect (the module starts the stopped service on demand), drive list, analyse drive C,
#   defragment it, show the fragmented-file report, exit.
# Exit status 0 only when every step worked; otherwise a message says which step failed.
# Logs: build/x64/demo/ (session.log, trace.log, service.log).
set -uo pipefail
cd "$(dirname "$0")/.."
root=$PWD

step() { printf '\n=== %s\n' "$*"; }
fail() {
  printf '\ndemo: FAILED: %s\n' "$*" >&2
  [ -d "${out:-}" ] && printf 'demo: logs are in %s\n' "$out" >&2
  exit 1
}

step "Setting up the packages"
scripts/setup.sh || fail "the packages could not be installed (scripts/setup.sh)"

step "Building (x86-64, run under Wine)"
jobs=$(nproc 2>/dev/null || echo 2)
cmake --preset mingw-x64 >/dev/null || fail "cmake could not configure the build"
cmake --build --preset mingw-x64 -j "$jobs" || fail "the build failed"

bin=$root/build/x64/bin
out=$root/build/x64/demo
mkdir -p "$out"
rm -f "$out"/session.log "$out"/trace.log "$out"/service.log
export WINEPREFIX=$root/build/x64/demo-prefix
export WINEDEBUG=-all
export WINEDLLOVERRIDES='mscoree,mshtml,winemenubuilder.exe='

viewer=
cleanup() {
  [ -n "$viewer" ] && kill "$viewer" 2>/dev/null
  wineserver -k 2>/dev/null
}
trap cleanup EXIT

step "Starting Wine in $WINEPREFIX"
mkdir -p "$WINEPREFIX"
# Quiet: the wineserver stays in the background and would hold on to this script's output.
wineserver -p >/dev/null 2>&1 || fail "the wineserver did not start"
# Builds the prefix on first use (a minute at most) and starts its one service control manager.
wineboot >/dev/null 2>&1 || true

step "Installing the module and the Tarnswell service stand-in"
wine "$bin/cobalin_install.exe" uninstall >/dev/null 2>&1 || true
service_log=$(winepath -w "$out/service.log" 2>/dev/null) || fail "winepath could not name the log file"
wine "$bin/cobalin_install.exe" install --seed 7 --tick 40 --log "$service_log" ||
  fail "the installation failed"
wine "$bin/cobalin_install.exe" status

step "Starting the trace viewer"
wine "$bin/cobalin_traceview.exe" --seconds 600 --until "TW4_5::ID_FENUI_EXIT Done" >"$out/trace.log" 2>&1 &
viewer=$!
for _ in $(seq 1 300); do
  grep -q '^# listening' "$out/trace.log" 2>/dev/null && break
  kill -0 "$viewer" 2>/dev/null || fail "the trace viewer ended at once: $(cat "$out/trace.log")"
  sleep 0.1
done
grep -q '^# listening' "$out/trace.log" || fail "the trace viewer did not start listening"

step "The session: connect, drives, analyse C, defragment C, report C, exit"
# Into a file, shown as it grows: a program the session starts (Wine's desktop process, after a
# message box) may keep a pipe open long after the session has ended.
wine "$bin/cobalin_gui.exe" --timeout 120 --script "drives; analyze C; defrag C; report C; exit" \
  >"$out/session.log" 2>&1 &
gui=$!
tail -n +1 -f --pid="$gui" "$out/session.log"
wait "$gui"
session=$?

# The viewer stops by itself at the module's last line of the exit; give it a moment.
for _ in $(seq 1 200); do
  kill -0 "$viewer" 2>/dev/null || break
  sleep 0.1
done
kill "$viewer" 2>/dev/null
viewer=

step "Checking"
if [ "$session" -ne 0 ]; then
  what=$(grep -o 'The step "[^"]*" did not work' "$out/session.log" | head -n 1)
  fail "the session did not work${what:+ (${what#The })}; see $out/session.log"
fi
for line in "TW4_0::ID_DRIVE_DATA" "TW4_0::ID_ENGINE_START" "TW4_5::ID_FENUI_EXIT Done"; do
  grep -q "$line" "$out/trace.log" || fail "the trace viewer did not see the module's line \"$line\""
done
lines=$(grep -c 'Thread ' "$out/trace.log")
echo "The trace viewer recorded $lines lines of the module's trace ($out/trace.log)."
echo "The service's log: $out/service.log"
printf '\ndemo: OK: the module connected the GUI stand-in to the service (started on demand),\n'
printf 'analysed and defragmented drive C:, delivered the report and shut down cleanly.\n'
exit 0
