#!/usr/bin/env bash
# An address inside checkRVQ.dll's PreInstall, resolved by the system's
# symbol handler (dbghelp under Wine, through symbol_lookup.exe) to the
# function's name and to a line of its body in installer/install_steps.cpp,
# with the symbols found where a debugger looks for them:
#   beside BIN_DIR          the PDB beside the binary
#   store BIN_DIR STORE     a copy of the binary alone and a symbol store
#                           (<name>.pdb/<GUID><age>/<name>.pdb and
#                           <name>.dll/<TIMESTAMP><size>/<name>.dll)
#
# Wine's dbghelp (8.0) does not read a store itself ("srv*<folder>" finds
# nothing, and SymSrvGetFileIndexes is not implemented): the store check
# names the store's one <GUID><age> folder of checkRVQ.pdb as the symbol
# path, dbghelp takes the PDB only when it matches the binary (exact
# symbols), and the keys dbghelp reports for the PDB and the image must be
# the store's folder names.
#
# usage: check_symbols.sh LOOKUP_EXE SOURCE_DIR beside|store BIN_DIR [STORE]
# (WINEPREFIX and WINEDEBUG from the environment)
set -u
lookup=$1 src=$2 mode=$3 bin=$4 store=${5:-}
failures=0
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }
winpath() { echo "Z:$(realpath "$1" | tr / '\\')"; }

# The lines of PreInstall's body in the sources the binary was built from.
source=$src/installer/install_steps.cpp
first=$(grep -n '^extern "C" DWORD PreInstall(' "$source" | cut -d: -f1)
[ -n "$first" ] || { echo "FAIL: no PreInstall definition in $source"; exit 1; }
last=$(awk -v s="$first" 'NR > s && /^}/ { print NR; exit }' "$source")

resolve() {  # resolve WHAT MODULE SEARCH_PATH EXPECTED_PDB_PATTERN
  local what=$1 module=$2 search=$3 pdb=$4 out
  # 8 bytes in: past the first instruction, inside the function.
  out=$(wine "$lookup" "$(winpath "$module")" PreInstall "$search" 8 2>&1 | tr -d '\r')
  echo "$what: $(tr '\n' ';' <<<"$out")"
  grep -qiE "^pdb .*$pdb\$" <<<"$out" || fail "$what: symbols not loaded from $pdb"
  pdb_key=$(sed -n 's/^key pdb //p' <<<"$out")
  image_key=$(sed -n 's/^key image //p' <<<"$out")
  grep -qE '^symbol PreInstall \+8$' <<<"$out" || fail "$what: the address is not named PreInstall+8"
  local file line
  read -r file line < <(sed -n 's/^line \(.*\) \([0-9]*\)$/\1 \2/p' <<<"$out")
  [[ ${file:-} == *'\installer\install_steps.cpp' || ${file:-} == *'/installer/install_steps.cpp' ]] ||
    fail "$what: source file '${file:-}' is not installer/install_steps.cpp"
  [ -n "${line:-}" ] && [ "$line" -ge "$first" ] && [ "$line" -le "$last" ] ||
    fail "$what: line '${line:-}' is outside PreInstall (lines $first-$last)"
}

if [ "$mode" = beside ]; then
  resolve beside "$bin/checkRVQ.dll" "$(winpath "$bin")" 'checkRVQ\.pdb'
else
  alone=$(mktemp -d)
  cp "$bin/checkRVQ.dll" "$alone/"
  folders=("$store/checkRVQ.pdb"/*/)
  if [ ${#folders[@]} -ne 1 ] || [ ! -d "${folders[0]}" ]; then
    fail "store: not one folder under checkRVQ.pdb/"
  else
    folder=$(basename "${folders[0]}")
    resolve store "$alone/checkRVQ.dll" "$(winpath "${folders[0]}")" 'checkRVQ\.pdb'
    [ "$pdb_key" = "$folder" ] || fail "store: dbghelp keys the PDB as '$pdb_key', the store as '$folder'"
    cmp -s "$store/checkRVQ.dll/$image_key/checkRVQ.dll" "$bin/checkRVQ.dll" ||
      fail "store: no checkRVQ.dll/$image_key/checkRVQ.dll equal to the binary"
  fi
  rm -rf "$alone"
fi

[ "$failures" -eq 0 ] || { echo "$failures check(s) failed"; exit 1; }
echo "symbols: all checks passed"
