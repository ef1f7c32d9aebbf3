"""A damaged component store planted in a Wine prefix, for the end-to-end
case and the demo of the automatic analysis.

Wine has no component store of its own worth the name, no sfc and only a
stub dism, so this plants what Windows would have: a store folder whose
file no longer matches the digest its manifest declares, a COMPONENTS hive
naming that folder and one more whose folder is gone, and stand-in sfc.exe
and dism.exe in the 64-bit system folder (a 32-bit program reaches them
through Sysnative). The sfc stand-in leaves the CBS.log that SFC would
write: one "[SR]" line for the damaged file. The good copy travels in the
zip archive with a Corvex.txt that says AutoAnalysis::.

    damaged_store.py PREFIX ZIP   plants the store in PREFIX and writes ZIP
"""
import base64
import hashlib
import io
import os
import shutil
import subprocess
import sys
import zipfile

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(os.path.dirname(HERE))
WINE_RUN = os.path.join(ROOT, "scripts", "wine-run.sh")

NAME = "Microsoft-Windows-CorvexDemo"
VERSION = "10.0.19041.1"
TOKEN = "31bf3856ad364e35"
KEY = "amd64_microsoft-windows-corvexdemo_%s_%s_none_5f3c0a1b2d4e6f70" % (TOKEN, VERSION)
GONE_KEY = "amd64_microsoft-windows-corvexgone_%s_%s_none_0a1b2c3d4e5f6071" % (TOKEN, VERSION)
FILE = "corvexdemo.dll"
GOOD = b"MZ" + b"the good corvexdemo.dll " * 64
BAD = b"MZ" + b"a damaged corvexdemo.dll" * 64
IDENTITY = ("%s, Culture=neutral, Version=%s, PublicKeyToken=%s, ProcessorArchitecture=amd64, "
            "versionScope=NonSxS" % (NAME, VERSION, TOKEN))
# What the program names the store file in its log.
STORE_FILE = "C:\\Windows\\winsxs\\%s\\%s" % (KEY, FILE)
GONE_FOLDER = "C:\\Windows\\winsxs\\" + GONE_KEY
OVERRIDES = "dism.exe=n"  # the stand-in rather than Wine's built-in dism

SR_LINE = ("2020-02-06 18:28:07, Info                  CSI    000004f2 [SR] Cannot repair member file "
           "[l:%d]'%s' of %s, version %s, arch amd64, nonSxS, pkt {l:8 b:%s} in the store, hash mismatch\r\n"
           % (len(FILE), FILE, NAME, VERSION, TOKEN))


def b64_sha256(data):
    return base64.b64encode(hashlib.sha256(data).digest()).decode()


def write(path, data):
    os.makedirs(os.path.dirname(path), exist_ok=True)
    with open(path, "wb") as f:
        f.write(data)


class DamagedStore:
    """`tool` builds a helper of tests/e2e/tools and returns its path."""

    def __init__(self, prefix_root, tool):
        self.tool = tool
        self.root = os.path.abspath(prefix_root)
        self.windows = os.path.join(self.root, "drive_c", "windows")
        self.system32 = os.path.join(self.windows, "system32")
        self.store_file = os.path.join(self.windows, "winsxs", KEY, FILE)
        self.gone = os.path.join(self.windows, "winsxs", GONE_KEY)
        self.hive = os.path.join(self.system32, "config", "COMPONENTS")
        self.cbs_log = os.path.join(self.windows, "logs", "CBS", "CBS.log")
        self.helper = os.path.join(self.root, "drive_c", "corvex-e2e")
        self.tools = [os.path.join(self.system32, name) for name in ("sfc.exe", "dism.exe")]

    def plant(self):
        shutil.rmtree(self.helper, ignore_errors=True)
        shutil.rmtree(self.gone, ignore_errors=True)
        shutil.rmtree(os.path.join(self.windows, "logs", "CBS"), ignore_errors=True)
        os.makedirs(os.path.dirname(self.cbs_log))
        write(self.store_file, BAD)
        manifest = ('<?xml version="1.0" encoding="UTF-8" standalone="yes"?>\r\n'
                    '<assembly xmlns="urn:schemas-microsoft-com:asm.v3" manifestVersion="1.0">\r\n'
                    '  <assemblyIdentity name="%s" version="%s" processorArchitecture="amd64" language="neutral" '
                    'buildType="release" publicKeyToken="%s" versionScope="nonSxS" />\r\n'
                    '  <file name="%s" destinationPath="$(runtime.system32)\\" importPath="$(build.nttree)\\">\r\n'
                    '    <asmv2:hash xmlns:asmv2="urn:schemas-microsoft-com:asm.v2" '
                    'xmlns:dsig="http://www.w3.org/2000/09/xmldsig#">\r\n'
                    '      <dsig:Transforms><dsig:Transform Algorithm="urn:schemas-microsoft-com:HashTransforms.Identity" />'
                    '</dsig:Transforms>\r\n'
                    '      <dsig:DigestMethod Algorithm="http://www.w3.org/2000/09/xmldsig#sha256" />\r\n'
                    '      <dsig:DigestValue>%s</dsig:DigestValue>\r\n'
                    '    </asmv2:hash>\r\n  </file>\r\n</assembly>\r\n'
                    % (NAME, VERSION, TOKEN, FILE, b64_sha256(GOOD)))
        write(os.path.join(self.windows, "winsxs", "Manifests", KEY + ".manifest"), manifest.encode())
        # SFC's result, left by the sfc stand-in when the program runs it.
        write(os.path.join(self.helper, "CBS.log"),
              b"2020-02-06 18:20:01, Info                  CBS    TI: --- Initializing Trusted Installer ---\r\n" +
              SR_LINE.encode())
        write(os.path.join(self.helper, "sfc.exe.plan"),
              b"C:\\corvex-e2e\\CBS.log|C:\\windows\\logs\\CBS\\CBS.log\r\n")
        for target in self.tools:
            if os.path.exists(target) and not os.path.exists(target + ".wine"):
                os.replace(target, target + ".wine")
            shutil.copyfile(self.tool("servicing_stand_in"), target)
        os.makedirs(os.path.dirname(self.hive), exist_ok=True)
        subprocess.run([WINE_RUN, "-t", "600", self.tool("save_hive"), "C:\\windows\\system32\\config\\COMPONENTS",
                        "-k", KEY, "identity", "b", IDENTITY, "f!" + FILE, "x", "5a" * 20,
                        "-k", GONE_KEY, "identity", "b", IDENTITY.replace("CorvexDemo", "CorvexGone"),
                        "f!corvexgone.dll", "x", "5a" * 20], check=True, stdin=subprocess.DEVNULL)

    def remove(self):
        for target in self.tools:
            if os.path.exists(target + ".wine"):
                os.replace(target + ".wine", target)
            elif os.path.exists(target):
                os.remove(target)
        for path in (self.hive, self.store_file, self.cbs_log):
            if os.path.exists(path):
                os.remove(path)
        shutil.rmtree(self.gone, ignore_errors=True)
        shutil.rmtree(self.helper, ignore_errors=True)

    def calls(self):
        path = os.path.join(self.helper, "calls.txt")
        if not os.path.exists(path):
            return []
        with open(path, "rb") as f:
            return f.read().decode("utf-8").splitlines()


def archive(script="AutoAnalysis::\r\n"):
    """The zip a helper would send: the script and the good file."""
    buf = io.BytesIO()
    with zipfile.ZipFile(buf, "w", zipfile.ZIP_DEFLATED) as z:
        z.writestr("Corvex.txt", script)
        z.writestr(FILE, GOOD)
    return buf.getvalue()


if __name__ == "__main__":
    if len(sys.argv) != 3:
        print(__doc__)
        sys.exit(2)
    import e2e  # its helper builder; e2e imports this module in turn

    DamagedStore(sys.argv[1], e2e.tool).plant()
    write(os.path.abspath(sys.argv[2]), archive())
    print("Planted: %s (damaged; its good copy is in the zip), folder %s gone" % (STORE_FILE, GONE_FOLDER))
