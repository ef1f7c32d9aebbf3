// The program's working folders under LocalAppData: "\Tallwen" with its
// "\Temp" and "\Archive" subfolders, and files kept there.
#pragma once

#include <string>
#include <vector>

#include "core/session.h"

namespace corvex {

std::wstring WorkingFolder(Session& s);  // LocalAppData + "\Tallwen"
std::wstring TempFolder(Session& s);     // ... + "\Temp"
std::wstring ArchiveFolder(Session& s);  // ... + "\Archive"

// Creates the folder with the "\\?\" prefix; an existing folder is fine.
bool CreateFolderIfMissing(Session& s, const std::wstring& path);
bool CreateDirectoryTree(Session& s, const std::wstring& path);
bool EnsureWorkingFolders(Session& s);

std::wstring ReadWorkingFile(Session& s, const std::wstring& name, bool unicode = true);
std::wstring ReadTempFile(Session& s, const std::wstring& name, bool unicode = true);
bool WriteWorkingFile(Session& s, const std::wstring& name, const std::wstring& text, bool append = false,
                      bool raw = false, bool unicode = true);
bool WriteTempFile(Session& s, const std::wstring& name, const std::wstring& text, bool append = false,
                   bool raw = false, bool unicode = true);
// True when `name` exists in the working folder and is not a folder.
bool WorkingFileExists(Session& s, const std::wstring& name);

// 0 all deleted, 1 something stayed, 2 folder not removed, 3 empty folder
// argument, -1 nothing matched.
int DeleteMatching(Session& s, const std::wstring& folder, const std::wstring& pattern, bool removeFolder);
void EmptyWorkingSubfolders(Session& s);
std::vector<std::wstring> ListFiles(Session& s, const std::wstring& folder, const std::wstring& pattern,
                                    bool fullNames);

// Items of a two-path line: split at double quotes when it has any, else at
// spaces; trimmed, empty pieces dropped.
std::vector<std::wstring> SplitLineItems(const std::wstring& line);

}  // namespace corvex
