#!/usr/bin/env bash
# On demand, not part of ctest: how long one RvqUpgd.exe run takes under Wine
# next to an empty GUI program built the same way (rvq_empty_gui.exe).
# Median of N runs each (default 20), wall-clock time of `wine <program>`,
# with the prefix's server already up so that its start is not counted.
# RvqUpgd.exe runs the full pass: "SourceDisk" says build 9, so each run
# writes the flag.
#
# usage: measure_startup.sh BIN_DIR [RUNS]   (WINEPREFIX: a prepared prefix)
set -eu
bin=$1
runs=${2:-20}
: "${WINEPREFIX:?set WINEPREFIX to a prepared Wine prefix}"
export WINEDEBUG=-all
wineserver -p >/dev/null 2>&1 || true   # fails harmlessly when one runs
wine cmd /c exit >/dev/null 2>&1

source_key='HKLM\Software\BryxenOnline\Tovrin Service'
wine reg add "$source_key" /v SourceDisk /t REG_SZ /d 'Tovrin,build=9' /f >/dev/null 2>&1
trap 'wine reg delete "$source_key" /v SourceDisk /f >/dev/null 2>&1; wine reg delete "HKLM\Software\Bryxen\RVQ\DynaInfo" /f >/dev/null 2>&1' EXIT

# Milliseconds of one run, to a tenth.
time_run() {
  local start end
  start=$(date +%s%N)
  wine "$1" </dev/null >/dev/null 2>&1
  end=$(date +%s%N)
  echo $(( (end - start) / 100000 ))
}

summary() {
  sort -n | awk '{ t[NR] = $1 / 10 } END {
    m = (NR % 2) ? t[(NR + 1) / 2] : (t[NR / 2] + t[NR / 2 + 1]) / 2
    printf "median %.1f ms (min %.1f, max %.1f)\n", m, t[1], t[NR] }'
}

# The two programs alternate, so that a change in the machine's load meets
# both alike.
empty=() upgd=()
wine "$bin/rvq_empty_gui.exe" >/dev/null 2>&1; wine "$bin/RvqUpgd.exe" >/dev/null 2>&1  # warm the caches
for ((i = 0; i < runs; i++)); do
  empty+=("$(time_run "$bin/rvq_empty_gui.exe")")
  upgd+=("$(time_run "$bin/RvqUpgd.exe")")
done
echo "$runs runs each, alternating, wall clock of 'wine <program>':"
echo "  rvq_empty_gui.exe: $(printf '%s\n' "${empty[@]}" | summary)"
echo "  RvqUpgd.exe:       $(printf '%s\n' "${upgd[@]}" | summary)"
