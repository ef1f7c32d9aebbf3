#!/usr/bin/env python3
"""Writes the seed corpora of the fuzz targets into corpus/<target>/.

Real files come from tests/samples (copied, or whole-line excerpts of the
larger ones); the rest are small hand-made inputs in the layouts the
readers meet. Findings are added by hand beside these and kept."""
import pathlib
import shutil

here = pathlib.Path(__file__).resolve().parent
samples = here.parent / "samples"
demo = here.parent.parent / "demo" / "Corvex-demo.txt"


def put(target, name, data):
    folder = here / "corpus" / target
    folder.mkdir(parents=True, exist_ok=True)
    (folder / name).write_bytes(data if isinstance(data, bytes) else data.encode("latin-1"))


def utf16(text, bom=True):
    return (b"\xff\xfe" if bom else b"") + text.encode("utf-16-le")


def acl_excerpt(path, pairs):
    """The first `pairs` object/DACL line pairs of an icacls save file."""
    lines = path.read_bytes().split("\r\n".encode("utf-16-le"))
    return "\r\n".encode("utf-16-le").join(lines[: 2 * pairs]) + "\r\n".encode("utf-16-le")


script = demo.read_text(encoding="latin-1").replace("\r\n", "\n")
crlf = script.replace("\n", "\r\n")

# --- text and scripts: every encoding and line end the readers detect.
encodings = {
    "ansi_crlf.txt": crlf.encode("latin-1"),
    "ansi_lf.txt": script.encode("latin-1"),
    "ansi_cr.txt": script.replace("\n", "\r").encode("latin-1"),
    "utf8_bom.txt": b"\xef\xbb\xbf" + ("Debug::\r\nC:\\Users\\J\u00fcrgen\\\u00e9t\u00e9.txt\r\n\U0001F600\r\n").encode("utf-8"),
    "utf16le_bom.txt": utf16(crlf),
    "utf16le_nobom.txt": utf16(crlf, bom=False),
    "utf16be_bom.txt": b"\xfe\xff" + crlf.encode("utf-16-be"),
    # A pair, then a lone high and a lone low surrogate.
    "utf16_surrogates.txt": b"\xff\xfe" + "Debug::\r\n\U00010437".encode("utf-16-le") + b"\x00\xd8x\x00\x00\xdc\r\x00\n\x00",
    "mixed_ends.txt": b"A::\r\nx\ny\rz\r\r\n\n::\r\n",
}
for name, data in encodings.items():
    put("fuzz_text", name, data)
    put("fuzz_script", name, data)
put("fuzz_text", "reg-export-hex2-usershellfolders.reg", (samples / "windows/reg-export-hex2-usershellfolders.reg").read_bytes())

# Scripts the dispatcher must cut: archive tokens, bare "::", registry text.
put("fuzz_script", "archive_tokens.txt",
    "A::\r\n{ARCHIVE}\\x.dll C:\\Windows\\x.dll\r\n\"{archive}\\y\"\r\n:{ARCHIVE}:\r\n{ARCHIVE}{ARCHIVE}\r\n")
put("fuzz_script", "bare_headers.txt",
    "::\r\nWindows Registry Editor Version 5.00\r\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\X]\r\n::\r\nC:/Windows/System32/x.dll\r\n::\r\n")
put("fuzz_script", "variables.txt",
    "PowerCopy::\r\n%windir%\\System32\\x.dll %SystemRoot%\\Sysnative\\y\r\n%undefined%\r\n%%\r\n  \t \r\nAbsent::\r\n")

# --- zip archives: the reader's fixtures, small ones whole.
for p in sorted((samples / "zips").glob("*.zip")) + sorted((samples / "scripts").glob("*.zip")):
    if p.stat().st_size <= 4096:
        put("fuzz_zip", p.name, p.read_bytes())

# --- datablock stores.
records = [
    "C:\\Windows\\System32\\drivers\\etc\\hosts|D:PAI(A;;FA;;;SY)(A;;FA;;;BA)(A;;0x1200a9;;;BU)|S-1-5-32-544",
    "HKLM\\SOFTWARE\\Corvex|D:PAI(A;CI;KA;;;BA)",
    "C:\\Windows\\Sysnative\\x.dll|D:(A;;FA;;;SY)|S-1-5-18",
    "C:\\no-bar-record",
]
put("fuzz_datablocks", "crlf_utf16.store", utf16("\r\n".join(records)))
put("fuzz_datablocks", "lf_utf16.store", utf16("\n".join(records) + "\n"))
put("fuzz_datablocks", "cr_utf16.store", utf16("\r".join(records)))
put("fuzz_datablocks", "ansi.store", "\r\n".join(records))
put("fuzz_datablocks", "blank_lines.store", utf16("\r\n \r\n" + "\r\n\t\r\n".join(records) + "\r\n\r\n"))

# --- icacls save files: excerpts of real ones, and hand-made damage.
put("fuzz_icacls", "windir-excerpt.acl", acl_excerpt(samples / "windows/icacls-save-windir-1.acl", 12))
put("fuzz_icacls", "system32-excerpt.acl", acl_excerpt(samples / "windows/icacls-save-system32-excerpt.acl", 12))
put("fuzz_icacls", "ntdll.acl", utf16("ntdll.dll\r\nD:PAI(A;;FA;;;S-1-5-80-956008885-3418522649-1831038044-1853292631-2271478464)(A;;0x1200a9;;;BA)\r\n", bom=False))
put("fuzz_icacls", "odd.acl", utf16("kernel32.dll\r\nD:NO_ACCESS_CONTROL\r\ndrivers\r\nD:(D;OICI;WD;;;WD)(A;;GRGW;;;WD)S:AI\r\nntdll.dll\r\nD:(A;;0xZZ;;;WD\r\n", bom=False))

# --- component manifests.
sddl = ("O:S-1-5-80-956008885-3418522649-1831038044-1853292631-2271478464"
        "G:S-1-5-80-956008885-3418522649-1831038044-1853292631-2271478464"
        "D:P(A;;FA;;;S-1-5-80-956008885-3418522649-1831038044-1853292631-2271478464)(A;;GRGX;;;BA)(A;;GRGX;;;SY)(A;;GRGX;;;BU)")
manifest = ('<?xml version="1.0" encoding="utf-8" standalone="yes"?>\r\n'
            '<assembly xmlns="urn:schemas-microsoft-com:asm.v3" manifestVersion="1.0">\r\n'
            '  <assemblyIdentity name="Microsoft-Windows-Ntdll" version="10.0.19041.1" processorArchitecture="amd64" />\r\n'
            '  <file name="ntdll.dll" destinationPath="$(runtime.system32)\\" sourceName="ntdll.dll">\r\n'
            '    <securityDescriptor name="WRP_FILE_DEFAULT_SDDL" />\r\n'
            '    <asmv2:hash><dsig:DigestValue>AAAA</dsig:DigestValue></asmv2:hash>\r\n'
            '  </file>\r\n'
            '  <file name="other.dll" />\r\n'
            '  <trustInfo><security><accessControl><securityDescriptorDefinitions>\r\n'
            '    <securityDescriptorDefinition name="WRP_FILE_DEFAULT_SDDL" sddl="' + sddl + '" operationHint="replace" />\r\n'
            '  </securityDescriptorDefinitions></accessControl></security></trustInfo>\r\n'
            '</assembly>\r\n')
put("fuzz_manifest", "ntdll.manifest", manifest)
put("fuzz_manifest", "one_line.manifest", manifest.replace("\r\n", "").replace("  ", ""))
put("fuzz_manifest", "utf16.manifest", utf16(manifest))
put("fuzz_manifest", "unnamed.manifest", manifest.replace('name="ntdll.dll"', 'name=""', 1))

# --- continuation files: saved log, trace and script, separated.
sep = b"\n--corvex-fuzz--\n"
log = utf16("Corvex version 1.2.3.4 by Tallwen.\r\nStart time: 2026-12-06 09:30:15.250\r\nEarlier part\r\n")
put("fuzz_continuation", "all_three", log + sep + utf16("earlier trace line\r\n") + sep + utf16(crlf))
put("fuzz_continuation", "script_only", sep + sep + utf16("Debug::\r\nSave Debug Log\r\nCountDataBlocks::\r\n"))
put("fuzz_continuation", "log_only", log)
put("fuzz_continuation", "ansi_script", sep + sep + crlf.encode("latin-1"))
put("fuzz_continuation", "logfile_as_script", sep + sep + utf16("Corvex version 1.0 by Tallwen.\r\nDebug::\r\n"))

# --- compressed and delta store files; the first byte picks the run's mode
# (bit 0 detection, bit 1 the /d form, bits 2-6 msdelta and cabinet
# answers), the rest is the file.
def le32(v):
    return v.to_bytes(4, "little")


def dcs(total, blocks):
    body = b"".join(le32(len(data) + 4) + le32(size) + data for data, size in blocks)
    return b"DCS\x01" + le32(len(blocks)) + le32(total) + body


put("fuzz_delta_expander", "mz", b"\x00MZ\x90\x00\x03\x00\x00\x00\x04\x00")
put("fuzz_delta_expander", "mz_detection", b"\x01MZ" + bytes(30))
put("fuzz_delta_expander", "dcn", b"\x00DCN\x01PA30" + bytes(16))
put("fuzz_delta_expander", "dcm", b"\x40DCM\x01PA30" + bytes(16))
put("fuzz_delta_expander", "dcd_delta_form", b"\x02DCD\x01" + bytes(8) + b"PA30" + bytes(8))
put("fuzz_delta_expander", "dcs_two_blocks", b"\x00" + dcs(10, [(b"\x00" * 8, 6), (b"\x00" * 5, 4)]))
put("fuzz_delta_expander", "dcs_over", b"\x00" + dcs(10, [(b"abcd", 6), (b"efgh", 5)]))
put("fuzz_delta_expander", "dch", b"\x00DCH\x01" + bytes(12))
# --- update packages: entry names, and cabinets made by gcab (setup installs it).
for i, name in enumerate(["update.mum", "amd64_x\\f.dll", "..\\b.txt", "a/../../c", "C:\\x", "con.txt",
                          "f.dll::$DATA", "dir \\a", "LPT1", "sub\\dir\\deep.cat"]):
    put("fuzz_package_names", "name%d" % i, name.encode("utf-16-le"))


def cabinet(files, compress=True):
    import subprocess
    import tempfile
    with tempfile.TemporaryDirectory() as d:
        names = []
        for name, data in files:
            path = pathlib.Path(d) / name.replace("\\", "/")
            path.parent.mkdir(parents=True, exist_ok=True)
            path.write_bytes(data)
            names.append(name.replace("\\", "/"))
        subprocess.run(["gcab", "-c"] + (["-z"] if compress else []) + ["out.cab"] + names, cwd=d, check=True)
        return (pathlib.Path(d) / "out.cab").read_bytes()


if shutil.which("gcab"):
    inner = cabinet([("deep.dll", b"MZ" + bytes(range(256)) * 4), ("deep.mum", b"<assembly/>")])
    put("fuzz_package_cabinet", "nested.cab", cabinet([("inner.cab", inner), ("sub\\b.txt", b"bee")]))
    put("fuzz_package_cabinet", "stored.cab", cabinet([("a.txt", b"stored " * 50)], compress=False))
    put("fuzz_package_cabinet", "climbs.cab",
        cabinet([("xx_b.txt", b"escaped"), ("ok.txt", b"ok")]).replace(b"xx_b.txt", b"..\\b.txt"))
