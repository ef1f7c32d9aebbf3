#!/usr/bin/env python3
"""A stand-in for the program's servers, on loopback only.

    corvex_server.py --root PAGES --record RECORDS [--port N]
                     [--answer do=TEXT ...] [--upload-status N]

Prints the port it listens on (the one given, or one the system chose) as
the first line of standard output, then serves until killed.

GET and HEAD serve files under PAGES by the address's path ("/Tallwen/apps/
Corvex.exe" is PAGES/Tallwen/apps/Corvex.exe); the query is ignored, except
"?do=NAME" on any path, which answers the text given by "--answer NAME=TEXT"
(e.g. --answer verify=valid --answer prepare=12345 --answer finalize=OK), or
the file PAGES/do/NAME when there is no such option. A file PAGE.status next
to a page sets its status code (an error page keeps its body); PAGE.length
sets the Content-Length announced, whatever the body's length. Anything else
is a 404 with an HTML body. HEAD answers the Content-Length without a body.

POST reads the announced body and records it as RECORDS/NNNN.body, with
RECORDS/NNNN.json holding method, path, query and headers; it answers
"--upload-status" (200) with the body "OK". Every request is also appended to
RECORDS/requests.log as "METHOD path?query".
"""

import argparse
import http.server
import json
import os
import sys
import threading
import urllib.parse

LOOPBACK = "127.0.0.1"


class Handler(http.server.BaseHTTPRequestHandler):
    server_version = "CorvexTestServer/1.0"
    protocol_version = "HTTP/1.1"

    def log_message(self, fmt, *args):  # keep stderr quiet; requests.log has it
        pass

    def _log(self):
        with self.server.lock, open(os.path.join(self.server.records, "requests.log"), "a") as f:
            f.write(f"{self.command} {self.path}\n")

    def _send(self, status, body, content_type="application/octet-stream", head=False):
        announced = getattr(self, "announced", None)
        self.announced = None
        self.send_response(status)
        self.send_header("Content-Type", content_type)
        self.send_header("Content-Length", str(len(body) if announced is None else announced))
        if announced is not None:
            self.close_connection = True  # the body does not match the length
        self.end_headers()
        if not head:
            self.wfile.write(body)

    def _page(self):
        """(status, body, content type) for a GET or HEAD."""
        url = urllib.parse.urlsplit(self.path)
        query = urllib.parse.parse_qs(url.query, keep_blank_values=True)
        if "do" in query:
            name = query["do"][0]
            if name in self.server.answers:
                return 200, self.server.answers[name].encode("utf-8"), "text/plain"
            url = urllib.parse.urlsplit("/do/" + name)
        rel = urllib.parse.unquote(url.path).lstrip("/")
        full = os.path.realpath(os.path.join(self.server.root, rel))
        if not full.startswith(self.server.root + os.sep) or not os.path.isfile(full):
            return 404, b"<html><body><h1>404 Not Found</h1></body></html>", "text/html"
        with open(full, "rb") as f:
            body = f.read()
        status = 200
        if os.path.isfile(full + ".length"):
            with open(full + ".length") as f:
                self.announced = int(f.read().strip())
        if os.path.isfile(full + ".status"):
            with open(full + ".status") as f:
                status = int(f.read().strip())
        return status, body, "text/html" if status != 200 else "application/octet-stream"

    def do_GET(self):
        self._log()
        status, body, ctype = self._page()
        self._send(status, body, ctype)

    def do_HEAD(self):
        self._log()
        status, body, ctype = self._page()
        self._send(status, body, ctype, head=True)

    def do_POST(self):
        self._log()
        length = int(self.headers.get("Content-Length", "0"))
        remaining = length
        chunks = []
        while remaining > 0:
            chunk = self.rfile.read(min(remaining, 1 << 20))
            if not chunk:
                break
            chunks.append(chunk)
            remaining -= len(chunk)
        body = b"".join(chunks)
        url = urllib.parse.urlsplit(self.path)
        with self.server.lock:
            self.server.posts += 1
            stem = os.path.join(self.server.records, "%04d" % self.server.posts)
        with open(stem + ".body", "wb") as f:
            f.write(body)
        with open(stem + ".json", "w") as f:
            json.dump({"method": "POST", "path": url.path, "query": url.query,
                       "headers": [[k, v] for k, v in self.headers.items()],
                       "announced": length, "received": len(body)}, f, indent=1)
        self._send(self.server.upload_status, b"OK", "text/plain")


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--root", required=True)
    parser.add_argument("--record", required=True)
    parser.add_argument("--port", type=int, default=0)
    parser.add_argument("--answer", action="append", default=[])
    parser.add_argument("--upload-status", type=int, default=200)
    args = parser.parse_args()

    os.makedirs(args.record, exist_ok=True)
    server = http.server.ThreadingHTTPServer((LOOPBACK, args.port), Handler)
    server.daemon_threads = True
    server.root = os.path.realpath(args.root)
    server.records = os.path.realpath(args.record)
    server.answers = dict(a.split("=", 1) for a in args.answer)
    server.upload_status = args.upload_status
    server.lock = threading.Lock()
    server.posts = 0
    print(server.server_address[1], flush=True)
    try:
        server.serve_forever()
    except KeyboardInterrupt:
        pass
    return 0


if __name__ == "__main__":
    sys.exit(main())
