#!/usr/bin/env bash
# Corvex's main job on a demo script: builds Corvex.exe, runs it under Wine
# with demo/Corvex-demo.txt and prints the session log it leaves on the
# Desktop.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
"$root/scripts/setup.sh"
"$root/scripts/build.sh" win64
export CORVEX_WINEPREFIX="${CORVEX_WINEPREFIX:-$root/build/wineprefix-demo}"
script=${1:-$root/demo/Corvex-demo.txt}
"$root/scripts/wine-run.sh" -t 300 "$root/build/win64/Corvex.exe" "Z:$(realpath "$script" | tr / '\\')" </dev/null
desktop=$(find "$CORVEX_WINEPREFIX/drive_c/users" -maxdepth 2 -name Desktop -type d | head -1)
echo
echo "---- Session log ($desktop/Corvex.txt, UTF-16LE) ----"
head -c 2 "$desktop/Corvex.txt" | od -An -tx1
iconv -f UTF-16 -t UTF-8 "$desktop/Corvex.txt" | tr -d '\r'
echo
