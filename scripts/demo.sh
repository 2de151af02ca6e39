#!/usr/bin/env bash
# The demonstration: on a fresh machine, installs what is missing, builds, installs the module
# and the Tarnswell service stand-in into a Wine prefix of its own, and runs a whole session
# with the GUI stand-in while the trace viewer records the module's trace:
#   connect (the module starts the stopped service on demand), drive list, analyse drive C,
#   defragment it, show the fragmented-file report, exit.
# It runs the shipped configuration wherever 32-bit programs run: the 32-bit module, installed
# from cobalin.msi and loaded by the 32-bit GUI stand-in, with the 32-bit service stand-in; where
# the kernel refuses 32-bit programs they run under user-mode emulation (scripts/setup.sh sets
# it up). Only where neither works (scripts/can-run-32bit.sh) or Wine cannot run them (no
# wine32) does it run the x86-64 build of everything instead. Its first line says which it runs.
# The doctor (cobalin_install doctor) looks at the prefix before the session and after it. The
# session's lines (commands, progress bars, report) appear on the screen as they happen.
# Exit status 0 only when every step worked; otherwise a message says which step failed.
# Logs: build/<i686 or x64>/demo/ (build.log, session.log, trace.log, service.log).
set -uo pipefail
cd "$(dirname "$0")/.."
root=$PWD

step() { printf '\n=== %s\n' "$*"; }
fail() {
  printf '\ndemo: FAILED: %s\n' "$*" >&2
  [ -d "${out:-}" ] && printf 'demo: logs are in %s\n' "$out" >&2
  exit 1
}

# The set-up decides how 32-bit programs run here, so it runs before the first line, which says
# what the demonstration runs; what it printed follows that line.
setup_out=$(scripts/setup.sh 2>&1) || { printf '%s\n' "$setup_out" >&2; fail "the packages could not be installed (scripts/setup.sh)"; }

# The shipped configuration needs 32-bit programs to run (natively or emulated) and Wine's
# 32-bit loader.
arch=x64
if ! mode32=$(scripts/can-run-32bit.sh --mode); then
  about="the x86-64 build of the module and the stand-ins, because $mode32"
elif [ ! -x /usr/lib/wine/wine ]; then
  about="the x86-64 build of the module and the stand-ins, because Wine cannot run 32-bit programs here (no wine32)"
else
  arch=i686
  about="the shipped 32-bit configuration (32-bit programs $mode32): the i686 module installed from cobalin.msi, the i686 GUI and service stand-ins"
fi
echo "demo: running $about."

step "Setting up the packages"
if [ -n "$setup_out" ]; then printf '%s\n' "$setup_out"; else echo "Everything was installed already."; fi

bin=$root/build/$arch/bin
out=$root/build/$arch/demo
mkdir -p "$out"
rm -f "$out"/session.log "$out"/trace.log "$out"/service.log

step "Building ($arch)"
# Only what the demonstration runs: the module (the i686 one with its package), the service
# stand-in with the resource module it registers, the GUI stand-in, the installation program
# and the trace viewer; not the test programs. The build's output goes to a log, shown whole
# only when the build fails.
targets=(cobalin tarnswell_res tarnswell_service cobalin_gui cobalin_install cobalin_traceview)
[ "$arch" = i686 ] && targets+=(cobalin_msi)
jobs=$(nproc 2>/dev/null || echo 2)
build_log=$out/build.log
if ! { cmake --preset "mingw-$arch" && cmake --build --preset "mingw-$arch" -j "$jobs" --target "${targets[@]}"; } \
  >"$build_log" 2>&1; then
  cat "$build_log" >&2
  fail "the build failed (its whole output is above, and in $build_log)"
fi
echo "Built ${targets[*]} (the build's output: $build_log)."

export WINEPREFIX=$root/build/$arch/demo-prefix
export WINEDEBUG=-all
export WINEDLLOVERRIDES='mscoree,mshtml,winemenubuilder.exe='
# The same loaders and prefix handling as the tests: the build's own loader, a prefix made anew
# when the loader set it was made with has changed (say, wine32 installed since).
COBALIN_ARCH=$arch
. "$root/cmake/wine-common.sh"
wine=cobalin_run

viewer=
cleanup() {
  [ -n "$viewer" ] && kill "$viewer" 2>/dev/null
  wineserver -k 2>/dev/null
}
trap cleanup EXIT

step "Starting Wine in $WINEPREFIX"
# Builds the prefix on first use (a minute at most), starts its one service control manager and
# keeps its wineserver for the whole demonstration.
cobalin_prefix_start

step "Installing the module and the Tarnswell service stand-in"
# Whatever an earlier run left.
if [ "$arch" = i686 ]; then
  "$wine" msiexec /x "$(winepath -w "$root/build/i686/cobalin.msi" 2>/dev/null)" /qn >/dev/null 2>&1 </dev/null || true
fi
"$wine" "$bin/cobalin_install.exe" uninstall >/dev/null 2>&1 </dev/null || true
service_log=$(winepath -w "$out/service.log" 2>/dev/null) || fail "winepath could not name the log file"
if [ "$arch" = i686 ]; then
  # As an administrator installs it: the package, then the service (here its stand-in).
  msi=$(winepath -w "$root/build/i686/cobalin.msi" 2>/dev/null) || fail "winepath could not name cobalin.msi"
  "$wine" msiexec /i "$msi" /qn </dev/null || fail "msiexec /i cobalin.msi failed"
  echo "Installed cobalin.msi."
  "$wine" "$bin/cobalin_install.exe" install --service-only --seed 7 --tick 40 --log "$service_log" </dev/null ||
    fail "the service stand-in could not be installed"
else
  "$wine" "$bin/cobalin_install.exe" install --seed 7 --tick 40 --log "$service_log" </dev/null ||
    fail "the installation failed"
fi

step "The doctor, before the session"
"$wine" "$bin/cobalin_install.exe" doctor </dev/null ||
  fail "the doctor found the prefix not ready for the module (its sentences above say why)"

step "Starting the trace viewer"
"$wine" "$bin/cobalin_traceview.exe" --seconds 600 --until "TW4_5::ID_FENUI_EXIT Done" >"$out/trace.log" 2>&1 &
viewer=$!
for _ in $(seq 1 300); do
  grep -q '^# listening' "$out/trace.log" 2>/dev/null && break
  kill -0 "$viewer" 2>/dev/null || fail "the trace viewer ended at once: $(cat "$out/trace.log")"
  sleep 0.1
done
grep -q '^# listening' "$out/trace.log" || fail "the trace viewer did not start listening"

step "The session: connect, drives, analyse C, defragment C, report C, exit"
# Into a file, shown as it grows: a program the session starts (Wine's desktop process, after a
# message box) may keep a pipe open long after the session has ended. The file exists before
# anything reads it, and the GUI stand-in writes each line (and each tenth of a progress bar) as
# it happens, so the session is on the screen while it runs.
: >"$out/session.log"
"$wine" "$bin/cobalin_gui.exe" --timeout 120 --script "drives; analyze C; defrag C; report C; exit" \
  >>"$out/session.log" 2>&1 </dev/null &
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

step "The doctor, after the session"
# What the session left: the service runs now (the module started it), its pipe still answers.
if ! "$wine" "$bin/cobalin_install.exe" doctor </dev/null; then
  fail "the doctor found problems after the session (its sentences above say which)"
fi
printf '\ndemo: OK (%s): the module connected the GUI stand-in to the service (started on\n' "$arch"
printf 'demand), analysed and defragmented drive C:, delivered the report and shut down cleanly.\n'
exit 0
