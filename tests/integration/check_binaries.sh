#!/usr/bin/env bash
# Checks the export, import and delay-import tables of the shipped binaries
# with the cross binutils: export names and ordinals of checkRVQ.dll, system
# DLLs only, advapi32 (and version.dll for RvqUpgd.exe) never bound at load
# time.
#
# GNU ld (2.40) writes the delay-import descriptors but leaves the PE's
# delay-import directory entry empty, so objdump does not list them; the
# descriptors are found through their symbols instead.
set -u
objdump=$1
bin=$2
nm=${3:-${objdump%objdump}nm}
failures=0
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }

# Tables of one binary: "import NAME" and "delay NAME" lines.
dll_tables() {
  "$objdump" -p "$1" | awk '
    /^The Import Tables/ { section = "import" }
    /^The Export Tables/ { section = "" }
    /DLL Name:/ && section != "" { print section, tolower($3) }'
  "$nm" "$1" 2>/dev/null | sed -nE 's/.* __DELAY_IMPORT_DESCRIPTOR_.*_lib([a-z0-9]+)_delay_a$/delay \1.dll/p' | sort -u
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
}

# DLLs that may only ever be delay-loaded.
check_binary "$bin/checkRVQ.dll" advapi32.dll
check_binary "$bin/RvqUpgd.exe" advapi32.dll version.dll
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
