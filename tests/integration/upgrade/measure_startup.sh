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

median_ms() {
  local program=$1 i start end
  local times=()
  wine "$program" >/dev/null 2>&1   # warm the file cache
  for ((i = 0; i < runs; i++)); do
    start=$(date +%s%N)
    wine "$program" </dev/null >/dev/null 2>&1
    end=$(date +%s%N)
    times+=($(( (end - start) / 1000 )))
  done
  printf '%s\n' "${times[@]}" | sort -n | awk '{ t[NR] = $1 } END {
    m = (NR % 2) ? t[(NR + 1) / 2] : (t[NR / 2] + t[NR / 2 + 1]) / 2
    printf "%.1f ms (min %.1f, max %.1f)\n", m / 1000, t[1] / 1000, t[NR] / 1000 }'
}

echo "median of $runs runs each, wall clock of 'wine <program>':"
echo "  rvq_empty_gui.exe: $(median_ms "$bin/rvq_empty_gui.exe")"
echo "  RvqUpgd.exe:       $(median_ms "$bin/RvqUpgd.exe")"
