// An in-memory Windows for tests: case-insensitive paths with drive letters,
// files with attributes, environment, known folders, a console that records
// what is printed and feeds keys, scripted child processes, a few registry
// values, and fault injection on any operation and path.
#pragma once

#include <functional>
#include <map>
#include <set>
#include <memory>
#include <mutex>
#include <thread>
#include <string>
#include <vector>

#include "platform/platform.h"

namespace corvex::fake {

// The file system's lock. Package extraction's threads take it for a few
// microseconds at a time, thousands of times: a thread that finds it held
// tries again for a moment before it sleeps, since a sleep and a wake-up
// cost more than the work the lock guards. Recursive, as the security
// model and the fault checks come back to it.
class FileSystemLock {
 public:
  void lock() {
    for (int i = 0; i < 200; ++i) {
      if (m_.try_lock()) return;
      std::this_thread::yield();
    }
    m_.lock();
  }
  bool try_lock() { return m_.try_lock(); }
  void unlock() { m_.unlock(); }

 private:
  std::recursive_mutex m_;
};

using platform::Error;
using platform::Result;
using platform::Status;

// Operations that faults can be injected into.
enum class Op {
  kGetAttributes,
  kSetAttributes,
  kCreateFolder,
  kRemoveFolder,
  kCopyFile,
  kMoveFile,
  kDeleteFile,
  kFind,
  kReadFile,
  kWriteFile,
  kOpenFile,  // File handles: ReadAt counts as kReadFile, Append as kWriteFile
  kFlushFile,
  kRunProcess,
  kHashFile,
  kKnownFolder,
  // The Windows version, the WOW64 answer, the program's own path and its
  // version resource; the path part is "Version", "Wow64", "ModuleFileName"
  // or "FileVersion".
  kSystemFact,
  kRegistryRead,
  // Machine value writes: opening the key, then setting the value (the
  // path part matches the subkey, or subkey + "\" + value name).
  kRegistryOpen,
  kRegistryWrite,
  kFileIdentity,
  kAddHardLink,
  kPendRename,
  // "Disable" or "Revert".
  kRedirection,
  kRestart,
  // The path part is the drive letter + ":".
  kVolumeScan,
  // FreeBytesAvailable; the path part matches the path asked about.
  kFreeSpace,
  kAny,
  // Security (fake_security.h); the path part matches the path, privilege
  // name, account name or SID the call is about.
  kOpenToken,
  kLookupPrivilege,
  kAdjustPrivilege,
  kUserName,
  kLookupAccount,
  kCheckSid,
  kEveryoneSid,
  kBuildAcl,
  kReadOwner,
  kSetOwner,
  kSetDacl,
  kHardLinks,
  // Registry (fake_registry.h); the path part matches the full key path
  // ("HKEY_LOCAL_MACHINE\\SOFTWARE\\X"), that path + "\\" + a value name,
  // the hive file, or the SDDL converted ("ToSddl" the other way).
  kOpenKey,
  kCreateKey,
  kDeleteKey,
  kEnumKeys,
  kEnumValues,
  kQueryValue,
  kSetValue,
  kDeleteValue,
  kGetKeySecurity,
  kSetKeySecurity,
  kSddl,
  kTokenUser,
  kLoadHive,
  kUnloadHive,
  kCloseKey,
  // HTTP (fake_http.h); the path part matches the address.
  kHttpDownload,
  kHttpHead,
  kHttpPost,
  kHttpWrite,
  kHttpCache,
  // Crash handling (fake_crash.h) and shadow copies (fake_shadow_copies.h).
  kWriteDump,
  kShadowCreate,
  kShadowQuery,
  kShadowDelete,
  // Decompression (fake_compression.h); the path part is empty.
  kLzmsCreate,
  kLzmsDecompress,
  kDeltaInfo,
  kDeltaApply,
  // Signatures (fake_signatures.h); the path part matches the file.
  kVerifySignature,
};

// Thrown where a test put a crash point: the process "dies" between two
// steps. Only tests catch it, and then look at what is left on the disk.
struct SimulatedCrash {
  Op op;
  std::wstring path;
};

// How a write (WriteFile, File::Append) goes wrong. Either way the first
// `keepBytes` bytes of the new data land first: for a rewrite the file was
// already truncated, so 0 leaves it empty.
enum class WriteFault {
  kFailAfter,   // ... then the call fails with the fault's code
  kCrashAfter,  // ... then the process dies (SimulatedCrash)
};

struct FakeNode {
  std::wstring path;  // as first created, without "\\?\"
  bool folder = false;
  uint32_t attributes = 0x80;
  std::string bytes;
  // File identity: names with the same non-zero id are hard links of one
  // file. The security model hands ids out when it first needs one.
  uint64_t id = 0;
};

// What a scripted child process sees and does.
using ProcessScript = std::function<platform::ProcessOutcome(const platform::ProcessRequest&)>;

class FakeSecurity;
class FakeRegistry;
class FakeHttp;
class FakeCrashHandling;
class FakeShadowCopies;
class FakeCompression;
class FakePackages;
class FakeSignatures;

class FakeWindows {
 public:
  FakeWindows();
  ~FakeWindows();
  FakeWindows(const FakeWindows&) = delete;
  FakeWindows& operator=(const FakeWindows&) = delete;

  platform::Platform& platform() { return *platform_; }
  FakeHttp& http() { return *httpImpl_; }
  FakeCrashHandling& crash() { return *crashImpl_; }
  FakeShadowCopies& shadows() { return *shadowsImpl_; }
  FakeCompression& compression() { return *compressionImpl_; }
  FakePackages& packages() { return *packagesImpl_; }
  FakeSignatures& signatures() { return *signaturesImpl_; }

  // --- Files -------------------------------------------------------------
  // Both create missing parent folders.
  void AddFolder(const std::wstring& path);
  void AddFile(const std::wstring& path, const std::string& bytes, uint32_t attributes = 0x80);
  bool Exists(const std::wstring& path) const;
  bool IsFolder(const std::wstring& path) const;
  // Bytes of a file; empty when missing.
  std::string FileBytes(const std::wstring& path) const;
  const FakeNode* Node(const std::wstring& path) const;
  FakeNode* MutableNode(const std::wstring& path);
  // Full paths of everything below `folder` (not the folder itself).
  std::vector<std::wstring> ListTree(const std::wstring& folder) const;
  // A path as Win32 resolves it. Without a "\\?\" prefix: '/' becomes '\',
  // repeated separators collapse, "." and ".." are resolved, trailing dots
  // and spaces leave the last component, and the result must stay below
  // MAX_PATH (3, or 206 for CreateFolder's shorter limit). With the prefix
  // the path is taken literally, so "/", "." and ".." components and empty
  // components are invalid names (123). "\\?\UNC\server\share" and
  // "\\server\share" are the same. `display` keeps the case as given.
  struct Resolved {
    uint32_t code = 0;
    std::wstring display;
  };
  static Resolved Resolve(const std::wstring& path, size_t limit = 260);
  // Canonical key of a path: Resolve's display in lower case ("" when the
  // path is invalid).
  static std::wstring Key(const std::wstring& path);
  // Whether a key names a drive ("c:") or share ("\\\\server\\share") root.
  static bool IsRootKey(const std::wstring& key);
  // Hard links: every other name of `node`'s file takes its bytes and
  // attributes after a change made through `node`.
  void SyncLinks(const FakeNode& node);

  // --- Security: owners, DACLs, privileges, hard links, icacls -----------
  FakeSecurity& security() { return *securityImpl_; }

  // --- Registry: keys, values, key security, hives, reg.exe -------------
  FakeRegistry& registry() { return *registryImpl_; }

  // --- Environment -------------------------------------------------------
  void SetEnv(const std::wstring& name, const std::wstring& value);
  void SetKnownFolder(platform::KnownFolder id, const std::wstring& path);
  void SetModule(const std::wstring& path, std::array<uint16_t, 4> version);
  platform::LocalTime now{2026, 12, 6, 9, 30, 15, 250};

  // --- Console -----------------------------------------------------------
  std::wstring ConsoleText() const { return console_; }
  void ClearConsoleText() { console_.clear(); }
  void FeedKeys(const std::wstring& keys) { keys_ += keys; }
  int keysRead = 0;
  int clears = 0;
  std::wstring title;
  bool fixedSize = false;

  // --- Processes ---------------------------------------------------------
  // Scripts the program whose file name (case-insensitive, no folder) is
  // `exeName`. Unscripted programs fail to start with error 2.
  void OnProcess(const std::wstring& exeName, ProcessScript script);
  // A script for a child that never ends: it is terminated when its time
  // limit passes; waited for without one, it would hang the program, which
  // the fake turns into std::logic_error.
  static platform::ProcessOutcome NeverEnds(const platform::ProcessRequest& request);
  std::vector<platform::ProcessRequest> processesRun;  // guarded by the run; read it once children are done

  // --- System ------------------------------------------------------------
  platform::OsVersion version{10, 0, 19045, 0, 1};
  bool wow64 = false;
  uint16_t architecture = 9;
  void SetMachineValue(const std::wstring& subkey, const std::wstring& name, const std::wstring& value);
  void SetMachineDword(const std::wstring& subkey, const std::wstring& name, uint32_t value);
  void AddMachineKey(const std::wstring& subkey);
  std::wstring MachineString(const std::wstring& subkey, const std::wstring& name) const;
  // Version resource of a file other than the program's own.
  void SetFileVersion(const std::wstring& path, std::array<uint16_t, 4> fileVersion);
  // Drive types by upper-case letter; a letter not listed has no root.
  std::map<wchar_t, platform::DriveKind> drives{{L'C', platform::DriveKind::kFixed}};
  uint32_t errorMode = 0;  // SetErrorMode's flags
  // What FileSystem::FreeBytesAvailable answers for the volume at `root`
  // ("D:" or "\\server\share"); a volume never set has kDefaultFreeBytes.
  // The figure stays as set: writes do not use it up.
  static constexpr uint64_t kDefaultFreeBytes = 1ull << 40;
  void SetFreeBytes(const std::wstring& root, uint64_t bytes);
  // Shadow copies by number, each a read-only snapshot folder at its root
  // ("\\?\GLOBALROOT\Device\HarddiskVolumeShadowCopy" + N): changes
  // under it fail with ERROR_WRITE_PROTECT. Add files below the root with
  // AddFile.
  static std::wstring ShadowCopyRoot(uint32_t number);
  void AddShadowCopy(uint32_t number);
  std::set<uint32_t> shadowCopies;

  // --- Restart -----------------------------------------------------------
  // Renames asked for with PendRename, in order, as Windows keeps them.
  struct PendingRename {
    std::wstring from, to;
    bool redirectionOff = false;  // WOW64 redirection was off when asked
  };
  std::vector<PendingRename> pendingRenames;
  bool redirectionOff = false;
  // Message boxes shown (title, text) and restarts asked for (reasons).
  std::vector<std::pair<std::wstring, std::wstring>> messages;
  std::vector<uint32_t> restarts;
  // What Windows does between a restart and the first logon: every handle
  // closes, pending renames are carried out in order (a rename whose source
  // is gone is skipped, as Windows does), and the RunOnce value "Corvex" is
  // taken away. Returns that value's command line, empty when there was
  // none.
  std::wstring SimulateRestart();

  // --- Faults ------------------------------------------------------------
  // The next `times` calls of `op` on a path that contains `pathPart`
  // (case-insensitive; empty matches every path) fail with `code` before
  // they change anything, after `skip` matching calls have gone through.
  // times < 0: persistent; times == 0 is a mistake in the test and throws
  // std::invalid_argument. Known folders match by name: "LocalAppData",
  // "Desktop", "Documents".
  void InjectFault(Op op, const std::wstring& pathPart, uint32_t code, int times = 1, int skip = 0);
  // The write after `skip` matching writes lands its first `keepBytes`
  // bytes and then fails with `code` or crashes.
  void InjectWriteFault(WriteFault kind, const std::wstring& pathPart, size_t keepBytes, uint32_t code = 112,
                        int skip = 0);
  // The call of `op` after `skip` matching calls throws SimulatedCrash
  // before it does anything. With Op::kAny and an empty path, counting
  // `skip` up from 0 visits every step of an operation in turn.
  void InjectCrash(Op op, const std::wstring& pathPart, int skip = 0);
  void ClearFaults() { faults_.clear(); }
  // Faults armed and not yet fired: a test that counts writes up stops when
  // its fault is left over.
  size_t PendingFaults() const { return faults_.size(); }
  // Opens a handle as another process would, for tests of sharing: it stays
  // open until the returned token is dropped.
  std::shared_ptr<void> HoldOpen(const std::wstring& path, uint32_t desiredAccess, uint32_t shareMode);
  // Returns the code to fail with, or 0. Counts the call down; throws
  // SimulatedCrash at a crash point.
  uint32_t TakeFault(Op op, const std::wstring& path);
  // One call on two paths (copy, move): a fault on either counts once.
  uint32_t TakeFault(Op op, const std::wstring& from, const std::wstring& to);
  // The same for writes: also the number of bytes to land before failing
  // (npos: all or nothing).
  struct TakenWriteFault {
    uint32_t code = 0;
    size_t keepBytes = std::string::npos;
    bool crash = false;
  };
  TakenWriteFault TakeWriteFault(const std::wstring& path);

  // Access hook of the security model: 0 when the current process holds
  // all of `desired` (file access rights) on the object at `path`, else the
  // code to fail with. Both hooks get paths as Resolve displays them.
  std::function<uint32_t(const std::wstring& path, uint32_t desired)> accessCheck;
  // Creation hook: gives a new object what its folder passes on.
  std::function<void(FakeNode& node)> onCreate;

 public:
  // A handle open through FileSystem::Open or HoldOpen, for sharing checks.
  struct OpenHandle {
    std::wstring key;
    uint32_t access;
    uint32_t share;
  };

 private:
  friend class FakeFileSystem;
  friend class FakeEnvironment;
  friend class FakeConsole;
  friend class FakeProcesses;
  friend class FakeSystemInfo;
  friend class FakeHasher;
  friend class FakeSecurity;
  friend class FakeShadowCopies;
  friend class FakeSignatures;

  enum class FaultKind { kFail, kWriteFailAfter, kWriteCrashAfter, kCrash };
  struct Fault {
    Op op;
    std::wstring pathPart;
    uint32_t code;
    int times;
    int skip;
    FaultKind kind = FaultKind::kFail;
    size_t keepBytes = std::string::npos;
  };
  Fault* MatchFault(Op op, const std::wstring& path, const std::wstring& other = std::wstring());
  TakenWriteFault Spend(Fault* f, Op op, const std::wstring& path);

  std::map<std::wstring, FakeNode> nodes_;
  // Ids given to more than one name (hard links): only their changes are
  // copied to other names, so a write need not visit every node.
  std::set<uint64_t> linkedIds_;
  std::map<std::wstring, std::wstring> env_;  // lower-case name -> value
  std::map<platform::KnownFolder, std::wstring> knownFolders_;
  std::wstring modulePath_;
  std::array<uint16_t, 4> moduleVersion_{1, 0, 0, 0};
  std::wstring console_;
  std::wstring keys_;
  std::map<std::wstring, ProcessScript> processScripts_;
  std::map<std::wstring, std::map<std::wstring, std::wstring>> machineStrings_;
  std::map<std::wstring, std::map<std::wstring, uint32_t>> machineDwords_;
  std::vector<std::wstring> machineKeys_;
  std::map<std::wstring, std::array<uint16_t, 4>> fileVersions_;
  std::vector<Fault> faults_;
  std::map<std::wstring, uint64_t> freeBytes_;  // by root key
  // Package extraction calls the file system from several threads: every
  // file-system call and file-handle call holds this. Recursive, since a
  // call reaches the security model and fault checks, which come back here.
  FileSystemLock fsMutex_;

  std::vector<std::shared_ptr<OpenHandle>> openHandles_;
  std::mutex processesMutex_;
  friend class FakeFile;

  std::unique_ptr<platform::Console> consoleImpl_;
  std::unique_ptr<platform::Environment> envImpl_;
  std::unique_ptr<platform::FileSystem> fsImpl_;
  std::unique_ptr<platform::Processes> processesImpl_;
  std::unique_ptr<platform::SystemInfo> systemImpl_;
  std::unique_ptr<platform::Hasher> hasherImpl_;
  std::unique_ptr<FakeSecurity> securityImpl_;
  std::unique_ptr<FakeRegistry> registryImpl_;
  std::unique_ptr<FakeHttp> httpImpl_;
  std::unique_ptr<FakeCrashHandling> crashImpl_;
  std::unique_ptr<FakeShadowCopies> shadowsImpl_;
  std::unique_ptr<FakeCompression> compressionImpl_;
  std::unique_ptr<FakePackages> packagesImpl_;
  std::unique_ptr<FakeSignatures> signaturesImpl_;
  std::unique_ptr<platform::Platform> platform_;
};

}  // namespace corvex::fake
