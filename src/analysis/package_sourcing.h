// Replacement files from Microsoft's own packages: update packages named by
// the support server and downloaded from Microsoft within a per-process
// allowance the user consents to, and the images of an install.wim mounted
// read-only with DISM.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "analysis/download_services.h"
#include "core/session.h"

namespace corvex {

// The package's download address for a knowledge-base number (digits), as
// the support server generates it; empty when it could not be had or is not
// one https address on Microsoft's download servers. Failures are reported
// in the sourcing report. `architecture` ("x86", "amd64") asks for that
// architecture's package rather than the machine's.
std::wstring RequestUpdateUrl(Session& s, DownloadServices& services, const std::wstring& kb,
                              const std::wstring& architecture = L"");

// The file a download address is saved as: its last part, without query or
// fragment; empty when that is not a plain file name (no "..", separators,
// drive or stream colon, device name).
std::wstring DownloadFileName(const std::wstring& url);

// Downloads a Microsoft package into the Temp folder within the allowance
// (asking the user once per process) and returns its path; "" when it is
// refused or fails, leaving no file behind.
std::wstring AllowMicrosoftDownload(Session& s, DownloadServices& services, const std::wstring& url);

// Unpacks one package (as ExtractPackage does): the folder holding what was
// unpacked, or "" on failure.
using ExtractPackageHook =
    std::function<std::wstring(const std::wstring& package, const std::wstring& outputFolder, bool showProgress)>;

// Each entry is a download address or a knowledge-base number ("KB" before
// it optional); each package that can be had is downloaded and unpacked.
// The folders that hold the unpacked packages.
std::vector<std::wstring> DownloadAndExtractPackages(Session& s, DownloadServices& services,
                                                     const std::vector<std::wstring>& entries,
                                                     const ExtractPackageHook& extract);

// One image of a Windows image file, as DISM lists it.
struct WimImage {
  uint32_t index = 0;
  std::wstring name;
  std::wstring description;
  std::wstring edition;  // only in the listing of one image (/Index:)
};

// The images of DISM's /Get-ImageInfo (or /Get-WimInfo) output, run with
// /English: one for each "Index : " line, with the fields after it.
std::vector<WimImage> ParseImageInfo(const std::wstring& output);

// The images to search: those of the installed edition (EditionID), else
// every image in turn.
std::vector<WimImage> ChooseImages(const std::vector<WimImage>& images, const std::wstring& editionId);

// The working folder's Temp + "\MOUNTED_WIM".
std::wstring WimMountFolder(Session& s);

// Gets the files wanted from a mounted image into the program's own
// folders: true when nothing more is needed from this image file.
using MountedImageVisitor = std::function<bool(const WimImage& image, const std::wstring& mountFolder)>;

// Mounts the chosen images of `wim` one after another, read-only, with the
// native DISM: a stale mount is discarded first, `takeFiles` copies out
// what it needs and the image is unmounted (discarding) before the next.
// False when no image could be mounted.
bool MountInstallWim(Session& s, const std::wstring& wim, const MountedImageVisitor& takeFiles);

// Unmounts whatever is mounted at the mount folder, discarding, and removes
// the folder. True when the folder is gone.
bool UnmountInstallWim(Session& s);

}  // namespace corvex
