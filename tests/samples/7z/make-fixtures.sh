#!/usr/bin/env bash
# Makes the 7z test archives with Debian's 7z (p7zip-full). Only needed to
# remake them; the tests read the committed archives. The files inside are
# generated here and again, byte for byte, by tests/unit/seven_zip_test.cpp.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cd "$work"

python3 - <<'PY'
import os

WORDS = ["alpha", "beta", "gamma", "delta", "component", "store", "registry", "winsxs", "manifest", "catalog"]

def step(x):
    return (x * 1103515245 + 12345) % (1 << 31)

def text(seed, n):
    out, x = [], seed
    size = 0
    while size < n:
        x = step(x)
        r = x >> 16
        piece = WORDS[r % 10] + ("\n" if r % 7 == 0 else " ")
        out.append(piece)
        size += len(piece)
    return "".join(out)[:n].encode()

def exe(seed, n):
    b, x = bytearray(b"MZ"), seed
    while len(b) < n:
        x = step(x)
        r = x >> 16
        if r % 3 == 0:
            b += b"\xE8" + ((r * 37) % 500 - 250).to_bytes(4, "little", signed=True)
        elif r % 3 == 1:
            b += bytes([0x55, 0x8B, 0xEC, 0x83, 0xEC, r & 0xFF])
        else:
            b += bytes([0x90, (r >> 3) & 0xFF])
    return bytes(b[:n])

def put(path, data):
    os.makedirs(os.path.dirname(path), exist_ok=True)
    with open(path, "wb") as f:
        f.write(data)

# Small tree: a text, a nested text, an empty file, an empty folder.
put("small/readme.txt", text(1, 3000))
put("small/data/notes.txt", text(2, 20000))
put("small/data/empty.dat", b"")
os.makedirs("small/empty", exist_ok=True)
# Full tree: the small one with a larger text and an executable.
put("full/readme.txt", text(1, 3000))
put("full/data/notes.txt", text(2, 20000))
put("full/data/big.txt", text(3, 150000))
put("full/data/empty.dat", b"")
os.makedirs("full/empty", exist_ok=True)
put("full/bin/tool.exe", exe(4, 70000))
PY

rm -f "$here"/*.7z
(cd full && 7z a -bd "$here/default.7z" readme.txt data empty >/dev/null)
(cd full && 7z a -bd -m0=BCJ -m1=LZMA "$here/bcj.7z" bin >/dev/null)
(cd small && 7z a -bd -m0=LZMA "$here/lzma.7z" . >/dev/null)
(cd small && 7z a -bd -mx0 "$here/copy.7z" . >/dev/null)
(cd small && 7z a -bd -m0=Deflate "$here/deflate.7z" . >/dev/null)
(cd small && 7z a -bd -mhc=off "$here/plain-header.7z" . >/dev/null)
(cd small && 7z a -bd -pSecret "$here/aes.7z" readme.txt >/dev/null)
ls -l "$here"/*.7z
