#!/usr/bin/env bash
# The release package, built the way a release is: scripts/package
# --check-reproducible (two release builds of the shipped targets in two
# folders, ccache off, compared byte for byte: binaries, PDBs, zip,
# installer), then the package itself: every shipped file signed and
# verifying against the run's certificate, a file changed after signing
# refused, SHA256SUMS right, no DWARF left in the binaries, and either
# (clang + lld, the release preset) each PDB in the zip's symbol store with
# function names and line tables, or (a GCC release form, named by
# RVQ_RELEASE_PRESET) a debug link to each .debug file in debug/; the hardening review of
# the signed binaries (check_hardening.py), and the tables and version
# resources of the release binaries (check_binaries.sh). In the clang
# build the symbols_store entry then resolves an address through the store.
# The setup is the test build (--test-standins, which CI uses): "test" in
# its name, its uninstaller (taken out with 7-Zip) signed. No run, also not
# a failing one, leaves a private key under its output folder, and a run
# with neither --maker nor --test-standins is refused at once.
#
# usage: check_package.sh SOURCE_DIR WORK_DIR OBJDUMP VERSION LLVM_PDBUTIL
set -u
src=$1 work=$2 objdump=$3 version=$4 pdbutil=$5
failures=0
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }

rm -rf "$work/dist" "$work/dist-failed" "$work/unpacked" "$work/setup"
mkdir -p "$work"
no_key_left() {  # DIR: no private key of any form under it
  local found
  found=$(find "$1" \( -name 'key.pem' -o -iname '*.pfx' -o -iname '*.p12' -o -name pass \) -print;
          grep -rl -e 'PRIVATE KEY' "$1" 2>/dev/null)
  [ -z "$found" ] || fail "key material left under $1: $found"
}

refused=$("$src/scripts/package" --out "$work/dist" 2>&1) && fail "scripts/package without --maker or --test-standins succeeded"
grep -q 'no --maker folder' <<<"$refused" || fail "the refusal does not say why: $refused"
[ -e "$work/dist" ] && fail "the refused run wrote $work/dist"

"$src/scripts/package" --test-standins --check-reproducible --out "$work/dist" --build-dir "$work/release" ||
  fail "scripts/package --test-standins --check-reproducible failed"
[ -d "$work/dist" ] && no_key_left "$work/dist"
# A run that fails after the certificate was made (no such payload folder).
"$src/scripts/package" --test-standins --out "$work/dist-failed" --build-dir "$work/release" \
  --payload "$work/no-such-payload" >"$work/failed.log" 2>&1 && fail "a run with a missing payload folder succeeded"
grep -q 'no-such-payload' "$work/failed.log" || fail "the failed run does not name the payload folder: $(cat "$work/failed.log")"
[ -d "$work/dist-failed" ] && no_key_left "$work/dist-failed"

zip=$work/dist/rvq-$version-win64.zip
ca=$work/dist/.work/ca.pem
[ -f "$zip" ] || { fail "no $zip"; echo "$failures check(s) failed"; exit 1; }
mkdir -p "$work/unpacked"
unzip -q "$zip" -d "$work/unpacked"
root=$work/unpacked/rvq-$version-win64
(cd "$root" && sha256sum --quiet -c SHA256SUMS) || fail "SHA256SUMS does not match the zip's files"
for f in checkRVQ.dll RvqUpgd.exe bxlogctl.exe; do
  file=$root/$f
  [ -f "$file" ] || { fail "$f is not in the zip"; continue; }
  pdb=${f%.*}.pdb
  stored=("$root/symbols/$pdb"/*/"$pdb")
  if [ ! -d "$root/symbols" ]; then
    [ -f "$root/debug/$f.debug" ] || fail "debug/$f.debug is not in the zip"
    "$objdump" -h "$file" | grep -q '\.gnu_debuglink' || fail "$f has no link to its debug file"
  elif [ ${#stored[@]} -ne 1 ] || [ ! -f "${stored[0]}" ]; then
    fail "symbols/$pdb/<GUID><age>/$pdb is not in the zip (or more than once)"
  else
    [ -f "$root/symbols/$f"/*/"$f" ] || fail "symbols/$f/<TIMESTAMP><SIZE>/$f is not in the zip"
    cmp -s "${stored[0]}" "$work/release/bin/$pdb" || fail "the stored $pdb is not the one the build wrote"
    summary=$("$pdbutil" dump -summary -modules "${stored[0]}" 2>&1)
    grep -q 'Has Debug Info: true' <<<"$summary" || fail "$pdb has no debug information"
    # A function of the product's own code, by name, with its source's line table.
    case $f in
      checkRVQ.dll) function=PreInstall source='installer[/\\]install_steps\.cpp' ;;
      RvqUpgd.exe) function=WinMain source='upgrade[/\\]RvqUpgd\.cpp' ;;
      bxlogctl.exe) function=wmain source='tools[/\\]bxlogctl[/\\]main\.cpp' ;;
    esac
    "$pdbutil" dump -symbols "${stored[0]}" 2>/dev/null | grep -qE "S_GPROC32 .*\`$function\`" ||
      fail "$pdb has no procedure record named $function"
    "$pdbutil" dump -l "${stored[0]}" 2>/dev/null | grep -qiE "$source" ||
      fail "$pdb has no line table of $source"
  fi
  osslsigncode verify -CAfile "$ca" -in "$file" >/dev/null 2>&1 || fail "$f does not verify"
  # One byte in the middle of the image changed after signing.
  cp "$file" "$work/tampered"
  size=$(stat -c %s "$file")
  old=$(od -An -tu1 -j $((size / 2)) -N1 "$file" | tr -d ' ')
  printf "\\$(printf '%03o' $(( (old + 1) % 256 )))" | dd of="$work/tampered" bs=1 seek=$((size / 2)) conv=notrunc status=none
  cmp -s "$file" "$work/tampered" && fail "the changed copy of $f is not changed"
  osslsigncode verify -CAfile "$ca" -in "$work/tampered" >/dev/null 2>&1 && fail "$f verifies after a change"
  headers=$("$objdump" -h "$file")
  grep -q '\.debug_' <<<"$headers" && fail "$f still carries DWARF sections"
done
if [ -d "$root/symbols" ]; then symbols=(--symbols "$root/symbols"); else symbols=(--debug-dir "$root/debug"); fi
/usr/bin/python3 "$src/tests/integration/check_hardening.py" --ca "$ca" "${symbols[@]}" \
  --objdump "$objdump" --nm "${objdump%objdump}nm" --pdbutil "$pdbutil" --delay advapi32.dll \
  "$root/checkRVQ.dll" "$root/RvqUpgd.exe" "$root/bxlogctl.exe" || fail "the hardening review of the release binaries"
setup=$work/dist/RVQ-$version-test-setup.exe
[ -e "$work/dist/RVQ-$version-setup.exe" ] && fail "a test setup is named like a release"
if [ -f "$setup" ]; then
  osslsigncode verify -CAfile "$ca" -in "$setup" >/dev/null 2>&1 || fail "the installer does not verify"
  7zz x -y -o"$work/setup" "$setup" uninstall.exe >/dev/null 2>&1 || fail "7-Zip cannot take the uninstaller out of the setup"
  osslsigncode verify -CAfile "$ca" -in "$work/setup/uninstall.exe" >/dev/null 2>&1 || fail "the uninstaller does not verify"
  strings -el "$setup" | grep -qx 'RVQ (test build)' || fail "the test setup's product name does not say test"
else
  fail "no $setup"
fi
"$src/tests/integration/check_binaries.sh" "$objdump" "$work/release/bin" "$version" || fail "release binary tables"

if [ "$failures" -ne 0 ]; then
  echo "$failures check(s) failed"
  exit 1
fi
echo "release package: all checks passed"
