#include "platform/fake/fake_windows.h"

#include <algorithm>
#include <stdexcept>

#include "base/path.h"
#include "base/text.h"
#include "base/wildcard.h"
#include "platform/fake/fake_compression.h"
#include "platform/fake/fake_crash.h"
#include "platform/fake/fake_http.h"
#include "platform/fake/fake_packages.h"
#include "platform/fake/fake_registry.h"
#include "platform/fake/fake_security.h"
#include "platform/fake/fake_shadow_copies.h"
#include "platform/fake/fake_signatures.h"

namespace corvex::fake {

using platform::FindEntry;
using platform::KnownFolder;
namespace err = platform::err;

// A snapshot cannot be changed: every change below a shadow copy's root
// fails as on a write-protected volume.
constexpr uint32_t kWriteProtect = 19;
static bool InShadowCopy(const std::wstring& path) {
  return IContains(path, L"GLOBALROOT\\Device\\HarddiskVolumeShadowCopy");
}

namespace {

// File access rights the checks ask the security model for. On a folder
// the same bits mean list, add file and add sub-folder.
constexpr uint32_t kReadData = 0x1;
constexpr uint32_t kWriteData = 0x2;
constexpr uint32_t kAppendData = 0x4;
constexpr uint32_t kDeleteChild = 0x40;
constexpr uint32_t kWriteAttributes = 0x100;
constexpr uint32_t kDeleteRight = 0x10000;

constexpr uint32_t kFilenameExcedRange = 206;

// Characters no file name may hold.
constexpr wchar_t kBadNameChars[] = L"<>\"|?*:/";

bool BadName(const std::wstring& name) {
  for (wchar_t c : name)
    if (c < 32 || std::wstring(kBadNameChars).find(c) != std::wstring::npos) return true;
  return false;
}

}  // namespace

FakeWindows::Resolved FakeWindows::Resolve(const std::wstring& path, size_t limit) {
  Resolved r;
  bool literal = StartsWith(path, L"\\\\?\\") || StartsWith(path, L"\\??\\");
  std::wstring p = literal ? path.substr(4) : ReplaceAll(path, L"/", L"\\");
  if (literal && IStartsWith(p, L"UNC\\")) p = L"\\" + p.substr(3);
  size_t rootLength = PathRootLength(p);
  std::wstring root = p.substr(0, rootLength);
  std::wstring rest = p.substr(rootLength);
  if (!rest.empty() && rest[0] == L'\\') rest.erase(0, 1);
  std::vector<std::wstring> parts = rest.empty() ? std::vector<std::wstring>() : Split(rest, L"\\");
  // A folder path may end in one separator.
  if (!parts.empty() && parts.back().empty()) parts.pop_back();
  std::vector<std::wstring> out;
  for (auto& part : parts) {
    if (literal) {
      if (part.empty() || part == L"." || part == L".." || BadName(part)) {
        r.code = err::kInvalidName;
        return r;
      }
      out.push_back(part);
      continue;
    }
    if (part.empty() || part == L".") continue;
    if (part == L"..") {
      if (!out.empty()) out.pop_back();
      continue;
    }
    out.push_back(part);
  }
  if (!literal && !out.empty()) {
    std::wstring& last = out.back();
    while (!last.empty() && (last.back() == L'.' || last.back() == L' ')) last.pop_back();
    if (last.empty()) out.pop_back();
  }
  if (!literal)
    for (auto& part : out)
      if (BadName(part)) {
        r.code = err::kInvalidName;
        return r;
      }
  r.display = root;
  for (auto& part : out) r.display += (r.display.empty() && root.empty() ? L"" : L"\\") + part;
  // The terminating NUL counts: MAX_PATH holds 259 characters.
  if (!literal && r.display.size() + 1 > limit) r.code = limit == 260 ? err::kPathNotFound : kFilenameExcedRange;
  return r;
}

std::wstring FakeWindows::Key(const std::wstring& path) {
  Resolved r = Resolve(path, std::wstring::npos);
  return r.code ? std::wstring() : ToLower(r.display);
}

bool FakeWindows::IsRootKey(const std::wstring& key) { return !key.empty() && PathRootLength(key) == key.size(); }

static std::wstring ParentKey(const std::wstring& key) {
  size_t pos = key.rfind(L'\\');
  if (pos == std::wstring::npos || pos < PathRootLength(key)) return std::wstring();
  return key.substr(0, pos);
}

static std::wstring Display(const std::wstring& path) { return FakeWindows::Resolve(path, std::wstring::npos).display; }

// The form faults match in: slashes turned, no "\\?\", no trailing separator.
static std::wstring MatchForm(const std::wstring& path) {
  std::wstring p = ReplaceAll(path, L"/", L"\\");
  p = StripLongPathPrefix(p);
  while (!p.empty() && p.back() == L'\\') p.pop_back();
  return p;
}

static std::wstring ParentOf(const std::wstring& display) {
  size_t pos = display.rfind(L'\\');
  if (pos == std::wstring::npos || pos < PathRootLength(display)) return std::wstring();
  return display.substr(0, pos);
}

// Windows' sharing rule: every other open handle must share what this open
// asks for, and this open must share what every other handle holds. Only
// read, write and delete access take part: a handle opened for attributes
// alone neither conflicts nor is conflicted with.
static bool SharingAllows(const std::vector<std::shared_ptr<FakeWindows::OpenHandle>>& handles,
                          const std::wstring& key, uint32_t wants, uint32_t shares) {
  namespace access = platform::access;
  namespace share = platform::share;
  const uint32_t data = access::kRead | access::kWrite | access::kDelete;
  if (!(wants & data)) return true;
  for (auto& h : handles) {
    if (h->key != key || !(h->access & data)) continue;
    if ((wants & access::kWrite) && !(h->share & share::kWrite)) return false;
    if ((wants & access::kRead) && !(h->share & share::kRead)) return false;
    if ((wants & access::kDelete) && !(h->share & share::kDelete)) return false;
    if ((h->access & access::kWrite) && !(shares & share::kWrite)) return false;
    if ((h->access & access::kRead) && !(shares & share::kRead)) return false;
    if ((h->access & access::kDelete) && !(shares & share::kDelete)) return false;
  }
  return true;
}

static bool AnyHandleOpen(const std::vector<std::shared_ptr<FakeWindows::OpenHandle>>& handles,
                          const std::wstring& key) {
  for (auto& h : handles)
    if (h->key == key) return true;
  return false;
}

// Lands a faulty write: the first `keep` bytes of `bytes`, after `old` when
// appending.
static void LandPart(FakeNode& n, const std::string& bytes, size_t keep, bool append) {
  std::string part = bytes.substr(0, std::min(keep, bytes.size()));
  n.bytes = append ? n.bytes + part : part;
}

// ---------------------------------------------------------------------------
// A handle of FileSystem::Open. It names its node by key, so a file deleted
// or renamed under it fails the next call rather than touching freed memory.
class FakeFile : public platform::File {
 public:
  FakeFile(FakeWindows& w, std::shared_ptr<FakeWindows::OpenHandle> h) : w_(w), h_(std::move(h)) {}
  ~FakeFile() override {
    std::lock_guard<FileSystemLock> hold(w_.fsMutex_);
    auto& v = w_.openHandles_;
    for (auto it = v.begin(); it != v.end(); ++it)
      if (*it == h_) {
        v.erase(it);
        break;
      }
  }

  Result<uint64_t> Size() override {
    std::lock_guard<FileSystemLock> hold(w_.fsMutex_);
    FakeNode* n = Node();
    if (!n) return Error{err::kInvalidHandle};
    return static_cast<uint64_t>(n->bytes.size());
  }

  // Package extraction reads from several threads: a range of up to
  // kPrepared bytes gets its memory before the lock is taken, so that the
  // lock covers only the copy.
  Result<std::string> ReadAt(uint64_t offset, size_t count) override {
    constexpr size_t kPrepared = 1 << 20;
    std::string out(std::min(count, kPrepared), '\0');
    std::lock_guard<FileSystemLock> hold(w_.fsMutex_);
    if (!(h_->access & platform::access::kRead)) return Error{err::kAccessDenied};
    if (uint32_t f = w_.TakeFault(Op::kReadFile, h_->key)) return Error{f};
    FakeNode* n = Node();
    if (!n) return Error{err::kInvalidHandle};
    if (offset >= n->bytes.size()) return std::string();
    size_t take = std::min(count, n->bytes.size() - static_cast<size_t>(offset));
    if (take > out.size()) return n->bytes.substr(static_cast<size_t>(offset), take);
    n->bytes.copy(out.data(), take, static_cast<size_t>(offset));
    out.resize(take);
    return out;
  }

  // What lands is in the file even when the call then fails: an append is
  // never undone, so a reader may find a partial record at the end.
  Status Append(const std::string& bytes) override {
    std::lock_guard<FileSystemLock> hold(w_.fsMutex_);
    if (!(h_->access & platform::access::kWrite)) return Error{err::kAccessDenied};
    FakeWindows::TakenWriteFault f = w_.TakeWriteFault(h_->key);
    FakeNode* n = Node();
    if (f.code && f.keepBytes == std::string::npos) return Error{f.code};
    if (!n) return Error{err::kInvalidHandle};
    if (f.code || f.crash) {
      LandPart(*n, bytes, f.keepBytes, true);
      w_.SyncLinks(*n);
      if (f.crash) throw SimulatedCrash{Op::kWriteFile, n->path};
      return Error{f.code};
    }
    n->bytes += bytes;
    w_.SyncLinks(*n);
    return Status::Ok();
  }

  Status Flush() override {
    std::lock_guard<FileSystemLock> hold(w_.fsMutex_);
    if (!(h_->access & platform::access::kWrite)) return Error{err::kAccessDenied};
    if (uint32_t f = w_.TakeFault(Op::kFlushFile, h_->key)) return Error{f};
    return Node() ? Status::Ok() : Status(Error{err::kInvalidHandle});
  }

 private:
  FakeNode* Node() {
    auto it = w_.nodes_.find(h_->key);
    return it == w_.nodes_.end() ? nullptr : &it->second;
  }
  FakeWindows& w_;
  std::shared_ptr<FakeWindows::OpenHandle> h_;
};

// ---------------------------------------------------------------------------
// Each call resolves its paths as Win32 does (see FakeWindows::Resolve),
// then checks what Windows checks, in Windows' order: the name, the DACL
// (5), then sharing (32). Attributes alone never meet sharing: Get- and
// SetFileAttributes open for attribute access only.
class FakeFileSystem : public platform::FileSystem {
 public:
  explicit FakeFileSystem(FakeWindows& w) : w_(w) {}

  Result<uint32_t> GetAttributes(const std::wstring& path) override {
    std::lock_guard<FileSystemLock> hold(w_.fsMutex_);
    if (uint32_t f = w_.TakeFault(Op::kGetAttributes, path)) return Error{f};
    auto r = FakeWindows::Resolve(path);
    if (r.code) return Error{r.code};
    auto* n = NodeAt(r);
    if (!n) return Error{MissingCode(r)};
    return n->attributes;
  }

  Status SetAttributes(const std::wstring& path, uint32_t attributes) override {
    std::lock_guard<FileSystemLock> hold(w_.fsMutex_);
    if (uint32_t f = w_.TakeFault(Op::kSetAttributes, path)) return Error{f};
    auto r = FakeWindows::Resolve(path);
    if (r.code) return Error{r.code};
    auto* n = NodeAt(r);
    if (!n) return Error{MissingCode(r)};
    if (uint32_t c = Check(r.display, kWriteAttributes)) return Error{c};
    uint32_t keep = n->folder ? platform::attr::kDirectory : 0;
    uint32_t a = (attributes & ~platform::attr::kDirectory) | keep;
    if (a == 0) a = platform::attr::kNormal;
    if (a != platform::attr::kNormal && (a & platform::attr::kNormal)) a &= ~platform::attr::kNormal;
    n->attributes = a;
    w_.SyncLinks(*n);
    return Status::Ok();
  }

  Status CreateFolder(const std::wstring& path) override {
    std::lock_guard<FileSystemLock> hold(w_.fsMutex_);
    if (uint32_t f = w_.TakeFault(Op::kCreateFolder, path)) return Error{f};
    // CreateDirectory leaves room for an 8.3 name below the new folder.
    auto r = FakeWindows::Resolve(path, 260 - 12);
    if (r.code) return Error{r.code};
    std::wstring key = ToLower(r.display);
    if (key.empty()) return Error{err::kInvalidName};
    if (w_.nodes_.count(key) || FakeWindows::IsRootKey(key)) return Error{err::kAlreadyExists};
    if (!ParentIsFolder(key)) return Error{err::kPathNotFound};
    if (uint32_t c = Check(ParentOf(r.display), kAppendData)) return Error{c};
    FakeNode n;
    n.path = r.display;
    n.folder = true;
    n.attributes = platform::attr::kDirectory;
    Create(key, n);
    return Status::Ok();
  }

  Status RemoveFolder(const std::wstring& path) override {
    std::lock_guard<FileSystemLock> hold(w_.fsMutex_);
    if (uint32_t f = w_.TakeFault(Op::kRemoveFolder, path)) return Error{f};
    auto r = FakeWindows::Resolve(path);
    if (r.code) return Error{r.code};
    std::wstring key = ToLower(r.display);
    auto it = w_.nodes_.find(key);
    if (it == w_.nodes_.end()) return Error{MissingCode(r)};
    if (!it->second.folder) return Error{267};  // ERROR_DIRECTORY
    if (uint32_t c = CheckDelete(r.display)) return Error{c};
    if (it->second.attributes & platform::attr::kReadOnly) return Error{err::kAccessDenied};
    if (!SharingAllows(w_.openHandles_, key, platform::access::kDelete, platform::share::kAll))
      return Error{err::kSharingViolation};
    if (!w_.ListTree(r.display).empty()) return Error{err::kDirNotEmpty};
    w_.nodes_.erase(it);
    return Status::Ok();
  }

  // CopyFileW reads the source sharing everything with other readers and
  // writers, and writes the destination without sharing it with anyone.
  Status CopyFile(const std::wstring& from, const std::wstring& to, bool failIfExists) override {
    std::lock_guard<FileSystemLock> hold(w_.fsMutex_);
    if (uint32_t f = w_.TakeFault(Op::kCopyFile, from, to)) return Error{f};
    auto rf = FakeWindows::Resolve(from), rt = FakeWindows::Resolve(to);
    if (rf.code) return Error{rf.code};
    if (rt.code) return Error{rt.code};
    auto* src = NodeAt(rf);
    if (!src) return Error{MissingCode(rf)};
    if (src->folder) return Error{err::kAccessDenied};
    if (uint32_t c = Check(rf.display, kReadData)) return Error{c};
    if (!SharingAllows(w_.openHandles_, ToLower(rf.display), platform::access::kRead, platform::share::kAll))
      return Error{err::kSharingViolation};
    std::string bytes = src->bytes;
    uint32_t attributes = src->attributes;
    std::wstring toKey = ToLower(rt.display);
    if (auto* dst = NodeAt(rt)) {
      if (failIfExists) return Error{err::kFileExists};
      if (dst->folder || (dst->attributes & (platform::attr::kReadOnly | platform::attr::kHidden)))
        return Error{err::kAccessDenied};
      if (uint32_t c = Check(rt.display, kWriteData)) return Error{c};
      if (!SharingAllows(w_.openHandles_, toKey, platform::access::kWrite, platform::share::kNone))
        return Error{err::kSharingViolation};
      dst->bytes = bytes;
      dst->attributes = attributes;
      w_.SyncLinks(*dst);
      return Status::Ok();
    }
    if (!ParentIsFolder(toKey)) return Error{err::kPathNotFound};
    if (uint32_t c = Check(ParentOf(rt.display), kWriteData)) return Error{c};
    FakeNode n;
    n.path = rt.display;
    n.bytes = bytes;
    n.attributes = attributes;
    Create(toKey, n);
    return Status::Ok();
  }

  // A rename needs DELETE on what leaves its name (or FILE_DELETE_CHILD on
  // its folder) and the right to add to the folder it goes to. A replaced
  // file that anyone holds open cannot go (5); the moved one must share
  // delete with its holders (32). The security descriptor moves along.
  Status MoveFile(const std::wstring& from, const std::wstring& to, bool replaceExisting) override {
    std::lock_guard<FileSystemLock> hold(w_.fsMutex_);
    if (uint32_t f = w_.TakeFault(Op::kMoveFile, from, to)) return Error{f};
    auto rf = FakeWindows::Resolve(from), rt = FakeWindows::Resolve(to);
    if (rf.code) return Error{rf.code};
    if (rt.code) return Error{rt.code};
    std::wstring fromKey = ToLower(rf.display), toKey = ToLower(rt.display);
    auto it = w_.nodes_.find(fromKey);
    if (it == w_.nodes_.end()) return Error{MissingCode(rf)};
    bool folder = it->second.folder;
    if (uint32_t c = CheckDelete(rf.display)) return Error{c};
    if (!SharingAllows(w_.openHandles_, fromKey, platform::access::kDelete, platform::share::kAll))
      return Error{err::kSharingViolation};
    if (toKey == fromKey) {  // a change of case only
      it->second.path = rt.display;
      return Status::Ok();
    }
    if (folder && StartsWith(toKey, fromKey + L"\\")) return Error{err::kSharingViolation};
    auto dst = w_.nodes_.find(toKey);
    if (dst != w_.nodes_.end() || FakeWindows::IsRootKey(toKey)) {
      if (!replaceExisting || FakeWindows::IsRootKey(toKey)) return Error{err::kAlreadyExists};
      if (folder || dst->second.folder || (dst->second.attributes & platform::attr::kReadOnly))
        return Error{err::kAccessDenied};
      if (uint32_t c = CheckDelete(rt.display)) return Error{c};
      if (AnyHandleOpen(w_.openHandles_, toKey)) return Error{err::kAccessDenied};
    } else if (!ParentIsFolder(toKey)) {
      return Error{err::kPathNotFound};
    }
    if (uint32_t c = Check(ParentOf(rt.display), folder ? kAppendData : kWriteData)) return Error{c};
    // The node and, for a folder, everything below it take the new name.
    std::vector<std::pair<std::wstring, FakeNode>> moved;
    for (auto n = w_.nodes_.begin(); n != w_.nodes_.end();) {
      if (n->first == fromKey || (folder && StartsWith(n->first, fromKey + L"\\"))) {
        FakeNode node = n->second;
        node.path = rt.display + node.path.substr(rf.display.size());
        moved.emplace_back(toKey + n->first.substr(fromKey.size()), node);
        n = w_.nodes_.erase(n);
      } else {
        ++n;
      }
    }
    for (auto& [key, node] : moved) w_.nodes_[key] = node;
    return Status::Ok();
  }

  Status DeleteFile(const std::wstring& path) override {
    std::lock_guard<FileSystemLock> hold(w_.fsMutex_);
    if (uint32_t f = w_.TakeFault(Op::kDeleteFile, path)) return Error{f};
    auto r = FakeWindows::Resolve(path);
    if (r.code) return Error{r.code};
    auto it = w_.nodes_.find(ToLower(r.display));
    if (it == w_.nodes_.end()) return Error{MissingCode(r)};
    if (it->second.folder || (it->second.attributes & platform::attr::kReadOnly)) return Error{err::kAccessDenied};
    if (uint32_t c = CheckDelete(r.display)) return Error{c};
    if (!SharingAllows(w_.openHandles_, it->first, platform::access::kDelete, platform::share::kAll))
      return Error{err::kSharingViolation};
    w_.nodes_.erase(it);
    return Status::Ok();
  }

  Result<std::vector<FindEntry>> Find(const std::wstring& pattern) override {
    std::lock_guard<FileSystemLock> hold(w_.fsMutex_);
    if (uint32_t f = w_.TakeFault(Op::kFind, pattern)) return Error{f};
    bool literal = StartsWith(pattern, L"\\\\?\\");
    std::wstring p = literal ? pattern : ReplaceAll(pattern, L"/", L"\\");
    size_t slash = p.rfind(L'\\');
    std::wstring leaf = slash == std::wstring::npos ? p : p.substr(slash + 1);
    auto r = FakeWindows::Resolve(slash == std::wstring::npos ? L"" : p.substr(0, slash + 1));
    if (r.code) return Error{r.code};
    std::wstring folderKey = ToLower(r.display);
    bool isRoot = FakeWindows::IsRootKey(folderKey);
    auto f = w_.nodes_.find(folderKey);
    if (!isRoot && (f == w_.nodes_.end() || !f->second.folder)) return Error{err::kPathNotFound};
    if (leaf.empty()) return Error{err::kFileNotFound};
    if (!isRoot)
      if (uint32_t c = Check(r.display, kReadData)) return Error{c};
    std::vector<FindEntry> out;
    if (!isRoot && leaf.find_first_of(L"*?") != std::wstring::npos) {
      // Real searches return the dot entries first when the pattern admits them.
      if (WildcardMatch(leaf, L".")) out.push_back({L".", platform::attr::kDirectory, 0});
      if (WildcardMatch(leaf, L"..")) out.push_back({L"..", platform::attr::kDirectory, 0});
    }
    // Keys are sorted, so a folder's subtree is one range (a root's
    // children are matched over all keys, as their parent key differs).
    const std::wstring prefix = isRoot ? std::wstring() : folderKey + L"\\";
    for (auto it = w_.nodes_.lower_bound(prefix); it != w_.nodes_.end() && StartsWith(it->first, prefix); ++it) {
      const auto& [key, node] = *it;
      if (ParentKey(key) != folderKey) continue;
      std::wstring name = node.path.substr(node.path.rfind(L'\\') + 1);
      if (WildcardMatch(leaf, name)) out.push_back({name, node.attributes, node.bytes.size()});
    }
    if (out.empty()) return Error{err::kFileNotFound};
    return out;
  }

  Result<std::string> ReadFile(const std::wstring& path) override {
    std::lock_guard<FileSystemLock> hold(w_.fsMutex_);
    if (uint32_t f = w_.TakeFault(Op::kReadFile, path)) return Error{f};
    auto r = FakeWindows::Resolve(path);
    if (r.code) return Error{r.code};
    auto* n = NodeAt(r);
    if (!n) return Error{MissingCode(r)};
    if (n->folder) return Error{err::kAccessDenied};
    if (uint32_t c = Check(r.display, kReadData)) return Error{c};
    if (!SharingAllows(w_.openHandles_, ToLower(r.display), platform::access::kRead, platform::share::kAll))
      return Error{err::kSharingViolation};
    return n->bytes;
  }

  // A rewrite truncates before it writes, so a write that fails part way
  // leaves a short file; an append leaves what it got to. Several threads
  // write at once during package extraction: the path is resolved and a
  // rewrite's bytes copied before the lock is taken, and the file's old
  // bytes freed after it is let go, so that the lock covers only the
  // change itself.
  Status WriteFile(const std::wstring& path, const std::string& bytes, bool append) override {
    auto r = FakeWindows::Resolve(path);
    std::string replacement = append ? std::string() : bytes;
    std::unique_lock<FileSystemLock> hold(w_.fsMutex_);
    FakeWindows::TakenWriteFault f = w_.TakeWriteFault(path);
    if (f.code && f.keepBytes == std::string::npos) return Error{f.code};
    if (r.code) return Error{r.code};
    std::wstring key = ToLower(r.display);
    auto it = w_.nodes_.find(key);
    FakeNode* n = nullptr;
    if (it != w_.nodes_.end()) {
      if (it->second.folder || (it->second.attributes & (platform::attr::kReadOnly))) return Error{err::kAccessDenied};
      if (!append && (it->second.attributes & platform::attr::kHidden)) return Error{err::kAccessDenied};
      if (uint32_t c = Check(r.display, append ? kAppendData : kWriteData)) return Error{c};
      if (!SharingAllows(w_.openHandles_, key, platform::access::kWrite, platform::share::kRead))
        return Error{err::kSharingViolation};
      n = &it->second;
    } else {
      if (!ParentIsFolder(key)) return Error{err::kPathNotFound};
      if (uint32_t c = Check(ParentOf(r.display), kWriteData)) return Error{c};
      FakeNode fresh;
      fresh.path = r.display;
      fresh.attributes = platform::attr::kArchive;
      n = &Create(key, fresh);
    }
    if (f.code || f.crash) {
      LandPart(*n, bytes, f.keepBytes, append);
      w_.SyncLinks(*n);
      if (f.crash) throw SimulatedCrash{Op::kWriteFile, n->path};
      return Error{f.code};
    }
    if (append) {
      n->bytes += bytes;
    } else {
      n->bytes.swap(replacement);
    }
    w_.SyncLinks(*n);
    hold.unlock();
    return Status::Ok();
  }

  Result<std::unique_ptr<platform::File>> Open(const std::wstring& path, uint32_t desiredAccess, uint32_t shareMode,
                                               platform::Disposition disposition) override {
    std::lock_guard<FileSystemLock> hold(w_.fsMutex_);
    using platform::Disposition;
    if (uint32_t f = w_.TakeFault(Op::kOpenFile, path)) return Error{f};
    auto r = FakeWindows::Resolve(path);
    if (r.code) return Error{r.code};
    std::wstring key = ToLower(r.display);
    auto it = w_.nodes_.find(key);
    bool writes = (desiredAccess & platform::access::kWrite) != 0;
    if ((writes || disposition != Disposition::kOpenExisting) && InShadowCopy(path)) return Error{kWriteProtect};
    if (it != w_.nodes_.end()) {
      if (disposition == Disposition::kCreateNew) return Error{err::kFileExists};
      if (it->second.folder) return Error{err::kAccessDenied};
      bool truncates = disposition == Disposition::kCreateAlways;
      if ((writes || truncates) && (it->second.attributes & platform::attr::kReadOnly)) return Error{err::kAccessDenied};
      if (truncates && (it->second.attributes & platform::attr::kHidden)) return Error{err::kAccessDenied};
      uint32_t rights = (desiredAccess & platform::access::kRead ? kReadData : 0) |
                        (writes || truncates ? kWriteData : 0);
      if (uint32_t c = Check(r.display, rights)) return Error{c};
      if ((desiredAccess & platform::access::kDelete) && CheckDelete(r.display)) return Error{err::kAccessDenied};
      if (!SharingAllows(w_.openHandles_, key, desiredAccess, shareMode)) return Error{err::kSharingViolation};
      if (truncates) {
        it->second.bytes.clear();
        w_.SyncLinks(it->second);
      }
    } else {
      if (disposition == Disposition::kOpenExisting) return Error{MissingCode(r)};
      if (!ParentIsFolder(key)) return Error{err::kPathNotFound};
      if (uint32_t c = Check(ParentOf(r.display), kWriteData)) return Error{c};
      FakeNode n;
      n.path = r.display;
      n.attributes = platform::attr::kArchive;
      Create(key, n);
    }
    auto h = std::make_shared<FakeWindows::OpenHandle>(FakeWindows::OpenHandle{key, desiredAccess, shareMode});
    w_.openHandles_.push_back(h);
    return std::unique_ptr<platform::File>(new FakeFile(w_, h));
  }

  Result<platform::FileIdentity> Identity(const std::wstring& path) override {
    std::lock_guard<FileSystemLock> hold(w_.fsMutex_);
    if (uint32_t f = w_.TakeFault(Op::kFileIdentity, path)) return Error{f};
    auto r = FakeWindows::Resolve(path);
    if (r.code) return Error{r.code};
    auto* n = NodeAt(r);
    if (!n) return Error{MissingCode(r)};
    platform::FileIdentity id;
    // One serial per volume: the drive letter stands for it.
    id.volumeSerial = 0x5A5A0000u | static_cast<uint32_t>(ToLower(r.display).front());
    id.fileIndex = w_.security().IdOf(*n);
    return id;
  }

  Status AddHardLink(const std::wstring& newName, const std::wstring& existing) override {
    std::lock_guard<FileSystemLock> hold(w_.fsMutex_);
    if (uint32_t f = w_.TakeFault(Op::kAddHardLink, newName, existing)) return Error{f};
    auto rn = FakeWindows::Resolve(newName), re = FakeWindows::Resolve(existing);
    if (re.code) return Error{re.code};
    if (rn.code) return Error{rn.code};
    auto* src = NodeAt(re);
    if (!src) return Error{MissingCode(re)};
    if (src->folder) return Error{err::kAccessDenied};
    std::wstring newKey = ToLower(rn.display);
    if (w_.nodes_.count(newKey)) return Error{err::kAlreadyExists};
    if (!ParentIsFolder(newKey)) return Error{err::kPathNotFound};
    if (newKey.substr(0, 2) != ToLower(re.display).substr(0, 2)) return Error{17};  // ERROR_NOT_SAME_DEVICE
    if (uint32_t c = Check(ParentOf(rn.display), kWriteData)) return Error{c};
    w_.security().LinkFile(re.display, rn.display);
    return Status::Ok();
  }

  // The folder (or file) must exist, as GetDiskFreeSpaceExW opens it.
  Result<uint64_t> FreeBytesAvailable(const std::wstring& path) override {
    std::lock_guard<FileSystemLock> hold(w_.fsMutex_);
    if (uint32_t f = w_.TakeFault(Op::kFreeSpace, path)) return Error{f};
    auto r = FakeWindows::Resolve(path);
    if (r.code) return Error{r.code};
    std::wstring key = ToLower(r.display);
    if (key.empty()) return Error{err::kInvalidName};
    if (!FakeWindows::IsRootKey(key) && !NodeAt(r)) return Error{MissingCode(r)};
    auto it = w_.freeBytes_.find(key.substr(0, PathRootLength(key)));
    return it == w_.freeBytes_.end() ? FakeWindows::kDefaultFreeBytes : it->second;
  }

  // Only the source is looked at now; Windows judges the rest at start-up.
  Status PendRename(const std::wstring& from, const std::wstring& to) override {
    std::lock_guard<FileSystemLock> hold(w_.fsMutex_);
    if (uint32_t f = w_.TakeFault(Op::kPendRename, from, to)) return Error{f};
    auto rf = FakeWindows::Resolve(from), rt = FakeWindows::Resolve(to);
    if (rf.code) return Error{rf.code};
    if (rt.code) return Error{rt.code};
    if (!NodeAt(rf)) return Error{MissingCode(rf)};
    w_.pendingRenames.push_back({rf.display, rt.display, w_.redirectionOff});
    return Status::Ok();
  }

 private:
  FakeNode* NodeAt(const FakeWindows::Resolved& r) {
    auto it = w_.nodes_.find(ToLower(r.display));
    return it == w_.nodes_.end() ? nullptr : &it->second;
  }
  FakeNode& Create(const std::wstring& key, const FakeNode& n) {
    FakeNode& made = w_.nodes_[key] = n;
    if (w_.onCreate) w_.onCreate(made);
    return made;
  }
  bool ParentIsFolder(const std::wstring& key) const {
    std::wstring parent = ParentKey(key);
    if (FakeWindows::IsRootKey(parent)) return true;  // drive and share roots always exist
    auto it = w_.nodes_.find(parent);
    return it != w_.nodes_.end() && it->second.folder;
  }
  // 2 when only the last component is missing, 3 when a folder on the way is.
  uint32_t MissingCode(const FakeWindows::Resolved& r) const {
    return ParentIsFolder(ToLower(r.display)) ? err::kFileNotFound : err::kPathNotFound;
  }
  uint32_t Check(const std::wstring& display, uint32_t desired) const {
    if (display.empty() || FakeWindows::IsRootKey(ToLower(display)) || !w_.accessCheck) return 0;
    return w_.accessCheck(display, desired);
  }
  // DELETE on the object, or FILE_DELETE_CHILD on its folder.
  uint32_t CheckDelete(const std::wstring& display) const {
    uint32_t own = Check(display, kDeleteRight);
    if (!own) return 0;
    std::wstring parent = ParentOf(display);
    if (!parent.empty() && !Check(parent, kDeleteChild)) return 0;
    return own;
  }

  FakeWindows& w_;
};

// ---------------------------------------------------------------------------
class FakeEnvironment : public platform::Environment {
 public:
  explicit FakeEnvironment(FakeWindows& w) : w_(w) {}

  std::wstring Expand(const std::wstring& text, size_t capacity) override {
    std::wstring out;
    size_t i = 0;
    while (i < text.size()) {
      if (text[i] == L'%') {
        size_t end = text.find(L'%', i + 1);
        if (end != std::wstring::npos) {
          auto it = w_.env_.find(ToLower(text.substr(i + 1, end - i - 1)));
          if (it != w_.env_.end() && end > i + 1) {
            out += it->second;
            i = end + 1;
            continue;
          }
          // Unknown names stay as written; the closing '%' may open the next.
          out += text.substr(i, end - i);
          i = end;
          continue;
        }
      }
      out.push_back(text[i++]);
    }
    // Like the real call, a buffer that is too small is only the first try.
    (void)capacity;
    return out;
  }

  Result<std::wstring> GetKnownFolder(KnownFolder folder) override {
    static const wchar_t* const kNames[] = {L"LocalAppData", L"Desktop", L"Documents"};
    if (uint32_t f = w_.TakeFault(Op::kKnownFolder, kNames[static_cast<int>(folder)])) return Error{f};
    auto it = w_.knownFolders_.find(folder);
    if (it == w_.knownFolders_.end()) return Error{0x80070002};
    return it->second;
  }

  platform::LocalTime Now() override { return w_.now; }
  Result<std::wstring> ModuleFileName() override {
    if (uint32_t f = w_.TakeFault(Op::kSystemFact, L"ModuleFileName")) return Error{f};
    return w_.modulePath_;
  }
  Result<std::array<uint16_t, 4>> FileVersion(const std::wstring& path) override {
    if (uint32_t f = w_.TakeFault(Op::kSystemFact, L"FileVersion")) return Error{f};
    if (FakeWindows::Key(path) == FakeWindows::Key(w_.modulePath_)) return w_.moduleVersion_;
    auto it = w_.fileVersions_.find(FakeWindows::Key(path));
    if (it != w_.fileVersions_.end()) return it->second;
    if (!w_.Exists(path)) return Error{err::kFileNotFound};
    return Error{1813};  // ERROR_RESOURCE_TYPE_NOT_FOUND
  }

 private:
  FakeWindows& w_;
};

// ---------------------------------------------------------------------------
class FakeConsole : public platform::Console {
 public:
  explicit FakeConsole(FakeWindows& w) : w_(w) {}
  void Write(const std::wstring& text) override { w_.console_ += text; }
  void Flush() override {}
  wchar_t ReadKey() override {
    ++w_.keysRead;
    if (w_.keys_.empty()) return L'\r';
    wchar_t c = w_.keys_[0];
    w_.keys_.erase(0, 1);
    return c;
  }
  void Clear() override {
    ++w_.clears;
    w_.console_ += L"<clear>";
  }
  void SetTitle(const std::wstring& title) override { w_.title = title; }
  void FixSize80x25() override { w_.fixedSize = true; }
  void ShowMessage(const std::wstring& title, const std::wstring& text) override {
    w_.messages.emplace_back(title, text);
  }

 private:
  FakeWindows& w_;
};

// ---------------------------------------------------------------------------
class FakeProcesses : public platform::Processes {
 public:
  explicit FakeProcesses(FakeWindows& w) : w_(w) {}
  Result<platform::ProcessOutcome> Run(const platform::ProcessRequest& request) override {
    ProcessScript script;
    {
      // Package extraction may start children from its worker threads.
      std::lock_guard<std::mutex> hold(w_.processesMutex_);
      w_.processesRun.push_back(request);
      std::lock_guard<FileSystemLock> faults(w_.fsMutex_);
      if (uint32_t f = w_.TakeFault(Op::kRunProcess, request.program)) return Error{f};
      std::wstring name = request.program.substr(request.program.find_last_of(L"\\/") + 1);
      auto it = w_.processScripts_.find(ToLower(name));
      if (it == w_.processScripts_.end()) return Error{err::kFileNotFound};
      script = it->second;
    }
    platform::ProcessOutcome out = script(request);
    if (!request.captureOutput) out.output.clear();
    if (!request.wait) out.exitCode = 259;  // STILL_ACTIVE
    return out;
  }

 private:
  FakeWindows& w_;
};

platform::ProcessOutcome FakeWindows::NeverEnds(const platform::ProcessRequest& request) {
  if (request.wait && request.timeoutMs == 0)
    throw std::logic_error("a child that never ends was waited for without a time limit");
  platform::ProcessOutcome out;
  out.exitCode = platform::kTimeout;
  out.waitError = request.wait ? platform::kTimeout : 0;
  return out;
}

// ---------------------------------------------------------------------------
class FakeSystemInfo : public platform::SystemInfo {
 public:
  explicit FakeSystemInfo(FakeWindows& w) : w_(w) {}
  Result<platform::OsVersion> Version() override {
    if (uint32_t f = w_.TakeFault(Op::kSystemFact, L"Version")) return Error{f};
    return w_.version;
  }
  Result<bool> IsWow64() override {
    if (uint32_t f = w_.TakeFault(Op::kSystemFact, L"Wow64")) return Error{f};
    return w_.wow64;
  }
  uint16_t ProcessorArchitecture() override { return w_.architecture; }

  Result<std::wstring> ReadMachineString(const std::wstring& subkey, const std::wstring& name) override {
    if (uint32_t f = w_.TakeFault(Op::kRegistryRead, subkey)) return Error{f};
    auto k = w_.machineStrings_.find(ToLower(subkey));
    if (k == w_.machineStrings_.end()) return Error{err::kFileNotFound};
    auto v = k->second.find(ToLower(name));
    if (v == k->second.end()) return Error{err::kFileNotFound};
    return v->second;
  }

  Result<uint32_t> ReadMachineDword(const std::wstring& subkey, const std::wstring& name) override {
    if (uint32_t f = w_.TakeFault(Op::kRegistryRead, subkey)) return Error{f};
    auto k = w_.machineDwords_.find(ToLower(subkey));
    if (k == w_.machineDwords_.end()) return Error{err::kFileNotFound};
    auto v = k->second.find(ToLower(name));
    if (v == k->second.end()) return Error{err::kFileNotFound};
    return v->second;
  }

  Status MachineKeyExists(const std::wstring& subkey) override {
    if (uint32_t f = w_.TakeFault(Op::kRegistryRead, subkey)) return Error{f};
    std::wstring k = ToLower(subkey);
    for (auto& key : w_.machineKeys_)
      if (key == k) return Status::Ok();
    if (w_.machineStrings_.count(k) || w_.machineDwords_.count(k)) return Status::Ok();
    return Error{err::kFileNotFound};
  }

  // PendingFileRenameOperations is made from the renames pended so far, as
  // Windows keeps it: "\??\" + source, then "!\??\" + target.
  Result<std::vector<std::wstring>> ReadMachineMultiString(const std::wstring& subkey,
                                                           const std::wstring& name) override {
    if (uint32_t f = w_.TakeFault(Op::kRegistryRead, subkey)) return Error{f};
    if (!IEquals(subkey, kSessionManager) || !IEquals(name, L"PendingFileRenameOperations"))
      return Error{err::kFileNotFound};
    if (w_.pendingRenames.empty()) return Error{err::kFileNotFound};
    std::vector<std::wstring> out;
    for (auto& p : w_.pendingRenames) {
      out.push_back(L"\\??\\" + p.from);
      out.push_back(L"!\\??\\" + p.to);
    }
    return out;
  }

  Status SetMachineDword(const std::wstring& subkey, const std::wstring& name, uint32_t value,
                         platform::RegistryStep& failedAt) override {
    if (uint32_t c = OpenForWrite(subkey, name, failedAt)) return Error{c};
    w_.machineDwords_[ToLower(subkey)][ToLower(name)] = value;
    return Status::Ok();
  }

  Status SetMachineString(const std::wstring& subkey, const std::wstring& name, const std::wstring& value,
                          platform::RegistryStep& failedAt) override {
    if (uint32_t c = OpenForWrite(subkey, name, failedAt)) return Error{c};
    w_.machineStrings_[ToLower(subkey)][ToLower(name)] = value;
    return Status::Ok();
  }

  Result<uintptr_t> DisableFsRedirection() override {
    if (uint32_t f = w_.TakeFault(Op::kRedirection, L"Disable")) return Error{f};
    if (!w_.wow64) return Error{1};  // ERROR_INVALID_FUNCTION: no WOW64 to switch off
    uintptr_t previous = w_.redirectionOff ? 1 : 0;
    w_.redirectionOff = true;
    return previous;
  }

  Status RevertFsRedirection(uintptr_t previous) override {
    if (uint32_t f = w_.TakeFault(Op::kRedirection, L"Revert")) return Error{f};
    if (!w_.wow64) return Error{1};
    w_.redirectionOff = previous != 0;
    return Status::Ok();
  }

  platform::DriveKind DriveType(wchar_t drive) override {
    auto d = w_.drives.find(static_cast<wchar_t>(drive & ~0x20));
    return d == w_.drives.end() ? platform::DriveKind::kNoRoot : d->second;
  }

  uint32_t QuietMediaErrors() override {
    const uint32_t previous = w_.errorMode;
    w_.errorMode = 0x8001;  // SEM_FAILCRITICALERRORS | SEM_NOOPENFILEERRORBOX
    return previous;
  }
  void RestoreErrorMode(uint32_t previous) override { w_.errorMode = previous; }

  Result<std::vector<uint32_t>> ShadowCopyNumbers() override {
    if (uint32_t f = w_.TakeFault(Op::kSystemFact, L"ShadowCopies")) return Error{f};
    return std::vector<uint32_t>(w_.shadowCopies.begin(), w_.shadowCopies.end());
  }

  Status Restart(uint32_t reason) override {
    if (uint32_t f = w_.TakeFault(Op::kRestart, L"")) return Error{f};
    if (!w_.security().PrivilegeEnabled(L"SeShutdownPrivilege")) return Error{err::kPrivilegeNotHeld};
    w_.restarts.push_back(reason);
    return Status::Ok();
  }

 private:
  static constexpr wchar_t kSessionManager[] = L"SYSTEM\\CurrentControlSet\\Control\\Session Manager";

  // RegOpenKeyEx never creates the key.
  uint32_t OpenForWrite(const std::wstring& subkey, const std::wstring& name, platform::RegistryStep& failedAt) {
    failedAt = platform::RegistryStep::kOpenKey;
    if (uint32_t f = w_.TakeFault(Op::kRegistryOpen, subkey)) return f;
    if (!KeyExists(subkey)) return err::kFileNotFound;
    failedAt = platform::RegistryStep::kSetValue;
    if (uint32_t f = w_.TakeFault(Op::kRegistryWrite, subkey + L"\\" + name)) return f;
    return 0;
  }
  bool KeyExists(const std::wstring& subkey) const {
    std::wstring k = ToLower(subkey);
    for (auto& key : w_.machineKeys_)
      if (key == k) return true;
    return w_.machineStrings_.count(k) || w_.machineDwords_.count(k);
  }

 private:
  FakeWindows& w_;
};

std::vector<uint8_t> Sha256(const std::string& bytes);  // fake_sha256.cpp

class FakeHasher : public platform::Hasher {
 public:
  explicit FakeHasher(FakeWindows& w) : w_(w) {}
  Result<std::vector<uint8_t>> Sha256File(const std::wstring& path) override {
    std::lock_guard<FileSystemLock> hold(w_.fsMutex_);
    if (uint32_t f = w_.TakeFault(Op::kHashFile, path)) return Error{f};
    auto* n = w_.MutableNode(path);
    if (!n) return Error{err::kFileNotFound};
    if (n->folder) return Error{err::kAccessDenied};
    return Sha256(n->bytes);
  }
  Result<std::vector<uint8_t>> Sha256Bytes(const std::string& bytes) override {
    if (uint32_t f = w_.TakeFault(Op::kHashFile, L"")) return Error{f};
    return Sha256(bytes);
  }

 private:
  FakeWindows& w_;
};

// ---------------------------------------------------------------------------
FakeWindows::FakeWindows() {
  consoleImpl_ = std::make_unique<FakeConsole>(*this);
  envImpl_ = std::make_unique<FakeEnvironment>(*this);
  fsImpl_ = std::make_unique<FakeFileSystem>(*this);
  processesImpl_ = std::make_unique<FakeProcesses>(*this);
  systemImpl_ = std::make_unique<FakeSystemInfo>(*this);
  hasherImpl_ = std::make_unique<FakeHasher>(*this);
  securityImpl_ = std::make_unique<FakeSecurity>(*this);
  registryImpl_ = std::make_unique<FakeRegistry>(*this);
  httpImpl_ = std::make_unique<FakeHttp>(*this);
  crashImpl_ = std::make_unique<FakeCrashHandling>(*this);
  shadowsImpl_ = std::make_unique<FakeShadowCopies>(*this);
  compressionImpl_ = std::make_unique<FakeCompression>(*this);
  packagesImpl_ = std::make_unique<FakePackages>(*fsImpl_);
  signaturesImpl_ = std::make_unique<FakeSignatures>(*this);
  platform_.reset(new platform::Platform{*consoleImpl_, *envImpl_, *fsImpl_, *processesImpl_, *systemImpl_,
                                         *hasherImpl_, *securityImpl_, *registryImpl_, *httpImpl_, *crashImpl_,
                                         *shadowsImpl_, *compressionImpl_, *packagesImpl_, *signaturesImpl_});

  SetEnv(L"SystemDrive", L"C:");
  SetEnv(L"SystemRoot", L"C:\\Windows");
  SetEnv(L"windir", L"C:\\Windows");
  SetEnv(L"UserProfile", L"C:\\Users\\Tester");
  SetEnv(L"LocalAppData", L"C:\\Users\\Tester\\AppData\\Local");
  SetEnv(L"ProgramFiles", L"C:\\Program Files");
  AddFolder(L"C:\\Windows\\System32");
  AddFolder(L"C:\\Windows\\WinSxS");
  for (const wchar_t* system : {L"C:\\Windows", L"C:\\Windows\\System32"})
    securityImpl_->SetDescriptor(system, platform::sid::kTrustedInstaller, FakeSecurity::kSystemFolderDacl);
  AddFile(L"C:\\Windows\\Notepad.exe", "MZ");
  SetKnownFolder(KnownFolder::kLocalAppData, L"C:\\Users\\Tester\\AppData\\Local");
  SetKnownFolder(KnownFolder::kDesktop, L"C:\\Users\\Tester\\Desktop");
  SetKnownFolder(KnownFolder::kDocuments, L"C:\\Users\\Tester\\Documents");
  SetModule(L"C:\\Users\\Tester\\Downloads\\Corvex.exe", {1, 2, 3, 4});
  const std::wstring cv = L"SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion";
  SetMachineValue(cv, L"CurrentVersion", L"6.3");
  SetMachineValue(cv, L"CurrentBuild", L"19045");
  OnProcess(L"notepad.exe", [](const platform::ProcessRequest&) { return platform::ProcessOutcome{}; });
  securityImpl_->InstallIcacls();
  registryImpl_->InstallRegExe();
}

FakeWindows::~FakeWindows() = default;

void FakeWindows::AddFolder(const std::wstring& path) {
  std::wstring display = Display(path);
  size_t root = PathRootLength(display);
  std::wstring cur = display.substr(0, root);
  std::wstring rest = display.substr(root);
  for (auto& part : Split(rest, L"\\")) {
    if (part.empty()) continue;
    cur += (cur.empty() ? L"" : L"\\") + part;
    std::wstring key = ToLower(cur);
    if (!nodes_.count(key)) {
      FakeNode n;
      n.path = cur;
      n.folder = true;
      n.attributes = platform::attr::kDirectory;
      nodes_[key] = n;
    }
  }
}

void FakeWindows::AddFile(const std::wstring& path, const std::string& bytes, uint32_t attributes) {
  std::wstring display = Display(path);
  std::wstring parent = ParentOf(display);
  if (!parent.empty()) AddFolder(parent);
  FakeNode n;
  n.path = display;
  n.bytes = bytes;
  n.attributes = attributes;
  nodes_[ToLower(display)] = n;
}

void FakeWindows::SyncLinks(const FakeNode& node) {
  if (node.id == 0 || !linkedIds_.count(node.id)) return;
  for (auto& [key, other] : nodes_) {
    if (&other == &node || other.id != node.id) continue;
    other.bytes = node.bytes;
    other.attributes = node.attributes;
  }
}

bool FakeWindows::Exists(const std::wstring& path) const { return nodes_.count(Key(path)) != 0; }

bool FakeWindows::IsFolder(const std::wstring& path) const {
  auto* n = Node(path);
  return n && n->folder;
}

std::string FakeWindows::FileBytes(const std::wstring& path) const {
  auto* n = Node(path);
  return n ? n->bytes : std::string();
}

const FakeNode* FakeWindows::Node(const std::wstring& path) const {
  auto it = nodes_.find(Key(path));
  return it == nodes_.end() ? nullptr : &it->second;
}

FakeNode* FakeWindows::MutableNode(const std::wstring& path) {
  auto it = nodes_.find(Key(path));
  return it == nodes_.end() ? nullptr : &it->second;
}

std::vector<std::wstring> FakeWindows::ListTree(const std::wstring& folder) const {
  std::wstring prefix = Key(folder) + L"\\";
  std::vector<std::wstring> out;
  for (auto& [key, node] : nodes_)
    if (StartsWith(key, prefix)) out.push_back(node.path);
  return out;
}

void FakeWindows::SetEnv(const std::wstring& name, const std::wstring& value) { env_[ToLower(name)] = value; }

void FakeWindows::SetKnownFolder(KnownFolder id, const std::wstring& path) {
  knownFolders_[id] = path;
  AddFolder(path);
}

void FakeWindows::SetModule(const std::wstring& path, std::array<uint16_t, 4> moduleVersion) {
  modulePath_ = path;
  moduleVersion_ = moduleVersion;
  AddFile(path, "MZ");
}

std::shared_ptr<void> FakeWindows::HoldOpen(const std::wstring& path, uint32_t desiredAccess, uint32_t shareMode) {
  auto h = std::make_shared<OpenHandle>(OpenHandle{Key(path), desiredAccess, shareMode});
  openHandles_.push_back(h);
  // The token removes the handle from the list when the test drops it.
  return std::shared_ptr<void>(h.get(), [this, h](void*) {
    for (auto it = openHandles_.begin(); it != openHandles_.end(); ++it)
      if (*it == h) {
        openHandles_.erase(it);
        break;
      }
  });
}

void FakeWindows::SetFreeBytes(const std::wstring& root, uint64_t bytes) {
  std::lock_guard<FileSystemLock> hold(fsMutex_);
  freeBytes_[Key(root)] = bytes;
}

void FakeWindows::OnProcess(const std::wstring& exeName, ProcessScript script) {
  processScripts_[ToLower(exeName)] = std::move(script);
}

void FakeWindows::SetMachineValue(const std::wstring& subkey, const std::wstring& name, const std::wstring& value) {
  machineStrings_[ToLower(subkey)][ToLower(name)] = value;
}

void FakeWindows::SetMachineDword(const std::wstring& subkey, const std::wstring& name, uint32_t value) {
  machineDwords_[ToLower(subkey)][ToLower(name)] = value;
}

void FakeWindows::AddMachineKey(const std::wstring& subkey) { machineKeys_.push_back(ToLower(subkey)); }

std::wstring FakeWindows::MachineString(const std::wstring& subkey, const std::wstring& name) const {
  auto k = machineStrings_.find(ToLower(subkey));
  if (k == machineStrings_.end()) return L"";
  auto v = k->second.find(ToLower(name));
  return v == k->second.end() ? L"" : v->second;
}

void FakeWindows::SetFileVersion(const std::wstring& path, std::array<uint16_t, 4> fileVersion) {
  fileVersions_[Key(path)] = fileVersion;
}

std::wstring FakeWindows::SimulateRestart() {
  openHandles_.clear();
  redirectionOff = false;
  for (auto& p : pendingRenames) {
    FakeNode* from = MutableNode(p.from);
    if (!from || from->folder) continue;
    FakeNode moved = *from;
    std::wstring toKey = Key(p.to);
    std::wstring parent = ParentOf(toKey);
    auto folder = nodes_.find(parent);
    if (toKey.empty() || (!IsRootKey(parent) && (folder == nodes_.end() || !folder->second.folder))) continue;
    auto existing = nodes_.find(toKey);
    if (existing != nodes_.end() && existing->second.folder) continue;
    // The moved file keeps its own identity and security; the name it
    // replaces lets go of the old file's.
    moved.path = existing != nodes_.end() ? existing->second.path : Display(p.to);
    nodes_.erase(Key(p.from));
    nodes_[toKey] = moved;
  }
  pendingRenames.clear();
  const std::wstring runOnce = L"software\\microsoft\\windows\\currentversion\\runonce";
  std::wstring command = MachineString(runOnce, L"Corvex");
  auto k = machineStrings_.find(runOnce);
  if (k != machineStrings_.end()) k->second.erase(L"corvex");
  return command;
}

void FakeWindows::InjectFault(Op op, const std::wstring& pathPart, uint32_t code, int times, int skip) {
  // A count of 0 would silently make the fault persistent.
  if (times == 0) throw std::invalid_argument("InjectFault: a fault must fire at least once (times < 0: always)");
  if (code == 0) throw std::invalid_argument("InjectFault: a fault needs a Win32 error code");
  faults_.push_back({op, pathPart, code, times, skip});
}

void FakeWindows::InjectWriteFault(WriteFault kind, const std::wstring& pathPart, size_t keepBytes, uint32_t code,
                                   int skip) {
  if (kind == WriteFault::kFailAfter && code == 0)
    throw std::invalid_argument("InjectWriteFault: a failing write needs a Win32 error code");
  FaultKind k = kind == WriteFault::kFailAfter ? FaultKind::kWriteFailAfter : FaultKind::kWriteCrashAfter;
  faults_.push_back({Op::kWriteFile, pathPart, code, 1, skip, k, keepBytes});
}

void FakeWindows::InjectCrash(Op op, const std::wstring& pathPart, int skip) {
  faults_.push_back({op, pathPart, 0, 1, skip, FaultKind::kCrash});
}

FakeWindows::Fault* FakeWindows::MatchFault(Op op, const std::wstring& path, const std::wstring& other) {
  for (auto& f : faults_) {
    if (f.op != op && f.op != Op::kAny) continue;
    if (!f.pathPart.empty() && !IContains(MatchForm(path), MatchForm(f.pathPart)) &&
        (other.empty() || !IContains(MatchForm(other), MatchForm(f.pathPart))))
      continue;
    if (f.skip > 0) {
      --f.skip;
      continue;
    }
    return &f;
  }
  return nullptr;
}

// Takes the matched fault off the list once its count is spent.
FakeWindows::TakenWriteFault FakeWindows::Spend(Fault* f, Op op, const std::wstring& path) {
  TakenWriteFault taken;
  taken.code = f->code;
  bool crash = f->kind == FaultKind::kCrash;
  taken.crash = f->kind == FaultKind::kWriteCrashAfter;
  if (f->kind != FaultKind::kFail && !crash) taken.keepBytes = f->keepBytes;
  if (f->times > 0 && --f->times == 0) faults_.erase(faults_.begin() + (f - faults_.data()));
  if (crash) throw SimulatedCrash{op, path};
  return taken;
}

std::wstring FakeWindows::ShadowCopyRoot(uint32_t number) {
  return L"\\\\?\\GLOBALROOT\\Device\\HarddiskVolumeShadowCopy" + std::to_wstring(number);
}

void FakeWindows::AddShadowCopy(uint32_t number) {
  AddFolder(ShadowCopyRoot(number));
  shadowCopies.insert(number);
}

static bool Changes(Op op) {
  switch (op) {
    case Op::kSetAttributes: case Op::kCreateFolder: case Op::kRemoveFolder: case Op::kCopyFile:
    case Op::kMoveFile: case Op::kDeleteFile: case Op::kWriteFile: case Op::kAddHardLink:
    case Op::kPendRename: case Op::kSetOwner: case Op::kSetDacl:
      return true;
    default:
      return false;
  }
}

uint32_t FakeWindows::TakeFault(Op op, const std::wstring& path) {
  Fault* f = MatchFault(op, path);
  if (f) return Spend(f, op, path).code;
  return Changes(op) && InShadowCopy(path) ? kWriteProtect : 0;
}

uint32_t FakeWindows::TakeFault(Op op, const std::wstring& from, const std::wstring& to) {
  Fault* f = MatchFault(op, from, to);
  if (f) return Spend(f, op, from).code;
  // A copy out of a snapshot is a read.
  const bool changed = InShadowCopy(to) || (op == Op::kMoveFile && InShadowCopy(from));
  return Changes(op) && changed ? kWriteProtect : 0;
}

FakeWindows::TakenWriteFault FakeWindows::TakeWriteFault(const std::wstring& path) {
  Fault* f = MatchFault(Op::kWriteFile, path);
  if (f) return Spend(f, Op::kWriteFile, path);
  return InShadowCopy(path) ? TakenWriteFault{kWriteProtect, std::string::npos, false} : TakenWriteFault{};
}

}  // namespace corvex::fake
