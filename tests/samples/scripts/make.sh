#!/usr/bin/env bash
# Regenerates the script archives used by the loader tests.
set -euo pipefail
cd "$(dirname "$0")"
python3 - <<'PY'
import zipfile
with zipfile.ZipFile("with_script.zip", "w", zipfile.ZIP_DEFLATED) as z:
    z.writestr("Corvex.txt", "Debug::\r\nNo dirs\r\n")
    z.writestr("files/new.dll", b"MZ" + bytes(range(256)) * 16)
with zipfile.ZipFile("other_text_name.zip", "w") as z:
    z.writestr("fix.txt", "Debug::\r\n")
# A zip whose script names one file it holds and one it does not.
with zipfile.ZipFile("helper_rules.zip", "w", zipfile.ZIP_DEFLATED) as z:
    z.writestr("Corvex.txt", "PowerCopy::\r\n{ARCHIVE}\\files\\good.dll C:\\Windows\\System32\\good.dll\r\n"
               "{ARCHIVE}\\files\\missing.dll C:\\Windows\\System32\\missing.dll\r\n")
    z.writestr("files/good.dll", b"MZ")
PY
rm -rf tmp && mkdir -p tmp/files && printf 'Debug::\r\n' > tmp/Corvex.txt && printf 'MZ' > tmp/files/a.dll
(cd tmp && rm -f ../cli_script.zip && zip -qrX ../cli_script.zip Corvex.txt files)
rm -rf tmp
