#include "online/seven_zip.h"

#include <zlib.h>

#include <memory>
#include <new>
#include <set>

#include "base/path.h"
#include "base/text.h"
#include "core/session_log.h"
#include "core/working_folders.h"
#include "online/seven_zip_reader.h"
#include "script/zip_reader.h"

namespace corvex::online {

namespace {

using platform::attr::kDirectory;

std::wstring CodeText(uint32_t code) { return L" (error code " + ErrorCodeName(code) + L")"; }

// The zip reader's judgement of a relative name, and no part ending in a
// dot or a space: Windows drops those, so the file would get another name.
bool IsSafeName(const std::wstring& name) {
  if (!IsSafeZipEntryName(name)) return false;
  for (const std::wstring& part : Split(name, L"\\"))
    if (part.back() == L'.' || part.back() == L' ') return false;
  return true;
}

// What this extraction made, so that a failure can take it back.
class Placement {
 public:
  Placement(platform::FileSystem& fs, std::wstring dest) : fs_(fs), dest_(std::move(dest)) {}

  std::wstring PathOf(const std::wstring& relative) const { return dest_ + L"\\" + relative; }

  // Creates the folders of `relative` (all of it, or all but the leaf).
  std::wstring MakeFolders(const std::wstring& relative, bool withLeaf) {
    std::vector<std::wstring> parts = Split(relative, L"\\");
    if (!withLeaf) parts.pop_back();
    std::wstring rel;
    for (const std::wstring& part : parts) {
      rel += (rel.empty() ? L"" : L"\\") + part;
      if (!known_.insert(ToLower(rel)).second) continue;
      const std::wstring path = PathOf(rel);
      auto a = fs_.GetAttributes(path);
      if (a.ok()) {
        if (!(*a & kDirectory)) return L"a file is in the way of the folder " + StripLongPathPrefix(path);
        continue;
      }
      auto made = fs_.CreateFolder(path);
      if (!made.ok()) return L"the folder " + StripLongPathPrefix(path) + L" could not be created" + CodeText(made.code());
      folders_.push_back(path);
    }
    return L"";
  }
  void AddFile(const std::wstring& path) { files_.push_back(path); }

  void Undo() {
    for (auto it = files_.rbegin(); it != files_.rend(); ++it) fs_.DeleteFile(*it);
    for (auto it = folders_.rbegin(); it != folders_.rend(); ++it) fs_.RemoveFolder(*it);
  }

 private:
  platform::FileSystem& fs_;
  std::wstring dest_;
  std::set<std::wstring> known_;
  std::vector<std::wstring> files_, folders_;
};

// Cuts a folder's decoded stream into its files, checking each one's size
// and CRC-32 as it completes.
class FileSplitter : public ByteSink {
 public:
  FileSplitter(platform::FileSystem& fs, Placement& placement, std::vector<const SevenZipEntry*> entries)
      : fs_(fs), placement_(placement), entries_(std::move(entries)) {}

  const std::wstring& Error() const { return error_; }

  bool Write(const uint8_t* data, size_t n) override {
    while (n > 0) {
      if (!OpenNext()) return false;
      if (!file_) return Fail(L"its packed data holds more than its files");
      const SevenZipEntry& e = *entries_[next_];
      size_t take = static_cast<size_t>(std::min<uint64_t>(n, e.size - written_));
      auto st = file_->Append(std::string(reinterpret_cast<const char*>(data), take));
      if (!st.ok()) return Fail(L"the file " + Shown() + L" could not be written" + CodeText(st.code()));
      crc_ = crc32(crc_, data, static_cast<uInt>(take));
      written_ += take;
      data += take;
      n -= take;
      if (written_ == e.size && !Close()) return false;
    }
    return true;
  }

  // After the folder's data: every file must have been completed.
  bool Finish() {
    if (!OpenNext()) return false;
    if (file_ || next_ < entries_.size()) return Fail(L"its packed data ends before its files do");
    return true;
  }

 private:
  bool Fail(const std::wstring& reason) {
    if (error_.empty()) error_ = reason;
    return false;
  }
  std::wstring Shown() const { return StripLongPathPrefix(placement_.PathOf(entries_[next_]->name)); }

  // Opens the next file when none is open; files of no bytes are made and
  // checked on the way.
  bool OpenNext() {
    while (!file_ && next_ < entries_.size()) {
      const SevenZipEntry& e = *entries_[next_];
      std::wstring error = placement_.MakeFolders(e.name, false);
      if (!error.empty()) return Fail(error);
      const std::wstring path = placement_.PathOf(e.name);
      auto opened = fs_.Open(path, platform::access::kWrite, platform::share::kNone,
                             platform::Disposition::kCreateAlways);
      if (!opened.ok()) return Fail(L"the file " + Shown() + L" could not be created" + CodeText(opened.code()));
      placement_.AddFile(path);
      file_ = std::move(*opened);
      written_ = 0;
      crc_ = crc32(0L, Z_NULL, 0);
      if (e.size == 0 && !Close()) return false;
    }
    return true;
  }

  bool Close() {
    const SevenZipEntry& e = *entries_[next_];
    auto flushed = file_->Flush();
    file_.reset();
    if (!flushed.ok()) return Fail(L"the file " + Shown() + L" could not be written" + CodeText(flushed.code()));
    if (e.crcDefined && static_cast<uint32_t>(crc_) != e.crc)
      return Fail(L"the CRC of " + e.name + L" does not match (its packed data is damaged)");
    ++next_;
    return true;
  }

  platform::FileSystem& fs_;
  Placement& placement_;
  std::vector<const SevenZipEntry*> entries_;
  size_t next_ = 0;
  std::unique_ptr<platform::File> file_;
  uint64_t written_ = 0;
  uLong crc_ = 0;
  std::wstring error_;
};

std::wstring Extract(platform::FileSystem& fs, const std::wstring& archivePath, Placement& placement) {
  auto opened = fs.Open(AddLongPathPrefix(archivePath), platform::access::kRead, platform::share::kRead,
                        platform::Disposition::kOpenExisting);
  if (!opened.ok()) return L"it could not be opened" + CodeText(opened.code());
  platform::File& file = **opened;
  SevenZipArchive archive;
  std::wstring reason = ReadSevenZipHeaders(file, &archive);
  if (!reason.empty()) return reason;
  // Judged whole before anything is written.
  for (const SevenZipEntry& e : archive.entries) {
    if (!IsSafeName(e.name)) return L"its entry \"" + e.name + L"\" would be written outside the destination folder";
    if (e.hasData && !e.crcDefined) return L"its entry \"" + e.name + L"\" has no CRC";
  }
  std::vector<std::vector<const SevenZipEntry*>> byFolder(archive.folders.size());
  for (const SevenZipEntry& e : archive.entries) {
    if (e.hasData) {
      byFolder[e.folderIndex].push_back(&e);
      continue;
    }
    std::wstring error = placement.MakeFolders(e.name, e.folder);
    if (!error.empty()) return error;
    if (e.folder) continue;
    const std::wstring path = placement.PathOf(e.name);
    auto written = fs.WriteFile(path, "", false);
    if (!written.ok())
      return L"the file " + StripLongPathPrefix(path) + L" could not be created" + CodeText(written.code());
    placement.AddFile(path);
  }
  for (size_t f = 0; f < archive.folders.size(); ++f) {
    FileSplitter splitter(fs, placement, byFolder[f]);
    reason = DecodeSevenZipFolder(file, archive.folders[f], splitter, splitter.Error());
    if (!reason.empty()) return reason;
    if (!splitter.Finish()) return splitter.Error();
  }
  return L"";
}

}  // namespace

std::wstring ExtractSevenZip(platform::FileSystem& fs, const std::wstring& archivePath,
                             const std::wstring& destFolder) {
  std::wstring dest = AddLongPathPrefix(destFolder);
  while (!dest.empty() && dest.back() == L'\\') dest.pop_back();
  Placement placement(fs, dest);
  std::wstring reason;
  try {
    reason = Extract(fs, archivePath, placement);
  } catch (const std::bad_alloc&) {
    // A 32-bit process may not find room for a large dictionary: a failed
    // extraction, not the end of the run.
    reason = L"there is not enough memory to decode it";
  }
  if (!reason.empty()) {
    try {
      placement.Undo();
    } catch (const std::bad_alloc&) {
    }
  }
  return reason;
}

bool Extract7zArchive(Session& s, const std::wstring& archive, const std::wstring& destination) {
  // The decoder runs in this process; the archive's folder and the
  // destination rules are those of the external decoder it replaces.
  const size_t slash = archive.rfind(L'\\');
  const std::wstring archiveFolder = slash == std::wstring::npos ? L"" : archive.substr(0, slash);
  std::wstring dest = destination.empty() ? archiveFolder : destination;
  if (!dest.empty() && dest.back() == L'\\') dest.pop_back();
  auto fail = [&](const std::wstring& reason) {
    TraceError(s, L"Failed to extract the 7z archive " + StripLongPathPrefix(archive) + L": " + reason + L".");
    return false;
  };
  if (dest.empty()) return fail(L"it has no folder to extract into");
  if (!IEquals(StripLongPathPrefix(dest), StripLongPathPrefix(archiveFolder))) {
    auto made = CreateFolderChain(s, dest);
    if (!made.ok())
      return fail(L"the folder " + StripLongPathPrefix(dest) + L" could not be created" + CodeText(made.code()));
  }
  std::wstring reason = ExtractSevenZip(s.os.fs, archive, dest);
  if (!reason.empty()) return fail(reason);
  TraceInfo(s, L"Extracted the 7z archive " + StripLongPathPrefix(archive) + L" into " + StripLongPathPrefix(dest) + L".");
  return true;
}

}  // namespace corvex::online
