#!/usr/bin/env bash
# End-to-end runs of the real Corvex.exe under Wine; prints PASS/FAIL lines.
set -uo pipefail
here=$(cd "$(dirname "$0")" && pwd)
exec python3 "$here/e2e.py" "$@"
