#!/usr/bin/env bash
# Corvex's main job on a demo script: builds the release, runs it under Wine
# (32-bit, under WOW64 in a 64-bit prefix) with demo/Corvex-demo.txt and
# prints the session log it leaves on the Desktop. Where 32-bit Wine cannot
# run, the x86_64 build runs instead, after one warning line.
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
script=${1:-$root/demo/Corvex-demo.txt}
"$root/scripts/wine-run.sh" -t 900 "$exe" "Z:$(realpath "$script" | tr / '\\')" </dev/null
desktop=$(find "$CORVEX_WINEPREFIX/drive_c/users" -maxdepth 2 -name Desktop -type d | head -1)
echo
echo "---- Session log ($desktop/Corvex.txt, UTF-16LE) ----"
head -c 2 "$desktop/Corvex.txt" | od -An -tx1
iconv -f UTF-16 -t UTF-8 "$desktop/Corvex.txt" | tr -d '\r'
echo
