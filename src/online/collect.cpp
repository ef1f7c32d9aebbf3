#include "online/collect.h"

#include <map>
#include <set>

#include "base/path.h"
#include "base/text.h"
#include "core/console_output.h"
#include "core/session_log.h"
#include "core/system_facts.h"
#include "core/working_folders.h"
#include "online/zip_writer.h"
#include "script/dispatcher.h"

namespace corvex {

namespace {

constexpr uint32_t kSharingViolation = 32;
constexpr uint32_t kLockViolation = 33;

std::wstring ParentOf(const std::wstring& path) {
  size_t slash = path.rfind(L'\\');
  return slash == std::wstring::npos || slash <= PathRootLength(path) ? L"" : path.substr(0, slash);
}

std::wstring StagingFolder(Session& s) { return TempFolder(s) + L"\\copyToZip"; }

std::wstring CopyFailure(const std::wstring& path) {
  return L"Failed to copy file or folder " + path + L" to zip file.\r\n";
}

// One line per folder entry, written in blocks as the walk goes, so a store
// of a hundred thousand files never sits in memory as one text.
class Listing {
 public:
  Listing(Session& s, platform::File& out) : s_(s), out_(out) {}

  platform::Status Walk(const std::wstring& folder) {
    auto found = s_.os.fs.Find(AddLongPathPrefix(folder) + L"\\*");
    text_ += L"\r\n Directory of " + folder + L"\r\n\r\n";
    std::vector<std::wstring> below;
    uint64_t files = 0, bytes = 0;
    if (found.ok()) {
      for (const platform::FindEntry& e : *found) {
        if (e.name == L"." || e.name == L"..") continue;
        const bool dir = (e.attributes & platform::attr::kDirectory) != 0;
        const bool link = (e.attributes & platform::attr::kReparsePoint) != 0;
        text_ += dir ? (link ? L"<JUNCTION>     " : L"<DIR>          ") : Pad(Decimal(e.size));
        text_ += L" " + e.name + L"\r\n";
        if (dir && !link) below.push_back(folder + L"\\" + e.name);  // junctions can lead back up
        if (!dir) {
          ++files;
          bytes += e.size;
        }
      }
    } else if (found.code() != platform::err::kFileNotFound) {
      text_ += L"Cannot list this folder: error code " + ErrorCodeName(found.code()) + L"\r\n";
    }
    text_ += L"  " + Decimal(files) + L" File(s) " + Decimal(bytes) + L" bytes\r\n";
    totalFiles_ += files;
    totalBytes_ += bytes;
    platform::Status flushed = FlushIfLarge();
    for (const std::wstring& sub : below) {
      if (!flushed.ok()) break;
      flushed = Walk(sub);
    }
    return flushed;
  }

  platform::Status Finish() {
    text_ += L"\r\n     Total Files Listed:\r\n  " + Decimal(totalFiles_) + L" File(s) " + Decimal(totalBytes_) +
             L" bytes\r\n";
    return Write();
  }

 private:
  static std::wstring Pad(const std::wstring& n) { return n.size() >= 14 ? n : std::wstring(14 - n.size(), L' ') + n; }
  platform::Status FlushIfLarge() { return text_.size() >= (256u << 10) ? Write() : platform::Status::Ok(); }
  platform::Status Write() {
    platform::Status wrote = out_.Append(ToUtf16Le(text_));
    text_.clear();
    return wrote;
  }

  Session& s_;
  platform::File& out_;
  std::wstring text_;
  uint64_t totalFiles_ = 0, totalBytes_ = 0;
};

// A listing of everything below `folder`, made in-process: the folder is
// never put on a command line (a path with "&" in it would run as a
// command in this elevated process).
bool WriteListing(Session& s, const std::wstring& folder, const std::wstring& target) {
  auto out = s.os.fs.Open(AddLongPathPrefix(target), platform::access::kWrite, platform::share::kRead,
                          platform::Disposition::kCreateAlways);
  if (!out.ok()) {
    TraceErrorCode(s, out.code(), L"Failed to create " + target);
    return false;
  }
  platform::Status wrote = (*out)->Append("\xFF\xFE");
  Listing listing(s, **out);
  if (wrote.ok()) wrote = listing.Walk(folder);
  if (wrote.ok()) wrote = listing.Finish();
  if (!wrote.ok()) TraceErrorCode(s, wrote.code(), L"Failed to write " + target);
  return wrote.ok();
}

// Copies one file or folder into the staging folder (a folder goes into the
// zip directly) and adds it to the zip.
bool AddToStaging(Session& s, const std::wstring& path, bool asHive, const std::wstring& zip,
                  const std::wstring& archive, std::wstring& report) {
  const std::wstring staging = StagingFolder(s);
  CreateFolderChain(s, staging);
  const std::wstring target = staging + L"\\" + PathLeafName(path) + (asHive ? L".hive" : L"");
  if (s.os.fs.GetAttributes(AddLongPathPrefix(target)).ok()) {
    report += L"Failed to copy file or folder " + path + L" to zip file. A name collision occurred.\r\n";
    return false;
  }
  auto attributes = s.os.fs.GetAttributes(AddLongPathPrefix(path));
  if (!attributes.ok()) {
    TraceErrorCode(s, attributes.code(), L"Failed to find " + path);
    report += CopyFailure(path);
    return false;
  }
  std::wstring source = path;
  if (!(*attributes & platform::attr::kDirectory)) {
    platform::Status copied{platform::Error{kSharingViolation}};
    if (!asHive) copied = s.os.fs.CopyFile(AddLongPathPrefix(path), AddLongPathPrefix(target), true);
    if (!copied.ok() && (copied.code() == kSharingViolation || copied.code() == kLockViolation)) {
      // In use (the hives always are): a copy out of a shadow copy.
      std::wstring locked;
      if (RunDirective(s, L"CopyLockedFile::", {L"\"" + path + L"\" \"" + target + L"\""}, archive, locked)) {
        copied = platform::Status::Ok();
      } else {
        // Its failure text is the line after its own sentence.
        size_t end = locked.find(L"\r\n");
        std::wstring why = end == std::wstring::npos ? L"" : locked.substr(end + 2);
        report += CopyFailure(path) + why;
        return false;
      }
    }
    if (!copied.ok()) {
      TraceErrorCode(s, copied.code(), L"Failed to copy " + path + L" to " + target);
      report += CopyFailure(path);
      return false;
    }
    source = target;
  }
  uint32_t zipped = AddToZip(s, zip, source);
  if (zipped != 0) {
    report += CopyFailure(path);
    return false;
  }
  return true;
}

const wchar_t* UploadSentence(int code) {
  switch (code) {
    case upload::kAborted:
      return L"File upload aborted - no thread.\r\n";
    case upload::kNoConnection:
      return L"File upload aborted - failed to connect to upload server.\r\n";
    case upload::kFinalizeFailed:
      return L"File upload aborted - server reported finalization failure.\r\n";
    case upload::kRejected:
      return L"File upload rejected by server.\r\n";
    default:
      return L"Failed to upload file.\r\n";
  }
}

}  // namespace

uint32_t AddToZip(Session& s, const std::wstring& zipPath, const std::wstring& source) {
  const std::wstring zip = AddLongPathPrefix(zipPath);
  if (!s.os.fs.GetAttributes(zip).ok()) {
    platform::Status made = s.os.fs.WriteFile(zip, EmptyZipRecord(), false);
    if (!made.ok()) {
      TraceErrorCode(s, made.code(), L"Failed to create zip file " + zipPath);
      return made.code();
    }
  }
  platform::Status added = AddPathToZip(s.os.fs, zip, AddLongPathPrefix(source), s.os.env.Now());
  if (!added.ok()) TraceErrorCode(s, added.code(), L"Failed to add " + source + L" to zip file " + zipPath);
  return added.code();
}

bool CollectDirective(Session& s, std::vector<std::wstring> lines, const std::wstring& archive,
                      std::wstring& report) {
  const std::wstring zip = TempFolder(s) + L"\\zipFileForSubmission.zip";
  s.os.fs.DeleteFile(AddLongPathPrefix(zip));
  const bool quiet = !lines.empty() && lines[0].find(L"RFSS|") != std::wstring::npos;
  if (!quiet) Print(s, L"Please be patient, this directive may take several minutes to complete.\n");
  if (!s.collectStagingEmptied) {
    DeleteMatching(s, StagingFolder(s), L"*");
    s.collectStagingEmptied = true;
  }

  bool ok = true;
  bool privately = false;
  std::wstring toUpload = zip;
  if (quiet) {
    for (const std::wstring& line : lines) {
      size_t bar = line.find(L'|');
      if (bar != std::wstring::npos) toUpload = ReplaceAll(Trim(line.substr(bar + 1)), L"\"", L"");
    }
  } else {
    CreateFolderChain(s, TempFolder(s));
    // Items that all fail leave the empty archive, which stops the upload.
    s.os.fs.WriteFile(AddLongPathPrefix(zip), EmptyZipRecord(), false);
    const std::wstring root = SystemRoot(s);
    const std::wstring config = MapSystem32Path(s, root + L"\\System32\\config\\");
    auto add = [&](const std::wstring& path, bool asHive) {
      if (!AddToStaging(s, path, asHive, zip, archive, report)) ok = false;
    };
    for (const std::wstring& raw : lines) {
      const std::wstring line = Trim(raw);
      if (line.empty()) continue;
      const std::wstring key = ToUpper(line);
      if (key == L"CBS") {
        add(root + L"\\Logs\\CBS", false);
      } else if (key == L"WU" || key == L"WINDOWSUPDATE.LOG") {
        add(root + L"\\WindowsUpdate.log", false);
      } else if (key == L"COMPONENTS" || key == L"CH") {
        add(config + L"COMPONENTS", true);
      } else if (key == L"SCHEMA") {
        add(MapSystem32Path(s, root + L"\\System32\\SMI\\Store\\Machine\\SCHEMA.DAT"), true);
      } else if (key == L"SOFTWARE") {
        add(config + L"SOFTWARE", true);
        privately = true;
      } else if (key == L"WINSXS") {
        for (const wchar_t* folder : {L"winsxs", L"servicing"}) {
          const std::wstring listing = TempFolder(s) + L"\\" + folder + L".txt";
          if (WriteListing(s, root + L"\\" + folder, listing)) {
            add(listing, false);
          } else {
            report += CopyFailure(listing);
            ok = false;
          }
        }
      } else {
        std::wstring path = ReplaceAll(line, L"\"", L"");
        path = MapSystem32Path(s, StripLongPathPrefix(s.os.env.Expand(path)));
        add(path, false);
        privately = true;
      }
    }
  }

  auto file = s.os.fs.Open(AddLongPathPrefix(toUpload), platform::access::kRead, platform::share::kRead,
                           platform::Disposition::kOpenExisting);
  uint64_t size = 0;
  if (file.ok()) {
    auto got = (*file)->Size();
    if (got.ok()) size = *got;
  }
  file = platform::Error{platform::err::kInvalidHandle};  // closed before the upload opens it
  if (size <= kEmptyZipSize) {
    report += L"Failed to generate a complete zip file. Upload aborted.\r\n";
    ok = false;
  } else {
    int sent = UploadFile(s, toUpload, quiet ? Submission::kRegistryScan : Submission::kUser, privately, &report);
    if (sent != upload::kDone) {
      report += UploadSentence(sent);
      ok = false;
    }
  }
  if (!quiet) {
    s.os.console.Clear();
    RedrawFromTranscript(s);
  }
  return ok;
}

bool ZipDirective(Session& s, std::vector<std::wstring> lines, const std::wstring&, std::wstring& report) {
  bool ok = true;
  // What each zip got from this directive, by the names as Windows compares them.
  std::map<std::wstring, std::set<std::wstring>> added;
  for (const std::wstring& line : lines) {
    const std::vector<std::wstring> items = SplitLineItems(line);
    if (items.size() < 2) {
      if (Trim(line).empty()) continue;
      report += L"Failed to copy file for line " + line + L". A source and a zip file path are needed.\r\n";
      ok = false;
      continue;
    }
    const std::wstring source = MapSystem32Path(s, StripLongPathPrefix(items[0]));
    const std::wstring zip = MapSystem32Path(s, StripLongPathPrefix(items[1]));
    const std::wstring shownSource = UnmapSystem32Path(s, source);
    const std::wstring shownZip = UnmapSystem32Path(s, zip);
    const std::wstring collision =
        L"Failed to copy file " + shownSource + L" to zip file at " + shownZip + L" due to name collision.\r\n";
    std::set<std::wstring>& names = added[ToLower(zip)];
    const std::wstring name = ToLower(PathLeafName(source));
    if (names.count(name)) {
      report += collision;
      ok = false;
      continue;
    }
    const std::wstring parent = ParentOf(zip);
    if (!parent.empty()) CreateFolderChain(s, parent);
    uint32_t code = AddToZip(s, zip, source);
    if (code == platform::err::kAlreadyExists) {  // already in the zip before this directive
      report += collision;
      ok = false;
    } else if (code != 0) {
      report += L"Failed to copy file " + shownSource + L" to zip file at " + shownZip + L" with error code " +
                ErrorCodeName(code) + L".\r\n";
      ok = false;
    } else {
      names.insert(name);
      report += L"Successfully copied file " + shownSource + L" to zip file at " + shownZip + L".\r\n";
    }
  }
  return ok;
}

}  // namespace corvex
