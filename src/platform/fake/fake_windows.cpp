#include "platform/fake/fake_windows.h"

#include "base/text.h"
#include "base/wildcard.h"
#include "platform/fake/fake_security.h"

namespace corvex::fake {

using platform::FindEntry;
using platform::KnownFolder;
namespace err = platform::err;

std::wstring FakeWindows::Key(const std::wstring& path) {
  std::wstring p = ReplaceAll(path, L"/", L"\\");
  if (StartsWith(p, L"\\\\?\\")) p = p.substr(4);
  if (StartsWith(p, L"\\??\\")) p = p.substr(4);
  // Collapse repeated separators, as the Win32 layer does.
  std::wstring out;
  for (wchar_t c : p) {
    if (c == L'\\' && !out.empty() && out.back() == L'\\') continue;
    out.push_back(c);
  }
  while (!out.empty() && out.back() == L'\\') out.pop_back();
  return ToLower(out);
}

static std::wstring ParentKey(const std::wstring& key) {
  size_t pos = key.rfind(L'\\');
  return pos == std::wstring::npos ? std::wstring() : key.substr(0, pos);
}

static std::wstring Display(const std::wstring& path) {
  std::wstring p = ReplaceAll(path, L"/", L"\\");
  if (StartsWith(p, L"\\\\?\\")) p = p.substr(4);
  while (!p.empty() && p.back() == L'\\') p.pop_back();
  return p;
}

// ---------------------------------------------------------------------------
// A handle of FileSystem::Open. It names its node by key, so a file deleted
// or renamed under it fails the next call rather than touching freed memory.
class FakeFile : public platform::File {
 public:
  FakeFile(FakeWindows& w, std::shared_ptr<FakeWindows::OpenHandle> h) : w_(w), h_(std::move(h)) {}
  ~FakeFile() override {
    auto& v = w_.openHandles_;
    for (auto it = v.begin(); it != v.end(); ++it)
      if (*it == h_) {
        v.erase(it);
        break;
      }
  }

  Result<uint64_t> Size() override {
    FakeNode* n = Node();
    if (!n) return Error{err::kInvalidHandle};
    return static_cast<uint64_t>(n->bytes.size());
  }

  Result<std::string> ReadAt(uint64_t offset, size_t count) override {
    if (!(h_->access & platform::access::kRead)) return Error{err::kAccessDenied};
    if (uint32_t f = w_.TakeFault(Op::kReadFile, h_->key)) return Error{f};
    FakeNode* n = Node();
    if (!n) return Error{err::kInvalidHandle};
    if (offset >= n->bytes.size()) return std::string();
    return n->bytes.substr(static_cast<size_t>(offset), count);
  }

  Status Append(const std::string& bytes) override {
    if (!(h_->access & platform::access::kWrite)) return Error{err::kAccessDenied};
    if (uint32_t f = w_.TakeFault(Op::kWriteFile, h_->key)) return Error{f};
    FakeNode* n = Node();
    if (!n) return Error{err::kInvalidHandle};
    n->bytes += bytes;
    w_.SyncLinks(*n);
    return Status::Ok();
  }

  Status Flush() override {
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

// Windows' sharing rule: every other open handle must share what this open
// asks for, and this open must share what every other handle holds.
static bool SharingAllows(const std::vector<std::shared_ptr<FakeWindows::OpenHandle>>& handles,
                          const std::wstring& key, uint32_t access, uint32_t share) {
  for (auto& h : handles) {
    if (h->key != key) continue;
    if ((access & platform::access::kWrite) && !(h->share & platform::share::kWrite)) return false;
    if ((access & platform::access::kRead) && !(h->share & platform::share::kRead)) return false;
    if ((access & platform::access::kDelete) && !(h->share & platform::share::kDelete)) return false;
    if ((h->access & platform::access::kWrite) && !(share & platform::share::kWrite)) return false;
    if ((h->access & platform::access::kRead) && !(share & platform::share::kRead)) return false;
    if ((h->access & platform::access::kDelete) && !(share & platform::share::kDelete)) return false;
  }
  return true;
}

// ---------------------------------------------------------------------------
class FakeFileSystem : public platform::FileSystem {
 public:
  explicit FakeFileSystem(FakeWindows& w) : w_(w) {}

  Result<uint32_t> GetAttributes(const std::wstring& path) override {
    if (uint32_t f = w_.TakeFault(Op::kGetAttributes, path)) return Error{f};
    auto* n = w_.MutableNode(path);
    if (!n) return Error{ParentExists(path) ? err::kFileNotFound : err::kPathNotFound};
    return n->attributes;
  }

  Status SetAttributes(const std::wstring& path, uint32_t attributes) override {
    if (uint32_t f = w_.TakeFault(Op::kSetAttributes, path)) return Error{f};
    auto* n = w_.MutableNode(path);
    if (!n) return Error{ParentExists(path) ? err::kFileNotFound : err::kPathNotFound};
    if (uint32_t c = Denied(path)) return Error{c};
    uint32_t keep = n->folder ? platform::attr::kDirectory : 0;
    uint32_t a = (attributes & ~platform::attr::kDirectory) | keep;
    if (a == 0) a = platform::attr::kNormal;
    if (a != platform::attr::kNormal && (a & platform::attr::kNormal)) a &= ~platform::attr::kNormal;
    n->attributes = a;
    w_.SyncLinks(*n);
    return Status::Ok();
  }

  Status CreateFolder(const std::wstring& path) override {
    if (uint32_t f = w_.TakeFault(Op::kCreateFolder, path)) return Error{f};
    std::wstring key = FakeWindows::Key(path);
    if (key.empty()) return Error{err::kInvalidName};
    if (w_.nodes_.count(key)) return Error{err::kAlreadyExists};
    if (!ParentIsFolder(key)) return Error{err::kPathNotFound};
    if (uint32_t c = Denied(Display(path).substr(0, Display(path).rfind(L'\\')))) return Error{c};
    FakeNode n;
    n.path = Display(path);
    n.folder = true;
    n.attributes = platform::attr::kDirectory;
    w_.nodes_[key] = n;
    return Status::Ok();
  }

  Status RemoveFolder(const std::wstring& path) override {
    if (uint32_t f = w_.TakeFault(Op::kRemoveFolder, path)) return Error{f};
    std::wstring key = FakeWindows::Key(path);
    auto it = w_.nodes_.find(key);
    if (it == w_.nodes_.end()) return Error{err::kFileNotFound};
    if (!it->second.folder) return Error{267};  // ERROR_DIRECTORY
    if (!w_.ListTree(path).empty()) return Error{err::kDirNotEmpty};
    if (it->second.attributes & platform::attr::kReadOnly) return Error{err::kAccessDenied};
    if (uint32_t c = Denied(path)) return Error{c};
    w_.nodes_.erase(it);
    return Status::Ok();
  }

  Status CopyFile(const std::wstring& from, const std::wstring& to, bool failIfExists) override {
    if (uint32_t f = w_.TakeFault(Op::kCopyFile, from)) return Error{f};
    if (uint32_t f = w_.TakeFault(Op::kCopyFile, to)) return Error{f};
    auto* src = w_.MutableNode(from);
    if (!src) return Error{ParentExists(from) ? err::kFileNotFound : err::kPathNotFound};
    if (src->folder) return Error{err::kAccessDenied};
    std::string bytes = src->bytes;
    uint32_t attributes = src->attributes;
    if (auto* dst = w_.MutableNode(to)) {
      if (failIfExists) return Error{err::kFileExists};
      if (dst->folder || (dst->attributes & (platform::attr::kReadOnly | platform::attr::kHidden)))
        return Error{err::kAccessDenied};
      if (uint32_t c = Denied(to)) return Error{c};
      dst->bytes = bytes;
      dst->attributes = attributes;
      w_.SyncLinks(*dst);
      return Status::Ok();
    }
    if (!ParentIsFolder(FakeWindows::Key(to))) return Error{err::kPathNotFound};
    if (uint32_t c = DeniedParent(to)) return Error{c};
    FakeNode n;
    n.path = Display(to);
    n.bytes = bytes;
    n.attributes = attributes;
    w_.nodes_[FakeWindows::Key(to)] = n;
    return Status::Ok();
  }

  Status MoveFile(const std::wstring& from, const std::wstring& to, bool replaceExisting) override {
    if (uint32_t f = w_.TakeFault(Op::kMoveFile, from)) return Error{f};
    if (uint32_t f = w_.TakeFault(Op::kMoveFile, to)) return Error{f};
    std::wstring fromKey = FakeWindows::Key(from), toKey = FakeWindows::Key(to);
    auto it = w_.nodes_.find(fromKey);
    if (it == w_.nodes_.end()) return Error{ParentExists(from) ? err::kFileNotFound : err::kPathNotFound};
    if (it->second.folder) return Error{err::kAccessDenied};  // folders are not moved by the program
    if (uint32_t c = Denied(from)) return Error{c};
    if (!SharingAllows(w_.openHandles_, fromKey, platform::access::kDelete, platform::share::kAll))
      return Error{err::kSharingViolation};
    auto dst = w_.nodes_.find(toKey);
    if (dst != w_.nodes_.end()) {
      if (!replaceExisting) return Error{err::kAlreadyExists};
      if (dst->second.folder || (dst->second.attributes & platform::attr::kReadOnly))
        return Error{err::kAccessDenied};
      if (uint32_t c = Denied(to)) return Error{c};
    } else if (!ParentIsFolder(toKey)) {
      return Error{err::kPathNotFound};
    }
    FakeNode n = it->second;
    n.path = Display(to);
    w_.nodes_.erase(it);
    w_.nodes_[toKey] = n;
    return Status::Ok();
  }

  Status DeleteFile(const std::wstring& path) override {
    if (uint32_t f = w_.TakeFault(Op::kDeleteFile, path)) return Error{f};
    auto it = w_.nodes_.find(FakeWindows::Key(path));
    if (it == w_.nodes_.end()) return Error{ParentExists(path) ? err::kFileNotFound : err::kPathNotFound};
    if (it->second.folder || (it->second.attributes & platform::attr::kReadOnly)) return Error{err::kAccessDenied};
    if (uint32_t c = Denied(path)) return Error{c};
    if (!SharingAllows(w_.openHandles_, it->first, platform::access::kDelete, platform::share::kAll))
      return Error{err::kSharingViolation};
    w_.nodes_.erase(it);
    return Status::Ok();
  }

  Result<std::vector<FindEntry>> Find(const std::wstring& pattern) override {
    if (uint32_t f = w_.TakeFault(Op::kFind, pattern)) return Error{f};
    std::wstring p = ReplaceAll(pattern, L"/", L"\\");
    if (StartsWith(p, L"\\\\?\\")) p = p.substr(4);
    size_t slash = p.rfind(L'\\');
    std::wstring folder = slash == std::wstring::npos ? L"" : p.substr(0, slash);
    std::wstring leaf = slash == std::wstring::npos ? p : p.substr(slash + 1);
    std::wstring folderKey = FakeWindows::Key(folder);
    bool isRoot = folderKey.size() == 2 && folderKey[1] == L':';
    auto f = w_.nodes_.find(folderKey);
    if (!isRoot && (f == w_.nodes_.end() || !f->second.folder)) return Error{err::kPathNotFound};
    if (leaf.empty()) return Error{err::kFileNotFound};
    std::vector<FindEntry> out;
    if (!isRoot && leaf.find_first_of(L"*?") != std::wstring::npos) {
      // Real searches return the dot entries first when the pattern admits them.
      if (WildcardMatch(leaf, L".")) out.push_back({L".", platform::attr::kDirectory, 0});
      if (WildcardMatch(leaf, L"..")) out.push_back({L"..", platform::attr::kDirectory, 0});
    }
    for (auto& [key, node] : w_.nodes_) {
      if (ParentKey(key) != folderKey) continue;
      std::wstring name = node.path.substr(node.path.rfind(L'\\') + 1);
      if (WildcardMatch(leaf, name)) out.push_back({name, node.attributes, node.bytes.size()});
    }
    if (out.empty()) return Error{err::kFileNotFound};
    return out;
  }

  Result<std::string> ReadFile(const std::wstring& path) override {
    if (uint32_t f = w_.TakeFault(Op::kReadFile, path)) return Error{f};
    auto* n = w_.MutableNode(path);
    if (!n) return Error{ParentExists(path) ? err::kFileNotFound : err::kPathNotFound};
    if (n->folder) return Error{err::kAccessDenied};
    if (!SharingAllows(w_.openHandles_, FakeWindows::Key(path), platform::access::kRead, platform::share::kAll))
      return Error{err::kSharingViolation};
    return n->bytes;
  }

  Status WriteFile(const std::wstring& path, const std::string& bytes, bool append) override {
    if (uint32_t f = w_.TakeFault(Op::kWriteFile, path)) return Error{f};
    std::wstring key = FakeWindows::Key(path);
    auto it = w_.nodes_.find(key);
    if (it != w_.nodes_.end()) {
      if (it->second.folder || (it->second.attributes & (platform::attr::kReadOnly))) return Error{err::kAccessDenied};
      if (!append && (it->second.attributes & platform::attr::kHidden)) return Error{err::kAccessDenied};
      if (uint32_t c = Denied(path)) return Error{c};
      if (!SharingAllows(w_.openHandles_, key, platform::access::kWrite, platform::share::kRead))
        return Error{err::kSharingViolation};
      if (append)
        it->second.bytes += bytes;
      else
        it->second.bytes = bytes;
      w_.SyncLinks(it->second);
      return Status::Ok();
    }
    if (!ParentIsFolder(key)) return Error{err::kPathNotFound};
    if (uint32_t c = DeniedParent(path)) return Error{c};
    FakeNode n;
    n.path = Display(path);
    n.bytes = bytes;
    n.attributes = platform::attr::kArchive;
    w_.nodes_[key] = n;
    return Status::Ok();
  }

  Result<std::unique_ptr<platform::File>> Open(const std::wstring& path, uint32_t desiredAccess, uint32_t shareMode,
                                               platform::Disposition disposition) override {
    using platform::Disposition;
    if (uint32_t f = w_.TakeFault(Op::kOpenFile, path)) return Error{f};
    std::wstring key = FakeWindows::Key(path);
    auto it = w_.nodes_.find(key);
    bool writes = (desiredAccess & platform::access::kWrite) != 0;
    if (it != w_.nodes_.end()) {
      if (disposition == Disposition::kCreateNew) return Error{err::kFileExists};
      if (it->second.folder) return Error{err::kAccessDenied};
      bool truncates = disposition == Disposition::kCreateAlways;
      if ((writes || truncates) && (it->second.attributes & platform::attr::kReadOnly)) return Error{err::kAccessDenied};
      if (truncates && (it->second.attributes & platform::attr::kHidden)) return Error{err::kAccessDenied};
      if (writes || truncates)
        if (uint32_t c = Denied(path)) return Error{c};
      if (!SharingAllows(w_.openHandles_, key, desiredAccess, shareMode)) return Error{err::kSharingViolation};
      if (truncates) {
        it->second.bytes.clear();
        w_.SyncLinks(it->second);
      }
    } else {
      if (disposition == Disposition::kOpenExisting)
        return Error{ParentExists(path) ? err::kFileNotFound : err::kPathNotFound};
      if (!ParentIsFolder(key)) return Error{err::kPathNotFound};
      if (uint32_t c = DeniedParent(path)) return Error{c};
      FakeNode n;
      n.path = Display(path);
      n.attributes = platform::attr::kArchive;
      w_.nodes_[key] = n;
    }
    auto h = std::make_shared<FakeWindows::OpenHandle>(FakeWindows::OpenHandle{key, desiredAccess, shareMode});
    w_.openHandles_.push_back(h);
    return std::unique_ptr<platform::File>(new FakeFile(w_, h));
  }

 private:
  bool ParentIsFolder(const std::wstring& key) const {
    std::wstring parent = ParentKey(key);
    if (parent.size() == 2 && parent[1] == L':') return true;  // drive roots always exist
    auto it = w_.nodes_.find(parent);
    return it != w_.nodes_.end() && it->second.folder;
  }
  bool ParentExists(const std::wstring& path) const { return ParentIsFolder(FakeWindows::Key(path)); }
  uint32_t Denied(const std::wstring& path) const { return w_.writeCheck ? w_.writeCheck(Display(path)) : 0; }
  uint32_t DeniedParent(const std::wstring& path) const {
    std::wstring d = Display(path);
    size_t pos = d.rfind(L'\\');
    if (pos == std::wstring::npos || pos <= 2) return 0;
    return Denied(d.substr(0, pos));
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
    if (out.size() + 1 > capacity) return text;
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
  std::wstring ModuleFileName() override { return w_.modulePath_; }
  Result<std::array<uint16_t, 4>> FileVersion(const std::wstring& path) override {
    if (FakeWindows::Key(path) != FakeWindows::Key(w_.modulePath_)) return Error{1813};
    return w_.moduleVersion_;
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

 private:
  FakeWindows& w_;
};

// ---------------------------------------------------------------------------
class FakeProcesses : public platform::Processes {
 public:
  explicit FakeProcesses(FakeWindows& w) : w_(w) {}
  Result<platform::ProcessOutcome> Run(const platform::ProcessRequest& request) override {
    w_.processesRun.push_back(request);
    if (uint32_t f = w_.TakeFault(Op::kRunProcess, request.program)) return Error{f};
    std::wstring name = request.program.substr(request.program.find_last_of(L"\\/") + 1);
    auto it = w_.processScripts_.find(ToLower(name));
    if (it == w_.processScripts_.end()) return Error{err::kFileNotFound};
    platform::ProcessOutcome out = it->second(request);
    if (!request.captureOutput) out.output.clear();
    if (!request.wait) out.exitCode = 259;  // STILL_ACTIVE
    return out;
  }

 private:
  FakeWindows& w_;
};

// ---------------------------------------------------------------------------
class FakeSystemInfo : public platform::SystemInfo {
 public:
  explicit FakeSystemInfo(FakeWindows& w) : w_(w) {}
  platform::OsVersion Version() override { return w_.version; }
  bool IsWow64() override { return w_.wow64; }
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

 private:
  FakeWindows& w_;
};

std::vector<uint8_t> Sha256(const std::string& bytes);  // fake_sha256.cpp

class FakeHasher : public platform::Hasher {
 public:
  explicit FakeHasher(FakeWindows& w) : w_(w) {}
  Result<std::vector<uint8_t>> Sha256File(const std::wstring& path) override {
    if (uint32_t f = w_.TakeFault(Op::kHashFile, path)) return Error{f};
    auto* n = w_.MutableNode(path);
    if (!n) return Error{err::kFileNotFound};
    if (n->folder) return Error{err::kAccessDenied};
    return Sha256(n->bytes);
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
  platform_.reset(new platform::Platform{*consoleImpl_, *envImpl_, *fsImpl_, *processesImpl_, *systemImpl_,
                                         *hasherImpl_, *securityImpl_});

  SetEnv(L"SystemDrive", L"C:");
  SetEnv(L"SystemRoot", L"C:\\Windows");
  SetEnv(L"windir", L"C:\\Windows");
  SetEnv(L"UserProfile", L"C:\\Users\\Tester");
  SetEnv(L"LocalAppData", L"C:\\Users\\Tester\\AppData\\Local");
  SetEnv(L"ProgramFiles", L"C:\\Program Files");
  AddFolder(L"C:\\Windows\\System32");
  AddFolder(L"C:\\Windows\\WinSxS");
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
}

FakeWindows::~FakeWindows() = default;

void FakeWindows::AddFolder(const std::wstring& path) {
  std::wstring display = Display(path);
  std::vector<std::wstring> parts = Split(display, L"\\");
  std::wstring cur;
  for (size_t i = 0; i < parts.size(); ++i) {
    cur += (i ? L"\\" : L"") + parts[i];
    if (i == 0 && cur.size() == 2 && cur[1] == L':') continue;
    std::wstring key = Key(cur);
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
  size_t pos = display.rfind(L'\\');
  if (pos != std::wstring::npos) AddFolder(display.substr(0, pos));
  FakeNode n;
  n.path = display;
  n.bytes = bytes;
  n.attributes = attributes;
  nodes_[Key(path)] = n;
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

void FakeWindows::InjectFault(Op op, const std::wstring& pathPart, uint32_t code, int times, int skip) {
  faults_.push_back({op, pathPart, code, times, skip});
}

uint32_t FakeWindows::TakeFault(Op op, const std::wstring& path) {
  for (auto it = faults_.begin(); it != faults_.end(); ++it) {
    if (it->op != op && it->op != Op::kAny) continue;
    if (!it->pathPart.empty() && !IContains(Display(path), Display(it->pathPart))) continue;
    if (it->skip > 0) {
      --it->skip;
      continue;
    }
    uint32_t code = it->code;
    if (it->times > 0 && --it->times == 0) faults_.erase(it);
    return code;
  }
  return 0;
}

}  // namespace corvex::fake
