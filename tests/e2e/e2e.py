"""End-to-end cases: the real Corvex.exe under Wine, scripts on the command
line, keys on standard input, the Desktop session log checked byte for byte
where its text is fixed."""
import base64
import hashlib
import io
import os
import pwd
import re
import shutil
import subprocess
import sys
import zipfile

ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
WINE_RUN = os.path.join(ROOT, "scripts", "wine-run.sh")


class Prefix:
    """Paths inside the Wine prefix as Windows and as Linux sees them."""

    def __init__(self):
        self.root = os.environ["CORVEX_WINEPREFIX"]
        # Wine names the profile folder after the Unix account, not $USER.
        user = pwd.getpwuid(os.getuid()).pw_name
        self.user = os.path.join(self.root, "drive_c", "users", user)
        self.desktop = os.path.join(self.user, "Desktop")
        self.work = os.path.join(self.user, "AppData", "Local", "Tallwen")
        self.permanent = os.path.join(self.root, "drive_c", "Corvex")
        self.scripts = os.path.join(self.root, "drive_c", "scripts")

    def reset(self):
        for path in (self.work, self.permanent, self.scripts):
            shutil.rmtree(path, ignore_errors=True)
        for name in ("Corvex.txt", "Trace.txt"):
            try:
                os.remove(os.path.join(self.desktop, name))
            except FileNotFoundError:
                pass
        os.makedirs(self.scripts, exist_ok=True)
        os.makedirs(self.desktop, exist_ok=True)

    def script(self, name, data):
        with open(os.path.join(self.scripts, name), "wb") as f:
            f.write(data)
        return "C:\\scripts\\" + name

    def desktop_log(self):
        path = os.path.join(self.desktop, "Corvex.txt")
        if not os.path.exists(path):
            return None
        with open(path, "rb") as f:
            return f.read()


def run(exe, args, keys=b"", timeout=120):
    proc = subprocess.run([WINE_RUN, "-t", str(timeout), exe] + args, input=keys,
                          stdout=subprocess.PIPE, stderr=subprocess.STDOUT, timeout=timeout + 60)
    return proc.returncode, proc.stdout.decode("utf-8", "replace")


def b64_sha256(data):
    return base64.b64encode(hashlib.sha256(data).digest()).decode()


TIME = r"\d{4}-\d{2}-\d{2} \d{2}:\d{2}:\d{2}\.\d{3}"
HEADER = re.compile(r"^Corvex version 1\.0\.0\.0 by Tallwen\.\r\nStart time: " + TIME +
                    r"\r\nMicrosoft Windows [^\r\n]+ - (amd64|x86)\r\n")


def split_log(raw):
    """Checks the frame of a session log and returns the text between the
    header and the footer's first line, and the footer."""
    assert raw[:2] == b"\xff\xfe", "log does not start with FF FE"
    text = raw[2:].decode("utf-16-le")
    m = HEADER.match(text)
    assert m, "header: " + repr(text[:200])
    body = text[m.end():]
    idx = body.rfind("Corvex version 1.0.0.0 by Tallwen has completed.\r\n")
    assert idx >= 0, "no footer: " + repr(body[-300:])
    return body[:idx], body[idx:]


def footer(datablocks, script_hash=None):
    pattern = (r"Corvex version 1\.0\.0\.0 by Tallwen has completed\.\r\nCurrently storing " + str(datablocks) +
               r" datablocks\.\r\nFinish time: " + TIME)
    if script_hash:
        pattern += re.escape("\r\nScript hash: " + script_hash)
    return re.compile(pattern + re.escape("\r\n----------------------EOF-----------------------") + r"\Z")


CASES = []


def case(fn):
    CASES.append(fn)
    return fn


def eq(actual, expected, what):
    assert actual == expected, "%s:\n  expected %r\n  actual   %r" % (what, expected, actual)


@case
def text_script_full_log(exe, p):
    data = "\ufeffDebug::\r\nNo cbs\r\n\r\nBogus:: comment\r\nsome line\r\n".encode("utf-8")
    path = p.script("one.txt", data)
    code, out = run(exe, [path])
    eq(code, 0, "exit code")
    body, foot = split_log(p.desktop_log())
    eq(body, "Using .txt script file at C:\\scripts\\one.txt [0]\r\n\r\n\r\n\r\n\r\n"
             "Debug:: directive completed successfully.\r\n\r\n\r\n\r\n\r\n"
             "Bogus:: comment is not a recognised directive. The following lines were entered under this "
             "directive:\r\nsome line\r\n\r\n\r\n\r\n\r\n"
             "Successfully processed all directives.\r\n", "log body")
    assert footer(0, b64_sha256(data)).match(foot), repr(foot)
    assert "Processing directive 2 of 2 (Unrecognised directive: Bogus:: comment)" in out, out
    copies = [n for n in os.listdir(p.permanent) if re.match(r"Corvex \(\d{4}-\d\d-\d\d \d\d'\d\d'\d\d\.\d{3}\)\.log$", n)]
    eq(len(copies), 1, "dated copies")
    with open(os.path.join(p.permanent, copies[0]), "rb") as f:
        eq(f.read(), p.desktop_log(), "dated copy bytes")
    assert not os.path.exists(os.path.join(p.desktop, "Trace.txt")), "no trace was asked for"
    assert not os.path.exists(p.work), "empty working folders are removed"
    # The same script again is counted in the script list.
    os.remove(os.path.join(p.desktop, "Corvex.txt"))
    run(exe, [path])
    body, _ = split_log(p.desktop_log())
    assert body.startswith("Using .txt script file at C:\\scripts\\one.txt [1]\r\n"), body[:80]
    with open(os.path.join(p.permanent, "ScriptList"), "rb") as f:
        records = f.read().decode("latin-1")
    eq(records.count(b64_sha256(data)), 2, "script list records")


@case
def utf16_script_without_mark_and_debug_trace(exe, p):
    data = "Debug::\r\nSave Debug Log\r\n".encode("utf-16-le")
    path = p.script("u16 script.txt", data)
    run(exe, ["C:\\scripts\\u16", "script.txt"])
    body, _ = split_log(p.desktop_log())
    eq(body, "Using .txt script file at C:\\scripts\\u16 script.txt [0]\r\n\r\n\r\n\r\n\r\n"
             "Debug:: directive completed successfully.\r\n\r\n\r\n\r\n\r\n"
             "Successfully processed all directives.\r\n", "log body")
    with open(os.path.join(p.desktop, "Trace.txt"), "rb") as f:
        eq(f.read(), b"\xff\xfe" + "There have been no debug trace events.".encode("utf-16-le"), "trace")


@case
def zip_with_script_extracts_and_cleans_up(exe, p):
    buf = io.BytesIO()
    with zipfile.ZipFile(buf, "w", zipfile.ZIP_DEFLATED) as z:
        z.writestr("Corvex.txt", "Debug::\r\nNo dirs\r\n")
        z.writestr("files/new.dll", b"MZ" + bytes(range(256)) * 40)
    path = p.script("fix.zip", buf.getvalue())
    run(exe, [path])
    body, foot = split_log(p.desktop_log())
    eq(body, "Using .zip script file at C:\\scripts\\fix.zip [0]\r\n\r\n\r\n\r\n\r\n"
             "Debug:: directive completed successfully.\r\n\r\n\r\n\r\n\r\n"
             "Successfully processed all directives.\r\n", "log body")
    # A zip run is known by the hash of the zip file itself.
    assert footer(0, b64_sha256(buf.getvalue())).match(foot), repr(foot)
    leftovers = []
    for dirpath, _, files in os.walk(p.work):
        leftovers += files
    eq(leftovers, [], "files left in the working folders")


@case
def zip_without_script_runs_file_placement(exe, p):
    buf = io.BytesIO()
    with zipfile.ZipFile(buf, "w") as z:
        z.writestr("a.dll", b"MZ")
    run(exe, [p.script("place.zip", buf.getvalue())])
    body, _ = split_log(p.desktop_log())
    eq(body, "Using .zip script file at C:\\scripts\\place.zip [0]\r\n"
             "Not using an additional text script file.\r\n\r\n\r\n\r\n\r\n"
             "AutoAnalysis::\r\nAutoAnalysis:: is not available in this version of Corvex.\r\n"
             "AutoAnalysis:: directive failed to complete successfully.\r\n\r\n\r\n\r\n\r\n"
             "Failed to process all directives successfully.\r\n", "log body")


@case
def corrupt_zip_is_reported(exe, p):
    path = p.script("bad.zip", b"PK\x05\x06" + b"\x00" * 5)
    code, out = run(exe, [path], keys=b"\r")
    eq(code, 0, "exit code")
    assert "ERROR: Zip file is corrupt or unreadable." in out, out
    body, _ = split_log(p.desktop_log())
    assert body.startswith("Using .zip script file at C:\\scripts\\bad.zip [0]\r\nFailed to extract zip archive. "), body
    assert body.endswith("Failed to process all directives successfully.\r\n"), body


@case
def unsafe_zip_writes_nothing(exe, p):
    buf = io.BytesIO()
    with zipfile.ZipFile(buf, "w") as z:
        z.writestr("Corvex.txt", "Debug::\r\n")
        z.writestr("../../../../escaped.txt", "owned")
    run(exe, [p.script("evil.zip", buf.getvalue())], keys=b"\r")
    body, _ = split_log(p.desktop_log())
    assert "Failed to extract zip archive. " in body, body
    for dirpath, _, files in os.walk(os.path.join(p.root, "drive_c")):
        assert "escaped.txt" not in files, dirpath


@case
def session_log_as_script_is_refused(exe, p):
    path = p.script("log.txt", "\ufeffCorvex version 1.0.0.0 by Tallwen.\r\nDebug::\r\n".encode("utf-16-le"))
    code, out = run(exe, [path], keys=b"x")
    eq(code, 0, "exit code")
    assert "Detected logfile supplied as script. Script blocked." in out, out
    eq(p.desktop_log(), None, "Desktop log")


@case
def unreadable_script_goes_on_with_nothing(exe, p):
    code, out = run(exe, ["C:\\scripts\\missing.txt"])
    assert "Failed to read script or malformed script." in out, out
    body, foot = split_log(p.desktop_log())
    eq(body, "Using .txt script file at C:\\scripts\\missing.txt []\r\n"
             "Failed to read script or malformed script.\r\n\r\n\r\n\r\n\r\n"
             "Failed to process all directives successfully.\r\n", "log body")
    assert footer(0).match(foot), repr(foot)


@case
def continued_session_uses_saved_logs_and_script(exe, p):
    os.makedirs(p.work, exist_ok=True)
    saved = "Corvex version 1.0.0.0 by Tallwen.\r\nStart time: 2026-01-01 00:00:00.000\r\n" \
            "Microsoft Windows 10 Build 1 - amd64\r\nBefore the restart.\r\n"
    for name, text in (("Reboot_Neat_Log", saved), ("Reboot_Debug_Log", "old trace\r\n"),
                       ("Reboot_Script", "Debug::\r\nNo fs\r\n")):
        with open(os.path.join(p.work, name), "wb") as f:
            f.write(b"\xff\xfe" + text.encode("utf-16-le"))
    with open(os.path.join(p.work, "DataBlocks"), "wb") as f:
        f.write(b"\xff\xfe" + "C:\\x|D:(A;;FA;;;SY)|S-1-5-18".encode("utf-16-le"))
    run(exe, [p.script("ignored.txt", b"VSS::\r\n")])
    raw = p.desktop_log()
    body, foot = split_log(raw)
    eq(body, "Before the restart.\r\nDebug:: directive completed successfully.\r\n\r\n\r\n\r\n\r\n"
             "Successfully processed all directives.\r\n", "log body")
    assert footer(1).match(foot), repr(foot)
    eq(sorted(os.listdir(p.work)), ["DataBlocks"], "working folder after the session")


@case
def datablock_directives_keep_the_store(exe, p):
    record = "C:\\Windows\\System32\\drivers\\etc\\hosts|D:PAI(A;;FA;;;SY)(A;;FA;;;BA)|S-1-5-32-544"
    script = ("DataBlock::\r\n" + record + "\r\n" + record + "\r\nPrintDataBlocks::\r\n"
              "C:/Windows/System32/drivers/etc/hosts\r\nC:\\nothing\r\nCountDataBlocks::\r\n")
    run(exe, [p.script("blocks.txt", script.encode("latin-1"))])
    body, foot = split_log(p.desktop_log())
    key = record.split("|")[0]
    eq(body.split("\r\n\r\n\r\n\r\n\r\n")[1:4], [
        "DataBlock::\r\nSuccessfully added datablock for " + key + "\r\nDid not add datablock for " + key +
        ". A datablock for this item already exists.\r\nDataBlock:: directive completed successfully.",
        "PrintDataBlocks::\r\n" + record + "\r\nNo datablock exists for C:\\nothing\r\n"
        "Currently storing a total of 1 datablocks.\r\nPrintDataBlocks:: directive completed successfully.",
        "CountDataBlocks::\r\nCurrently storing 1 datablocks.\r\nCountDataBlocks:: directive completed successfully.",
    ], "sections")
    assert footer(1, b64_sha256(script.encode("latin-1"))).match(foot), repr(foot)
    with open(os.path.join(p.work, "DataBlocks"), "rb") as f:
        eq(f.read(), b"\xff\xfe" + record.encode("utf-16-le"), "store file")
    eq(sorted(os.listdir(p.work)), ["DataBlocks"], "working folder keeps only the store")
    # A later run deletes the record, and with it the store file.
    os.remove(os.path.join(p.desktop, "Corvex.txt"))
    delete = ("DeleteDataBlocks::\r\n" + key + "\r\n").encode("latin-1")
    run(exe, [p.script("delete.txt", delete)])
    body, foot = split_log(p.desktop_log())
    assert "Successfully deleted datablock for file " + key + "\r\n" in body, body
    assert footer(0, b64_sha256(delete)).match(foot), repr(foot)
    assert not os.path.exists(os.path.join(p.work, "DataBlocks")), "last record gone: store removed"


def main():
    if len(sys.argv) != 2:
        print("usage: e2e.py Corvex.exe")
        return 2
    exe = sys.argv[1]
    p = Prefix()
    failures = 0
    for fn in CASES:
        p.reset()
        try:
            fn(exe, p)
            print("PASS " + fn.__name__)
        except Exception as e:  # one case's failure must not hide the others
            failures += 1
            print("FAIL %s: %s" % (fn.__name__, e))
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
