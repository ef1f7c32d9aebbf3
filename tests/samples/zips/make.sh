#!/bin/bash
# Regenerates the zip fixtures of the zip reader tests, and the tree/ of
# plain files whose bytes the tests expect to see extracted.
# Needs python3 and the Info-ZIP `zip` command. Run from anywhere.
set -euo pipefail
cd "$(dirname "$0")"
# The zip command stores local times.
export TZ=UTC

rm -rf tree ./*.zip
python3 - <<'PY'
import hashlib, io, os, struct, zipfile

def put(path, data):
    os.makedirs(os.path.dirname(path) or ".", exist_ok=True)
    with open(path, "wb") as f:
        f.write(data)

hello = b"Hello, zip.\r\n"
readme = b"".join(b"Line %03d: the quick brown fox jumps over the lazy dog.\r\n" % i
                  for i in range(400))
# Incompressible, and longer than the 32 KiB deflate window.
data = b""
block = b"corvex"
while len(data) < 70000:
    block = hashlib.sha256(block).digest()
    data += block
data = data[:70000]

tree = {
    "hello.txt": hello,
    "empty.txt": b"",
    "docs/readme.txt": readme,
    "docs/deep/nested/data.bin": data,
}
for name, body in tree.items():
    put("tree/" + name, body)

def zinfo(name, method=zipfile.ZIP_DEFLATED):
    zi = zipfile.ZipInfo(name, date_time=(2024, 5, 17, 12, 30, 0))
    zi.compress_type = method
    zi.external_attr = (0o40755 << 16) | 0x10 if name.endswith("/") else 0o644 << 16
    return zi

def make(path, entries, method=zipfile.ZIP_DEFLATED, comment=b""):
    buf = io.BytesIO()
    with zipfile.ZipFile(buf, "w") as z:
        for name, body in entries:
            z.writestr(zinfo(name, method), body)
        z.comment = comment
    put(path, buf.getvalue())
    return buf.getvalue()

make("py_stored.zip", [(n, tree[n]) for n in ("hello.txt", "empty.txt", "docs/readme.txt")],
     zipfile.ZIP_STORED)
make("py_deflated.zip", list(tree.items()) + [("docs/empty_dir/", b"")])
# Names outside ASCII get the UTF-8 flag from python.
make("py_utf8.zip", [("\u00dcn\u00efc\u00f6d\u00e9/na\u00efve \u2013 \u65e5\u672c\u8a9e.txt", hello),
                     ("\U0001F600.txt", readme)])
make("py_folder_only.zip", [("only_folder/", b"")])
make("py_empty.zip", [])
# The comment holds a whole end record of an empty archive, followed by text:
# only the real record's comment length reaches the end of the file.
make("py_comment_trap.zip", [("hello.txt", hello)],
     comment=b"Not an end record: PK\x05\x06" + bytes(18) + b" followed by text.")

# ZIP64 extra field in the local header only, as force_zip64 writes it.
buf = io.BytesIO()
with zipfile.ZipFile(buf, "w", zipfile.ZIP_DEFLATED) as z:
    for name in ("hello.txt", "docs/readme.txt"):
        with z.open(zinfo(name), "w", force_zip64=True) as f:
            f.write(tree[name])
put("py_zip64_local.zip", buf.getvalue())

# Full ZIP64: extra fields in the central directory, the ZIP64 end record and
# its locator, and the classic end record holding only 0xFFFF.. markers, as a
# writer does for archives past 4 GiB or 65535 entries.
saved = (zipfile.ZIP64_LIMIT, zipfile.ZIP_FILECOUNT_LIMIT)
zipfile.ZIP64_LIMIT, zipfile.ZIP_FILECOUNT_LIMIT = 4, 1
buf = io.BytesIO()
with zipfile.ZipFile(buf, "w", zipfile.ZIP_DEFLATED) as z:
    for name in ("hello.txt", "docs/readme.txt"):
        z.writestr(zinfo(name), tree[name])
zipfile.ZIP64_LIMIT, zipfile.ZIP_FILECOUNT_LIMIT = saved
raw = bytearray(buf.getvalue())
eocd = len(raw) - 22
assert raw[eocd:eocd + 4] == b"PK\x05\x06" and raw[eocd - 20:eocd - 16] == b"PK\x06\x07"
raw[eocd + 8:eocd + 20] = b"\xff" * 12
put("py_zip64_full.zip", bytes(raw))

# A name without the UTF-8 flag holding every byte 0x80-0xFF: it is code page
# 437. The entry's data is that name decoded by python, in UTF-8.
cp437 = bytes(range(0x80, 0x100)) + b".txt"
placeholder = b"X" * len(cp437)
body = cp437.decode("cp437").encode("utf-8")
raw = make("cp437.zip", [(placeholder.decode(), body)], zipfile.ZIP_STORED)
assert raw.count(placeholder) == 2
put("cp437.zip", raw.replace(placeholder, cp437))

# Archives that try to write outside the destination; the harmful entry comes
# last so a reader that writes as it goes would already have written the rest.
good = [("good.txt", hello), ("sub/ok.txt", hello)]
make("evil_dotdot.zip", good + [("../evil.txt", b"evil")], zipfile.ZIP_STORED)
make("evil_nested_dotdot.zip", good + [("sub/../../evil.txt", b"evil")], zipfile.ZIP_STORED)
make("evil_abs.zip", good + [("/tmp/evil.txt", b"evil")], zipfile.ZIP_STORED)
make("evil_drive.zip", good + [("C:/evil.txt", b"evil")], zipfile.ZIP_STORED)
make("evil_unc.zip", good + [("\\\\server\\share\\evil.txt", b"evil")], zipfile.ZIP_STORED)
PY

# Fixed times so a rerun gives the same bytes.
find tree -exec touch -d '2024-05-17 12:30:00' {} +
(
  cd tree
  # -r adds explicit entries for the folders; -X leaves out owner fields.
  zip -q -X -r ../zip_cli.zip hello.txt empty.txt docs
  echo "Made by the zip command for the zip reader tests." | zip -q -z ../zip_cli.zip
  # Written to a pipe: sizes and CRC follow the data in data descriptors.
  zip -q -X - hello.txt docs/readme.txt | cat > ../zip_stream.zip
  # Traditional PKWARE encryption; its random header differs on every run.
  zip -q -X -P secret ../zip_encrypted.zip hello.txt
)
ls -l ./*.zip
