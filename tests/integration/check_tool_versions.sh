#!/usr/bin/env bash
# The tools' --version answer is the build's version.
# usage: check_tool_versions.sh WINE BIN_DIR VERSION
set -u
wine=$1 bin=$2 version=$3
failures=0
for tool in bxlogctl install-host; do
  out=$("$wine" "$bin/$tool.exe" --version 2>&1 | tr -d '\r')
  if [ "$out" != "$tool $version" ]; then
    echo "FAIL: $tool --version printed \"$out\", expected \"$tool $version\""
    failures=$((failures + 1))
  fi
done
[ "$failures" -eq 0 ] && echo "tool versions: $version"
exit "$failures"
