#!/usr/bin/env bash
# Runs scripts/demo on the built binaries and checks that its report holds
# the facts of the story.
#
# usage: check_demo.sh SOURCE_DIR BUILD_DIR
set -u
root=$1
out=$(RVQ_BUILD_DIR=$2 "$root/scripts/demo" --no-build 2>&1)
status=$?
echo "$out"
[ $status -eq 0 ] || { echo "FAIL: scripts/demo exited with $status"; exit 1; }
failures=0
expect() {
  grep -qF -- "$1" <<<"$out" || { echo "FAIL: the report lacks: $1"; failures=$((failures + 1)); }
}
expect '"productName":"Other Vendor Toolbar","matchesServiceName":0'
expect 'cleaner runs: 2 lines'
expect 'service rvq9 after install: deleted'
expect 'bxdndb.dat: present; old location: absent'
expect 'InstallPlatform: 17'
expect 'C:\rvqdemo\RVQ\loc_de.dat'
expect 'C:\rvqdemo\RVQ\Locale\loc_fr.dat'
expect 'RvqUpgd 110: exit 0, UpdRestartReq: (absent)'
expect 'RvqUpgd 130: exit 0, UpdRestartReq: 0x1'
expect 'alice: rvqpv.dat absent, RVQ folder absent, Bryxen folder absent'
expect 'bob: rvqpv.dat absent, RVQ folder absent, Bryxen folder present'
expect 'checkRVQ000.log'
expect '-- (Normal)$  detectRVQ.dll PostInstall(): Post-install step complete.'
expect 'Removed user password vault file: [C:\users\alice\AppData\Local\Bryxen\RVQ\rvqpv.dat]'
expect 'Demo finished in'
[ $failures -eq 0 ] || exit 1
echo "demo report: all facts present"
