#!/usr/bin/env bash
# Fails when product code calls an unbounded string copy, concatenation or
# format. Bounded forms (snprintf, _snwprintf, _vsnwprintf, wcsncpy_s, the
# helpers of support/common/bounded_string.h) are fine.
set -u
root=${1:-$(cd "$(dirname "$0")/../.." && pwd)}
cd "$root" || exit 2
banned='\b(strcpy|wcscpy|_tcscpy|strcat|wcscat|_tcscat|sprintf|swprintf|_swprintf|vsprintf|vswprintf|_stprintf|wsprintfA?W?|wvsprintfA?W?|lstrcpyA?W?|lstrcatA?W?|StrCpyW?|StrCatW?|gets|_getws)[[:space:]]*\('
hits=$(grep -rnE --include='*.cpp' --include='*.h' --include='*.c' "$banned" \
         installer upgrade support logging tools 2>/dev/null)
if [ -n "$hits" ]; then
  echo "Unbounded string functions in product code:"
  echo "$hits"
  exit 1
fi
echo "banned calls: none in product code"
