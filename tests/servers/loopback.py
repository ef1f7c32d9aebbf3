"""Starts corvex_server.py on a loopback port for a test run."""
import os
import subprocess
import sys

SERVER = os.path.join(os.path.dirname(os.path.abspath(__file__)), "corvex_server.py")
VERSION_PAGE = os.path.join("Tallwen", "apps", "Corvex_GetLatestVersion.php")


class LoopbackServer:
    """The server over `root` (pages) recording into `record`; `url` is what
    CORVEX_SERVER_URL takes. Stop it with stop()."""

    def __init__(self, root, record, answers=()):
        args = [sys.executable, SERVER, "--root", root, "--record", record]
        for a in answers:
            args += ["--answer", a]
        self.proc = subprocess.Popen(args, stdout=subprocess.PIPE, stdin=subprocess.DEVNULL)
        line = self.proc.stdout.readline().decode().strip()
        if not line.isdigit():
            self.proc.kill()
            raise RuntimeError("test server did not start: %r" % line)
        self.url = "http://127.0.0.1:" + line

    def stop(self):
        self.proc.terminate()
        self.proc.wait(timeout=10)


def write_page(root, rel, data):
    path = os.path.join(root, rel)
    os.makedirs(os.path.dirname(path), exist_ok=True)
    with open(path, "wb") as f:
        f.write(data)


def start_no_update_server(folder):
    """A server that answers every update check with "0.0.0.0", so a run
    under test goes on at once without a key press or the internet."""
    root = os.path.join(folder, "pages")
    write_page(root, VERSION_PAGE, b"0.0.0.0")
    return LoopbackServer(root, os.path.join(folder, "records"))
