#!/usr/bin/env bash
# The setup program from packaging/nsis, built around the built binaries and
# the stand-ins, on a machine with an older installation:
#
# 1. Refusals end with exit code 2 and nothing installed: a silent run
#    without /REMOVEINCOMPATIBLE while incompatible products are installed
#    (the cleaner never runs), a library whose PreInstall answers "cannot be
#    installed" (no later step runs, the library is released), and one whose
#    DllInstallFunction fails after the files were installed (they are
#    taken back, and the old "Install Dir" with them).
# 2. `setup.exe /S /REMOVEINCOMPATIBLE` installs: the cleaner ran twice, the
#    data file moved, the old service is gone, the install facts are
#    written, the locale files wait for deletion at restart, the files and
#    the uninstaller registration are in place, and the installed
#    RvqUpgd.exe sets the restart flag for an older build.
# 3. The uninstaller, run silently, removes two profiles' data, the files
#    and keys it added, and leaves the machine's other files and keys alone.
#
# Everything it adds to the run's prefix is removed afterwards. The
# installers are built with zlib: LZMA takes a minute and more for the
# development build's binaries.
set -u
root=$1
bin=$2
version=$3
: "${WINEPREFIX:?set WINEPREFIX to the test prefix}"
log="$WINEPREFIX.log"
c="$WINEPREFIX/drive_c"
failures=0
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }
started=$(date +%s)

reg_quiet() { wine reg "$@" >/dev/null 2>&1; }
key_exists() { reg_quiet query "$1"; }
reg_value() {  # KEY VALUE -> "TYPE DATA", or nothing
  wine reg query "$1" /v "$2" 2>/dev/null | tr -d '\r' |
    awk -v v="$2" 'index($0, "    " v "    ") == 1 { sub("^    " v "    ", ""); sub("    ", " "); print }'
}
setup_log() { iconv -f UTF-16 -t UTF-8 "$1" 2>/dev/null | tr -d '\r'; }

product='HKLM\SOFTWARE\Bryxen\RVQ'
uninstall_key='HKLM\SOFTWARE\Microsoft\Windows\CurrentVersion\Uninstall\RVQ'
source_key='HKLM\Software\BryxenOnline\Tovrin Service'
session='HKLM\System\CurrentControlSet\Control\Session Manager'
profiles='HKLM\SOFTWARE\Microsoft\Windows NT\CurrentVersion\ProfileList'
other_key='HKLM\SOFTWARE\Bryxen\SetupTestOther'
work="$c/rvqsetup"
instdir="$c/rvqsetup-old/RVQ"
instdir_win='C:\rvqsetup-old\RVQ'

had_bryxen=0; key_exists 'HKLM\SOFTWARE\Bryxen' && had_bryxen=1
had_product=0; key_exists "$product" && had_product=1
had_online=0; key_exists 'HKLM\Software\BryxenOnline' && had_online=1
had_pending=0
wine reg query "$session" /v PendingFileRenameOperations >/dev/null 2>&1 && had_pending=1
rm -rf "$work"
mkdir -p "$work/records"
if [ $had_pending = 1 ]; then
  wine reg export "$session" 'C:\rvqsetup-session.reg' /y >/dev/null 2>&1 || fail "cannot save the Session Manager key"
fi

restore() {
  wine sc stop rvq9 >/dev/null 2>&1
  wine sc delete rvq9 >/dev/null 2>&1
  reg_quiet delete "$uninstall_key" /f
  reg_quiet delete "$other_key" /f
  reg_quiet delete "$source_key" /f
  [ $had_online = 1 ] || reg_quiet delete 'HKLM\Software\BryxenOnline' /f
  [ $had_product = 1 ] || reg_quiet delete "$product" /f
  if [ $had_bryxen = 0 ] && ! wine reg query 'HKLM\SOFTWARE\Bryxen' /s 2>/dev/null | grep -q REG_; then
    reg_quiet delete 'HKLM\SOFTWARE\Bryxen' /f
  fi
  for user in alice bob; do
    reg_quiet delete "$profiles\\S-1-5-21-4242-setup-$user" /f
    rm -rf "$c/users/setup-$user"
  done
  reg_quiet delete "$session" /v PendingFileRenameOperations /f
  if [ $had_pending = 1 ]; then
    reg_quiet import 'C:\rvqsetup-session.reg'
    rm -f "$c/rvqsetup-session.reg"
  fi
  rm -rf "$work" "$c/rvqsetup-old" "$c/ProgramData/BryxenOnline" "$c/ProgramData/Bryxen/RVQ"
}
trap restore EXIT

# --- the installers ---------------------------------------------------------
mkdir -p "$work/maker" "$work/payload/data" "$work/refusing-bin" "$work/service"
cp "$bin/fixtures/Uninst.dll" "$bin/fixtures/bxclean.exe" "$work/maker/"
printf '[Detect]\r\nResult=1\r\nCount=2\r\nName0=Bryxen RVQ 8\r\nName1=Bryxen Tovrin Service\r\n' >"$work/maker/uninst.ini"
echo "placeholder" >"$work/payload/readme.txt"
echo "placeholder" >"$work/payload/data/product.dat"
cp "$bin/fixtures/refusing/checkRVQ.dll" "$bin/RvqUpgd.exe" "$bin/bxlogctl.exe" "$work/refusing-bin/"
build_started=$(date +%s)
"$root/packaging/nsis/build-installer.sh" --version "$version" --bin "$bin" --maker "$work/maker" \
  --payload "$work/payload" --out "$work/RVQ-$version-setup.exe" --compressor zlib >"$work/build.txt" 2>&1 ||
  { cat "$work/build.txt"; fail "the installer could not be built"; exit 1; }
"$root/packaging/nsis/build-installer.sh" --version "$version" --bin "$work/refusing-bin" --maker "$work/maker" \
  --payload "$work/payload" --out "$work/refusing-setup.exe" --compressor zlib >>"$work/build.txt" 2>&1 ||
  { cat "$work/build.txt"; fail "the refusing installer could not be built"; exit 1; }
echo "installers built in $(( $(date +%s) - build_started )) s; RVQ-$version-setup.exe: $(stat -c %s "$work/RVQ-$version-setup.exe") bytes"
setup_exe='C:\rvqsetup\RVQ-'"$version"'-setup.exe'

# --- an older installation ----------------------------------------------------
mkdir -p "$instdir/Locale" "$c/ProgramData/BryxenOnline/RVQ" "$c/ProgramData/Bryxen" "$c/rvqsetup-old/Other"
echo "old data" >"$c/ProgramData/BryxenOnline/RVQ/bxdndb.dat"
echo "locale" >"$instdir/loc_de.dat"
echo "locale" >"$instdir/Locale/loc_fr.dat"
echo "the user's notes" >"$instdir/notes.txt"
echo "another product" >"$c/rvqsetup-old/Other/keep.txt"
cp "$bin/fixtures/rvq9svc.exe" "$work/service/"
reg_quiet add "$product" /v 'Install Dir' /t REG_SZ /d "$instdir_win" /f || fail "cannot write Install Dir"
reg_quiet add "$product" /v 'Keep' /t REG_SZ /d 'not the installer' /f
reg_quiet add "$other_key" /v 'Keep' /t REG_DWORD /d 7 /f
reg_quiet add "$source_key" /v SourceDisk /t REG_SZ /d 'C:\RVQ\Setup,build=120' /f
wine sc create rvq9 binpath= 'C:\rvqsetup\service\rvq9svc.exe stop-delay=1500' >/dev/null 2>&1
wine sc start rvq9 >/dev/null 2>&1
wine sc query rvq9 2>/dev/null | grep -q RUNNING || fail "the rvq9 stand-in service does not run"
for user in alice bob; do
  reg_quiet add "$profiles\\S-1-5-21-4242-setup-$user" /v ProfileImagePath /t REG_EXPAND_SZ \
    /d "%SystemDrive%\\users\\setup-$user" /f
  mkdir -p "$c/users/setup-$user/AppData/Local/Bryxen/RVQ"
  echo "vault" >"$c/users/setup-$user/AppData/Local/Bryxen/RVQ/rvqpv.dat"
done
mkdir -p "$c/users/setup-bob/AppData/Local/Bryxen/OtherProduct"

export RVQ_FIXTURE_RECORD_DIR='C:\rvqsetup\records'
nothing_installed() {  # CASE
  for f in RvqUpgd.exe bxlogctl.exe uninstall.exe readme.txt data/product.dat; do
    [ -e "$instdir/$f" ] && fail "$1: $f was installed"
  done
  key_exists "$uninstall_key" && fail "$1: the uninstaller was registered"
  [ "$(reg_value "$product" 'Install Dir')" = "REG_SZ $instdir_win" ] || fail "$1: Install Dir changed"
  [ -n "$(reg_value "$product" InstallPlatform)" ] && fail "$1: InstallPlatform was written"
  [ -e "$c/ProgramData/BryxenOnline/RVQ/bxdndb.dat" ] || fail "$1: the data file moved"
}

# --- 1. refusals ------------------------------------------------------------
echo "--- silent, incompatible products installed, no /REMOVEINCOMPATIBLE"
wine "$setup_exe" /S '/LOG=C:\rvqsetup\refused.log' </dev/null >>"$log" 2>&1
rc=$?
[ $rc -eq 2 ] || fail "exit code $rc, expected 2"
refused=$(setup_log "$work/refused.log")
grep -q 'Incompatible product: Bryxen Tovrin Service \[the product.s service\]' <<<"$refused" ||
  fail "the log does not list the products: $refused"
grep -q 'run the setup with /REMOVEINCOMPATIBLE' <<<"$refused" || fail "the log does not say why: $refused"
[ -e "$work/records/bxclean-runs.txt" ] && fail "the cleaner ran without consent"
nothing_installed "no consent"

echo "--- PreInstall answers: cannot be installed"
wine 'C:\rvqsetup\refusing-setup.exe' /S '/LOG=C:\rvqsetup\refusing.log' </dev/null >>"$log" 2>&1
rc=$?
[ $rc -eq 2 ] || fail "exit code $rc, expected 2"
grep -q 'cannot be installed' <<<"$(setup_log "$work/refusing.log")" || fail "the log does not say why"
calls=$(tr -d '\r' <"$work/records/host-calls.txt" 2>/dev/null | paste -sd ' ')
[ "$calls" = "StartApplication DetectIncompatible PreInstall OnFreeLibrary" ] ||
  fail "library calls: '$calls', expected StartApplication DetectIncompatible PreInstall OnFreeLibrary"
nothing_installed "refused"

echo "--- DllInstallFunction fails after the files are installed"
rm -f "$work/records/host-calls.txt"
RVQ_REFUSE_AT=DllInstallFunction wine 'C:\rvqsetup\refusing-setup.exe' /S '/LOG=C:\rvqsetup\rollback.log' \
  </dev/null >>"$log" 2>&1
rc=$?
[ $rc -eq 2 ] || fail "exit code $rc, expected 2"
grep -q 'Removing what this run installed' <<<"$(setup_log "$work/rollback.log")" || fail "the log does not tell the roll-back"
calls=$(tr -d '\r' <"$work/records/host-calls.txt" 2>/dev/null | paste -sd ' ')
[ "$calls" = "StartApplication DetectIncompatible PreInstall DllInstallFunction OnFreeLibrary" ] ||
  fail "library calls: '$calls'"
nothing_installed "rolled back"
[ -e "$instdir/notes.txt" ] && [ -e "$instdir/loc_de.dat" ] || fail "the roll-back took files it had not installed"

# --- 2. install --------------------------------------------------------------
echo "--- setup.exe /S /REMOVEINCOMPATIBLE"
t0=$(date +%s)
wine "$setup_exe" /S /REMOVEINCOMPATIBLE '/LOG=C:\rvqsetup\setup.log' </dev/null >>"$log" 2>&1
rc=$?
echo "install: exit $rc in $(( $(date +%s) - t0 )) s"
[ $rc -eq 0 ] || fail "exit code $rc, expected 0: $(setup_log "$work/setup.log")"
runs=$(grep -c 'cmd=bxclean.exe' "$work/records/bxclean-runs.txt" 2>/dev/null)
[ "${runs:-0}" -eq 2 ] || fail "the cleaner ran ${runs:-0} times, expected 2"
[ -e "$c/ProgramData/Bryxen/RVQ/bxdndb.dat" ] || fail "the data file is not at its new place"
[ -e "$c/ProgramData/BryxenOnline/RVQ/bxdndb.dat" ] && fail "the data file is still at its old place"
wine sc query rvq9 2>/dev/null | grep -q STATE && fail "the rvq9 service is still registered"
[ -n "$(reg_value "$product" 'Last Update')" ] || fail "Last Update is missing"
[ "$(reg_value "$product" InstallPlatform)" = "REG_DWORD 0x11" ] || fail "InstallPlatform: $(reg_value "$product" InstallPlatform)"
gmt=$(reg_value "$product\\AppInfo\\Substitute" gmtdate | awk '{ print $2 }')
[ -n "$gmt" ] && [ $(( gmt )) -ge "$t0" ] && [ $(( gmt )) -le "$(date +%s)" ] || fail "gmtdate: '$gmt'"
pending=$(reg_value "$session" PendingFileRenameOperations)
for f in 'rvqsetup-old\RVQ\loc_de.dat' 'rvqsetup-old\RVQ\Locale\loc_fr.dat'; do
  grep -qiF "$f" <<<"$pending" || fail "$f is not pending deletion"
done
for f in RvqUpgd.exe bxlogctl.exe uninstall.exe readme.txt data/product.dat; do
  [ -f "$instdir/$f" ] || fail "$f is not installed"
done
cmp -s "$bin/RvqUpgd.exe" "$instdir/RvqUpgd.exe" || fail "the installed RvqUpgd.exe differs from the built one"
[ "$(reg_value "$product" 'Install Dir')" = "REG_SZ $instdir_win" ] || fail "Install Dir: $(reg_value "$product" 'Install Dir')"
[ "$(reg_value "$uninstall_key" UninstallString)" = "REG_SZ \"$instdir_win\\uninstall.exe\"" ] ||
  fail "UninstallString: $(reg_value "$uninstall_key" UninstallString)"
wine "$instdir_win\\RvqUpgd.exe" 130 </dev/null >>"$log" 2>&1 || fail "the installed RvqUpgd.exe failed"
[ "$(reg_value "$product\\DynaInfo" UpdRestartReq)" = "REG_DWORD 0x1" ] ||
  fail "the installed RvqUpgd.exe did not set the restart flag for build 120 < 130"
reg_quiet delete "$product\\DynaInfo" /f

# --- 3. uninstall ------------------------------------------------------------
echo "--- uninstall.exe /S"
# In place (_?=): otherwise the uninstaller copies itself to the temporary
# folder, starts the copy and returns at once.
t0=$(date +%s)
wine "$instdir_win\\uninstall.exe" /S '/LOG=C:\rvqsetup\uninstall.log' "_?=$instdir_win" </dev/null >>"$log" 2>&1
rc=$?
echo "uninstall: exit $rc in $(( $(date +%s) - t0 )) s"
[ $rc -eq 0 ] || fail "uninstall exit code $rc, expected 0: $(setup_log "$work/uninstall.log")"
for user in alice bob; do
  [ -e "$c/users/setup-$user/AppData/Local/Bryxen/RVQ" ] && fail "$user's RVQ data folder is still there"
done
[ -d "$c/users/setup-bob/AppData/Local/Bryxen/OtherProduct" ] || fail "bob's other product folder went too"
for f in RvqUpgd.exe bxlogctl.exe readme.txt data/product.dat data; do
  [ -e "$instdir/$f" ] && fail "$f is still installed"
done
# An uninstaller run in place cannot delete its own file: it is left to the
# next restart.
if [ -e "$instdir/uninstall.exe" ]; then
  grep -qiF 'rvqsetup-old\RVQ\uninstall.exe' <<<"$(reg_value "$session" PendingFileRenameOperations)" ||
    fail "uninstall.exe is neither deleted nor pending deletion"
fi
key_exists "$uninstall_key" && fail "the uninstaller registration is still there"
for v in 'Install Dir' 'Last Update' InstallPlatform; do
  [ -n "$(reg_value "$product" "$v")" ] && fail "$v is still there"
done
key_exists "$product\\AppInfo" && fail "AppInfo is still there"
[ "$(reg_value "$product" Keep)" = "REG_SZ not the installer" ] || fail "a value of the product key not ours went"
[ "$(reg_value "$other_key" Keep)" = "REG_DWORD 0x7" ] || fail "another key of the maker changed"
[ "$(reg_value "$source_key" SourceDisk)" = 'REG_SZ C:\RVQ\Setup,build=120' ] || fail "SourceDisk changed"
for f in "$instdir/notes.txt" "$instdir/loc_de.dat" "$instdir/Locale/loc_fr.dat" "$c/rvqsetup-old/Other/keep.txt" \
         "$c/ProgramData/Bryxen/RVQ/bxdndb.dat"; do
  [ -e "$f" ] || fail "${f#"$c/"} went with the uninstall"
done

echo "setup test: $(( $(date +%s) - started )) s"
if [ "$failures" -ne 0 ]; then
  echo "$failures check(s) failed"
  exit 1
fi
echo "setup: all checks passed"
