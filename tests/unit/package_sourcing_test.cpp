// Update package sourcing against the fake: the support server and
// Microsoft's download servers on the fake's HTTP, DISM as a scripted child.
#include <gtest/gtest.h>

#include <map>

#include "analysis/package_sourcing.h"
#include "app/download_services_online.h"
#include "core/working_folders.h"
#include "online/servers.h"
#include "package_fixtures.h"
#include "security_test_support.h"
#include "test_support.h"

namespace corvex {
namespace {

using fake::Op;
using testing::FakeSession;

constexpr uint64_t kMiB = 1024 * 1024;
const std::wstring kUrlQuery = L"https://tallwen.net/Tallwen/apps/GenerateUpdateURL.php?OS=7&architecture=amd64"
                               L"&KB=2720211&IE=ie11&locale=enu";
const std::wstring kPackageA = L"https://download.windowsupdate.com/d/msdownload/update/a.msu";
const std::wstring kPackageB = L"https://download.windowsupdate.com/d/msdownload/update/b.cab";
const wchar_t kConsentStart[] = L"Would you like to allow a download from Microsoft Servers?";

struct Sourcing {
  FakeSession f;
  OnlineDownloadServices services{f.s};
  std::string reply = ToUtf8(kPackageA) + "\r\n";

  Sourcing() {
    f.w.version = {6, 1, 7601, 1, 1};
    f.w.SetMachineValue(L"SOFTWARE\\Microsoft\\Internet Explorer", L"svcVersion", L"11.0.9600.19507");
    f.w.http().handler = [this](const fake::FakeHttpRequest& r) -> platform::HttpReply {
      if (r.url.find(L"GenerateUpdateURL.php") != std::wstring::npos) return {200, reply};
      return {404, "<html>404</html>"};
    };
    f.w.http().Serve(kPackageA, "MSU package A");
    f.w.http().Serve(kPackageB, "CAB package B");
  }

  std::wstring Temp(const std::wstring& name) { return TempFolder(f.s) + L"\\" + name; }
  size_t Requests(const std::wstring& method, const std::wstring& url) {
    return testing::Requested(f.w, method + L" " + url);
  }
  size_t Prompts() { return testing::Count(f.w.ConsoleText(), kConsentStart); }
};

class SourcingFixture : public ::testing::Test, public Sourcing {};

TEST_F(SourcingFixture, UpdateUrlComesFromTheSupportServerAsOneMicrosoftAddress) {
  EXPECT_EQ(RequestUpdateUrl(f.s, services, L"2720211"), kPackageA);
  ASSERT_EQ(f.w.http().requests.size(), 1u);
  EXPECT_EQ(f.w.http().requests[0].url, kUrlQuery);
  EXPECT_FALSE(f.w.Exists(Temp(L"kb.txt")));
  EXPECT_EQ(f.s.analysis.sourcingReport, L"");
}

TEST_F(SourcingFixture, RepliesOtherThanOneTrustedAddressAreRefused) {
  const char* replies[] = {
      "ERROR: No package for this KB",
      "http://download.windowsupdate.com/d/a.msu",                      // not https
      "https://evil.example.com/a.msu",                                 // not Microsoft's
      "https://download.windowsupdate.com.evil.example.com/a.msu",      // Microsoft's name as a prefix
      "https://download.windowsupdate.com:8443/a.msu",                  // another port
      "https://user@download.windowsupdate.com/a.msu",                  // credentials
      "https://download.windowsupdate.com/a.msu\r\nhttps://download.windowsupdate.com/b.msu",  // two lines
      "https://download.windowsupdate.com/a b.msu",                     // a space inside
      "<html><body>Service unavailable</body></html>",
      "",
  };
  for (const char* bad : replies) {
    Sourcing x;
    x.reply = bad;
    EXPECT_EQ(RequestUpdateUrl(x.f.s, x.services, L"2720211"), L"") << bad;
    EXPECT_EQ(x.f.s.analysis.sourcingReport, L"WARNING: Could not generate update URL for KB 2720211\r\n") << bad;
  }
  f.w.InjectFault(Op::kHttpDownload, L"GenerateUpdateURL", 12029);
  EXPECT_EQ(RequestUpdateUrl(f.s, services, L"2720211"), L"");
  EXPECT_TRUE(testing::Holds(f.s.analysis.sourcingReport, L"KB 2720211"));
}

TEST_F(SourcingFixture, MicrosoftDownloadHostsAndTheirSubdomainsAreTrusted) {
  for (const wchar_t* url : {L"https://download.windowsupdate.com/a.msu", L"https://AU.Download.WindowsUpdate.com/a",
                             L"https://download.microsoft.com:443/download/a.exe"})
    EXPECT_TRUE(online::IsMicrosoftDownloadUrl(f.s, url)) << url;
  for (const wchar_t* url : {L"https://xdownload.windowsupdate.com/a.msu", L"https://windowsupdate.com/a.msu",
                             L"https://microsoft.com/a.msu", L"ftp://download.microsoft.com/a.msu",
                             L"https://download.microsoft.com/a\u00e9.msu", L"https://download.microsoft.com/a\x7f"})
    EXPECT_FALSE(online::IsMicrosoftDownloadUrl(f.s, url)) << url;
}

TEST_F(SourcingFixture, KnowledgeBaseNumbersOtherThanDigitsAreNotAskedFor) {
  for (const wchar_t* kb : {L"", L"27202a", L"1&OS=evil", L"2720211 ", L"12345678901"})
    EXPECT_EQ(RequestUpdateUrl(f.s, services, kb), L"") << kb;
  EXPECT_TRUE(f.w.http().requests.empty());
  EXPECT_TRUE(testing::Holds(f.s.analysis.sourcingReport, L"WARNING: Could not generate update URL for KB 27202a"));
}

TEST_F(SourcingFixture, LoopbackServerIsTrustedOnlyOnTheAddressNamed) {
  reply = "http://127.0.0.1:8080/pkg/a.msu";
  EXPECT_EQ(RequestUpdateUrl(f.s, services, L"2720211"), L"");  // no override: refused
  f.w.SetEnv(L"CORVEX_SERVER_URL", L"http://127.0.0.1:8080");
  EXPECT_EQ(RequestUpdateUrl(f.s, services, L"2720211"), L"http://127.0.0.1:8080/pkg/a.msu");
  EXPECT_EQ(f.w.http().requests.back().url.rfind(L"http://127.0.0.1:8080/Tallwen/apps/GenerateUpdateURL.php?", 0), 0u);
  reply = "http://127.0.0.1:9090/pkg/a.msu";
  EXPECT_EQ(RequestUpdateUrl(f.s, services, L"2720211"), L"");
  reply = ToUtf8(kPackageA);
  EXPECT_EQ(RequestUpdateUrl(f.s, services, L"2720211"), kPackageA);  // Microsoft's own still are
}

TEST(DownloadFileName, IsThePlainLastPartOrNothing) {
  const std::wstring base = L"https://download.windowsupdate.com/d/";
  EXPECT_EQ(DownloadFileName(base + L"windows6.1-kb2720211-x64.msu"), L"windows6.1-kb2720211-x64.msu");
  EXPECT_EQ(DownloadFileName(base + L"a.msu?dl=1&x=/../b"), L"a.msu");
  EXPECT_EQ(DownloadFileName(base + L"a.msu#/../b"), L"a.msu");
  for (const wchar_t* bad : {L"", L"..", L".", L"...", L"CON", L"nul.msu", L"COM1", L"lpt9.cab", L"CONOUT$",
                             L"c:a.msu", L"a.msu:stream", L"..\\a.msu", L"a\\b.msu", L"a.msu.", L"a.msu ",
                             L"a*.msu", L"a\x01.msu"})
    EXPECT_EQ(DownloadFileName(base + bad), L"") << bad;
}

TEST_F(SourcingFixture, BadFileNamesAndUntrustedAddressesAreRefusedWithASentence) {
  for (const wchar_t* url : {L"https://download.windowsupdate.com/d/..", L"https://download.windowsupdate.com/d/NUL",
                             L"https://download.windowsupdate.com/d/"})
    EXPECT_EQ(AllowMicrosoftDownload(f.s, services, url), L"") << url;
  EXPECT_TRUE(testing::Holds(
      f.s.analysis.sourcingReport,
      L"WARNING: The download https://download.windowsupdate.com/d/NUL was refused: its last part is not "
      L"a plain file name.\r\n"));
  EXPECT_EQ(AllowMicrosoftDownload(f.s, services, L"https://evil.example.com/a.msu"), L"");
  EXPECT_TRUE(testing::Holds(f.s.analysis.sourcingReport,
                             L"WARNING: The download https://evil.example.com/a.msu was refused: "
                             L"it is not an https address on Microsoft's download servers.\r\n"));
  // Nothing was asked of any server, nor of the user.
  EXPECT_TRUE(f.w.http().requests.empty());
  EXPECT_EQ(f.w.keysRead, 0);
}

TEST_F(SourcingFixture, TheAllowanceTakesOne60MiBPackageButNotASecond) {
  f.w.http().announcedSizes[kPackageA] = 60 * kMiB;
  f.w.http().announcedSizes[kPackageB] = 60 * kMiB;
  f.w.FeedKeys(L"y\r");
  EXPECT_EQ(AllowMicrosoftDownload(f.s, services, kPackageA), Temp(L"a.msu"));
  EXPECT_EQ(f.w.FileBytes(Temp(L"a.msu")), "MSU package A");
  EXPECT_EQ(f.s.analysis.downloadAllowance, 40 * kMiB);
  EXPECT_TRUE(f.s.analysis.downloadsAllowed);
  EXPECT_TRUE(f.s.analysis.downloadConsent);
  EXPECT_EQ(AllowMicrosoftDownload(f.s, services, kPackageB), L"");
  EXPECT_EQ(Requests(L"GET", kPackageB), 0u);
  EXPECT_EQ(Prompts(), 1u);
  EXPECT_TRUE(testing::Holds(f.s.analysis.sourcingReport, L"b.cab (62914560 bytes) was refused"));
}

TEST_F(SourcingFixture, PackageWithoutASizeIsRefusedWithoutAsking) {
  f.w.http().announcedSizes[kPackageA] = 0;
  EXPECT_EQ(AllowMicrosoftDownload(f.s, services, kPackageA), L"");
  f.w.InjectFault(Op::kHttpHead, L"b.cab", 12002);
  EXPECT_EQ(AllowMicrosoftDownload(f.s, services, kPackageB), L"");
  EXPECT_EQ(Prompts(), 0u);
  EXPECT_EQ(Requests(L"GET", kPackageA) + Requests(L"GET", kPackageB), 0u);
  EXPECT_TRUE(f.s.analysis.downloadsAllowed);
}

TEST_F(SourcingFixture, DecliningOnceRefusesEveryLaterDownloadWithoutAsking) {
  f.w.FeedKeys(L"n\r");
  EXPECT_EQ(AllowMicrosoftDownload(f.s, services, kPackageA), L"");
  const size_t requests = f.w.http().requests.size();
  f.w.FeedKeys(L"y\r");
  EXPECT_EQ(AllowMicrosoftDownload(f.s, services, kPackageB), L"");
  EXPECT_EQ(AllowMicrosoftDownload(f.s, services, kPackageA), L"");
  EXPECT_EQ(Prompts(), 1u);
  EXPECT_EQ(f.w.http().requests.size(), requests);  // not even a HEAD
}

TEST_F(SourcingFixture, FailedOrOverlongDownloadReturnsNothingAndLeavesNoFile) {
  // More bytes than HEAD announced: the download stops at the announced size.
  f.w.http().announcedSizes[kPackageA] = 5;
  f.w.AddFile(Temp(L"a.msu"), "stale copy of an earlier run");
  f.w.AddFile(Temp(L"a.msu.download"), "part of an earlier run");
  f.w.FeedKeys(L"y\r");
  EXPECT_EQ(AllowMicrosoftDownload(f.s, services, kPackageA), L"");
  EXPECT_EQ(Requests(L"GET", kPackageA), 1u);
  EXPECT_FALSE(f.w.Exists(Temp(L"a.msu")));
  EXPECT_FALSE(f.w.Exists(Temp(L"a.msu.download")));

  f.w.InjectFault(Op::kHttpDownload, L"b.cab", 12002);
  f.w.AddFile(Temp(L"b.cab"), "stale");
  EXPECT_EQ(AllowMicrosoftDownload(f.s, services, kPackageB), L"");
  EXPECT_FALSE(f.w.Exists(Temp(L"b.cab")));
}

TEST_F(SourcingFixture, PackagesAreDownloadedAndHandedToTheExtraction) {
  f.w.http().handler = [](const fake::FakeHttpRequest& r) -> platform::HttpReply {
    if (r.url.find(L"KB=2720211") != std::wstring::npos) return {200, ToUtf8(kPackageB)};
    return {404, ""};
  };
  f.w.FeedKeys(L"y\r");
  std::vector<std::wstring> handed;
  auto extract = [&](const std::wstring& package, const std::wstring& out, bool) -> std::wstring {
    handed.push_back(package);
    EXPECT_EQ(out, TempFolder(f.s));
    return package.find(L"a.msu") != std::wstring::npos ? L"" : package + L"_unpacked";
  };
  auto folders = DownloadAndExtractPackages(f.s, services, {L"KB2720211", kPackageA, L"999", L"KBx"}, extract);
  EXPECT_EQ(handed, (std::vector<std::wstring>{Temp(L"b.cab"), Temp(L"a.msu")}));
  EXPECT_EQ(folders, (std::vector<std::wstring>{Temp(L"b.cab") + L"_unpacked"}));
  EXPECT_TRUE(testing::Holds(f.s.analysis.sourcingReport, L"a.msu could not be unpacked"));
}

const char kListing[] =
    "\r\nDeployment Image Servicing and Management tool\r\nVersion: 6.1.7600.16385\r\n\r\n"
    "Details for image : D:\\sources\\install.wim\r\n\r\n"
    "Index : 1\r\nName : Windows 7 HOMEBASIC\r\nDescription : Windows 7 HOMEBASIC\r\nSize : 11,710,161,360 bytes\r\n\r\n"
    "Index : 2\r\nName : Windows 7 PROFESSIONAL\r\nDescription : Windows 7 PROFESSIONAL\r\nSize : 1 bytes\r\n\r\n"
    "Index : 3\r\nName : Windows 7 ULTIMATE\r\nDescription : Windows 7 ULTIMATE\r\nSize : 1 bytes\r\n\r\n"
    "The operation completed successfully.\r\n";

std::string Detail(int index, const char* edition) {
  return "Details for image : D:\\sources\\install.wim\r\n\r\nIndex : " + std::to_string(index) +
         "\r\nName : Windows 7\r\nEdition : " + edition + "\r\nArchitecture : x64\r\n";
}

// The listing and the choice of the installed edition are MountInstallWim's.
TEST(WimImages, FieldsOutsideAnImageAndAnUnknownEdition) {
  EXPECT_TRUE(ParseImageInfo(L"Name : x\r\nIndex : two\r\nIndex : 0\r\nIndex :\r\n").empty());
  EXPECT_EQ(ChooseImages(ParseImageInfo(FromLatin1(kListing)), L"").size(), 3u);
}

struct Dism {
  FakeSession f;
  std::vector<std::wstring> commands;
  std::map<int, std::string> editions{{1, "HomeBasic"}, {2, "Professional"}, {3, "Ultimate"}};
  uint32_t mountExit = 0;

  Dism() {
    f.w.version = {6, 1, 7601, 1, 1};
    f.w.wow64 = true;
    f.w.SetMachineValue(L"SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion", L"EditionID", L"Professional");
    f.w.OnProcess(L"dism.exe", [this](const platform::ProcessRequest& r) {
      commands.push_back(r.commandLine);
      platform::ProcessOutcome out;
      const std::wstring& c = r.commandLine;
      const size_t index = c.find(L"/Index:");
      if (c.find(L"/Get-WimInfo") != std::wstring::npos || c.find(L"/Get-ImageInfo") != std::wstring::npos) {
        out.output = index == std::wstring::npos
                         ? std::string(kListing)
                         : Detail(c[index + 7] - L'0', editions[c[index + 7] - L'0'].c_str());
      } else if (c.find(L" /Mount-") != std::wstring::npos) {
        out.exitCode = mountExit;
        if (!mountExit) f.w.AddFile(MountFolder() + L"\\Windows\\System32\\x.dll", "image file");
      } else if (c.find(L" /Unmount-") != std::wstring::npos) {
        for (const auto& p : f.w.ListTree(MountFolder())) f.w.platform().fs.DeleteFile(p);
        for (int i = 0; i < 3; ++i)
          for (const auto& p : f.w.ListTree(MountFolder())) f.w.platform().fs.RemoveFolder(p);
      }
      return out;
    });
  }
  std::wstring MountFolder() { return TempFolder(f.s) + L"\\MOUNTED_WIM"; }
};

TEST(MountInstallWim, MountsTheInstalledEditionReadOnlyTakesItsFilesAndDiscardsEveryMount) {
  Dism d;
  d.f.w.AddFile(d.MountFolder() + L"\\stale.txt", "left by a run that died");
  std::vector<uint32_t> visited;
  std::string taken;
  bool ok = MountInstallWim(d.f.s, L"D:\\sources\\install.wim", [&](const WimImage& image, const std::wstring& dir) {
    visited.push_back(image.index);
    taken = d.f.w.FileBytes(dir + L"\\Windows\\System32\\x.dll");
    return true;
  });
  EXPECT_TRUE(ok);
  EXPECT_EQ(visited, std::vector<uint32_t>{2});
  EXPECT_EQ(taken, "image file");
  for (const auto& run : d.f.w.processesRun)
    EXPECT_TRUE(IEquals(run.program, L"C:\\Windows\\Sysnative\\dism.exe")) << run.program;
  const std::wstring wim = L"\"D:\\sources\\install.wim\"";
  const std::wstring mount = L"\"" + d.MountFolder() + L"\"";
  std::vector<std::wstring> expected = {
      L" /English /Get-WimInfo /WimFile:" + wim,
      L" /English /Get-WimInfo /WimFile:" + wim + L" /Index:1",
      L" /English /Get-WimInfo /WimFile:" + wim + L" /Index:2",
      L" /English /Get-WimInfo /WimFile:" + wim + L" /Index:3",
      L" /English /Unmount-Wim /MountDir:" + mount + L" /Discard",  // the stale mount
      L" /English /Mount-Wim /WimFile:" + wim + L" /Index:2 /MountDir:" + mount + L" /ReadOnly",
      L" /English /Unmount-Wim /MountDir:" + mount + L" /Discard",
  };
  EXPECT_EQ(d.commands, expected);
  EXPECT_FALSE(d.f.w.Exists(d.MountFolder()));

  // A failed mount is reported, and still discarded.
  d.mountExit = 0xC1420127;
  visited.clear();
  EXPECT_FALSE(MountInstallWim(d.f.s, L"D:\\sources\\install.wim", [&](const WimImage& image, const std::wstring&) {
    visited.push_back(image.index);
    return true;
  }));
  EXPECT_TRUE(visited.empty());
  EXPECT_TRUE(testing::Holds(d.f.s.analysis.sourcingReport,
                             L"WARNING: DISM could not mount image 2 of D:\\sources\\install.wim"));
  EXPECT_TRUE(testing::Holds(d.commands.back(), L"/Unmount-Wim"));
}

TEST(MountInstallWim, WithoutTheInstalledEditionEachImageIsTriedAndEveryMountUndone) {
  Dism d;
  d.f.w.version = {10, 0, 19045, 0, 1};
  d.f.w.SetMachineValue(L"SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion", L"EditionID", L"Enterprise");
  std::vector<uint32_t> visited;
  EXPECT_TRUE(MountInstallWim(d.f.s, L"D:\\install.wim", [&](const WimImage& image, const std::wstring&) {
    visited.push_back(image.index);
    return false;
  }));
  EXPECT_EQ(visited, (std::vector<uint32_t>{1, 2, 3}));
  size_t mounts = 0, unmounts = 0;
  for (const auto& c : d.commands) {
    mounts += c.find(L"/Mount-Image /ImageFile:") != std::wstring::npos;
    unmounts += c.find(L"/Unmount-Image") != std::wstring::npos;
  }
  EXPECT_EQ(mounts, 3u);
  EXPECT_EQ(unmounts, 3u);
}

}  // namespace
}  // namespace corvex
