// A small component store on the fake Windows, for the log analysis, the
// store checks, the automatic analysis and the repair stages: winsxs folders
// with their files, manifests with file elements and digests, COMPONENTS
// keys (DerivedData\Components with "f!" values and the identity), the hive
// file at config\COMPONENTS, CBS.log lines in their column layout, the
// program's directive table for handlers that run others by name, and two
// damaged store files waiting for good copies.
#pragma once

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <string>
#include <utility>
#include <vector>

#include "analysis/auto_analysis.h"
#include "app/directive_table.h"
#include "base/text.h"
#include "core/session.h"
#include "platform/fake/fake_registry.h"
#include "platform/fake/fake_windows.h"
#include "script/file_hash.h"
#include "test_support.h"

namespace corvex::fake {
std::vector<uint8_t> Sha256(const std::string& bytes);  // fake_sha256.cpp
}  // namespace corvex::fake

namespace corvex::testing {

inline constexpr wchar_t kComponentsKeyPath[] = L"HKEY_LOCAL_MACHINE\\COMPONENTS\\DerivedData\\Components";
inline constexpr wchar_t kHiveFile[] = L"C:\\Windows\\System32\\config\\COMPONENTS";

// Base64 SHA-256 of bytes: what a manifest's <dsig:DigestValue> holds.
inline std::wstring Base64Digest(const std::string& bytes) {
  static const wchar_t kHex[] = L"0123456789abcdef";
  std::wstring hex;
  for (uint8_t b : fake::Sha256(bytes)) {
    hex.push_back(kHex[b >> 4]);
    hex.push_back(kHex[b & 0xF]);
  }
  return HexToBase64(hex);
}

struct StoreFile {
  StoreFile(std::wstring n, std::string b = "good", std::wstring d = L"")
      : name(std::move(n)), bytes(std::move(b)), declared(std::move(d)) {}
  std::wstring name;  // may hold a sub-folder ("amd64\\x.dpb")
  std::string bytes;
  // The digest the manifest declares; empty: that of `bytes`.
  std::wstring declared;
};

struct StoreComponent {
  std::wstring name = L"Microsoft-Windows-Foo";
  std::wstring version = L"10.0.19041.1";
  std::wstring architecture = L"amd64";
  std::wstring culture = L"neutral";
  std::wstring publicKeyToken = L"31bf3856ad364e35";
  std::wstring hash = L"0123456789abcdef";

  std::wstring KeyName() const {
    return architecture + L"_" + ToLower(name) + L"_" + publicKeyToken + L"_" + version + L"_" +
           (culture == L"neutral" ? L"none" : ToLower(culture)) + L"_" + hash;
  }
  std::wstring Identity() const {
    return name + L", Culture=" + culture + L", Version=" + version + L", PublicKeyToken=" + publicKeyToken +
           L", ProcessorArchitecture=" + architecture + L", versionScope=NonSxS";
  }
};

class StoreBuilder {
 public:
  explicit StoreBuilder(fake::FakeWindows& w) : w_(w) { w_.registry().AddKey(kComponentsKeyPath); }

  // Folder, files, manifest (compressed: a "DCM" one as Windows 8 keeps
  // them) and key. Returns the folder.
  std::wstring Add(const StoreComponent& c, const std::vector<StoreFile>& files, bool compressed = false) {
    const std::wstring folder = L"C:\\Windows\\WinSxS\\" + c.KeyName();
    w_.AddFolder(folder);
    std::string manifest = "<?xml version=\"1.0\"?>\r\n<assembly>\r\n";
    for (auto& f : files) {
      w_.AddFile(folder + L"\\" + f.name, f.bytes);
      std::wstring digest = f.declared.empty() ? Base64Digest(f.bytes) : f.declared;
      manifest += "  <file name=\"" + ToUtf8(f.name) +
                  "\">\r\n    <asmv2:hash>\r\n      <dsig:DigestValue>" + ToUtf8(digest) +
                  "</dsig:DigestValue>\r\n    </asmv2:hash>\r\n  </file>\r\n";
    }
    manifest += "</assembly>\r\n";
    if (compressed) manifest = "DCM\x01" + manifest;
    w_.AddFile(L"C:\\Windows\\WinSxS\\Manifests\\" + c.KeyName() + L".manifest", manifest);
    AddKey(c.KeyName(), c.Identity(), !files.empty());
    return folder;
  }

  // A key only: its identity value and, when `ownsFiles`, one file entry.
  void AddKey(const std::wstring& keyName, const std::wstring& identity, bool ownsFiles) {
    const std::wstring key = std::wstring(kComponentsKeyPath) + L"\\" + keyName;
    auto& reg = w_.registry();
    reg.AddKey(key);
    if (!identity.empty()) reg.SetValue(key, L"identity", platform::regtype::kBinary, ToUtf8(identity));
    reg.SetValue(key, L"c!deployment_31bf3856ad364e35_10.0.19041.1_0123456789abcdef", platform::regtype::kBinary,
                 "");
    if (ownsFiles) reg.SetValue(key, L"f!file.dll", platform::regtype::kBinary, std::string(20, '\x5a'));
  }

  // The hive as Windows 8 and later keep it: loaded from config\COMPONENTS,
  // so a load fails with a sharing violation and the keys are there.
  void HiveLoaded(size_t fileSize = 0x600000) {
    w_.AddFile(kHiveFile, HiveFileBytes(fileSize));
    w_.registry().loadedHives[L"COMPONENTS"] = kHiveFile;
  }
  // A hive file of the fake's format with an empty Components key, padded
  // to `fileSize` bytes.
  static std::string HiveFileBytes(size_t fileSize) {
    std::string bytes = fake::FakeRegistry::kHiveMagic;
    bytes += "Windows Registry Editor Version 5.00\r\n\r\n[DerivedData\\Components]\r\n";
    bytes.resize(std::max(bytes.size(), fileSize), '\0');
    return bytes;
  }

 private:
  fake::FakeWindows& w_;
};

// Handlers run others by name through the program's table, as during a
// dispatch.
inline void UseProgramDirectives(Session& s) {
  s.runDirective = [&s](const std::wstring& name, std::vector<std::wstring> lines, const std::wstring& archive,
                        std::wstring& report) {
    const DirectiveEntry* e = ProgramDirectives().Find(name);
    return e && e->handler && e->handler(s, std::move(lines), archive, report);
  };
}

// A session with the store builder, the COMPONENTS hive loaded and the
// program's directives at hand.
struct StoreSession : FakeSession {
  StoreBuilder store{w};
  StoreSession() {
    store.HiveLoaded(0);  // the size matters only to the hive tests
    UseProgramDirectives(s);
  }
};

// Two damaged files of one store folder, registered as corrupt with the
// digests of "good kernel" and "good shell", for the repair stages.
inline const std::wstring kDamagedFolder = L"amd64_microsoft-windows-demo_31bf3856ad364e35_10.0.19041.1_none_1a2b3c";
inline const std::wstring kKernel = L"C:\\Windows\\WinSxS\\" + kDamagedFolder + L"\\kernel.dll";
inline const std::wstring kShell = L"C:\\Windows\\WinSxS\\" + kDamagedFolder + L"\\shell.dll";
inline const std::wstring kGoodKernel = L"2cwBR+KryfAhR66VwR1EA8NNrVJ9lPGudyhhiKzBuY4=";
inline const std::wstring kGoodShell = L"o3naoFRLtH1jnPLo2egq8jat1IbcTTri+JoiyjeuYt0=";

struct Damaged : FakeSession {
  Damaged() {
    UseProgramDirectives(s);
    w.AddFile(kKernel, "bad");
    w.AddFile(kShell, "bad");
    s.analysis.corruptFiles = {{kKernel, kGoodKernel, L"LwXU", 0}, {kShell, kGoodShell, L"LwXU", 0}};
    s.analysis.counters.cbsDetected = 2;
  }
  std::wstring Stages() {
    std::wstring log;
    RunRepairStages(s, L"", log);
    return log;
  }
};

// One CBS.log line: time stamp, level padded to 22, source padded to 7,
// then the message (for CSI a sequence number and a space first).
inline std::string CbsLine(const std::string& level, const std::string& source, const std::string& message,
                           unsigned sequence = 0x4f2) {
  std::string line = "2020-02-06 18:28:07, " + level + std::string(22 - level.size(), ' ') + source +
                     std::string(7 - source.size(), ' ');
  if (source == "CSI") {
    char seq[16];
    std::snprintf(seq, sizeof seq, "%08x ", sequence);
    line += seq;
  }
  return line + message + "\r\n";
}
inline std::string SrLine(const std::string& message, unsigned sequence = 0x4f2) {
  return CbsLine("Info", "CSI", "[SR] " + message, sequence);
}

// The Windows 10 form of an SFC result for a file of `c`.
inline std::wstring NewForm(const StoreComponent& c, const std::wstring& file,
                            const std::wstring& reason = L"hash mismatch") {
  return L"Cannot repair member file [l:" + Decimal(file.size()) + L"]'" + file + L"' of " + c.name + L", version " +
         c.version + L", arch " + (c.architecture == L"wow64" ? L"Host= amd64 Guest= x86" : c.architecture) +
         L", nonSxS, pkt {l:8 b:" + c.publicKeyToken + L"} in the store, " + reason;
}

}  // namespace corvex::testing
