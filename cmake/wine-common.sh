# Shared by the configured Wine scripts of a build tree (wine-run.sh, wineserver.sh and the
# end-to-end pair); sourced, never run. Expects WINEPREFIX and COBALIN_ARCH (x64 or i686).

# The loader for this build's programs. x86-64 programs start through the 64-bit loader
# directly: the wrapper "wine" would start the 32-bit loader first where wine32 is installed,
# which only re-executes the 64-bit one. i686 programs start through the 32-bit loader (WoW64
# in the 64-bit prefix). Where Debian's loaders are not there, the wrapper decides.
cobalin_loader() {
  case "$COBALIN_ARCH" in
    x64) [ -x /usr/lib/wine/wine64 ] && { echo /usr/lib/wine/wine64; return; } ;;
    i686) [ -x /usr/lib/wine/wine ] && { echo /usr/lib/wine/wine; return; } ;;
  esac
  echo wine
}

# Runs a program of this build with its loader and returns its status. Rarely (about one start
# in a thousand in long test loops) Debian's Wine loader cannot map the shared user data page
# at its fixed address, because this start's randomized address layout put something there
# ("failed to map the shared user data: c0000018", shown only with err+ traces), and ends with
# status 1 some 20 ms after it began, long before any Windows code can run (a program's start
# takes well over 100 ms). Such a start is made once more, with a fresh layout. A program that
# fails for its own reasons has run for longer than that, and one that fails that early every
# time fails again the same way, so no failure of a program is hidden.
cobalin_run() {
  run_loader_=$(cobalin_loader)
  run_started_=$(date +%s%N)
  "$run_loader_" "$@"
  run_status_=$?
  [ "$run_status_" -eq 0 ] && return 0
  run_elapsed_=$(( ($(date +%s%N) - run_started_) / 1000000 ))
  [ "$run_elapsed_" -lt 50 ] || return "$run_status_"
  echo "wine-run: the Wine loader ended with status $run_status_ after $run_elapsed_ ms, before the program could start; starting it once more" >&2
  "$run_loader_" "$@"
}

# The loader that builds the prefix: the 64-bit one, so that the prefix is an ordinary 64-bit
# one holding the 32-bit half too when wine32 is installed.
cobalin_prefix_loader() {
  if [ -x /usr/lib/wine/wine64 ]; then echo /usr/lib/wine/wine64; else echo wine; fi
}

# The loader set a prefix is made with. A prefix made without the 32-bit loader lacks the
# 32-bit system files, and once wine32 is installed every start through the 32-bit loader
# fails with "could not load kernel32.dll, status c0000135"; a prefix is therefore recorded
# with its set and made anew when the set changes.
cobalin_loader_set() {
  set_=""
  [ -x /usr/lib/wine/wine64 ] && set_="$set_ wine64"
  [ -x /usr/lib/wine/wine ] && set_="$set_ wine32"
  echo "loaders:${set_:- wrapper}"
}

cobalin_prefix_mark="$WINEPREFIX/.cobalin-loaders"

cobalin_prefix_stale() {
  [ -d "$WINEPREFIX/drive_c" ] || return 1
  [ "$(cat "$cobalin_prefix_mark" 2>/dev/null)" != "$(cobalin_loader_set)" ]
}

cobalin_prefix_drop() {
  wineserver -k >/dev/null 2>&1 </dev/null || true
  timeout 30 wineserver -w >/dev/null 2>&1 </dev/null || true
  rm -rf "$WINEPREFIX"
}

# Builds the prefix with the 64-bit loader and records its loader set. Started with this
# build's own loader, a program of the prefix must then find its system files; if it does not
# ("could not load kernel32.dll, status c0000135"), the prefix is made anew once.
cobalin_prefix_make() {
  mkdir -p "$WINEPREFIX"
  "$(cobalin_prefix_loader)" wineboot.exe >/dev/null 2>&1 </dev/null || true
  if "$(cobalin_loader)" cmd.exe /c exit 0 2>&1 </dev/null | grep -q c0000135; then
    echo "wine: $WINEPREFIX cannot start this build's programs (c0000135); making it anew" >&2
    cobalin_prefix_drop
    mkdir -p "$WINEPREFIX"
    [ "${cobalin_persistent:-0}" = 1 ] && { wineserver -p >/dev/null 2>&1 </dev/null || true; }
    "$(cobalin_prefix_loader)" wineboot.exe >/dev/null 2>&1 </dev/null || true
  fi
  cobalin_loader_set >"$cobalin_prefix_mark"
}

# Starts the prefix's wineserver (kept when already running) and builds the prefix on first
# use, or anew when its loader set changed. Quiet: the wineserver stays in the background and
# must not hold the caller's output open (CTest waits for it to close). wineboot also starts
# the prefix's service control manager once ("wineboot -i" would start a second services.exe
# beside the first; the two then lock each other out and every service start times out).
cobalin_prefix_start() {
  if cobalin_prefix_stale; then
    echo "wine: $WINEPREFIX was made with another loader set; making it anew" >&2
    cobalin_prefix_drop
  fi
  mkdir -p "$WINEPREFIX"
  wineserver -p >/dev/null 2>&1 </dev/null || true
  cobalin_persistent=1 cobalin_prefix_make
}
