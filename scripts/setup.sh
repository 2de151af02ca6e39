#!/usr/bin/env bash
# Installs what the build and the tests need from Debian's packages, and makes 32-bit programs
# run wherever it can: natively where the kernel runs them, otherwise under user-mode emulation
# (qemu-i386 through binfmt_misc). Idempotent: quiet and quick when everything is there already.
# Where 32-bit programs cannot be made to run, it says why on one line and keeps that line in
# build/run32-unavailable, which scripts/can-run-32bit.sh --mode repeats to those who ask.
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
# 32-bit Wine runs the i686 build's tests under WoW64. Installed only once 32-bit programs run
# (natively or emulated): elsewhere the "wine" wrapper would pick its 32-bit loader for every
# program and nothing would start.
packages32=(
  wine32:i386
)
# The oldest emulator that runs 32-bit Wine: older ones ignore MAP_FIXED_NOREPLACE, and every
# 32-bit Wine start then fails after about a minute ("failed to map the shared user data").
qemu_min=1:8.1
# i386 ELF files (any ABI version, executables and shared objects) go to qemu-i386. Flags: F
# opens the interpreter now, so that it also works inside namespaces and chroots that cannot see
# it; O hands it the program as an open file (so programs readable but not executable run too);
# P keeps the program's own argv[0].
binfmt=/proc/sys/fs/binfmt_misc
binfmt_magic='\x7fELF\x01\x01\x01\x00\x00\x00\x00\x00\x00\x00\x00\x00\x02\x00\x03\x00'
binfmt_mask='\xff\xff\xff\xff\xff\xfe\xfe\x00\xff\xff\xff\xff\xff\xff\xff\xff\xfe\xff\xff\xff'

sudo=""
[ "$(id -u)" -ne 0 ] && sudo="sudo"
export DEBIAN_FRONTEND=noninteractive
# Waits (boundedly) for another apt or dpkg that holds the lock instead of failing at once.
apt=($sudo apt-get -qq -o DPkg::Lock::Timeout=300)
mkdir -p build
apt_log=build/setup-apt.log
unavailable=build/run32-unavailable
rm -f "$unavailable"

installed() { dpkg-query -W -f='${Status}' "$1" 2>/dev/null | grep -q 'install ok installed'; }

# apt-get update, tried three times, 20 s apart: a mirror in the middle of a sync serves an index
# whose size does not match its release file ("Mirror sync in progress?") for a while. When the
# last try still fails, the indexes that did arrive are used and the caller is told so.
update_ok=""
apt_update() {
  local try
  for try in 1 2 3; do
    if "${apt[@]}" update >"$apt_log" 2>&1; then update_ok=1; return 0; fi
    [ "$try" -lt 3 ] && sleep 20
  done
  update_ok=""
  echo "setup: apt-get update failed three times (see $apt_log); going on with the indexes that arrived"
  return 1
}

missing=()
for p in "${packages[@]}"; do installed "$p" || missing+=("$p"); done
if [ ${#missing[@]} -gt 0 ]; then
  echo "setup: installing ${missing[*]}"
  apt_update || true
  "${apt[@]}" install -y --no-install-recommends "${missing[@]}" >/dev/null
fi

# Says why 32-bit programs will not run here, keeps the reason for the callers, and ends the
# set-up successfully: the x86-64 side is complete.
no32() {
  echo "setup: 32-bit programs cannot run here: $*"
  echo "$*" >"$unavailable"
  exit 0
}

# The release's code name and the configured source that serves it, as a deb822 stanza body
# (URIs, Components, Signed-By) for a sibling suite such as "<release>-backports".
codename=$(. /etc/os-release && echo "${VERSION_CODENAME:-}")
release_source() {
  local f
  for f in /etc/apt/sources.list.d/*.sources; do
    [ -e "$f" ] || continue
    awk -v suite="$codename" '
      BEGIN { RS = ""; FS = "\n" }
      { hit = 0; uris = ""; comps = ""; key = ""
        for (i = 1; i <= NF; i++) {
          if ($i ~ /^Suites:/) { n = split(substr($i, 8), s, " "); for (j = 1; j <= n; j++) if (s[j] == suite) hit = 1 }
          if ($i ~ /^URIs:/) uris = $i
          if ($i ~ /^Components:/) comps = $i
          if ($i ~ /^Signed-By:/) key = $i }
        if (hit && uris != "") { print uris; print comps; if (key != "") print key; exit } }' "$f"
  done | head -n3
  [ -e /etc/apt/sources.list ] &&
    awk -v suite="$codename" '$1 == "deb" && $3 == suite { print "URIs: " $2; printf "Components:"; for (i = 4; i <= NF; i++) printf " %s", $i; print ""; exit }' /etc/apt/sources.list
  true
}

qemu_version() { dpkg-query -W -f='${Version}' qemu-user-static 2>/dev/null || true; }
qemu_new_enough() {
  local v
  v=$(qemu_version)
  [ -n "$v" ] && installed qemu-user-static && dpkg --compare-versions "$v" ge "$qemu_min"
}

# Installs qemu-user-static of version 8.1 or newer: the release's own where it is new enough,
# otherwise the one of the release's backports suite, added beside the release's own source
# (the same mirror) when it is not configured yet.
install_qemu() {
  qemu_new_enough && return 0
  local candidate
  candidate=$(apt-cache policy qemu-user-static 2>/dev/null | sed -n 's/^ *Candidate: //p')
  if [ -n "$candidate" ] && [ "$candidate" != "(none)" ] && dpkg --compare-versions "$candidate" ge "$qemu_min"; then
    echo "setup: installing qemu-user-static $candidate (32-bit programs under emulation)"
    "${apt[@]}" install -y --no-install-recommends qemu-user-static >>"$apt_log" 2>&1 ||
      { why="qemu-user-static could not be installed (see $apt_log)"; return 1; }
  else
    [ -n "$codename" ] || { why="the release has no code name to find its backports suite by"; return 1; }
    local backports=$codename-backports list=/etc/apt/sources.list.d/cobalin-backports.sources
    if ! grep -rqsw -- "$backports" /etc/apt/sources.list /etc/apt/sources.list.d/; then
      local source
      source=$(release_source)
      [ -n "$source" ] || { why="no configured source serves $codename, so $backports cannot be added"; return 1; }
      echo "setup: adding the suite $backports (qemu-user-static $qemu_min or newer) from the source that serves $codename"
      printf 'Types: deb\n%s\nSuites: %s\n' "$source" "$backports" | $sudo tee "$list" >/dev/null
      apt_update || true
    fi
    echo "setup: installing qemu-user-static from $backports (32-bit programs under emulation)"
    "${apt[@]}" install -y --no-install-recommends -t "$backports" qemu-user-static >>"$apt_log" 2>&1 ||
      { why="qemu-user-static could not be installed from $backports (see $apt_log)"; return 1; }
  fi
  qemu_new_enough || { why="qemu-user-static $(qemu_version) is older than ${qemu_min#1:}"; return 1; }
}

# The emulator's own binary for i386 programs.
qemu_i386() {
  local q
  for q in /usr/bin/qemu-i386-static /usr/bin/qemu-i386; do
    [ -x "$q" ] && { echo "$q"; return 0; }
  done
  return 1
}

# Mounts binfmt_misc where it is not mounted and registers qemu-i386 for i386 ELF files unless
# some entry already takes them (that entry is left as it is).
register_qemu() {
  [ -e "$binfmt/register" ] || $sudo mount -t binfmt_misc binfmt_misc "$binfmt" 2>/dev/null ||
    { why="binfmt_misc is not in this kernel or cannot be mounted"; return 1; }
  local entry
  for entry in "$binfmt"/*; do
    case "${entry##*/}" in register | status) continue ;; esac
    [ -f "$entry" ] && grep -q '^magic 7f454c46010101000000000000000000020003' "$entry" && return 0
  done
  local q
  q=$(qemu_i386) || { why="the installed qemu-user-static has no qemu-i386"; return 1; }
  echo "setup: registering $q for i386 programs with binfmt_misc (until the next boot)"
  printf '%s' ":qemu-i386:M::$binfmt_magic:$binfmt_mask:$q:OPF" | $sudo tee "$binfmt/register" >/dev/null ||
    { why="qemu-i386 could not be registered with binfmt_misc"; return 1; }
}

if [ "${COBALIN_FORCE_NO_32BIT:-0}" = 1 ]; then
  no32 "COBALIN_FORCE_NO_32BIT=1 makes the 32-bit probe fail"
fi
if ! scripts/can-run-32bit.sh; then
  why=""
  if [ -n "$sudo" ] && ! sudo -n true 2>/dev/null; then
    no32 "this kernel does not run 32-bit programs, and emulating them needs root"
  fi
  { install_qemu && register_qemu; } || no32 "this kernel does not run 32-bit programs, and $why"
  scripts/can-run-32bit.sh ||
    no32 "this kernel does not run 32-bit programs, and they do not run under qemu-i386 either"
fi

# The i386 side from the versions the indexes at hand offer. Where an index of the mirror did not
# arrive (the security suite's i386 index in the middle of a sync, say), an amd64 library may be
# installed at a version its i386 twin cannot have, and such twins must be the same version.
# Each round asks apt (simulated) what stands in the way and pins every such library, amd64 and
# i386 alike, to the version the i386 side can have (the release's own); nothing is removed.
fallback_i386() {
  local round plan name v386 v64 changed
  pins=()
  for round in $(seq 1 12); do
    # -q, not -qq: the quieter mode leaves out the list of what is unmet.
    plan=$($sudo apt-get -q -o DPkg::Lock::Timeout=300 install -s -y --no-install-recommends --allow-downgrades \
             "${missing[@]}" "${pins[@]}" 2>&1) && break
    changed=""
    for name in $(printf '%s\n' "$plan" | grep -oE '(^ +[a-z0-9][a-z0-9.+-]*(:i386)?|(Depends|Breaks|PreDepends): [a-z0-9][a-z0-9.+-]*)' |
                  sed -E 's/^ +//; s/^[A-Za-z]+: //; s/:i386$//' | sort -u); do
      v386=$(apt-cache policy "$name:i386" 2>/dev/null | sed -n 's/^ *Candidate: //p')
      v64=$(dpkg-query -W -f='${Version}' "$name:amd64" 2>/dev/null || true)
      [ -n "$v386" ] && [ "$v386" != "(none)" ] && [ -n "$v64" ] && [ "$v64" != "$v386" ] || continue
      apt-cache show "$name:i386=$v386" 2>/dev/null | grep -qx 'Multi-Arch: same' || continue
      printf '%s\n' "${pins[@]}" | grep -qx "$name:amd64=$v386" && continue
      pins+=("$name:amd64=$v386" "$name:i386=$v386")
      changed=1
    done
    [ -n "$changed" ] || return 1
  done
  [ ${#pins[@]} -gt 0 ] || return 1
  echo "setup: the i386 side could not match every installed amd64 library; installing with these held to the versions both sides have: ${pins[*]}"
  "${apt[@]}" install -y --no-install-recommends --allow-downgrades "${missing[@]}" "${pins[@]}" >>"$apt_log" 2>&1
}

missing=()
for p in "${packages32[@]}"; do installed "$p" || missing+=("$p"); done
[ ${#missing[@]} -eq 0 ] && exit 0
echo "setup: installing ${missing[*]} (32-bit Wine for the i686 tests)"
dpkg --print-foreign-architectures | grep -qx i386 || $sudo dpkg --add-architecture i386
apt_update || true
if "${apt[@]}" install -y --no-install-recommends "${missing[@]}" >>"$apt_log" 2>&1; then exit 0; fi
fallback_i386 || no32 "wine32 could not be installed (see $apt_log)"
