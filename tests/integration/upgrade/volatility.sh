#!/usr/bin/env bash
# The restart flag lives until the next restart of the machine. Under Wine,
# stopping the prefix's server is that restart for the registry: the server
# saves the non-volatile keys and volatile ones are gone when it comes back.
#
# 1. A "DynaInfo" that RvqUpgd.exe creates is volatile: after the restart it
#    is gone with "UpdRestartReq", while "SourceDisk" (non-volatile) stays.
# 2. A "DynaInfo" that existed before as a non-volatile key keeps the flag.
#    (It carries a value of its own: Wine does not save a key without values
#    or saved subkeys.)
#
# Runs alone (RUN_SERIAL): no other test may see the server go. Afterwards
# the server is started again persistent, as the prefix fixture left it.
set -u
exe=$1
: "${WINEPREFIX:?set WINEPREFIX to the test prefix}"
log="$WINEPREFIX.log"
failures=0
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }

source_key='HKLM\Software\BryxenOnline\Tovrin Service'
product_key='HKLM\Software\Bryxen\RVQ'
dyna_key="$product_key\\DynaInfo"

reg_quiet() { wine reg "$@" >/dev/null 2>&1; }
key_exists() { reg_quiet query "$1"; }
flag_is_set() { wine reg query "$dyna_key" /v UpdRestartReq 2>/dev/null | grep -q 'REG_DWORD[[:space:]]*0x1'; }

restart_server() {
  wineserver -k >/dev/null 2>&1
  wineserver -w >/dev/null 2>&1
  # Background processes keep the output handles: send them to the log.
  wineserver -p >>"$log" 2>&1 || { fail "the Wine server did not start again"; return; }
  wine cmd /c exit >>"$log" 2>&1
}

had_online=0; key_exists 'HKLM\Software\BryxenOnline' && had_online=1
had_product=0; key_exists "$product_key" && had_product=1
had_bryxen=0; key_exists 'HKLM\Software\Bryxen' && had_bryxen=1

cleanup() {
  reg_quiet delete "$dyna_key" /f
  reg_quiet delete "$source_key" /v SourceDisk /f
  [ $had_online = 1 ] || reg_quiet delete 'HKLM\Software\BryxenOnline' /f
  # Only when nothing else lives there.
  if [ $had_product = 0 ] && ! wine reg query "$product_key" /s 2>/dev/null | grep -q REG_; then
    reg_quiet delete "$product_key" /f
  fi
  if [ $had_bryxen = 0 ] && ! wine reg query 'HKLM\Software\Bryxen' /s 2>/dev/null | grep -q REG_; then
    reg_quiet delete 'HKLM\Software\Bryxen' /f
  fi
}
trap cleanup EXIT

reg_quiet add "$source_key" /v SourceDisk /t REG_SZ /d 'Tovrin,build=9' /f || fail "cannot set SourceDisk"

echo "--- a DynaInfo created by RvqUpgd.exe"
reg_quiet delete "$dyna_key" /f
wine "$exe" 10 </dev/null >>"$log" 2>&1
rc=$?
[ $rc -eq 0 ] || fail "exit code $rc, expected 0"
flag_is_set || fail "UpdRestartReq was not written"
restart_server
key_exists "$source_key" || fail "the non-volatile SourceDisk key did not survive the restart"
key_exists "$dyna_key" && fail "DynaInfo survived the restart"
flag_is_set && fail "UpdRestartReq survived the restart"

echo "--- a DynaInfo that existed before as a non-volatile key"
reg_quiet add "$dyna_key" /v Owner /t REG_SZ /d product /f || fail "cannot create DynaInfo"
wine "$exe" 10 </dev/null >>"$log" 2>&1
rc=$?
[ $rc -eq 0 ] || fail "exit code $rc, expected 0"
flag_is_set || fail "UpdRestartReq was not written into the existing DynaInfo"
restart_server
flag_is_set || fail "UpdRestartReq in the non-volatile DynaInfo did not survive the restart"

if [ "$failures" -ne 0 ]; then
  echo "$failures check(s) failed"
  exit 1
fi
echo "volatility: all checks passed"
