#!/usr/bin/env bash
# The real Corvex.exe in a terminal (tmux) under Wine; prints PASS/FAIL lines.
#   tests/console/run.sh Corvex.exe    (CORVEX_WINEPREFIX names the prefix)
set -uo pipefail
here=$(cd "$(dirname "$0")" && pwd)
exec python3 "$here/console.py" "$@"
