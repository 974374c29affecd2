#!/usr/bin/env bash
# The setup program from packaging/nsis, built around the built binaries and
# the stand-ins, on a machine with an older installation:
#
# 0. The build stops on payload names it cannot install (a locale file the
#    install-time step would schedule for deletion, a wildcard) and names
#    the file; the setup's uninstaller is signed through makensis.
# 1. Refusals end with exit code 2 and nothing installed: /D= a folder any
#    user may write to or a new folder inside it (nothing reaches it, the
#    cleaner never runs), a silent run without /REMOVEINCOMPATIBLE while incompatible products are installed
#    (the cleaner never runs), a library whose PreInstall answers "cannot be
#    installed" (no later step runs, the library is released), and one whose
#    DllInstallFunction fails after the files were installed (they are
#    taken back, and the old "Install Dir" with them).
# 2. `setup.exe /S /REMOVEINCOMPATIBLE` installs: the cleaner ran twice, the
#    data file moved, the old service is gone, the install facts are
#    written, the locale files wait for deletion at restart, the files and
#    the uninstaller registration are in place, and the installed
#    RvqUpgd.exe sets the restart flag for an older build; the installed
#    uninstall.exe verifies and a changed byte breaks it; the registration
#    has DisplayIcon, EstimatedSize and InstallDate.
# 3. The uninstaller, pointed at another folder holding files of its names
#    (_?=), removes nothing and exits 2; run silently for its own folder
#    (named in other case, with a trailing backslash), it removes two
#    profiles' data, the files and keys it added, and leaves the machine's
#    other files and keys alone.
# 4. Into a new folder: the setup creates it and the level above with the
#    protected access list, as GetSecurityInfo reads it back.
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
  rm -rf "$work" "$c/rvqsetup-old" "$c/rvqsetup-open" "$c/rvqsetup-decoy" "$c/rvqsetup-new" \
    "$c/ProgramData/BryxenOnline" "$c/ProgramData/Bryxen/RVQ"
}
trap restore EXIT

# --- the installers ---------------------------------------------------------
mkdir -p "$work/maker" "$work/payload/data" "$work/refusing-bin" "$work/service"
cp "$bin/fixtures/Uninst.dll" "$bin/fixtures/bxclean.exe" "$work/maker/"
printf '[Detect]\r\nResult=1\r\nCount=2\r\nName0=Bryxen RVQ 8\r\nName1=Bryxen Tovrin Service\r\n' >"$work/maker/uninst.ini"
echo "placeholder" >"$work/payload/readme.txt"
echo "placeholder" >"$work/payload/data/product.dat"
cp "$bin/fixtures/refusing/checkRVQ.dll" "$bin/RvqUpgd.exe" "$bin/bxlogctl.exe" "$work/refusing-bin/"
cp "$bin/fixtures/folder_dacl.exe" "$work/"
build_started=$(date +%s)
# The uninstaller is signed with a throw-away certificate of this run.
openssl req -x509 -newkey rsa:2048 -sha256 -nodes -days 2 -subj "/CN=RVQ setup test" \
  -addext "keyUsage=critical,digitalSignature" -addext "extendedKeyUsage=codeSigning" \
  -keyout "$work/key.pem" -out "$work/cert.pem" 2>/dev/null || fail "no test certificate"
printf '#!/bin/sh\nosslsigncode sign -certs %s -key %s -h sha256 -n RVQ -in "$1" -out "$1.signed" >/dev/null && mv "$1.signed" "$1"\n' \
  "$work/cert.pem" "$work/key.pem" >"$work/sign-file"
chmod +x "$work/sign-file"
for bad in 'Locale/loc_en.dat' 'a*.txt'; do
  rm -rf "$work/bad-payload"
  mkdir -p "$work/bad-payload/Locale"
  echo "placeholder" >"$work/bad-payload/readme.txt"
  echo "placeholder" >"$work/bad-payload/$bad"
  if "$root/packaging/nsis/build-installer.sh" --version "$version" --bin "$bin" --maker "$work/maker" \
      --payload "$work/bad-payload" --out "$work/bad-setup.exe" --compressor zlib >"$work/bad-build.txt" 2>&1; then
    fail "the setup was built with a payload file $bad"
  fi
  grep -qF "  $bad: " "$work/bad-build.txt" || fail "the build does not name $bad: $(cat "$work/bad-build.txt")"
  [ -e "$work/bad-setup.exe" ] && fail "a setup was written with a payload file $bad"
done
"$root/packaging/nsis/build-installer.sh" --version "$version" --bin "$bin" --maker "$work/maker" \
  --payload "$work/payload" --out "$work/RVQ-$version-setup.exe" --compressor zlib \
  --sign-uninstaller "$work/sign-file" >"$work/build.txt" 2>&1 ||
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
echo "--- /D= a folder any user may write to"
# Wine shows the Unix mode as the access list: 0777 is an Everyone entry
# with write access.
mkdir -p "$c/rvqsetup-open"
chmod 0777 "$c/rvqsetup-open"
wine "$setup_exe" /S /REMOVEINCOMPATIBLE '/LOG=C:\rvqsetup\open.log' '/D=C:\rvqsetup-open' </dev/null >>"$log" 2>&1
rc=$?
[ $rc -eq 2 ] || fail "exit code $rc, expected 2"
open_log=$(setup_log "$work/open.log")
grep -qF 'The folder C:\rvqsetup-open cannot hold RVQ: ' <<<"$open_log" && grep -q 'may change it' <<<"$open_log" ||
  fail "the log does not say which folder and why: $open_log"
# A new folder inside it: anyone could rename it away and put another in
# its place.
wine "$setup_exe" /S /REMOVEINCOMPATIBLE '/LOG=C:\rvqsetup\open-inside.log' '/D=C:\rvqsetup-open\RVQ' </dev/null >>"$log" 2>&1
rc=$?
[ $rc -eq 2 ] || fail "inside the open folder: exit code $rc, expected 2"
grep -qF 'in the folder above it, C:\rvqsetup-open, ' <<<"$(setup_log "$work/open-inside.log")" ||
  fail "the log does not name the folder above: $(setup_log "$work/open-inside.log")"
[ -z "$(ls -A "$c/rvqsetup-open")" ] || fail "files were put into the open folder: $(ls -A "$c/rvqsetup-open")"
[ -e "$work/records/bxclean-runs.txt" ] && fail "the cleaner ran for a refused folder"
nothing_installed "open folder"

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
osslsigncode verify -CAfile "$work/cert.pem" -in "$instdir/uninstall.exe" >/dev/null 2>&1 ||
  fail "the installed uninstall.exe does not verify"
cp "$instdir/uninstall.exe" "$work/tampered.exe"
size=$(stat -c %s "$work/tampered.exe")
old=$(od -An -tu1 -j $((size / 3)) -N1 "$work/tampered.exe" | tr -d ' ')
printf "\\$(printf '%03o' $(( (old + 1) % 256 )))" | dd of="$work/tampered.exe" bs=1 seek=$((size / 3)) conv=notrunc status=none
cmp -s "$instdir/uninstall.exe" "$work/tampered.exe" && fail "the changed copy of uninstall.exe is not changed"
osslsigncode verify -CAfile "$work/cert.pem" -in "$work/tampered.exe" >/dev/null 2>&1 &&
  fail "uninstall.exe verifies after a change"
registration=$(wine reg query "$uninstall_key" 2>/dev/null | tr -d '\r')
grep -qF "DisplayIcon    REG_SZ    \"$instdir_win\\uninstall.exe\",0" <<<"$registration" || fail "DisplayIcon: $registration"
grep -qE 'EstimatedSize    REG_DWORD    0x[0-9a-f]*[1-9a-f]' <<<"$registration" || fail "EstimatedSize: $registration"
grep -qE "InstallDate    REG_SZ    ($(date +%Y%m%d)|$(date -d '-1 day' +%Y%m%d))" <<<"$registration" ||
  fail "InstallDate: $registration"
wine "$instdir_win\\RvqUpgd.exe" 130 </dev/null >>"$log" 2>&1 || fail "the installed RvqUpgd.exe failed"
[ "$(reg_value "$product\\DynaInfo" UpdRestartReq)" = "REG_DWORD 0x1" ] ||
  fail "the installed RvqUpgd.exe did not set the restart flag for build 120 < 130"
reg_quiet delete "$product\\DynaInfo" /f

# --- 3. uninstall ------------------------------------------------------------
echo "--- uninstall.exe /S _?=another folder"
mkdir -p "$c/rvqsetup-decoy"
for f in RvqUpgd.exe bxlogctl.exe readme.txt uninstall.exe; do echo "not RVQ's" >"$c/rvqsetup-decoy/$f"; done
wine "$instdir_win\\uninstall.exe" /S '/LOG=C:\rvqsetup\decoy.log' '_?=C:\rvqsetup-decoy' </dev/null >>"$log" 2>&1
rc=$?
[ $rc -eq 2 ] || fail "exit code $rc, expected 2"
grep -qF 'runs for C:\rvqsetup-decoy, but RVQ is installed in' <<<"$(setup_log "$work/decoy.log")" ||
  fail "the log does not say why: $(setup_log "$work/decoy.log")"
for f in RvqUpgd.exe bxlogctl.exe readme.txt uninstall.exe; do
  [ "$(cat "$c/rvqsetup-decoy/$f" 2>/dev/null)" = "not RVQ's" ] || fail "the other folder's $f went"
  [ -f "$instdir/$f" ] || fail "the installation's $f went"
done
[ "$(reg_value "$product" 'Install Dir')" = "REG_SZ $instdir_win" ] || fail "Install Dir changed"
[ "$(reg_value "$uninstall_key" DisplayName)" = "REG_SZ RVQ" ] || fail "the uninstaller registration changed"

echo "--- uninstall.exe /S"
# In place (_?=): otherwise the uninstaller copies itself to the temporary
# folder, starts the copy and returns at once. Its folder in other case and
# with a trailing backslash is still its own.
t0=$(date +%s)
wine "$instdir_win\\uninstall.exe" /S '/LOG=C:\rvqsetup\uninstall.log' "_?=${instdir_win^^}\\" </dev/null >>"$log" 2>&1
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

# --- 4. a new folder -----------------------------------------------------------
echo "--- setup.exe /S /D=a new folder"
wine "$setup_exe" /S /REMOVEINCOMPATIBLE '/LOG=C:\rvqsetup\new.log' '/D=C:\rvqsetup-new\RVQ' </dev/null >>"$log" 2>&1
rc=$?
[ $rc -eq 0 ] || fail "exit code $rc, expected 0: $(setup_log "$work/new.log")"
[ -f "$c/rvqsetup-new/RVQ/RvqUpgd.exe" ] || fail "RvqUpgd.exe is not installed in the new folder"
# Windows (and a Wine that keeps access lists) reads back the protected
# list. Our Wine keeps none: it maps the list onto the Unix mode (owner
# full, Users read and execute onto the group's bits, nothing for others)
# and reads the mode back as SYSTEM and the owner full control; a folder
# made without the list would read back with an Everyone entry (mode 0755).
protected='D:P(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)(A;OICI;0x1200a9;;;BU)'
for folder in rvqsetup-new rvqsetup-new/RVQ; do
  dacl=$(wine 'C:\rvqsetup\folder_dacl.exe' "C:\\${folder//\//\\}" 2>&1 </dev/null | tr -d '\r')
  mode=$(stat -c %a "$c/$folder")
  if [ "$dacl" != "$protected" ]; then
    { [[ $dacl == D:* ]] && [[ $dacl != *";;;WD)"* ]] && [ "$mode" = 750 ]; } ||
      fail "the access list of C:\\$folder: '$dacl' (mode $mode), expected $protected or, as this Wine maps it, mode 750 and no Everyone entry"
  fi
done

echo "setup test: $(( $(date +%s) - started )) s"
if [ "$failures" -ne 0 ]; then
  echo "$failures check(s) failed"
  exit 1
fi
echo "setup: all checks passed"
