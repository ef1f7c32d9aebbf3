// The program's working folders under LocalAppData: "\Tallwen" with its
// "\Temp" and "\Archive" subfolders, and files kept there.
#pragma once

#include <string>
#include <vector>

#include "core/session.h"
#include "core/text_file.h"
#include "core/text_reader.h"
#include "platform/filesystem.h"

namespace corvex {

// The LocalAppData known folder, asked for once per session and kept. The
// entry calls it first and ends the run when it fails; the folders below
// rely on that.
platform::Result<std::wstring> FindLocalAppData(Session& s);
std::wstring WorkingFolder(Session& s);  // LocalAppData + "\Tallwen"
std::wstring TempFolder(Session& s);     // ... + "\Temp"
std::wstring ArchiveFolder(Session& s);  // ... + "\Archive"

// Creates the folder with the "\\?\" prefix; an existing folder is fine.
platform::Status CreateFolderIfMissing(Session& s, const std::wstring& path);
// Creates the folder and every missing parent. Fails with the code of the
// creation that failed, or ERROR_FILE_EXISTS when a file holds a name on
// the way.
platform::Status CreateFolderChain(platform::FileSystem& fs, const std::wstring& path);
platform::Status CreateFolderChain(Session& s, const std::wstring& path);
// The working folder and its Temp folder.
platform::Status EnsureWorkingFolders(Session& s);

platform::Result<std::wstring> ReadWorkingFile(Session& s, const std::wstring& name);
platform::Result<std::wstring> ReadTempFile(Session& s, const std::wstring& name);
// Create the folder (and the working folder) first when missing.
platform::Status WriteWorkingFile(Session& s, const std::wstring& name, const std::wstring& text,
                                  TextEncoding encoding = TextEncoding::kUtf16, WriteMode mode = WriteMode::kReplace);
platform::Status WriteTempFile(Session& s, const std::wstring& name, const std::wstring& text,
                               TextEncoding encoding = TextEncoding::kUtf16, WriteMode mode = WriteMode::kReplace);
// True when `name` exists in the working folder and is not a folder.
bool WorkingFileExists(Session& s, const std::wstring& name);

enum class DeleteResult {
  kNothingMatched = -1,  // the search found nothing, or the folder is missing
  kAllDeleted = 0,
  kSomethingStayed = 1,
  kFolderStayed = 2,  // the folder itself could not be removed
  kNoFolder = 3,      // empty folder argument
};
enum class FolderAfter { kKeep, kRemove };
// Deletes the files matching `pattern` and empties the matching sub-folders.
DeleteResult DeleteMatching(Session& s, const std::wstring& folder, const std::wstring& pattern,
                            FolderAfter after = FolderAfter::kKeep);
void EmptyWorkingSubfolders(Session& s);
// Removes the Archive and Temp folders and the working folder, each only
// when it is empty.
void RemoveEmptyWorkingFolders(Session& s);
std::vector<std::wstring> ListFiles(Session& s, const std::wstring& folder, const std::wstring& pattern,
                                    bool fullNames);

// Items of a two-path line: split at double quotes when it has any, else at
// spaces; trimmed, empty pieces dropped.
std::vector<std::wstring> SplitLineItems(const std::wstring& line);

}  // namespace corvex
