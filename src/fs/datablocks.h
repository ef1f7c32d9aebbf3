// Datablock operations: capturing a file's or folder's DACL with icacls and
// its owner into the store, putting them back, and the registry records that
// the registry permission directives keep.
#pragma once

#include <string>
#include <vector>

#include "core/process_runner.h"
#include "core/session.h"

namespace corvex {

// Results of AddFileDataBlock and ReplaceFileDataBlock; every failure is
// negative and leaves the store as it was.
namespace datablock {
constexpr int kStored = 0;
constexpr int kAlreadyStored = 1;
constexpr int kEmptyPath = -1;
constexpr int kObjectMissing = -2;
constexpr int kNoWorkingFolder = -3;
constexpr int kIcaclsNotStarted = -4;
constexpr int kIcaclsFailed = -5;
constexpr int kSavedAclUnusable = -6;
constexpr int kStoreUnreadable = -7;
constexpr int kStoreNotWritten = -8;
constexpr int kDescriptorUnusable = -9;
constexpr int kNotRestorable = -10;  // ends in "\" or has no parent folder
}  // namespace datablock

// One object in a file that icacls wrote with /save.
struct SavedAcl {
  std::wstring name;
  std::wstring sddl;
};

// Every name and SDDL pair of an icacls save file's text.
std::vector<SavedAcl> ParseIcaclsSaveAll(const std::wstring& text);
enum class SavedAclStatus { kOk, kMissing, kUnusable };
// The one object of a save file made for `path`: exactly one pair whose name
// is the path's leaf (ignoring case) and whose second line is a DACL.
SavedAclStatus ParseIcaclsSave(const std::wstring& text, const std::wstring& path, SavedAcl& out);
// Reads and parses the save file; kMissing when it is missing or a folder.
SavedAclStatus ReadIcaclsSave(Session& s, const std::wstring& file, const std::wstring& path, SavedAcl& out);

// A path as one argument of a command line: in double quotes, with the
// backslashes before the closing quote doubled so they stay backslashes.
std::wstring QuoteArgument(const std::wstring& text);
// %windir%\System32\icacls.exe (through Sysnative under WOW64), hidden,
// waited for.
RunOutcome RunIcacls(Session& s, const std::wstring& arguments);

// How capturing a path's security went.
enum class Capture {
  kOk,
  kNotRestorable,    // ends in "\" or has no parent folder: refused before icacls
  kNoWorkingFolder,  // no Temp folder for icacls's file
  kNotStarted,       // icacls did not start (run.startError)
  kFailed,           // icacls failed (run.Failure())
  kSaveMissing,      // icacls left no save file
  kSaveUnusable,     // its save file holds no single DACL for the path
};
struct CapturedRecord {
  Capture status = Capture::kOk;
  RunOutcome run;
  std::wstring record;  // path|DACL|owner when kOk
};
// The one way a file's or folder's record is made: icacls /save of `stored`
// (a path in stored form) into the temporary file `saveName`, with
// `extraArguments` after the file, and `owner`, or the object's own owner
// when empty. The store is not touched.
CapturedRecord CaptureFileRecord(Session& s, const std::wstring& stored, const std::wstring& owner,
                                 const std::wstring& saveName, const std::wstring& extraArguments);

// Stores the path's DACL (icacls /save) and `owner` (read from the object
// when empty) unless the path already has a record, which is kept. A path
// that RestoreFromDataBlock could not restore (one ending in "\", a drive
// root) is refused.
int AddFileDataBlock(Session& s, const std::wstring& path, const std::wstring& owner);
// Replaces the path's record by the owner and DACL of a security descriptor
// in SDDL ("O:...G:...D:...").
int ReplaceFileDataBlock(Session& s, const std::wstring& path, const std::wstring& sddl);
// Puts the recorded DACL (icacls /restore) and owner back; writes its
// sentences into `report`.
bool RestoreFromDataBlock(Session& s, const std::wstring& path, std::wstring& report);

}  // namespace corvex
