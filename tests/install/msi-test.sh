#!/usr/bin/env bash
# Tests of the installer package cobalin.msi, run by CTest in the i686 build:
#   msi-test.sh tables  PACKAGE   its tables, read with msiinfo (no program runs)
#   msi-test.sh install PACKAGE   install, reinstall, upgrade, downgrade refusal and removal by
#                                 Wine's 64-bit msiexec in a fresh 64-bit prefix (no 32-bit code
#                                 runs), with the x86-64 doctor looking at the result
#   msi-test.sh session PACKAGE   install, then a whole session of the i686 GUI stand-in with the
#                                 i686 service stand-in through the installed module, then
#                                 removal; exits 77 (skipped) where the kernel refuses 32-bit
#                                 programs
# The environment (set by CTest) names the tools and folders: WIXL, MSIBUILD, MSIINFO, BUILD_MSI,
# WXS, MODULE, BIN_DIR, X64_BIN_DIR, WORK_DIR, SOURCE_DIR.
set -uo pipefail
mode=$1
msi=$2

clsid='{1B872DBC-5A55-43B1-AFF6-4115DD5C3D44}'
libid='{96AAD113-9A21-4162-8DC7-7A02CA59369D}'
upgrade_code='{8FB44712-4087-40E5-B5A4-B305D7738D80}'
uninstall_key='HKLM\Software\Microsoft\Windows\CurrentVersion\Uninstall'

fail() {
  echo "FAIL: $*" >&2
  exit 1
}
check() {  # check WHAT COMMAND...: runs the command, fails the test with WHAT when it fails
  local what=$1
  shift
  "$@" || fail "$what"
}

# The module's version as its resource script states it.
rc_version=$(sed -n 's/^#define COBALIN_VERSION_TEXT "\(.*\)"/\1/p' "$SOURCE_DIR/src/module/cobalin.rc")
[ -n "$rc_version" ] || fail "no COBALIN_VERSION_TEXT in cobalin.rc"

table() { msiinfo export "$1" "$2" | tail -n +4 | tr -d '\r'; }

test_tables() {
  local tables
  tables=$(msiinfo tables "$msi") || fail "msiinfo cannot read $msi"
  grep -qx Registry <<<"$tables" || fail "no Registry table"
  # Registration through the package's own registry table only: no self-registration.
  if grep -qx SelfReg <<<"$tables"; then
    [ -z "$(table "$msi" SelfReg)" ] || fail "the package self-registers a file"
  fi
  [ -z "$(table "$msi" ServiceInstall)" ] || fail "the module's package installs a service"
  [ -z "$(table "$msi" CustomAction)" ] || fail "the package runs custom actions"

  msiinfo suminfo "$msi" | grep -qx 'Template: Intel;1033' || fail "the package is not an x86 package"
  local size
  size=$(stat -c %s "$MODULE")
  [ "$(table "$msi" File)" = "cobalin.dll	Module	cobalin.dll	$size	$rc_version		512	1" ] ||
    fail "File table: $(table "$msi" File)"
  [ "$(table "$msi" Component | cut -f1,3,6)" = "Module	INSTALLDIR	cobalin.dll" ] ||
    fail "Component table: $(table "$msi" Component)"
  grep -qx 'INSTALLDIR	ProgramFilesFolder	Cobalin' <(table "$msi" Directory) || fail "not installed under Program Files"
  grep -qx "ProductVersion	$rc_version" <(table "$msi" Property) || fail "ProductVersion is not $rc_version"
  grep -qx "UpgradeCode	$upgrade_code" <(table "$msi" Property) || fail "UpgradeCode is not $upgrade_code"

  # The registry rows, without their generated names: root 0 is HKEY_CLASSES_ROOT.
  local want got
  want=$(sort <<EOT
0	CLSID\\$clsid		Cobalin pseudo-service	Module
0	CLSID\\$clsid\\InprocServer32		[#cobalin.dll]	Module
0	CLSID\\$clsid\\InprocServer32	ThreadingModel	Free	Module
0	TypeLib\\$libid\\1.0		Cobalin 1.0 Type Library	Module
0	TypeLib\\$libid\\1.0\\FLAGS		0	Module
0	TypeLib\\$libid\\1.0\\HELPDIR		[INSTALLDIR]	Module
0	TypeLib\\$libid\\1.0\\409\\win32		[#cobalin.dll]	Module
EOT
)
  got=$(table "$msi" Registry | cut -f2- | sort)
  [ "$got" = "$want" ] || fail "Registry table differs:"$'\n'"$got"

  # Major upgrade: every older or equal version is removed first; a newer one blocks.
  want=$(sort <<EOT
$upgrade_code	0.0.0	$rc_version		768		COBALIN_REPLACED
$upgrade_code	$rc_version			2		COBALIN_NEWER_INSTALLED
EOT
)
  got=$(table "$msi" Upgrade | sort)
  [ "$got" = "$want" ] || fail "Upgrade table differs:"$'\n'"$got"
  grep -q '^RemoveExistingProducts	' <(table "$msi" InstallExecuteSequence) || fail "no RemoveExistingProducts"
  grep -qx 'NOT COBALIN_NEWER_INSTALLED	.*' <(table "$msi" LaunchCondition) || fail "no downgrade condition"
  echo "msi tables: OK ($msi, version $rc_version)"
}

# --- Running under Wine ---------------------------------------------------------------------

wine_for_64=wine
[ -x /usr/lib/wine/wine64 ] && wine_for_64=/usr/lib/wine/wine64

start_prefix() {  # start_prefix DIR: a fresh prefix with its wineserver kept alive
  export WINEPREFIX=$1 WINEDEBUG=-all WINEDLLOVERRIDES='mscoree,mshtml,winemenubuilder.exe='
  rm -rf "$WINEPREFIX"
  mkdir -p "$WINEPREFIX"
  trap 'wineserver -k >/dev/null 2>&1' EXIT
  wineserver -p >/dev/null 2>&1 </dev/null
  "$wine" wineboot >/dev/null 2>&1 </dev/null
  [ -d "$WINEPREFIX/drive_c/windows" ] || fail "the Wine prefix $WINEPREFIX was not created"
}

reg_query() {  # reg_query VIEW KEY: the key's tree as reg query /s shows it, or nothing
  "$wine" reg query "$2" /s "/reg:$1" 2>/dev/null </dev/null | tr -d '\r'
}
# value_in DUMP KEY NAME: the text of value NAME ("(Default)" for the default value) of KEY
# (written as reg shows it, HKEY_CLASSES_ROOT\...) in a dump of reg_query.
value_in() {
  KEY=$2 NAME=$3 awk '
    BEGIN { key = ENVIRON["KEY"]; name = ENVIRON["NAME"] }  # not -v, which would read escapes
    /^HKEY_/ { here = ($0 == key); next }
    here && $1 != "" {
      line = $0; sub(/^ +/, "", line)
      if (index(line, name " ") == 1) { sub(/^[^ ]+( [^ ]+)* +REG_[A-Z_]+ +/, "", line); print line; exit }
    }' <<<"$1"
}
key_absent() { ! "$wine" reg query "$2" "/reg:$1" >/dev/null 2>&1 </dev/null; }
# How many installed products are named Cobalin, in both views.
installed_entries() {
  { reg_query 32 "$uninstall_key"; reg_query 64 "$uninstall_key"; } | grep -cE 'DisplayName\s+REG_SZ\s+Cobalin$'
}
installed_version() {
  { reg_query 32 "$uninstall_key"; reg_query 64 "$uninstall_key"; } |
    grep -A30 -E 'DisplayName\s+REG_SZ\s+Cobalin$' | sed -n 's/^\s*DisplayVersion\s*REG_SZ\s*//p' | head -n 1
}
msiexec() { "$wine" msiexec "$@" </dev/null; }

module_dir_unix() { echo "$WINEPREFIX/drive_c/Program Files (x86)/Cobalin"; }
module_path='C:\Program Files (x86)\Cobalin\cobalin.dll'

check_installed() {  # the file and every key of the package, in the 32-bit view
  cmp -s "$MODULE" "$(module_dir_unix)/cobalin.dll" || fail "cobalin.dll is not in Program Files (x86)\\Cobalin"
  [ ! -e "$WINEPREFIX/drive_c/Program Files/Cobalin" ] || fail "the x86 package wrote into Program Files"
  local class="HKEY_CLASSES_ROOT\\CLSID\\$clsid" lib="HKEY_CLASSES_ROOT\\TypeLib\\$libid\\1.0" dump
  dump=$(reg_query 32 "$class"; reg_query 32 "$lib")
  local -a expected=(
    "$class|(Default)|Cobalin pseudo-service"
    "$class\\InprocServer32|(Default)|$module_path"
    "$class\\InprocServer32|ThreadingModel|Free"
    "$lib|(Default)|Cobalin 1.0 Type Library"
    "$lib\\409\\win32|(Default)|$module_path"
    "$lib\\FLAGS|(Default)|0"
    "$lib\\HELPDIR|(Default)|C:\\Program Files (x86)\\Cobalin\\"
  )
  local row key name value
  for row in "${expected[@]}"; do
    IFS='|' read -r key name value <<<"$row"
    [ "$(value_in "$dump" "$key" "$name")" = "$value" ] ||
      fail "$key $name is \"$(value_in "$dump" "$key" "$name")\", not \"$value\""
  done
  check "the class key is in the 64-bit view" key_absent 64 "$class"
  [ "$(installed_entries)" = 1 ] || fail "$(installed_entries) installed entries named Cobalin, not 1"
}

check_removed() {
  [ ! -e "$(module_dir_unix)/cobalin.dll" ] || fail "cobalin.dll is left after removal"
  [ ! -e "$(module_dir_unix)" ] || fail "the folder Program Files (x86)\\Cobalin is left after removal"
  local view
  for view in 32 64; do
    check "the class key is left ($view-bit view)" key_absent $view "HKCR\\CLSID\\$clsid"
    check "the type library registration is left ($view-bit view)" key_absent $view "HKCR\\TypeLib\\$libid"
  done
  [ "$(installed_entries)" = 0 ] || fail "an installed entry named Cobalin is left"
}

# A package of another version (or of the same version with a new product code) from the same
# module, built the way the build builds cobalin.msi.
build_package() {  # build_package VERSION OUTPUT
  cmake -DWIXL="$WIXL" -DMSIBUILD="$MSIBUILD" -DWXS="$WXS" -DMODULE="$MODULE" -DOUTPUT="$2" \
    -DVERSION_OVERRIDE="$1" -P "$BUILD_MSI" >/dev/null || fail "package $1 could not be built"
}

test_install() {
  mkdir -p "$WORK_DIR"
  wine=$wine_for_64
  SECONDS=0
  echo "Fresh 64-bit prefix $WORK_DIR/prefix (a minute at most)"
  start_prefix "$WORK_DIR/prefix"

  echo "[${SECONDS}s] msiexec /i (64-bit msiexec, x86 package)"
  msiexec /i "$(winepath -w "$msi")" /qn || fail "msiexec /i failed ($?)"
  check_installed
  run_doctor installed

  echo "[${SECONDS}s] msiexec /i of the same package again (a repair): still one entry"
  msiexec /i "$(winepath -w "$msi")" /qn || fail "the second msiexec /i failed ($?)"
  check_installed

  echo "[${SECONDS}s] A rebuilt package of the same version (new product code) replaces the installed one"
  build_package "$rc_version" "$WORK_DIR/same.msi"
  msiexec /i "$(winepath -w "$WORK_DIR/same.msi")" /qn || fail "msiexec /i of the rebuilt package failed ($?)"
  check_installed

  local major minor build newer
  IFS=. read -r major minor build _ <<<"$rc_version"
  newer="$major.$minor.$((build + 1)).0"
  echo "[${SECONDS}s] An upgrade to $newer replaces the module"
  build_package "$newer" "$WORK_DIR/newer.msi"
  msiexec /i "$(winepath -w "$WORK_DIR/newer.msi")" /qn || fail "msiexec /i of the upgrade failed ($?)"
  check_installed
  [ "$(installed_version)" = "$newer" ] || fail "installed version $(installed_version), not $newer"

  echo "[${SECONDS}s] The older package refuses to install over the newer one"
  if msiexec /i "$(winepath -w "$msi")" /qn; then fail "the older package installed over the newer one"; fi
  check_installed
  [ "$(installed_version)" = "$newer" ] || fail "the downgrade attempt changed the installed version"

  echo "[${SECONDS}s] msiexec /x removes everything"
  msiexec /x "$(winepath -w "$WORK_DIR/newer.msi")" /qn || fail "msiexec /x failed ($?)"
  check_removed
  run_doctor removed
  echo "[${SECONDS}s] msi install, upgrade and removal: OK"
}

# The x86-64 doctor (when the x86-64 build is there) on what the package left.
run_doctor() {
  local doctor="$X64_BIN_DIR/cobalin_install.exe" output rc
  if [ ! -f "$doctor" ]; then
    echo "Note: no x86-64 build at $X64_BIN_DIR: the doctor's look at the package is left out."
    return
  fi
  output=$("$wine_for_64" "$doctor" doctor </dev/null 2>&1 | tr -d '\r')
  rc=${PIPESTATUS[0]}
  echo "$output" | sed 's/^/  doctor: /'
  # Without the service, the doctor finds problems whatever the module's state.
  [ "$rc" -ne 0 ] || fail "the doctor reported a machine without the service as healthy"
  grep -q 'PROBLEM: The service "Tarnswell" is not installed' <<<"$output" || fail "the doctor missed the service"
  case $1 in
    installed)
      grep -qF "OK: The module $module_path (32-bit) is registered in the 32-bit registry view." <<<"$output" ||
        fail "the doctor did not see the installed module"
      grep -qF "OK: The module's type library is registered ($module_path)." <<<"$output" ||
        fail "the doctor did not see the type library"
      ! grep -qE "PROBLEM: The module's (class|type library)" <<<"$output" ||
        fail "the doctor found a problem with the installed module"
      ;;
    removed)
      grep -qF "PROBLEM: The module's class $clsid is not registered in the 32-bit registry view" <<<"$output" ||
        fail "the doctor did not see that the module is gone"
      ;;
  esac
}

test_session() {
  if ! "$SOURCE_DIR/scripts/can-run-32bit.sh"; then
    echo "SKIPPED: this kernel refuses 32-bit programs; the session through the installed module needs the"
    echo "i686 GUI stand-in. Run where 32-bit programs run (with wine32 installed)."
    exit 77
  fi
  mkdir -p "$WORK_DIR"
  wine=wine
  start_prefix "$WORK_DIR/session-prefix"
  msiexec /i "$(winepath -w "$msi")" /qn || fail "msiexec /i failed ($?)"
  check_installed
  # The i686 service stand-in (and its resource module) from the i686 build, in the 32-bit view.
  "$wine" "$BIN_DIR/cobalin_install.exe" install --service-only --seed 7 --tick 20 </dev/null ||
    fail "the service stand-in could not be installed"
  local output rc
  output=$("$wine" "$BIN_DIR/cobalin_install.exe" doctor </dev/null 2>&1 | tr -d '\r')
  rc=${PIPESTATUS[0]}
  echo "$output"
  [ "$rc" -eq 0 ] && grep -q '^Healthy' <<<"$output" || fail "the doctor did not find the machine healthy"

  output=$("$wine" "$BIN_DIR/cobalin_gui.exe" --timeout 120 --script "drives; analyze C; defrag C; report C; exit" \
           </dev/null 2>&1 | tr -d '\r')
  rc=${PIPESTATUS[0]}
  echo "$output"
  [ "$rc" -eq 0 ] || fail "the session through the installed module failed ($rc)"

  "$wine" "$BIN_DIR/cobalin_install.exe" uninstall --service-only </dev/null || fail "the service stand-in stayed"
  msiexec /x "$(winepath -w "$msi")" /qn || fail "msiexec /x failed ($?)"
  check_removed
  echo "msi session: OK"
}

case $mode in
  tables) test_tables ;;
  install) test_install ;;
  session) test_session ;;
  *) fail "unknown mode $mode" ;;
esac
