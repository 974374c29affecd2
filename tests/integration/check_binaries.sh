#!/usr/bin/env bash
# Checks the export, import and delay-import tables and the version resource
# of the shipped binaries: export names and ordinals of checkRVQ.dll, system
# DLLs only, advapi32 (and version.dll for RvqUpgd.exe) never bound at load
# time, every delay-loaded DLL listed with its functions through the PE's
# delay-import directory, the file and product version equal to VERSION.
#
# Import and export tables are read with the cross binutils; the
# delay-import directory and the version resource (binutils prints neither)
# with pefile, a reader independent of the tools that wrote the binaries.
#
# usage: check_binaries.sh OBJDUMP BIN_DIR VERSION
set -u
objdump=$1
bin=$2
version=$3
here=$(dirname "$0")
failures=0
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }

# Tables of one binary: "import NAME" and "delay NAME" lines.
dll_tables() {
  "$objdump" -p "$1" | awk '
    /^The Import Tables/ { section = "import" }
    /^The Export Tables/ { section = "" }
    /DLL Name:/ && section != "" { print section, tolower($3) }'
  /usr/bin/python3 "$here/pe_tables.py" "$1" | awk '$1 == "delay" { print "delay", $2 }' | sort -u
}

allowed='^(kernel32|advapi32|shell32|shlwapi|ole32|oleaut32|version|msvcrt|user32|ucrtbase|api-ms-win-crt-[a-z0-9-]+)\.dll$'

check_binary() {
  local file=$1; shift
  local delayed=("$@")
  [ -f "$file" ] || { fail "$file is missing"; return; }
  local tables
  tables=$(dll_tables "$file")
  while read -r kind name; do
    [ -n "$name" ] || continue
    [[ $name =~ $allowed ]] || fail "$(basename "$file") imports $name, which is not a system DLL"
  done <<<"$tables"
  for dll in "${delayed[@]}"; do
    grep -qx "import $dll" <<<"$tables" && fail "$(basename "$file") binds $dll at load time"
  done
  echo "$(basename "$file"): $(tr '\n' ' ' <<<"$tables")"
  local pe
  pe=$(/usr/bin/python3 "$here/pe_tables.py" "$file") || { fail "pefile cannot read $(basename "$file")"; return; }
  grep -qx "version $version $version" <<<"$pe" ||
    fail "$(basename "$file") has version resource \"$(grep '^version' <<<"$pe")\", expected $version"
}

# Every DLL the build delay-loads, each with the functions the binary calls.
check_delay_listing() {
  local file=$1; shift
  local listing
  listing=$(/usr/bin/python3 "$here/pe_tables.py" "$file" 2>&1) || { fail "pefile cannot read $(basename "$file"): $listing"; return; }
  for dll in "$@"; do
    grep -qE "^delay $dll [A-Za-z_]" <<<"$listing" ||
      fail "$(basename "$file"): the delay-import directory does not list $dll with its functions"
  done
}

# DLLs that may only ever be delay-loaded.
check_binary "$bin/checkRVQ.dll" advapi32.dll
check_binary "$bin/RvqUpgd.exe" advapi32.dll version.dll
check_delay_listing "$bin/checkRVQ.dll" advapi32.dll version.dll shell32.dll ole32.dll shlwapi.dll user32.dll
check_delay_listing "$bin/RvqUpgd.exe" advapi32.dll version.dll shell32.dll ole32.dll shlwapi.dll user32.dll
check_delay_listing "$bin/bxlogctl.exe" advapi32.dll
# The tools ship to customers' machines too: system DLLs only.
check_binary "$bin/bxlogctl.exe"
check_binary "$bin/install-host.exe"

# RvqUpgd.exe restricts the library search before anything binds advapi32 or
# version.dll. A load-time import of shell32, ole32, user32 and the like
# maps advapi32 with it before WinMain runs (their own imports name it): at
# load time the program binds only kernel32 and the C runtime, and reaches
# advapi32 through its delay-import descriptor.
upgd_tables=$(dll_tables "$bin/RvqUpgd.exe" 2>/dev/null)
while read -r kind name; do
  [ "$kind" = import ] || continue
  [[ $name =~ ^(kernel32|msvcrt|ucrtbase|api-ms-win-crt-[a-z0-9-]+)\.dll$ ]] ||
    fail "RvqUpgd.exe binds $name at load time, which maps advapi32 before the search is restricted"
done <<<"$upgd_tables"
grep -qx "delay advapi32.dll" <<<"$upgd_tables" || fail "RvqUpgd.exe has no delay-import descriptor for advapi32.dll"

# The export table: name, and the eight entry points with ordinals 1-8.
exports=$("$objdump" -p "$bin/checkRVQ.dll")
grep -q "^Name[[:space:]].*checkrvq.dll" <<<"$exports" || fail "export-table name is not checkrvq.dll"
expected=(StartApplication DetectIncompatible UninstallIncompatible PreInstall PostInstall
          OnFreeLibrary DllInstallFunction DllUninstallFunction)
# Rows of the name-pointer table are "[index] Name" with ordinal = index + base.
base=$(awk '/^Ordinal Base/ { print $3 }' <<<"$exports")
table=$(sed -n '/\[Ordinal\/Name Pointer\] Table/,/^$/p' <<<"$exports" | grep -E '^\s+\[ *[0-9]+\]')
count=$(grep -c . <<<"$table")
[ "$count" -eq 8 ] || fail "checkRVQ.dll exports $count names, expected 8"
for i in "${!expected[@]}"; do
  ordinal=$((i + 1))
  name=${expected[$i]}
  index=$(sed -nE "s/^\s+\[ *([0-9]+)\] $name\$/\1/p" <<<"$table")
  [ -n "$index" ] && [ $((index + base)) -eq "$ordinal" ] || fail "export $name does not have ordinal $ordinal"
done

if [ "$failures" -ne 0 ]; then
  echo "$failures check(s) failed"
  exit 1
fi
echo "binary tables: all checks passed"
