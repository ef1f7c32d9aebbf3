#include "analysis/log_analysis.h"

#include <gtest/gtest.h>

#include <tuple>

#include "analysis/sfc_result.h"
#include "component_store_fixture.h"
#include "core/session_log.h"
#include "core/working_folders.h"
#include "package_fixtures.h"
#include "sample_files.h"
#include "test_support.h"

namespace corvex {
namespace {

using fake::Op;
using testing::CbsLine;
using testing::NewForm;
using testing::SrLine;
using testing::StoreComponent;
using testing::StoreFile;

const std::wstring kCbs = L"C:\\Windows\\Logs\\CBS\\CBS.log";
const std::wstring kCheckSur = L"C:\\Windows\\Logs\\CBS\\CheckSUR.log";
const uint32_t kAllKinds = cbs_kind::kMemberFile | cbs_kind::kComponent | cbs_kind::kCsiError;

const std::wstring kOldForm =
    L"Cannot repair member file [l:36{18}]\"Amd64\\CNBJ2530.DPB\" of prncacla.inf, Version = 6.2.9200.16430, pA = "
    L"PROCESSOR_ARCHITECTURE_AMD64 (9), Culture neutral, VersionScope = 1 nonSxS, PublicKeyToken = {l:8 "
    L"b:31bf3856ad364e35}, Type = [l:24{12}]\"driverUpdate\", TypeName neutral, PublicKey neutral in the store, hash "
    L"mismatch";

struct Analysis : testing::StoreSession {
  std::vector<CbsRecord> Read(const std::string& log, uint32_t kinds = kAllKinds) {
    w.AddFile(kCbs, log);
    std::vector<CbsRecord> records;
    ReadCbsLog(s, L"%SystemRoot%\\Logs\\CBS\\CBS.log", kinds, records);
    return records;
  }
  std::wstring Analyse(const std::wstring& text) {
    std::wstring log;
    AnalyseSfcResult(s, text, log);
    return log;
  }
};

TEST(SfcResultFields, BothFormsGiveTheSameFields) {
  const struct {
    std::wstring text, file, component, version, architecture, culture, token, reason;
  } rows[] = {
      {kOldForm, L"Amd64\\CNBJ2530.DPB", L"prncacla.inf", L"6.2.9200.16430", L"amd64", L"neutral", L"31bf3856ad364e35",
       L"hash mismatch"},
      {L"Cannot repair member file [l:12]'edgehtml.dll' of Microsoft-Windows-IE-HTMLRendering, version 11.0.19041.2728, "
       L"arch amd64, nonSxS, pkt {l:8 b:31bf3856ad364e35} in the store, hash mismatch",
       L"edgehtml.dll", L"Microsoft-Windows-IE-HTMLRendering", L"11.0.19041.2728", L"amd64", L"neutral",
       L"31bf3856ad364e35", L"hash mismatch"},
      {L"Cannot repair member file [l:15]'System.Data.dll' of System.Data, version 4.0.15805.575, arch Host= amd64 "
       L"Guest= x86, versionScope neutral, pkt {l:8 b:b77a5c561934e089} in the store, file is missing",
       L"System.Data.dll", L"System.Data", L"4.0.15805.575", L"wow64", L"neutral", L"b77a5c561934e089",
       L"file is missing"},
      {L"Cannot repair member file [l:26{13}]\"it's a.mui\" of Foo, Version = 6.1.7600.16385, pA = "
       L"PROCESSOR_ARCHITECTURE_INTEL (0), Culture = [l:10{5}]\"en-US\", VersionScope = 1 nonSxS, PublicKeyToken = "
       L"{l:8 b:31bf3856ad364e35}, Type neutral, TypeName neutral, PublicKey neutral in the store, hash mismatch",
       L"it's a.mui", L"Foo", L"6.1.7600.16385", L"x86", L"en-US", L"31bf3856ad364e35", L"hash mismatch"},
      {L"Cannot repair member file [l:10{5}]\"a.dll\" of Foo, Version = 1.0.0.0, pA = "
       L"PROCESSOR_ARCHITECTURE_IA32_ON_WIN64 (10), Culture neutral, PublicKeyToken = {l:8 b:31bf3856ad364e35} in "
       L"the store, hash mismatch",
       L"a.dll", L"Foo", L"1.0.0.0", L"wow64", L"neutral", L"31bf3856ad364e35", L"hash mismatch"},
  };
  for (auto& r : rows) {
    SfcResultFields f;
    std::wstring missing;
    ASSERT_TRUE(ParseSfcResult(r.text, f, missing)) << missing;
    EXPECT_EQ(std::tie(f.file, f.component, f.version, f.architecture, f.culture, f.publicKeyToken, f.reason),
              std::tie(r.file, r.component, r.version, r.architecture, r.culture, r.token, r.reason));
  }
}

TEST(SfcResultFields, AMissingMarkerIsNamedNeverReadPast) {
  const struct {
    std::wstring text, missing;
  } rows[] = {
      {L"Cannot repair member file [l:12", L"the end of the file name's length"},
      {L"Cannot repair member file [l:12]edgehtml.dll", L"the file name's quote"},
      {L"Cannot repair member file [l:99]'edgehtml.dll", L"the file name's closing quote"},
      {L"Cannot repair member file 'a.dll' in the store, hash mismatch", L"\" of \" after the file name"},
      {L"Cannot repair member file 'a.dll' of Foo", L"the component's identity"},
      {L"Cannot repair member file 'a.dll' of Foo, arch amd64, pkt {l:8 b:31bf3856ad364e35} in the store, hash "
       L"mismatch",
       L"the version"},
      {L"Cannot repair member file 'a.dll' of Foo, version 1.0.0.0, arch amd64, pkt {l:8 b:31bf in the store, x",
       L"the public key token"},
      {L"Cannot repair member file '' of Foo, version 1.0.0.0, arch amd64, pkt {l:8 b:31bf3856ad364e35} in the store, x",
       L"the file name"},
  };
  for (auto& r : rows) {
    SfcResultFields f;
    std::wstring missing;
    EXPECT_FALSE(ParseSfcResult(r.text, f, missing)) << ToUtf8(r.text);
    EXPECT_EQ(missing, r.missing) << ToUtf8(r.text);
  }
}

TEST(ReadCbsLog, RecordsAndTheirDuplicates) {
  const std::string sr = "Cannot repair member file [l:36{18}]\"Amd64\\CNBJ2530.DPB\" of prncacla.inf, Version = 1";
  const struct {
    const char* what;
    std::string log;
    uint32_t kinds;
    std::vector<std::wstring> texts;
    uint32_t detected;
  } rows[] = {
      {"two SFC runs report one file", SrLine(sr, 0x4f2) + SrLine(sr, 0x801), kAllKinds, {FromUtf8(sr)}, 0},
      {"a message after column 64 is no record",
       CbsLine("Info", "CSI", "00000001 [SR] x Cannot repair member file 'a' of b"), kAllKinds, {}, 0},
      {"kind 1 switched off", SrLine(sr), cbs_kind::kComponent, {}, 0},
      {"verify failures count", SrLine("Cannot verify component files for Foo, x") + SrLine("Cannot verify component files for Foo, x"),
       kAllKinds, {L"Cannot verify component files for Foo, x"}, 1},
      {"manifest damage", CbsLine("Error", "CSI", "(F) Unable to load manifest for component [l:3]\"Foo\"") +
                              CbsLine("Error", "CSI", "(F) Unable to load manifest for component [l:3]\"Foo\"", 7),
       cbs_kind::kComponent, {L"Unable to load manifest for component [l:3]\"Foo\""}, 1},
      {"a CSI error with its continuation",
       CbsLine("Error", "CSI", "(F) Failed on regenerating file [l:9]'ntdll.dll'") + "[gle=0x80004005]\r\n",
       kAllKinds, {L"CSI    (F) Failed on regenerating file [l:9]'ntdll.dll' [gle=0x80004005]"}, 0},
      {"a CSI error with its time stamp form",
       "2016-10-31 11:25:11, Error                 CSI    000000ec@2016/10/31:17:25:11.317 (F) analysis.cpp(1186)\n"
       "[gle=0x80004005]\n",
       kAllKinds, {L"CSI    (F) analysis.cpp(1186) [gle=0x80004005]"}, 0},
      {"a line with a time stamp is no continuation",
       CbsLine("Error", "CSI", "(F) STATUS_X from Y[gle=0xd000042a]") + SrLine(sr), kAllKinds,
       {L"CSI    (F) STATUS_X from Y[gle=0xd000042a]", FromUtf8(sr)}, 0},
      {"only CSI errors", CbsLine("Error", "CBS", "Failed to process single phase execution.") + "[gle=0x1]\r\n",
       kAllKinds, {}, 0},
      {"a marker in the first line after a byte-order mark", "\xEF\xBB\xBF" + SrLine(sr), kAllKinds, {FromUtf8(sr)}, 0},
  };
  for (auto& r : rows) {
    Analysis a;
    auto records = a.Read(r.log, r.kinds);
    std::vector<std::wstring> texts;
    for (auto& rec : records) texts.push_back(rec.text);
    EXPECT_EQ(texts, r.texts) << r.what;
    EXPECT_EQ(a.s.analysis.counters.cbsDetected, r.detected) << r.what;
  }
}

TEST(ReadCbsLog, AnUnreadableLogIsNotExamined) {
  // Opening it fails, or a read fails on the way.
  for (auto [op, code] : {std::pair{Op::kOpenFile, platform::err::kFileNotFound},
                          std::pair{Op::kOpenFile, platform::err::kAccessDenied},
                          std::pair{Op::kReadFile, platform::err::kAccessDenied}}) {
    Analysis a;
    a.w.AddFile(kCbs, SrLine("Cannot repair member file 'a' of b"));
    a.w.InjectFault(op, L"CBS.log", code);
    std::vector<CbsRecord> records;
    EXPECT_FALSE(ReadCbsLog(a.s, kCbs, kAllKinds, records));
    ASSERT_EQ(a.s.analysis.notExamined.size(), 1u);
    EXPECT_TRUE(
        testing::Holds(a.s.analysis.notExamined[0],
                       L"C:\\Windows\\Logs\\CBS\\CBS.log could not be read (error code " + ErrorCodeName(code)));
  }
}

TEST(ReadCbsLog, EverySampleRecordIsReadable) {
  const struct {
    const char* file;
    size_t sfcRecords;
  } rows[] = {{"cbs-win7-1.log", 0},  {"cbs-win7-2.log", 0},  {"cbs-win8-1.log", 0},  {"cbs-win8-2.log", 1},
              {"cbs-win81-1.log", 0}, {"cbs-win10-1.log", 0}, {"cbs-win10-2.log", 12}, {"cbs-win10-3.log", 0},
              {"cbs-win10-4.log", 0}, {"cbs-win10-5.log", 0}, {"cbs-win10-6.log", 0}, {"cbs-win11-1.log", 35},
              {"cbs-win11-2.log", 7}};
  for (auto& r : rows) {
    Analysis a;
    auto records = a.Read(ReadSample(std::string("windows/") + r.file));
    size_t sfc = 0;
    for (auto& rec : records) {
      if (rec.kind != cbs_kind::kMemberFile) continue;
      ++sfc;
      SfcResultFields f;
      std::wstring missing;
      EXPECT_TRUE(ParseSfcResult(rec.text, f, missing)) << r.file << ": " << ToUtf8(rec.text);
      EXPECT_TRUE(f.reason == L"hash mismatch" || f.reason == L"file is missing") << r.file;
    }
    EXPECT_EQ(sfc, r.sfcRecords) << r.file;
    EXPECT_TRUE(a.s.analysis.notExamined.empty()) << r.file;
  }
}

TEST(ReadCbsLog, SfcResultsAreFoundWhileStreaming) {
  Analysis a;
  a.w.AddFile(kCbs, ReadSample("windows/cbs-win7-1.log"));
  EXPECT_EQ(LogHasSfcResults(a.s, kCbs).value_or(true), false);
  a.w.AddFile(kCbs, ReadSample("windows/cbs-win11-1.log"));
  EXPECT_EQ(LogHasSfcResults(a.s, kCbs).value_or(false), true);
  a.w.InjectFault(Op::kOpenFile, L"CBS.log", platform::err::kAccessDenied);
  EXPECT_EQ(LogHasSfcResults(a.s, kCbs).code(), platform::err::kAccessDenied);
}

TEST(ReadPersistedCbsLogs, NewestFirstAndAnUnreadableCabinetIsTold) {
  const std::string sr = SrLine("Cannot repair member file [l:5]'a.dll' of Foo, version 1.0.0.0, arch amd64, "
                                "nonSxS, pkt {l:8 b:31bf3856ad364e35} in the store, hash mismatch");
  const std::wstring folder = L"C:\\Windows\\Logs\\CBS\\";
  const struct {
    const char* what;
    std::vector<std::pair<std::wstring, std::string>> files;
    size_t records;
    std::wstring firstTextHas;
    size_t notExamined;
  } rows[] = {
      {"the newer of two logs", {{L"CbsPersist_20200101000000.log", sr + SrLine("Cannot verify component files for Old")},
                                 {L"CbsPersist_20230101000000.log", sr}, {L"CBS.persist.log", "nothing\r\n"}},
       1, L"a.dll", 0},
      {"CBS.persist.log first", {{L"CbsPersist_20230101000000.log", SrLine("Cannot verify component files for Old")},
                                 {L"CBS.persist.log", sr}},
       1, L"a.dll", 0},
      {"a newer cabinet that does not unpack is told",
       {{L"CbsPersist_20240101000000.cab", "MSCF"}, {L"CbsPersist_20230101000000.log", sr}}, 1, L"a.dll", 1},
      {"nothing anywhere", {{L"CbsPersist_20240101000000.cab", "MSCF"}}, 0, L"", 1},
  };
  for (auto& r : rows) {
    Analysis a;
    for (auto& [name, bytes] : r.files) a.w.AddFile(folder + name, bytes);
    std::vector<CbsRecord> records;
    ReadPersistedCbsLogs(a.s, records);
    ASSERT_EQ(records.size(), r.records) << r.what;
    EXPECT_TRUE(records.empty() || testing::Holds(records[0].text, r.firstTextHas)) << r.what;
    EXPECT_EQ(a.s.analysis.notExamined.size(), r.notExamined) << r.what;
  }
}

#ifndef _WIN32
// Cabinets made by gcab, unpacked by the fake's cabinet reader.
TEST(ReadPersistedCbsLogs, CabinetsAreUnpackedReadAndRemoved) {
  const std::string sr = SrLine("Cannot repair member file [l:5]'c.dll' of Foo, version 1.0.0.0, arch x86, "
                                "nonSxS, pkt {l:8 b:31bf3856ad364e35} in the store, file is missing");
  const std::wstring folder = L"C:\\Windows\\Logs\\CBS\\";
  Analysis a;
  a.w.AddFile(folder + L"CbsPersist_20240101000000.cab",
              testing::MakeCabinet({{"CbsPersist_20240101000000.log", "no results\r\n"}}));
  a.w.AddFile(folder + L"CbsPersist_20230101000000.cab", testing::MakeCabinet({{"other.log", sr}}));
  a.w.AddFile(folder + L"CbsPersist_20220101000000.cab", testing::MakeCabinet({{"CbsPersist_20220101000000.log", sr}}));
  a.w.AddFile(folder + L"CbsPersist_20210101000000.log", SrLine("Cannot verify component files for Older"));
  a.w.AddFile(TempFolder(a.s) + L"\\kept.txt", "the user's");
  std::vector<CbsRecord> records;
  ReadPersistedCbsLogs(a.s, records);
  ASSERT_EQ(records.size(), 1u);
  EXPECT_TRUE(testing::Holds(records[0].text, L"c.dll"));
  // The cabinet without its own log is told; the one without results is not.
  ASSERT_EQ(a.s.analysis.notExamined.size(), 1u);
  EXPECT_TRUE(testing::Holds(a.s.analysis.notExamined[0], L"CbsPersist_20230101000000.cab"));
  EXPECT_TRUE(testing::Holds(a.s.analysis.notExamined[0], L"holds no CbsPersist_20230101000000.log"));
  // Every work folder is gone; what else was in Temp stays.
  EXPECT_EQ(a.w.ListTree(TempFolder(a.s)), std::vector<std::wstring>{TempFolder(a.s) + L"\\kept.txt"});
}
#endif

TEST(AnalyseSfcResult, StoreFilesAreRegisteredOnlyWhenTheirDigestDiffers) {
  const StoreComponent foo;
  const struct {
    const char* what;
    StoreFile file;
    bool compressed, recorded;
    std::wstring expected;
  } rows[] = {
      {"damaged", {L"foo.dll", "bad", testing::Base64Digest("good")}, false, true, testing::Base64Digest("good")},
      {"sound", {L"foo.dll", "good", L""}, false, false, L""},
      {"compressed manifest", {L"foo.dll", "good", L""}, true, true, L"UNKNOWN"},
  };
  for (auto& r : rows) {
    Analysis a;
    a.store.Add(foo, {r.file}, r.compressed);
    std::wstring log = a.Analyse(NewForm(foo, L"foo.dll"));
    EXPECT_EQ(log, L"") << r.what;
    auto& files = a.s.analysis.corruptFiles;
    ASSERT_EQ(files.size(), r.recorded ? 1u : 0u) << r.what;
    EXPECT_EQ(a.s.analysis.counters.cbsDetected, r.recorded ? 1u : 0u) << r.what;
    if (!r.recorded) continue;
    EXPECT_EQ(files[0].storePath, L"C:\\Windows\\winsxs\\" + foo.KeyName() + L"\\foo.dll");
    EXPECT_EQ(files[0].expectedDigest, r.expected);
    EXPECT_EQ(files[0].actualDigest, testing::Base64Digest(r.file.bytes));
    EXPECT_EQ(files[0].origin, 0);
    a.Analyse(NewForm(foo, L"FOO.DLL"));
    EXPECT_EQ(files.size(), 1u) << "one record per store path, whatever the case";
    files.clear();
    a.Analyse(NewForm(foo, L"foo.dll"));
    EXPECT_EQ(files.size(), 1u) << "taken off by a repair stage, found again";
  }
}

TEST(AnalyseSfcResult, IdentityMatching) {
  StoreComponent foo, wow = foo, french = foo, longer = foo, shortened = foo;
  wow.architecture = L"wow64";
  wow.hash = L"1111111111111111";
  french.culture = L"fr-FR";
  french.hash = L"2222222222222222";
  longer.version = L"10.0.19041.10";
  longer.hash = L"3333333333333333";
  shortened.name = L"Microsoft-Windows-NPS-Service_iassdo.resources";
  const struct {
    const char* what;
    StoreComponent reported;
    std::wstring text;
    std::wstring registered;  // the folder, or empty when nothing is
  } rows[] = {
      {"amd64", foo, NewForm(foo, L"foo.dll"), foo.KeyName()},
      {"Host= amd64 Guest= x86 is wow64", wow, NewForm(wow, L"foo.dll"), wow.KeyName()},
      {"culture compared without regard to case", french,
       L"Cannot repair member file [l:14{7}]\"foo.dll\" of Microsoft-Windows-Foo, Version = 10.0.19041.1, pA = "
       L"PROCESSOR_ARCHITECTURE_AMD64 (9), Culture = [l:10{5}]\"FR-fr\", VersionScope = 1 nonSxS, PublicKeyToken = "
       L"{l:8 b:31bf3856ad364e35} in the store, hash mismatch",
       french.KeyName()},
      {"a version is compared whole, not as a prefix", longer, NewForm(longer, L"foo.dll"), longer.KeyName()},
  };
  for (auto& r : rows) {
    Analysis a;
    for (const StoreComponent* c : {&foo, &wow, &french, &longer})
      a.store.Add(*c, {{L"foo.dll", "bad", testing::Base64Digest("good")}});
    a.Analyse(r.text);
    ASSERT_EQ(a.s.analysis.corruptFiles.size(), 1u) << r.what;
    EXPECT_EQ(a.s.analysis.corruptFiles[0].storePath, L"C:\\Windows\\winsxs\\" + r.registered + L"\\foo.dll") << r.what;
  }
  // A store name Windows shortened with "..".
  Analysis a;
  const std::wstring key = L"amd64_microsoft-windows-n..ce_iassdo.resources_31bf3856ad364e35_10.0.19041.1_none_448b1c3c529ce8ed";
  a.store.AddKey(key, shortened.Identity(), true);
  a.w.AddFile(L"C:\\Windows\\WinSxS\\" + key + L"\\foo.dll", "bad");
  a.Analyse(NewForm(shortened, L"foo.dll"));
  ASSERT_EQ(a.s.analysis.corruptFiles.size(), 1u);
  EXPECT_EQ(a.s.analysis.corruptFiles[0].expectedDigest, L"UNKNOWN") << "no manifest";
}

TEST(AnalyseSfcResult, ExplainedSkippedAndUnfoundFiles) {
  StoreComponent c, c2;
  c2.hash = L"ffffffffffffffff";
  StoreComponent peacock;
  peacock.version = L"6.1.7601.18126";
  StoreComponent peacockLater = peacock;
  peacockLater.version = L"6.1.7601.18127";
  const struct {
    const char* what;
    std::vector<StoreComponent> store;
    std::wstring file;
    StoreComponent reported;
    size_t registered;
    uint32_t detected, unimportant;
    size_t explanations;
  } rows[] = {
      {"settings.ini in two folders: one explained, one registered", {c, c2}, L"settings.ini", c, 1, 1, 1, 1},
      {"tcpmon.ini", {c}, L"tcpmon.ini", c, 0, 0, 1, 1},
      {"Pretty_Peacock.jpg of the crossed hardlink", {peacock}, L"Pretty_Peacock.jpg", peacock, 0, 0, 0, 0},
      {"Pretty_Peacock.jpg of a later version", {peacockLater}, L"Pretty_Peacock.jpg", peacockLater, 1, 1, 0, 0},
  };
  for (auto& r : rows) {
    Analysis a;
    for (auto& comp : r.store) a.store.Add(comp, {{r.file, "bad", testing::Base64Digest("good")}});
    a.Analyse(NewForm(r.reported, r.file));
    const auto& n = a.s.analysis;
    EXPECT_EQ(std::make_tuple(n.corruptFiles.size(), n.counters.cbsDetected, n.counters.cbsUnimportant,
                              n.explanations.size()),
              std::make_tuple(r.registered, r.detected, r.unimportant, r.explanations))
        << r.what;
  }
}

TEST(AnalyseSfcResult, FindingsWithoutAStoreFolderAreNeverDropped) {
  StoreComponent c;
  {
    Analysis a;
    EXPECT_EQ(a.Analyse(NewForm(c, L"foo.dll", L"file is missing")),
              L"CORRUPT: foo.dll of component Microsoft-Windows-Foo (amd64, version 10.0.19041.1, file is missing): no "
              L"store directory was found for it.\r\n\r\n");
    EXPECT_EQ(a.s.analysis.counters.cbsDetected, 1u);
  }
  {
    testing::FakeSession f;  // no COMPONENTS key at all
    std::wstring log;
    AnalyseSfcResult(f.s, NewForm(c, L"foo.dll"), log);
    EXPECT_EQ(log, L"WARNING: Failed to get store name from identity name with return code 10002 for component "
                   L"Microsoft-Windows-Foo and file foo.dll. File is reported as corrupt by SFC.\r\nCORRUPT: foo.dll "
                   L"of component Microsoft-Windows-Foo.\r\n\r\n");
    EXPECT_EQ(f.s.analysis.counters.cbsDetected, 1u);
  }
  {
    Analysis a;
    const std::wstring line = L"Cannot repair member file [l:5]'a.dll' of Foo, arch amd64 in the store, x";
    EXPECT_EQ(a.Analyse(line), L"CORRUPT: SFC result line could not be read (the version missing): " + line + L"\r\n\r\n");
    EXPECT_EQ(a.s.analysis.counters.cbsDetected, 1u);
    EXPECT_EQ(a.s.analysis.notExamined.size(), 1u);
  }
}

TEST(AnalyseSfcResult, Cnbj2530NeedsOneDismRunFromWindows8On) {
  const struct {
    uint32_t minor, dismExit;
    size_t dismRuns, registered;
    uint32_t detected, fixed;
  } rows[] = {{1, 0, 0, 1, 1, 0}, {2, 0, 1, 0, 2, 2}, {2, 1, 1, 0, 2, 0}};
  for (auto& r : rows) {
    Analysis a;
    a.w.version = {6, r.minor, 9200, 0, 1};
    StoreComponent prn;
    prn.name = L"prncacla.inf";
    prn.version = L"6.2.9200.16430";
    a.store.Add(prn, {{L"Amd64\\CNBJ2530.DPB", "bad", testing::Base64Digest("good")}});
    size_t runs = 0;
    a.w.OnProcess(L"dism.exe", [&](const platform::ProcessRequest& q) {
      ++runs;
      EXPECT_EQ(q.commandLine.find(L" /Online /Cleanup-Image /RestoreHealth") != std::wstring::npos, true);
      platform::ProcessOutcome o;
      o.exitCode = r.dismExit;
      return o;
    });
    std::wstring log = a.Analyse(kOldForm) + a.Analyse(kOldForm);
    EXPECT_EQ(runs, r.dismRuns) << r.minor;
    EXPECT_EQ(a.s.analysis.corruptFiles.size(), r.registered);
    EXPECT_EQ(a.s.analysis.counters.cbsDetected, r.detected);
    EXPECT_EQ(a.s.analysis.counters.cbsFixed, r.fixed);
    if (r.minor == 2 && r.dismExit == 0) {
      EXPECT_EQ(log, L"FIXED: Performed DISM repair on file Amd64\\CNBJ2530.DPB of version 6.2.9200.16430.\r\n"
                     L"FIXED: Performed DISM repair on file Amd64\\CNBJ2530.DPB of version 6.2.9200.16430.\r\n");
    }
  }
}

TEST(AnalyseSfcResult, FileThatCannotBeCheckedHasItsFolderPermissionsRepaired) {
  Analysis a;
  StoreComponent c, other = c;
  other.version = L"10.0.19041.2";
  a.store.Add(c, {{L"foo.dll"}});
  a.store.Add(other, {{L"foo.dll"}});
  std::vector<std::pair<std::wstring, Lines>> runs;
  a.s.runDirective = [&](const std::wstring& name, Lines lines, const std::wstring&, std::wstring& report) {
    runs.push_back({name, lines});
    report = L"repaired\r\n";
    return true;
  };
  EXPECT_EQ(a.Analyse(NewForm(c, L"foo.dll", L"file cannot be checked")),
            L"SFC verification failure on file foo.dll of component Microsoft-Windows-Foo (amd64, version "
            L"10.0.19041.1). Permissions may be damaged - attempting automatic repair.\r\nrepaired\r\n");
  ASSERT_EQ(runs.size(), 2u);
  EXPECT_EQ(runs[1].first, L"RepairPermissions::");
  EXPECT_EQ(runs[1].second, Lines{L"C:\\Windows\\winsxs\\" + c.KeyName()});
  EXPECT_EQ(a.s.analysis.counters.cbsDetected, 0u);
}

TEST(AnalyseManifestDamage, SentenceByWindowsAndCheckSur) {
  const std::wstring text = L"Unable to load manifest for component [l:3]\"Foo\"";
  const struct {
    uint32_t minor;
    bool checkSur;
    std::wstring log;
  } rows[] = {
      {2, false, L"WARNING: DISM repair needed due to manifest damage on component \"Foo\". See CBS logfile for more details.\r\n"},
      {1, true, L"WARNING: Manifest damage on component \"Foo\". See CBS logfile for more details.\r\n"},
      {1, false, L"WARNING: SURT execution needed due to manifest damage on component \"Foo\". See CBS logfile for more details.\r\n"},
  };
  for (auto& r : rows) {
    testing::FakeSession f;
    f.w.version = {6, r.minor, 7601, 0, 1};
    if (r.checkSur) f.w.AddFile(kCheckSur, "x");
    std::wstring log;
    EXPECT_TRUE(AnalyseManifestDamage(f.s, text, log));
    EXPECT_EQ(log, r.log);
    EXPECT_TRUE(f.s.analysis.dismWanted);
  }
  testing::FakeSession f;
  std::wstring log;
  EXPECT_FALSE(AnalyseManifestDamage(f.s, L"CSI    (F) other", log));
  EXPECT_FALSE(f.s.analysis.dismWanted);
}

std::string CheckSurLog(const std::string& body, const std::string& summary) {
  return "=================================\r\nChecking System Update Readiness.\r\nBinary Version 6.1.7601.22471\r\n"
         "Package Version 26.0\r\n\r\n" + body + "\r\nSummary:\r\nSeconds executed: 1167\r\n" + summary;
}

TEST(ReadCheckSurLog, Findings) {
  const std::string ie = "\tservicing\\packages\\Microsoft-Windows-IE-Hyphenation-Parent-Package-English~31bf3856ad364e35~~~10.2.9200.16437";
  const std::string ie2 = "\tservicing\\packages\\Microsoft-Windows-IE-Spelling-Parent-Package-English~31bf3856ad364e35~~~10.2.9200.16437";
  const std::string finding = "(f)\tCBS MUM Corrupt\t0x800F0900\tservicing\\Packages\\Package_1.mum\t\tExpected\r\n";
  const struct {
    const char* what;
    std::string log;
    bool result;
    size_t records, fileLines;
    uint32_t detected, unimportant;
    bool dismWanted;
  } rows[] = {
      {"three lines", "a\r\nb\r\nc\r\n", true, 0, 0, 0, 0, true},
      {"no errors", CheckSurLog("Checking Packages\r\n", " No errors detected\r\n"), false, 0, 0, 0, 0, false},
      {"a finding twice and a fixed one",
       CheckSurLog(finding + finding + "(fix)\tCSI Store Directory Missing\t0x00000000\tx86_foo\r\n",
                   " Found 1 errors\r\nUnavailable repair files:\r\n\tservicing\\packages\\Package_1.mum\r\n"),
       false, 1, 1, 1, 0, false},
      {"four IE10 lines", CheckSurLog("", "Unavailable repair files:\r\n" + ie + ".mum\r\n" + ie + ".cat\r\n" + ie2 +
                                              ".mum\r\n" + ie2 + ".cat\r\n"),
       false, 0, 0, 0, 2, false},
      {"the older run's findings stay out",
       CheckSurLog(finding, " Found 1 errors\r\n") + "\r\n" +
           CheckSurLog("(w)\tCBS Watchlist Package Missing\t0x00000000\tPackage_2\r\n", " Found 1 errors\r\n"),
       false, 1, 0, 1, 0, false},
      {"an unfinished run after a clean one", CheckSurLog("", " No errors detected\r\n") + "\r\n" + finding,
       false, 0, 0, 0, 0, false},
      {"no summary", "=================================\r\nChecking System Update Readiness.\r\nx\r\ny\r\n" + finding,
       true, 1, 0, 1, 0, false},
  };
  for (auto& r : rows) {
    testing::FakeSession f;
    f.w.AddFile(kCheckSur, r.log);
    std::vector<SurtRecord> records;
    std::vector<std::wstring> fileLines;
    SCOPED_TRACE(r.what);
    const bool result = ReadCheckSurLog(f.s, false, records, fileLines);
    const auto& a = f.s.analysis;
    EXPECT_EQ(std::make_tuple(result, records.size(), fileLines.size(), a.counters.surtDetected,
                              a.counters.surtUnimportant, a.explanations.size(), a.dismWanted),
              std::make_tuple(r.result, r.records, r.fileLines, r.detected, r.unimportant,
                              size_t{r.unimportant ? 1u : 0u}, r.dismWanted));
  }
}

TEST(ReadCheckSurLog, WatchlistRecordsAndUnreadableLogs) {
  testing::FakeSession f;
  f.w.AddFile(L"C:\\Windows\\Logs\\CBS\\CheckSUR.persist.log",
              CheckSurLog("(w)\tCBS Watchlist Component Missing\t0x00000000\tamd64_foo_31bf3856ad364e35_1.0.0.0_none_x\tPackage_1\r\n",
                          " Found 1 errors\r\n"));
  std::vector<SurtRecord> records;
  std::vector<std::wstring> fileLines;
  EXPECT_FALSE(ReadCheckSurLog(f.s, true, records, fileLines));
  ASSERT_EQ(records.size(), 1u);
  EXPECT_EQ(records[0].category, L"CBS Watchlist Component Missing");
  EXPECT_EQ(records[0].lines, (std::vector<std::wstring>{L"0x00000000", L"amd64_foo_31bf3856ad364e35_1.0.0.0_none_x", L"Package_1"}));
  EXPECT_TRUE(f.s.analysis.notExamined.empty());

  EXPECT_TRUE(ReadCheckSurLog(f.s, false, records, fileLines)) << "no CheckSUR.log: no summary";
  EXPECT_TRUE(f.s.analysis.notExamined.empty()) << "a missing CheckSUR.log is normal";
  f.w.AddFile(kCheckSur, "x");
  f.w.InjectFault(Op::kOpenFile, L"CheckSUR.log", platform::err::kAccessDenied);
  ReadCheckSurLog(f.s, false, records, fileLines);
  EXPECT_EQ(f.s.analysis.notExamined.size(), 1u);
}

}  // namespace
}  // namespace corvex
