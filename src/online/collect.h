// Packing files into zip files and sending them to the collection server:
// what Collect::, Zip::, the registry flash scan and the crash report share.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "core/session.h"

namespace corvex {

// Adds a file, or a folder with everything under it, to a zip file, which
// is made (as the 22-byte empty archive) when missing. Entries are streamed,
// never read whole. 0 on success, else the Win32 code of the failure.
uint32_t AddToZip(Session& s, const std::wstring& zipPath, const std::wstring& source);

// Who a submission is for: the user's own collection asks them who helps
// them; the machine submissions get their ID without questions.
enum class Submission { kUser, kRegistryScan, kCrashReport };

// Upload results, as Collect:: words them.
namespace upload {
constexpr int kDone = 0;
constexpr int kNoConnection = 1;
constexpr int kFinalizeFailed = 2;
constexpr int kRejected = -1;
constexpr int kAborted = 1235;  // the user is helped nowhere: ERROR_REQUEST_ABORTED
constexpr int kFailed = 3;      // anything else (the Win32 code is in the trace)
}  // namespace upload

// Gets a collection ID, uploads the file in 4 MiB parts and asks the server
// to finalise it (`privately`: the server keeps it from public view). One of
// the codes above. Before anything is sent, the console and `report` (the
// session log when null) name every item of the file and its size.
int UploadFile(Session& s, const std::wstring& path, Submission kind, bool privately,
               std::wstring* report = nullptr);

bool CollectDirective(Session& s, std::vector<std::wstring> lines, const std::wstring& archive,
                      std::wstring& report);
bool ZipDirective(Session& s, std::vector<std::wstring> lines, const std::wstring& archive, std::wstring& report);

}  // namespace corvex
