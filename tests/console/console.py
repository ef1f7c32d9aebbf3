"""The console as a person sees it: the real Corvex.exe under Wine in a
terminal. tmux runs it (Wine gives a program started in a terminal a real
console), send-keys types and capture-pane reads the screen. Prints one
PASS or FAIL line per case. Every wait is bounded."""
import os
import re
import shlex
import subprocess
import sys
import time

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(os.path.dirname(HERE))
sys.path.insert(0, os.path.join(ROOT, "tests", "e2e"))
import e2e  # noqa: E402  (the prefix layout and the session-log checks)

WINE_RUN = os.path.join(ROOT, "scripts", "wine-run.sh")
# A 32-bit program under qemu-i386 takes seconds to start, and now and then
# stalls.
START_TIMEOUT = int(os.environ.get("CORVEX_E2E_TIMEOUT", "300"))
EXIT_MARK = "[corvex-console exit "


class Terminal:
    """One tmux server of our own (its own socket) with one window."""

    def __init__(self, name, width=160, height=50):
        self.tmux = ["tmux", "-L", "corvex-console-%d-%s" % (os.getpid(), name), "-f", "/dev/null"]
        self.width, self.height = width, height

    def _tmux(self, *args):
        return subprocess.run(self.tmux + list(args), stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                              timeout=30, check=True).stdout.decode("utf-8", "replace")

    def start(self, argv):
        # The pane stays after the program ends, showing its exit status.
        command = " ".join(shlex.quote(a) for a in argv)
        shell = command + '; echo "' + EXIT_MARK + '$?]"; exec sleep 86400'
        self._tmux("new-session", "-d", "-s", "corvex", "-x", str(self.width), "-y", str(self.height),
                   "bash", "-c", shell)

    def screen(self):
        return self._tmux("capture-pane", "-p", "-t", "corvex")

    def lines(self):
        return [line.rstrip() for line in self.screen().splitlines()]

    def type(self, text):
        self._tmux("send-keys", "-t", "corvex", "-l", text)

    def title(self):
        return self._tmux("display-message", "-p", "-t", "corvex", "#{pane_title}").strip()

    def wait_for(self, pattern, timeout):
        """Waits until the screen matches; fails with the last screen when
        the time is up or the program ended without showing it."""
        deadline = time.monotonic() + timeout
        while True:
            shown = self.screen()
            m = re.search(pattern, shown)
            if m:
                return m
            if EXIT_MARK in shown:
                raise AssertionError("the program ended without showing %r; the screen:\n%s" % (pattern, shown))
            if time.monotonic() > deadline:
                raise AssertionError("no %r on the screen after %ds; the screen:\n%s" % (pattern, timeout, shown))
            time.sleep(0.5)

    def exited(self):
        return EXIT_MARK in self.screen()

    def wait_for_exit(self, timeout):
        return int(self.wait_for(re.escape(EXIT_MARK) + r"(\d+)\]", timeout).group(1))

    def close(self):
        try:
            subprocess.run(self.tmux + ["kill-server"], stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
                           timeout=30)
        except subprocess.TimeoutExpired:
            pass


def line_index(lines, text, start=0):
    for i in range(start, len(lines)):
        if text in lines[i]:
            return i
    raise AssertionError("no line with %r below line %d:\n%s" % (text, start, "\n".join(lines)))


def corvex(exe, *args):
    return [WINE_RUN, "-t", str(START_TIMEOUT), exe] + list(args)


CASES = []


def case(fn):
    CASES.append(fn)
    return fn


@case
def corrupt_zip_asks_for_a_key_and_goes_on_when_one_is_typed(exe, p, term):
    path = p.script("bad.zip", b"PK\x05\x06" + b"\x00" * 5)
    term.start(corvex(exe, path))
    term.wait_for(re.escape("Press any key to exit . . ."), START_TIMEOUT)
    # It waits: nothing more happens until a key comes.
    time.sleep(3)
    assert not term.exited(), "the program ended without a key:\n" + term.screen()
    e2e.eq(p.desktop_log(), None, "Desktop log before the key")
    # SetConsoleTitle reaches the terminal's title.
    e2e.eq(term.title(), "Corvex by tallwen.net", "console title")
    lines = term.lines()
    welcome = line_index(lines, "Welcome to Corvex by Tallwen and tallwen.net.")
    error = line_index(lines, "ERROR: Zip file is corrupt or unreadable. This may be due to a bad download.",
                       welcome + 1)
    prompt = line_index(lines, "Press any key to exit . . .", error + 1)

    term.type("n")
    e2e.eq(term.wait_for_exit(120), 0, "exit code")
    lines = term.lines()
    # The key is read, not echoed.
    e2e.eq(lines[prompt], "Press any key to exit . . .", "prompt line after the key")
    # The terminal can report the end before Wine has closed the log file.
    deadline = time.monotonic() + 30
    while p.desktop_log() is None and time.monotonic() < deadline:
        time.sleep(1)
    assert p.desktop_log() is not None, "no Desktop log after the run:\n" + term.screen()
    body, _ = e2e.split_log(p.desktop_log())
    assert body.startswith("Using .zip script file at C:\\scripts\\bad.zip [0]\r\nFailed to extract zip archive. "), body
    # The run went on after the key: its result line, the one the log ends
    # with, is shown below the prompt.
    result = body.rstrip("\r\n").split("\r\n")[-1]
    assert result.endswith(" all directives successfully.") or result == "Successfully processed all directives.", body
    line_index(lines, result, prompt + 1)


@case
def failed_final_logfile_waits_for_a_key_before_the_dated_copy(exe, p, term):
    # A folder where the log file should go: writing it must fail.
    desktop_log = os.path.join(p.desktop, "Corvex.txt")
    os.makedirs(desktop_log)
    try:
        path = p.script("one.txt", b"Debug::\r\nNo cbs\r\n")
        term.start(corvex(exe, path))
        term.wait_for(re.escape("Press any key to continue . . ."), START_TIMEOUT)
        time.sleep(3)
        assert not term.exited(), "the program ended without a key:\n" + term.screen()
        # The dated copy is written only after the key.
        assert not os.path.isdir(p.permanent) or not [n for n in os.listdir(p.permanent) if n.endswith(".log")], \
            os.listdir(p.permanent)
        lines = term.lines()
        done = line_index(lines, "Successfully processed all directives.")
        windows_path = "C:\\users\\%s\\Desktop\\Corvex.txt" % p.user_name
        error = line_index(lines, "ERROR: Failed to write final logfile (" + windows_path + ") with error code ",
                           done + 1)
        assert re.fullmatch(r"ERROR: Failed to write final logfile \(.*\) with error code \d+\. File may be in use\.",
                            lines[error]), lines[error]
        prompt = line_index(lines, "Press any key to continue . . .", error + 1)

        term.type("q")
        e2e.eq(term.wait_for_exit(120), 0, "exit code")
        lines = term.lines()
        e2e.eq(lines[prompt], "Press any key to continue . . .", "prompt line after the key")
        line_index(lines, "Failed to prepare and open final logfiles.", prompt + 1)
        copies = [n for n in os.listdir(p.permanent) if re.fullmatch(r"Corvex \(.*\)\.log", n)]
        e2e.eq(len(copies), 1, "dated copies")
        with open(os.path.join(p.permanent, copies[0]), "rb") as f:
            body, _ = e2e.split_log(f.read())
        e2e.eq(body, "Using .txt script file at C:\\scripts\\one.txt [0]\r\n\r\n\r\n\r\n\r\n"
                     "Debug:: directive completed successfully.\r\n\r\n\r\n\r\n\r\n"
                     "Successfully processed all directives.\r\n", "dated copy's log body")
        assert os.path.isdir(desktop_log), "the folder in the log file's place was left alone"
    finally:
        if os.path.isdir(desktop_log):
            os.rmdir(desktop_log)


@case
def analysis_pages_wait_for_a_key_each_and_clear_the_screen(exe, p, term):
    # What a start without a script runs.
    path = p.script("aa.txt", b"AutoAnalysis::\r\nDisplayIntro\r\n")
    term.start(corvex(exe, path))
    # The three pages before the analysis: each waits for its key, and the
    # next replaces it on a cleared screen.
    pages = ["Welcome to Corvex!", "WARNING!", "Disclaimer"]
    for i, title in enumerate(pages):
        term.wait_for(re.escape(title) + r"[\s\S]*Press any key to continue \. \. \.", START_TIMEOUT)
        time.sleep(2)
        shown = term.screen()
        assert not term.exited(), "the program ended without a key:\n" + shown
        for other in pages[:i]:
            assert other not in shown, "page %r still on the screen below %r:\n%s" % (other, title, shown)
        term.type(" ")
        term.wait_for(r"^(?![\s\S]*%s)" % re.escape(title), 60)
    # The rest of the run: a key for every prompt until it ends.
    deadline = time.monotonic() + 3 * START_TIMEOUT
    while not term.exited():
        assert time.monotonic() < deadline, "the analysis did not end:\n" + term.screen()
        if re.search(r"Press any key to [^\n]*\. \. \.\s*$", term.screen()):
            term.type(" ")
        time.sleep(2)
    e2e.eq(term.wait_for_exit(10), 0, "exit code")
    deadline = time.monotonic() + 30
    while p.desktop_log() is None and time.monotonic() < deadline:
        time.sleep(1)
    body, _ = e2e.split_log(p.desktop_log())
    assert body.startswith("Using .txt script file at C:\\scripts\\aa.txt [0]\r\n"), body[:200]
    assert "AutoAnalysis:: directive completed" in body, body
    # The pages are for the screen only.
    e2e.eq([page for page in pages if page in body], [], "pages in the session log")


def main():
    if len(sys.argv) < 2:
        print("usage: console.py Corvex.exe [part of a case name...]")
        return 2
    exe = sys.argv[1]
    p = e2e.Prefix()
    failures = 0
    server_dir = e2e.tempfile.mkdtemp(prefix="corvex-console-server-")
    server = e2e.loopback.start_no_update_server(server_dir)
    os.environ["CORVEX_SERVER_URL"] = server.url
    try:
        failures = run_cases(exe, p, sys.argv[2:])
    finally:
        server.stop()
        e2e.shutil.rmtree(server_dir, ignore_errors=True)
    return 1 if failures else 0


def run_cases(exe, p, wanted):
    failures = 0
    for fn in CASES:
        if wanted and not any(w in fn.__name__ for w in wanted):
            continue
        term = None

        def fresh():
            nonlocal term
            if term:
                term.close()
            p.reset()
            term = Terminal(fn.__name__[:20])

        try:
            verdict, why = e2e.run_case(fn.__name__, lambda: fn(exe, p, term), fresh, p)
        finally:
            if term:
                term.close()
        print(verdict + " " + fn.__name__ + (": " + why if why else ""), flush=True)
        failures += verdict == "FAIL"
    return failures


if __name__ == "__main__":
    sys.exit(main())
