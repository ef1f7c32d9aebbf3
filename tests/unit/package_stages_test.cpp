// The repair stages that fetch Microsoft's packages, end to end on the fake:
// the database and the package served by the fake's HTTP, the package a
// real cabinet nest made by gcab. Native builds only (the fake's cabinet
// reader is libmspack).
#ifndef _WIN32

#include "analysis/package_stages.h"

#include <gtest/gtest.h>

#include <tuple>

#include "app/download_services_online.h"
#include "component_store_fixture.h"
#include "core/working_folders.h"
#include "package_fixtures.h"
#include "platform/fake/fake_http.h"
#include "platform/fake/fake_signatures.h"
#include "test_support.h"

namespace corvex {
namespace {


using testing::kDamagedFolder;
using testing::kGoodKernel;
using testing::kKernel;
using testing::kShell;
const std::wstring kDatabase = L"https://downloads.tallwen.net/windows-update-database/";
const std::wstring kPackageUrl = L"https://download.windowsupdate.com/d/msdownload/update/windows6.1-kb5.msu";

// Two damaged store files; the database names a package for the kernel's
// digest, and the package (an msu holding a cabinet holding the file)
// carries the good kernel.
struct Sourced : testing::Damaged {
  OnlineDownloadServices services{s};
  std::string msu;
  std::vector<std::wstring> requested;

  Sourced() {
    w.version = {6, 1, 7601, 1, 1};
    w.SetMachineValue(L"SOFTWARE\\Microsoft\\Internet Explorer", L"svcVersion", L"11.0.9600.19507");
    s.downloads = &services;
    const std::string inner = testing::MakeCabinet({{"amd64_demo\\kernel.dll", "good kernel"}, {"update.mum", "<x/>"}});
    msu = testing::MakeCabinet({{"Windows6.1-KB5-x64.cab", inner}, {"WSUSSCAN.cab", "not a cabinet"}});
    const std::string tables =
        testing::MakeZip({{L"IndexedLookupTable.txt", ToUtf8(kGoodKernel) + "|PayloadDatabase1.txt\r\n"},
                          {L"ManifestDatabase.txt", "amd64_other|KB7|x.manifest\r\n"},
                          {L"PayloadDatabase1.txt", ToUtf8(kGoodKernel) + "|KB5|kernel.dll\r\n"}});
    w.http().handler = [this, tables](const fake::FakeHttpRequest& r) -> platform::HttpReply {
      requested.push_back(r.method + L" " + r.url);
      if (r.url == kDatabase + L"QuillmereWindowsUpdateDatabaseVersion.txt?dl=1") return {200, "1.0"};
      if (r.url == kDatabase + L"QuillmereWindowsUpdateDatabase.zip?dl=1") return {200, tables};
      if (r.url.find(L"GenerateUpdateURL.php") != std::wstring::npos && r.url.find(L"&KB=5&") != std::wstring::npos)
        return {200, ToUtf8(kPackageUrl)};
      if (r.url == kPackageUrl) return {200, msu};
      return {404, "<html>404</html>"};
    };
  }
  // Pages served outright never reach the handler: every request counts.
  bool Asked(const std::wstring& url) { return testing::Requested(w, url) > 0; }
};

TEST(PackageStages, AStoreFileIsRepairedFromADownloadedPackage) {
  Sourced d;
  ASSERT_FALSE(d.msu.empty()) << "gcab made no cabinet";
  d.w.FeedKeys(L"y\ry\r");  // the database, then Microsoft's download
  const std::wstring log = d.Stages();
  EXPECT_EQ(d.w.FileBytes(kKernel), "good kernel") << log;
  EXPECT_EQ(d.w.FileBytes(kShell), "bad");
  EXPECT_EQ(d.s.analysis.counters.cbsFixed, 1u);
  ASSERT_EQ(d.s.analysis.corruptFiles.size(), 1u);
  EXPECT_EQ(d.s.analysis.corruptFiles[0].storePath, kShell);
  // The kernel was staged out of the package before its work folder went.
  EXPECT_EQ(d.w.FileBytes(TempFolder(d.s) + L"\\Stage3\\" + kDamagedFolder + L"\\kernel.dll"), "good kernel");
  for (const auto& e : d.w.ListTree(TempFolder(d.s))) EXPECT_EQ(e.find(L"RARiroderuz_"), std::wstring::npos) << e;
  // Stage 6 asked the manifest table for the shell's component and found
  // no package: no second download.
  EXPECT_FALSE(d.Asked(L"&KB=7&"));
}

TEST(PackageStages, NothingIsDownloadedWithoutConsentOrWithoutServices) {
  {
    Sourced d;
    d.w.FeedKeys(L"y\rn\r");  // the database yes, Microsoft's download no
    d.Stages();
    EXPECT_EQ(d.w.FileBytes(kKernel), "bad");
    EXPECT_TRUE(d.Asked(L"GenerateUpdateURL.php"));
    EXPECT_FALSE(d.Asked(L"GET " + kPackageUrl));
    EXPECT_EQ(d.s.analysis.corruptFiles.size(), 2u);
  }
  {
    Sourced d;
    d.s.downloads = nullptr;
    d.w.FeedKeys(L"y\ry\r");
    d.Stages();
    EXPECT_TRUE(d.requested.empty());
  }
}

// A package's file counts only when its digest is the manifest's: a file
// of the same name with other bytes is not staged.
TEST(PackageStages, AFileOfTheRightNameButTheWrongDigestIsNotTaken) {
  Sourced d;
  const std::string inner = testing::MakeCabinet({{"kernel.dll", "other kernel"}});
  d.msu = testing::MakeCabinet({{"Windows6.1-KB5-x64.cab", inner}});
  d.w.FeedKeys(L"y\ry\r");
  d.Stages();
  EXPECT_TRUE(d.Asked(L"GET " + kPackageUrl));
  EXPECT_EQ(d.w.FileBytes(kKernel), "bad");
  EXPECT_EQ(d.s.analysis.corruptFiles.size(), 2u);
}

// Stage 8: the user is asked for the DVD, and its install.wim (a DVD drive
// only, after stage 7 found nothing on the fixed drives) gives the kernel.
TEST(PackageStages, Stage8AsksForTheDvdAndTakesTheFileFromItsImage) {
  Sourced d;
  d.s.downloads = nullptr;
  d.w.wow64 = true;
  d.w.drives[L'E'] = platform::DriveKind::kCdRom;
  d.w.AddFile(L"E:\\sources\\install.wim", "image");
  const std::wstring mount = TempFolder(d.s) + L"\\MOUNTED_WIM";
  std::vector<std::wstring> dism;
  d.w.OnProcess(L"dism.exe", [&](const platform::ProcessRequest& r) {
    dism.push_back(r.commandLine);
    platform::ProcessOutcome out;
    if (r.commandLine.find(L"Info") != std::wstring::npos)
      out.output = "Details for image : E:\\sources\\install.wim\r\n\r\nIndex : 1\r\nName : Windows 7\r\n";
    else if (r.commandLine.find(L" /Mount-") != std::wstring::npos)
      d.w.AddFile(mount + L"\\Windows\\WinSxS\\" + kDamagedFolder + L"\\kernel.dll", "good kernel");
    return out;
  });
  d.w.FeedKeys(L"\r");
  const std::wstring log = d.Stages();
  EXPECT_NE(d.w.ConsoleText().find(L"Insert Windows DVD"), std::wstring::npos);
  EXPECT_EQ(d.w.FileBytes(kKernel), "good kernel") << log;
  EXPECT_EQ(d.s.analysis.corruptFiles.size(), 1u);
  ASSERT_FALSE(dism.empty());
  EXPECT_NE(dism.front().find(L"E:\\sources\\install.wim"), std::wstring::npos);
}

// --- The Windows Update Agent's own packages ------------------------------

const std::wstring kAgentStore =
    L"C:\\Windows\\WinSxS\\amd64_microsoft-windows-wuaueng.dll_31bf3856ad364e35_7.6.7600.320_none_0a1b2c";
const std::wstring kAgentFile = kAgentStore + L"\\wuaueng.dll";
const std::wstring kGoodAgent = L"vMU1FmEaPTstXiu+8QKAPSd/P82auXL27iUt70ckQjs=";  // of "good agent"
const std::wstring kAgentRedist = L"https://download.windowsupdate.com/windowsupdate/redist/standalone/7.6.7600.320/";

// The redistributable of the machine's architecture is downloaded, its
// signature checked, run with "/x:", and the agent file taken from the
// cabinet it unpacked.
TEST(PackageStages, Agent320FilesComeFromTheRedistributableOfTheMachinesArchitecture) {
  for (const auto& [architecture, wanted, other] :
       {std::make_tuple(uint16_t{0}, L"WindowsUpdateAgent-7.6-x86.exe", L"WindowsUpdateAgent-7.6-x64.exe"),
        std::make_tuple(uint16_t{9}, L"WindowsUpdateAgent-7.6-x64.exe", L"WindowsUpdateAgent-7.6-x86.exe")}) {
    Sourced d;
    d.w.architecture = architecture;
    d.w.AddFile(kAgentFile, "bad");
    d.s.analysis.corruptFiles.push_back({kAgentFile, kGoodAgent, L"LwXU", 0});
    d.w.http().Serve(kAgentRedist + wanted, "MZ agent");
    d.w.signatures().Sign(TempFolder(d.s) + L"\\" + wanted, platform::Signer::kMicrosoft);
    const std::string cabinet = testing::MakeCabinet({{"wuaueng.dll", "good agent"}});
    d.w.OnProcess(wanted, [&d, cabinet](const platform::ProcessRequest& r) {
      const size_t from = r.commandLine.find(L"/x:\"") + 4;
      d.w.AddFile(r.commandLine.substr(from, r.commandLine.find(L'"', from) - from) + L"\\WUClient.cab", cabinet);
      return platform::ProcessOutcome();
    });
    d.w.FeedKeys(L"y\ry\r");
    const std::wstring log = d.Stages();
    EXPECT_EQ(d.w.FileBytes(kAgentFile), "good agent") << ToUtf8(wanted) << "\n" << ToUtf8(log);
    EXPECT_TRUE(d.Asked(L"GET " + kAgentRedist + wanted));
    EXPECT_FALSE(d.Asked(other));
  }
}

// KB2720211's address is the support server's answer for x86, whatever the
// machine, and that package is then fetched.
TEST(PackageStages, Agent256FilesAskTheSupportServerForKb2720211ForX86) {
  Sourced d;
  const std::wstring store =
      L"C:\\Windows\\WinSxS\\x86_microsoft-windows-wuaueng.dll_31bf3856ad364e35_7.6.7600.256_none_3c4d5e\\wuaueng.dll";
  d.w.AddFile(store, "bad");
  d.s.analysis.corruptFiles.push_back({store, kGoodAgent, L"LwXU", 0});
  const std::wstring wsus = L"https://download.windowsupdate.com/msdownload/update/software/crup/2012/06/"
                            L"wsus-kb2720211-x86_0123abcd.exe";
  d.w.http().Serve(wsus, "MZ wsus");
  auto served = d.w.http().handler;
  d.w.http().handler = [served, wsus](const fake::FakeHttpRequest& r) -> platform::HttpReply {
    if (r.url.find(L"GenerateUpdateURL.php") != std::wstring::npos && r.url.find(L"&KB=2720211&") != std::wstring::npos)
      return {200, ToUtf8(wsus)};
    return served(r);
  };
  d.w.FeedKeys(L"y\ry\r");
  d.Stages();
  EXPECT_TRUE(d.Asked(L"&architecture=x86&KB=2720211&"));
  EXPECT_TRUE(d.Asked(L"GET " + wsus));
  EXPECT_FALSE(d.Asked(kAgentRedist));
}

}  // namespace
}  // namespace corvex

#endif
