#!/usr/bin/env bash
# Builds RVQ-<version>-setup.exe with makensis.
#
#   build-installer.sh --version V --bin DIR --maker DIR --payload DIR --out FILE
#
#   --bin DIR      checkRVQ.dll, RvqUpgd.exe and bxlogctl.exe (signed, when
#                  the package step signs)
#   --maker DIR    the maker's Uninst.dll, uninst.ini and bxclean.exe, which
#                  the library runs from its own folder
#   --payload DIR  the rest of the product; its content is installed into the
#                  product folder as it is laid out there
#   --out FILE     the installer to write
#   --compressor C lzma (default, solid: the smallest), zlib (several times
#                  faster to build; the tests use it) or bzip2
#   --sign-uninstaller CMD
#                  a command that signs the file named after it in place;
#                  makensis runs it on the uninstaller before storing it
#   --test         a setup that carries test stand-ins: its name, version
#                  resource and registration say so
#
# Payload names are checked first: a name Windows would read otherwise
# (with * ? " < > | : or a backslash, ending with a dot or a blank, or a
# backtick or control character, which the generated script cannot hold)
# and a locale file the install-time step would schedule for deletion at
# the next restart (loc_*.dat in the payload's top folder or its Locale
# folder, in any case) stop the build with the file's name.
#
# Every input is copied into a staging folder next to a copy of the script,
# with its modification time set to SOURCE_DATE_EPOCH (default: the time of
# the commit checked out here), and makensis runs there. The installer then
# holds no build path and no build time of ours: the same inputs give the
# same bytes.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)

usage() {
  sed -n '3,20p' "$0" | sed 's/^# \{0,1\}//' >&2
  exit 1
}

version="" bin="" maker="" payload="" out="" compressor=lzma sign_uninstaller="" test_build=0
while [ $# -gt 0 ]; do
  case $1 in
    --sign-uninstaller) sign_uninstaller=${2:-}; shift 2 ;;
    --test) test_build=1; shift ;;
    --version) version=${2:-}; shift 2 ;;
    --bin) bin=${2:-}; shift 2 ;;
    --maker) maker=${2:-}; shift 2 ;;
    --payload) payload=${2:-}; shift 2 ;;
    --out) out=${2:-}; shift 2 ;;
    --compressor) compressor=${2:-}; shift 2 ;;
    *) usage ;;
  esac
done
[ -n "$version" ] && [ -n "$bin" ] && [ -n "$maker" ] && [ -n "$payload" ] && [ -n "$out" ] || usage
if ! [[ $version =~ ^[0-9]+(\.[0-9]+){0,3}$ ]]; then
  echo "build-installer: the version must be 1 to 4 numbers separated by dots: $version" >&2
  exit 1
fi
case $compressor in
  lzma) compressor="/SOLID lzma" ;;
  zlib | bzip2) ;;
  *) echo "build-installer: unknown compressor $compressor (lzma, zlib, bzip2)" >&2; exit 1 ;;
esac
# The version resource needs four numbers.
vi_version=$version
while [[ $(tr -cd . <<<"$vi_version" | wc -c) -lt 3 ]]; do vi_version="$vi_version.0"; done

command -v makensis >/dev/null || { echo "build-installer: makensis is missing (Debian package nsis)" >&2; exit 1; }
for f in "$bin/checkRVQ.dll" "$bin/RvqUpgd.exe" "$bin/bxlogctl.exe" \
         "$maker/Uninst.dll" "$maker/uninst.ini" "$maker/bxclean.exe"; do
  [ -f "$f" ] || { echo "build-installer: missing $f" >&2; exit 1; }
done
[ -d "$payload" ] || { echo "build-installer: the payload folder $payload does not exist" >&2; exit 1; }
command -v python3 >/dev/null || { echo "build-installer: python3 is missing (it draws the setup's icon)" >&2; exit 1; }

# The payload's names, before anything is staged.
bad_names=$(
  cd "$payload" && find . -mindepth 1 -print0 | LC_ALL=C sort -z | while IFS= read -r -d '' path; do
    path=${path#./}
    base=${path##*/}
    dir=${path%"$base"}
    lower=$(printf '%s' "$base" | tr '[:upper:]' '[:lower:]')
    lower_dir=$(printf '%s' "$dir" | tr '[:upper:]' '[:lower:]')
    if [[ $path == *[\*?\"\<\>\|:\\\`]* ]] || [[ $path =~ [[:cntrl:]] ]]; then
      why='a character Windows or the setup script cannot take (* ? " < > | : \ ` or a control character)'
    elif [[ $base == *. || $base == *" " ]]; then
      why="a name ending with a dot or a blank, which Windows drops (it may then name another file or the folder above)"
    elif [[ -f $path && ( $lower_dir == "" || $lower_dir == locale/ ) && $lower == loc_*.dat ]]; then
      why="a locale file name: the install-time step schedules loc_*.dat here for deletion at the next restart"
    else
      continue
    fi
    printf '  %s: %s\n' "${path//[[:cntrl:]]/?}" "$why"
  done
)
if [ -n "$bad_names" ]; then
  echo "build-installer: payload names the setup cannot install:" >&2
  printf '%s\n' "$bad_names" >&2
  exit 1
fi

if [ -z "${SOURCE_DATE_EPOCH:-}" ]; then
  SOURCE_DATE_EPOCH=$(git -C "$here" log -1 --format=%ct 2>/dev/null || echo 0)
fi

stage=$(mktemp -d)
trap 'rm -rf "$stage"' EXIT
mkdir "$stage/bin" "$stage/maker" "$stage/payload"
cp "$here/rvq-setup.nsi" "$stage/"
python3 "$here/make-art.py" "$stage"
cp "$bin/checkRVQ.dll" "$bin/RvqUpgd.exe" "$bin/bxlogctl.exe" "$stage/bin/"
cp "$maker/Uninst.dll" "$maker/uninst.ini" "$maker/bxclean.exe" "$stage/maker/"
cp -R "$payload/." "$stage/payload/"

# The payload lists: one File line per file (after a SetOutPath to its
# folder), and for the uninstaller one Delete per file and one RMDir per
# folder, deepest first. In the run-time paths "$" is NSIS's escape
# character; File's source path is read as it is.
nsis_path() {  # a payload-relative path with backslashes, "$" escaped
  local text=${1//\//\\}
  printf '%s' "${text//\$/\$\$}"
}
source_path() {  # the same for File's source, which makensis reads as it is
  printf '%s' "${1//\//\\}"
}
(
  cd "$stage/payload"
  if find . ! -type f ! -type d | grep -q .; then
    echo "build-installer: the payload may hold only files and folders (no links)" >&2
    exit 1
  fi
  {
    echo "; generated by build-installer.sh"
    find . -type f -printf '%P\n' | LC_ALL=C sort | while IFS= read -r file; do
      dir=$(dirname "$file")
      if [ "$dir" = . ]; then echo 'SetOutPath `$INSTDIR`'; else echo "SetOutPath \`\$INSTDIR\\$(nsis_path "$dir")\`"; fi
      echo "File \`payload\\$(source_path "$file")\`"
    done
    echo 'SetOutPath `$INSTDIR`'
  } >"$stage/payload-install.nsh"
  {
    echo "; generated by build-installer.sh"
    find . -type f -printf '%P\n' | LC_ALL=C sort | while IFS= read -r file; do
      echo "Delete \`\$INSTDIR\\$(nsis_path "$file")\`"
    done
    find . -mindepth 1 -type d -printf '%P\n' | LC_ALL=C sort -r | while IFS= read -r dir; do
      echo "RMDir \`\$INSTDIR\\$(nsis_path "$dir")\`"
    done
  } >"$stage/payload-uninstall.nsh"
)

# NSIS stores each file's modification time in the installer.
find "$stage" -exec touch -h -d "@$SOURCE_DATE_EPOCH" {} +

out_abs=$(cd "$(dirname "$out")" && pwd)/$(basename "$out")
defines=("-DVERSION=$version" "-DVI_VERSION=$vi_version" "-DOUTFILE=$out_abs" "-DCOMPRESSOR=$compressor")
[ "$test_build" -eq 0 ] || defines+=(-DTEST_BUILD)
if [ -n "$sign_uninstaller" ]; then
  [ -x "$sign_uninstaller" ] || { echo "build-installer: $sign_uninstaller is not an executable file" >&2; exit 1; }
  case $sign_uninstaller in *[\'\"\ ]*) echo "build-installer: the signing command's path may not hold quotes or blanks" >&2; exit 1 ;; esac
  defines+=("-DSIGN_UNINSTALLER=$(cd "$(dirname "$sign_uninstaller")" && pwd)/$(basename "$sign_uninstaller")")
fi
(cd "$stage" && makensis -V2 -NOCD -INPUTCHARSET UTF8 "${defines[@]}" rvq-setup.nsi)
echo "build-installer: $out_abs ($(stat -c %s "$out_abs") bytes)"
