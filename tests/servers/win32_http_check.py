#!/usr/bin/env python3
"""Runs the win32 HTTP backend's tests (Win32HttpTest.*) of a Windows build of
corvex_tests.exe under Wine against the loopback test server, and checks the
upload the server recorded byte for byte.

    tests/servers/win32_http_check.py build/<dir>/corvex_tests.exe
"""
import json
import os
import subprocess
import sys
import tempfile

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import loopback  # noqa: E402

ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))


def pattern(size):
    return bytes(ord("a") + i % 23 for i in range(size))


def main():
    exe = sys.argv[1]
    folder = tempfile.mkdtemp(prefix="corvex-http-check-")
    pages = os.path.join(folder, "pages")
    loopback.write_page(pages, "page.bin", pattern(300000))
    loopback.write_page(pages, "error.html", b"<html>server error</html>")
    loopback.write_page(pages, "error.html.status", b"500")
    loopback.write_page(pages, "truncated.bin", pattern(1000))
    loopback.write_page(pages, "truncated.bin.length", b"5000")
    loopback.write_page(pages, "overlong.bin", pattern(3000))
    loopback.write_page(pages, "overlong.bin.length", b"1000")
    records = os.path.join(folder, "records")
    server = loopback.LoopbackServer(pages, records)
    try:
        env = dict(os.environ, CORVEX_TEST_SERVER_URL=server.url)
        proc = subprocess.run([os.path.join(ROOT, "scripts", "wine-run.sh"), "-t", "900", exe, "--gtest_brief=1",
                               "--gtest_filter=Win32HttpTest.*"], env=env)
    finally:
        server.stop()
    failures = 0 if proc.returncode == 0 else 1
    with open(os.path.join(records, "0001.json")) as f:
        post = json.load(f)
    with open(os.path.join(records, "0001.body"), "rb") as f:
        body = f.read()
    headers = {k.lower(): v for k, v in post["headers"]}
    checks = [
        (post["path"] == "/Tallwen/apps/Corvex_UploadFile.php", "upload path " + post["path"]),
        (post["query"] == "id=7&part=-1", "upload query " + post["query"]),
        (body == pattern(70000), "upload body differs"),
        (headers.get("user-agent") == "Corvex Agent/2.0", "user agent %r" % headers.get("user-agent")),
        (headers.get("content-type") == "multipart/form-data; boundary=xyz", "content type"),
    ]
    for ok, what in checks:
        if not ok:
            failures += 1
            print("FAIL " + what)
    with open(os.path.join(records, "requests.log")) as f:
        print(f.read(), end="")
    print("PASS win32 HTTP" if not failures else "FAIL win32 HTTP")
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
