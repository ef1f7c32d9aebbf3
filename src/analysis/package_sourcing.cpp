#include "analysis/package_sourcing.h"

#include "analysis/pager.h"
#include "analysis/sfc_directive.h"
#include "base/path.h"
#include "core/folder_tree.h"
#include "base/text.h"
#include "core/console_output.h"
#include "core/process_runner.h"
#include "core/session_log.h"
#include "core/system_facts.h"
#include "core/working_folders.h"
#include "script/zip_reader.h"

namespace corvex {

namespace {

constexpr wchar_t kUpdateUrlReply[] = L"kb.txt";
// One address and a line end; an error page is longer and no answer.
constexpr uint64_t kMaxUpdateUrlReply = 4096;
constexpr wchar_t kMountFolderName[] = L"MOUNTED_WIM";
// An installation medium holds a few dozen images at most; a listing of
// more is not one, and each image costs DISM runs.
constexpr size_t kMaxImages = 64;

constexpr wchar_t kConsentText[] =
    L"Would you like to allow a download from Microsoft Servers?\n\n\nGood replacements for some of your corrupt "
    L"files can only be found inside Windows update packages. Microsoft's servers hand out whole packages only, "
    L"so a whole package must be downloaded even when a single file of it is needed. Corvex limits itself to "
    L"100MB of downloads from Microsoft in each run.\n\nType \"y\" for yes or \"n\" for no and press enter to "
    L"continue:  ";

std::wstring Shown(const std::wstring& text) { return MaskedForSentence(text, 200); }

void Report(Session& s, const std::wstring& sentence) { s.analysis.sourcingReport += sentence + L"\r\n"; }

bool AllDigits(const std::wstring& text) {
  return !text.empty() && text.find_first_not_of(L"0123456789") == std::wstring::npos;
}


// The Windows version as the support server names it.
std::wstring OsName(Session& s) {
  auto v = s.os.system.Version();
  if (!v.ok()) return L"";
  if (v->major >= 10) return v->build >= 22000 ? L"11" : L"10";
  if (v->major == 6) {
    switch (v->minor) {
      case 0: return L"Vista";
      case 1: return L"7";
      case 2: return L"8";
      case 3: return L"8.1";
      default: return L"10";  // 6.4: the Windows 10 previews
    }
  }
  return Decimal(v->major) + L"." + Decimal(v->minor);
}

// The major version of Internet Explorer: svcVersion up to its first ".".
std::wstring InternetExplorerMajor(Session& s) {
  auto v = s.os.system.ReadMachineString(L"SOFTWARE\\Microsoft\\Internet Explorer", L"svcVersion");
  if (!v.ok()) return L"";
  std::wstring major = Trim(*v).substr(0, Trim(*v).find(L'.'));
  return AllDigits(major) ? major : L"";
}

std::wstring DismWord(Session& s) { return IsWindowsVersionOrGreater(s, 6, 2) ? L"Image" : L"Wim"; }

// The native dism.exe with English output, whatever the display language,
// so that its listing can be read.
RunOutcome RunDism(Session& s, const std::wstring& arguments, bool capture) {
  RunOptions options;
  options.capture = capture;
  return RunProcess(s, NativeSystemTool(s, L"dism.exe"), L" /English" + arguments, options);
}

std::wstring Quoted(const std::wstring& path) { return L"\"" + path + L"\""; }

std::vector<WimImage> ListImages(Session& s, const std::wstring& wim, const std::wstring& indexOption) {
  const std::wstring word = DismWord(s);
  RunOutcome run = RunDism(s, L" /Get-" + word + L"Info /" + word + L"File:" + Quoted(wim) + indexOption, true);
  if (run.Failure()) {
    TraceErrorCode(s, run.Failure(), L"DISM could not list the images of " + wim + L"; error code ");
    return {};
  }
  return ParseImageInfo(run.output);
}

}  // namespace

std::wstring RequestUpdateUrl(Session& s, DownloadServices& services, const std::wstring& kb,
                              const std::wstring& architecture) {
  const std::wstring warning = L"WARNING: Could not generate update URL for KB " + Shown(kb);
  if (!AllDigits(kb) || kb.size() > 10) {
    TraceError(s, L"\"" + Shown(kb) + L"\" is not a knowledge-base number; no update URL was asked for.");
    Report(s, warning);
    return L"";
  }
  const std::wstring url = services.SupportServerUrl(
      L"/Tallwen/apps/GenerateUpdateURL.php?OS=" + OsName(s) + L"&architecture=" + (architecture.empty() ? ArchitectureName(s) : architecture) +
      L"&KB=" + kb + L"&IE=ie" + InternetExplorerMajor(s) + L"&locale=enu");
  CreateFolderChain(s, TempFolder(s));
  const std::wstring replyFile = TempFolder(s) + L"\\" + kUpdateUrlReply;
  std::wstring answer;
  if (uint32_t code = services.Download(url, replyFile, kMaxUpdateUrlReply)) {
    TraceErrorCode(s, code, L"Failed to ask the support server for the update URL of KB" + kb + L" with error code ");
  } else if (auto read = ReadTempFile(s, kUpdateUrlReply); !read.ok()) {
    TraceErrorCode(s, read.code(), L"Failed to read " + replyFile + L" with error code ");
  } else {
    answer = Trim(*read);
  }
  DeleteFileIfThere(s, replyFile);
  if (StartsWith(answer, L"ERROR: ")) {
    TraceError(s, L"The support server has no update URL for KB" + kb + L": " + Shown(answer));
    answer.clear();
  } else if (!answer.empty() && !services.IsMicrosoftDownloadUrl(answer)) {
    // Only one https address on Microsoft's servers is an answer: a second
    // line, an error page or another host is not fetched.
    TraceError(s, L"The support server answered the update URL request for KB" + kb +
                      L" with something other than one Microsoft download address: " + Shown(answer));
    answer.clear();
  }
  if (answer.empty()) Report(s, warning);
  return answer;
}

std::wstring DownloadFileName(const std::wstring& url) {
  std::wstring path = url.substr(0, url.find_first_of(L"?#"));
  std::wstring name = path.substr(path.rfind(L'/') + 1);
  return IsSafeFileName(name) ? name : L"";
}

std::wstring AllowMicrosoftDownload(Session& s, DownloadServices& services, const std::wstring& url) {
  AnalysisState& a = s.analysis;
  if (!services.IsMicrosoftDownloadUrl(url)) {
    Report(s, L"WARNING: The download " + Shown(url) +
                  L" was refused: it is not an https address on Microsoft's download servers.");
    return L"";
  }
  const std::wstring name = DownloadFileName(url);
  if (name.empty()) {
    Report(s, L"WARNING: The download " + Shown(url) + L" was refused: its last part is not a plain file name.");
    return L"";
  }
  if (!a.downloadsAllowed) {
    TraceInfo(s, L"Downloads from Microsoft were declined; " + url + L" is not downloaded.");
    return L"";
  }
  const uint64_t size = services.RemoteSize(url);
  if (size == 0) {
    TraceError(s, L"The size of " + url + L" is unknown; it is not downloaded.");
    return L"";
  }
  if (size > a.downloadAllowance) {
    Report(s, L"WARNING: The download of " + name + L" (" + Decimal(size) +
                  L" bytes) was refused: it exceeds what remains of the 100MB download allowance (" +
                  Decimal(a.downloadAllowance) + L" bytes).");
    return L"";
  }
  if (!a.downloadConsent) {
    if (!AskYesNo(s, kConsentText)) {
      a.downloadsAllowed = false;
      TraceInfo(s, L"The user declined downloads from Microsoft.");
      return L"";
    }
    a.downloadConsent = true;
  }
  a.downloadAllowance -= size;
  CreateFolderChain(s, TempFolder(s));
  const std::wstring target = TempFolder(s) + L"\\" + name;
  // The announced size is the most the allowance was charged for.
  if (!services.DownloadWithProgress(url, target, name, L"", size)) {
    DeleteFileIfThere(s, target);
    DeleteFileIfThere(s, target + L".download");
    TraceError(s, L"Failed to download " + url + L".");
    return L"";
  }
  return target;
}

std::vector<std::wstring> DownloadAndExtractPackages(Session& s, DownloadServices& services,
                                                     const std::vector<std::wstring>& entries,
                                                     const ExtractPackageHook& extract) {
  std::vector<std::wstring> packages;
  for (const std::wstring& entry : entries) {
    std::wstring url = Trim(entry);
    if (!IStartsWith(url, L"http")) {
      std::wstring kb = IStartsWith(url, L"KB") ? url.substr(2) : url;
      url = RequestUpdateUrl(s, services, kb);
      if (url.empty()) continue;
    }
    std::wstring path = AllowMicrosoftDownload(s, services, url);
    if (!path.empty()) packages.push_back(path);
  }
  std::vector<std::wstring> folders;
  if (packages.empty()) return folders;
  Print(s, L"\n\nExtracting . . . ");
  for (const std::wstring& package : packages) {
    std::wstring folder = extract ? extract(package, TempFolder(s), true) : L"";
    if (folder.empty())
      Report(s, L"WARNING: The package " + package + L" could not be unpacked.");
    else
      folders.push_back(folder);
  }
  RedrawFromTranscript(s);
  return folders;
}

std::vector<WimImage> ParseImageInfo(const std::wstring& output) {
  std::vector<WimImage> images;
  for (const std::wstring& raw : Split(output, L"\n")) {
    const std::wstring line = Trim(raw);
    const size_t colon = line.find(L':');
    if (colon == std::wstring::npos) continue;
    const std::wstring field = Trim(line.substr(0, colon));
    const std::wstring value = Trim(line.substr(colon + 1));
    if (IEquals(field, L"Index")) {
      if (!AllDigits(value) || value.size() > 9) continue;
      WimImage image;
      image.index = static_cast<uint32_t>(std::stoul(value));
      if (image.index == 0) continue;
      images.push_back(image);
    } else if (images.empty()) {
      continue;
    } else if (IEquals(field, L"Name")) {
      images.back().name = value;
    } else if (IEquals(field, L"Description")) {
      images.back().description = value;
    } else if (IEquals(field, L"Edition")) {
      images.back().edition = value;
    }
  }
  return images;
}

std::vector<WimImage> ChooseImages(const std::vector<WimImage>& images, const std::wstring& editionId) {
  std::vector<WimImage> matching;
  if (!editionId.empty())
    for (const WimImage& image : images)
      if (IEquals(image.edition, editionId)) matching.push_back(image);
  return matching.empty() ? images : matching;
}

std::wstring WimMountFolder(Session& s) { return TempFolder(s) + L"\\" + kMountFolderName; }

bool UnmountInstallWim(Session& s) {
  const std::wstring folder = WimMountFolder(s);
  if (!s.os.fs.GetAttributes(AddLongPathPrefix(folder)).ok()) return true;
  RunOutcome run = RunDism(s, L" /Unmount-" + DismWord(s) + L" /MountDir:" + Quoted(folder) + L" /Discard", false);
  // DISM fails when nothing is mounted there: the folder's removal is what
  // tells whether it is free.
  if (run.Failure()) TraceErrorCode(s, run.Failure(), L"DISM could not unmount " + folder + L"; error code ");
  platform::Status removed = s.os.fs.RemoveFolder(AddLongPathPrefix(folder));
  if (!removed.ok()) {
    TraceErrorCode(s, removed.code(), L"Failed to remove the mount folder " + folder + L" with error code ");
    return false;
  }
  return true;
}

bool MountInstallWim(Session& s, const std::wstring& wim, const MountedImageVisitor& takeFiles) {
  std::vector<WimImage> images = ListImages(s, wim, L"");
  if (images.empty()) {
    Report(s, L"WARNING: DISM found no image in " + wim + L".");
    return false;
  }
  if (images.size() > kMaxImages) {
    TraceError(s, L"DISM listed " + Decimal(images.size()) + L" images in " + wim + L"; only the first " +
                      Decimal(kMaxImages) + L" are searched.");
    images.resize(kMaxImages);
  }
  // The listing of all images has no edition; each image's own has.
  for (WimImage& image : images) {
    if (!image.edition.empty()) continue;
    std::vector<WimImage> one = ListImages(s, wim, L" /Index:" + Decimal(image.index));
    if (one.size() == 1 && one[0].index == image.index) image.edition = one[0].edition;
  }
  auto edition = s.os.system.ReadMachineString(L"SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion", L"EditionID");
  const std::wstring folder = WimMountFolder(s);
  bool mounted = false;
  for (const WimImage& image : ChooseImages(images, edition.ok() ? Trim(*edition) : L"")) {
    // A mount left by an earlier run would make this one fail.
    if (!UnmountInstallWim(s)) {
      Report(s, L"WARNING: The mount folder " + folder + L" is in use; " + wim + L" was not searched.");
      return mounted;
    }
    if (auto made = CreateFolderChain(s, folder); !made.ok()) {
      TraceErrorCode(s, made.code(), L"Failed to create folder " + folder + L" with error code ");
      return mounted;
    }
    const std::wstring word = DismWord(s);
    RunOutcome run = RunDism(s,
                             L" /Mount-" + word + L" /" + word + L"File:" + Quoted(wim) + L" /Index:" +
                                 Decimal(image.index) + L" /MountDir:" + Quoted(folder) + L" /ReadOnly",
                             false);
    bool done = false;
    if (run.Failure()) {
      Report(s, L"WARNING: DISM could not mount image " + Decimal(image.index) + L" of " + wim +
                    L" (error code " + ErrorCodeName(run.Failure()) + L").");
    } else {
      mounted = true;
      done = takeFiles(image, folder);
    }
    UnmountInstallWim(s);
    if (done) break;
  }
  return mounted;
}

}  // namespace corvex
