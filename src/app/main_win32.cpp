// The program's entry: the real Windows handed to one session.
#include <string>
#include <vector>

#include "app/download_services_online.h"
#include "app/entry.h"
#include "app/flash_scan_services.h"
#include "core/session.h"
#include "platform/win32/win32_platform.h"

int wmain(int argc, wchar_t** argv) {
  corvex::win32::Win32Platform platform;
  corvex::Session session(platform.platform());
  corvex::OnlineDownloadServices downloads(session);
  session.downloads = &downloads;
  std::vector<std::wstring> args(argv, argv + argc);
  return corvex::RunProgram(session, std::move(args), &corvex::online::CheckForUpdates,
                            &corvex::RunOnlineFlashScan);
}
