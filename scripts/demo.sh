#!/usr/bin/env bash
# Corvex's main job: builds the release and runs it under Wine (32-bit,
# under WOW64 in a 64-bit prefix) on a planted damaged component store: a
# store file whose manifest digest no longer matches, a COMPONENTS hive that
# names its folder (and one folder that is gone), stand-in sfc.exe and
# dism.exe in the 64-bit system folder, the sfc stand-in leaving the CBS.log
# with SFC's "[SR]" line. The helper's zip holds the good file and a
# Corvex.txt that says AutoAnalysis::; the analysis repairs the store file
# from it (keeping a backup) and ends with its summary. The session log it
# leaves on the Desktop is printed. Where 32-bit Wine cannot run, the x86_64
# build runs instead, after one warning line.
#
# `scripts/demo.sh path/to/script.txt` runs that script instead.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
"$root/scripts/setup.sh"
"$root/scripts/build.sh" win32
release=$root/build/win32/Corvex.exe
if [ "$("$root/scripts/release-exe.sh" 2>/dev/null || true)" != "$release" ]; then
  "$root/scripts/build.sh" win64
fi
exe=$("$root/scripts/release-exe.sh")
export CORVEX_WINEPREFIX="${CORVEX_WINEPREFIX:-$root/build/wineprefix-demo}"
# A demo prefix made before 32-bit Wine was there lacks its 32-bit half.
if [ "$exe" = "$release" ] && [ -f "$CORVEX_WINEPREFIX/.corvex-ready" ] &&
  [ ! -f "$CORVEX_WINEPREFIX/drive_c/windows/syswow64/kernel32.dll" ]; then
  rm -rf "$CORVEX_WINEPREFIX"
fi
if [ $# -ge 1 ]; then
  script="Z:$(realpath "$1" | tr / '\\')"
else
  # The store is planted afresh each time; the zip goes where a user would
  # have saved it.
  mkdir -p "$CORVEX_WINEPREFIX/drive_c/users/Public/Downloads"
  python3 "$root/tests/e2e/damaged_store.py" "$CORVEX_WINEPREFIX" \
    "$CORVEX_WINEPREFIX/drive_c/users/Public/Downloads/corvex-fix.zip"
  script='C:\users\Public\Downloads\corvex-fix.zip'
  export CORVEX_WINEDLLOVERRIDES="dism.exe=n"
fi
"$root/scripts/wine-run.sh" -t 900 "$exe" "$script" </dev/null
desktop=$(find "$CORVEX_WINEPREFIX/drive_c/users" -maxdepth 2 -name Desktop -type d | head -1)
echo
echo "---- Session log ($desktop/Corvex.txt, UTF-16LE) ----"
head -c 2 "$desktop/Corvex.txt" | od -An -tx1
iconv -f UTF-16 -t UTF-8 "$desktop/Corvex.txt" | tr -d '\r'
echo
