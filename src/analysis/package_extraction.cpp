#include "analysis/package_extraction.h"

#include <atomic>
#include <condition_variable>
#include <deque>
#include <limits>
#include <mutex>
#include <new>
#include <system_error>
#include <thread>

#include "analysis/package_names.h"
#include "base/path.h"
#include "base/text.h"
#include "core/console_output.h"
#include "core/process_runner.h"
#include "core/session_log.h"
#include "core/working_folders.h"

namespace corvex {

namespace {

using platform::PackageEntry;
using platform::Status;
namespace err = platform::err;

enum class ContainerKind { kCabinet, kInstaller, kSelfExtracting, kOther };

ContainerKind KindOf(const std::wstring& path) {
  std::wstring leaf = PathLeafName(path);
  size_t dot = leaf.rfind(L'.');
  std::wstring ext = dot == std::wstring::npos ? L"" : ToLower(leaf.substr(dot + 1));
  if (ext == L"msu" || ext == L"cab") return ContainerKind::kCabinet;
  if (ext == L"msi" || ext == L"msp") return ContainerKind::kInstaller;
  if (ext == L"exe") return ContainerKind::kSelfExtracting;
  return ContainerKind::kOther;
}

// The update agent's scan catalog is large and holds no replacement files.
bool IsQueued(const std::wstring& path) {
  ContainerKind kind = KindOf(path);
  if (kind != ContainerKind::kCabinet && kind != ContainerKind::kInstaller) return false;
  return !IEquals(PathLeafName(path), L"WSUSSCAN.cab");
}

struct WorkItem {
  std::wstring container;
  std::wstring into;
  int depth = 0;
  // 0 while it waits; the number of the worker that took it (from 1).
  uint64_t takenBy = 0;
};

// One extraction's shared state. Workers reach the session through nothing
// here: they collect sentences and the caller prints them after joining.
struct Run {
  Run(platform::Platform& p, const ExtractionOptions& o, const std::wstring& w)
      : os(p), fs(p.fs), packages(p.packages), opt(o), work(w) {}
  platform::Platform& os;
  platform::FileSystem& fs;
  platform::Packages& packages;
  const ExtractionOptions& opt;
  const std::wstring work;

  // Room claimed by containers being unpacked: the volume's free figure
  // does not show yet what they are still to write.
  std::mutex spaceMutex;
  uint64_t claimed = 0;  // with spaceMutex held

  std::timed_mutex queueMutex;
  std::deque<WorkItem> queue;  // only with queueMutex held
  size_t firstWaiting = 0;     // only with queueMutex held
  // Containers taken and not yet unpacked and scanned: a worker that finds
  // the queue empty keeps waiting while another may still add to it.
  std::atomic<int> inProgress{0};

  std::atomic<uint64_t> bytes{0};
  std::atomic<bool> overCap{false};
  std::atomic<size_t> containers{0};

  std::mutex messagesMutex;
  std::vector<std::wstring> messages;
  bool incomplete = false;  // with messagesMutex held

  // The delta expander keeps its report in process-wide state: one caller
  // at a time.
  std::mutex deltaMutex;

  std::mutex doneMutex;
  std::condition_variable doneChanged;
  std::vector<bool> done;  // with doneMutex held
};

void Fail(Run& run, const std::wstring& sentence) {
  std::lock_guard<std::mutex> hold(run.messagesMutex);
  run.messages.push_back(sentence);
  run.incomplete = true;
}

std::wstring CodeText(uint32_t code) { return L" with error code " + ErrorCodeName(code); }

// Takes `size` bytes from the budget; false once the cap would be passed.
bool Reserve(Run& run, uint64_t size) {
  uint64_t before = run.bytes.load();
  do {
    if (size > run.opt.maxTotalBytes || before > run.opt.maxTotalBytes - size) {
      if (!run.overCap.exchange(true))
        Fail(run, L"WARNING: Extraction stopped at " + Decimal(run.opt.maxTotalBytes) +
                      L" bytes: the package unpacks to more than that.");
      return false;
    }
  } while (!run.bytes.compare_exchange_weak(before, before + size));
  return true;
}

uint64_t SaturatingAdd(uint64_t a, uint64_t b) {
  constexpr uint64_t kMost = std::numeric_limits<uint64_t>::max();
  return a > kMost - b ? kMost : a + b;
}

// Room on the work folder's volume for one container, held until the
// container is unpacked. What the others claimed counts in full, though
// part of it may be written and so already missing from the volume's
// figure: a refusal too many is better than a full system volume.
class SpaceClaim {
 public:
  explicit SpaceClaim(Run& run) : run_(run) {}
  SpaceClaim(const SpaceClaim&) = delete;
  SpaceClaim& operator=(const SpaceClaim&) = delete;
  ~SpaceClaim() {
    std::lock_guard<std::mutex> hold(run_.spaceMutex);
    run_.claimed -= size_;
  }

  // False, with the reason in the run's sentences, when `container`'s
  // `size` bytes may not be written. A free space that cannot be read is
  // never taken as enough.
  bool Take(const std::wstring& container, uint64_t size) {
    std::lock_guard<std::mutex> hold(run_.spaceMutex);
    auto free = run_.fs.FreeBytesAvailable(AddLongPathPrefix(run_.work));
    if (!free) {
      Fail(run_, L"WARNING: " + container + L" was not unpacked: the free space on the volume of " + run_.work +
                     L" could not be read" + CodeText(free.code()) + L".");
      return false;
    }
    uint64_t others = run_.claimed;
    uint64_t needed = SaturatingAdd(SaturatingAdd(size, others), run_.opt.freeSpaceReserve);
    if (needed > *free) {
      Fail(run_, L"WARNING: " + container + L" was not unpacked: it needs " + Decimal(needed) +
                     L" bytes free on the volume of " + run_.work + L" and " + Decimal(*free) + L" are free (" +
                     Decimal(size) + L" bytes to unpack, " +
                     (others ? Decimal(others) + L" bytes for containers being unpacked, " : L"") +
                     Decimal(run_.opt.freeSpaceReserve) + L" bytes kept for Windows).");
      return false;
    }
    size_ = size;
    run_.claimed += size;
    return true;
  }

 private:
  Run& run_;
  uint64_t size_ = 0;
};

// A folder of that name, or of that name with "_2" to "_99" added when a
// package entry holds the name already.
platform::Result<std::wstring> MakeFreshFolder(platform::FileSystem& fs, const std::wstring& base) {
  for (int n = 1; n <= 99; ++n) {
    std::wstring path = n == 1 ? base : base + L"_" + Decimal(static_cast<uint64_t>(n));
    Status st = fs.CreateFolder(AddLongPathPrefix(path));
    if (st) return path;
    if (st.code() != err::kAlreadyExists) return platform::Error{st.code()};
  }
  return platform::Error{err::kAlreadyExists};
}

platform::PlaceEntry PlaceIn(Run& run, const std::wstring& folder, const std::wstring& container,
                             EntryNameKind kind) {
  return [&run, folder, container, kind](const PackageEntry& e) -> std::wstring {
    // Property-set streams ("\5SummaryInformation") are the installer
    // database's own description, never a payload.
    if (kind == EntryNameKind::kInstallerName && !e.name.empty() && e.name[0] == L'\x05') return L"";
    EntryNameFault fault = CheckEntryName(e.name, kind);
    if (fault != EntryNameFault::kNone) {
      Fail(run, L"WARNING: The entry \"" + e.name + L"\" of " + container + L" was refused: " +
                    EntryNameFaultText(fault) + L".");
      return L"";
    }
    if (!Reserve(run, e.size)) return L"";
    std::wstring rel = EntryRelativePath(e.name);
    size_t slash = rel.rfind(L'\\');
    if (slash != std::wstring::npos) {
      Status st = CreateFolderChain(run.fs, AddLongPathPrefix(folder + L"\\" + rel.substr(0, slash)));
      if (!st) {
        Fail(run, L"WARNING: Could not create the folder of " + folder + L"\\" + rel + CodeText(st.code()) + L".");
        return L"";
      }
    }
    return AddLongPathPrefix(folder + L"\\" + rel);
  };
}

void UnpackCabinet(Run& run, const std::wstring& cabinet, const std::wstring& into) {
  auto entries = run.packages.ListCabinet(AddLongPathPrefix(cabinet));
  if (!entries) {
    Fail(run, L"WARNING: Could not read the cabinet " + cabinet + CodeText(entries.code()) + L".");
    return;
  }
  // Judged whole before the first write, as a zip archive is.
  bool refused = false;
  for (const PackageEntry& e : *entries) {
    EntryNameFault fault = CheckEntryName(e.name, EntryNameKind::kCabinetEntry);
    if (fault == EntryNameFault::kNone) continue;
    Fail(run, L"WARNING: The entry \"" + e.name + L"\" of " + cabinet + L" was refused: " + EntryNameFaultText(fault) +
                  L".");
    refused = true;
  }
  if (refused) {
    Fail(run, L"WARNING: Nothing of " + cabinet + L" was unpacked.");
    return;
  }
  uint64_t size = 0;
  for (const PackageEntry& e : *entries) size = SaturatingAdd(size, e.size);
  SpaceClaim room(run);
  if (!room.Take(cabinet, size)) return;
  Status st = run.packages.ExtractCabinet(AddLongPathPrefix(cabinet),
                                          PlaceIn(run, into, cabinet, EntryNameKind::kCabinetEntry));
  if (!st) Fail(run, L"WARNING: Could not unpack the cabinet " + cabinet + CodeText(st.code()) + L".");
}

// Streams are stored whole in the compound file, so its size bounds what
// they unpack to.
platform::Result<uint64_t> FileSize(platform::FileSystem& fs, const std::wstring& path) {
  auto file = fs.Open(AddLongPathPrefix(path), platform::access::kRead, platform::share::kAll,
                      platform::Disposition::kOpenExisting);
  if (!file) return platform::Error{file.code()};
  return (*file)->Size();
}

void UnpackInstaller(Run& run, const std::wstring& database, const std::wstring& into) {
  auto size = FileSize(run.fs, database);
  if (!size) {
    Fail(run, L"WARNING: Could not read the installer database " + database + CodeText(size.code()) + L".");
    return;
  }
  SpaceClaim room(run);
  if (!room.Take(database, *size)) return;
  auto contents = run.packages.ExtractInstallerStreams(AddLongPathPrefix(database),
                                                       PlaceIn(run, into, database, EntryNameKind::kInstallerName));
  if (!contents) {
    Fail(run, L"WARNING: Could not read the installer database " + database + CodeText(contents.code()) + L".");
    return;
  }
  for (const std::wstring& name : contents->storagesNotRead)
    Fail(run, L"WARNING: The embedded storage \"" + name + L"\" of " + database + L" was not read.");
}

// The program runs elevated: it starts nothing but a package of a kind it
// knows, signed by Microsoft, and holds the file open against writes from
// the check until the child has ended, so that nobody swaps it in between.
// Nothing here reaches the session, so a worker may run it too.
void UnpackSelfExtracting(Run& run, const std::wstring& package, const std::wstring& into) {
  const std::wstring notRun = L"WARNING: " + package + L" is a self-extracting package: it was not run, since ";
  const SelfExtractingKind* kind = FindSelfExtractingKind(PathLeafName(package));
  if (!kind) {
    Fail(run, notRun + L"it is not one of the Microsoft packages this program knows how to unpack.");
    return;
  }
  auto held = run.fs.Open(AddLongPathPrefix(package), platform::access::kRead, platform::share::kRead,
                          platform::Disposition::kOpenExisting);
  if (!held) {
    Fail(run, notRun + L"it could not be held against changes" + CodeText(held.code()) + L".");
    return;
  }
  auto signer = run.os.signatures.VerifyMicrosoftSignature(package);
  if (!signer) {
    Fail(run, notRun + L"its signature did not verify" + CodeText(signer.code()) + L".");
    return;
  }
  if (*signer != platform::Signer::kMicrosoft) {
    Fail(run, notRun + L"it is not signed by Microsoft.");
    return;
  }
  // What the package unpacks to is not known before it runs; its own size
  // is the least it will need.
  auto size = (*held)->Size();
  if (!size) {
    Fail(run, notRun + L"its size could not be read" + CodeText(size.code()) + L".");
    return;
  }
  SpaceClaim room(run);
  if (!room.Take(package, *size)) return;
  RunOptions options;
  options.timeoutMs = run.opt.selfExtractingTimeoutMs;
  RunOutcome outcome = RunProcessUntraced(run.os.processes, package,
                                          L"\"" + package + L"\" " + kind->extractSwitch + L"\"" + into + L"\"", options);
  const std::wstring self = L"WARNING: The self-extracting package " + package;
  if (!outcome.started)
    Fail(run, self + L" could not be started" + CodeText(outcome.startError) + L".");
  else if (outcome.waitError == platform::kTimeout)
    Fail(run, self + L" was still running after " + Decimal(uint64_t{run.opt.selfExtractingTimeoutMs / 1000}) +
                  L" seconds and was stopped.");
  else if (outcome.waitError)
    Fail(run, self + L" could not be waited for" + CodeText(outcome.waitError) + L".");
  else if (outcome.exitCode != 0)
    Fail(run, self + L" ended with exit code " + Decimal(uint64_t{outcome.exitCode}) + L".");
}

void Unpack(Run& run, const std::wstring& container, const std::wstring& into) {
  run.containers++;
  switch (KindOf(container)) {
    case ContainerKind::kCabinet: UnpackCabinet(run, container, into); break;
    case ContainerKind::kInstaller: UnpackInstaller(run, container, into); break;
    case ContainerKind::kSelfExtracting: UnpackSelfExtracting(run, container, into); break;
    case ContainerKind::kOther:
      Fail(run, L"WARNING: " + container + L" is not a package this program unpacks (.msu, .cab, .msi, .msp).");
      break;
  }
}

// The expander's sentence when the compression API is missing.
constexpr wchar_t kNoDecompressor[] = L"Required Cabinet API are missing";

bool Compressed(const std::wstring& report) {
  return report.find(L"DCS_HEADER found") != std::wstring::npos ||
         report.find(L"DCN_HEADER found") != std::wstring::npos ||
         report.find(L"DCM_HEADER found") != std::wstring::npos;
}

// A compressed store file is expanded in place: to a file beside it, moved
// over it only once the expander reported success.
void ExpandIfCompressed(Run& run, const std::wstring& file) {
  std::wstring detection;
  {
    std::lock_guard<std::mutex> hold(run.deltaMutex);
    detection = run.opt.deltaExpander(L"\"" + file + L"\" DETECTION_ONLY");
  }
  // Windows before 8 has no decompressor for these blocks: the file stays
  // packed, and the helper is told why.
  if (detection.find(kNoDecompressor) != std::wstring::npos) {
    Fail(run, L"WARNING: The compressed file " + file +
                  L" could not be expanded: this Windows has no decompressor for it.");
    return;
  }
  if (!Compressed(detection)) return;
  std::wstring expanded = file + L".expanded";
  std::wstring report;
  {
    std::lock_guard<std::mutex> hold(run.deltaMutex);
    report = run.opt.deltaExpander(L"\"" + file + L"\" \"" + expanded + L"\"");
  }
  std::wstring longExpanded = AddLongPathPrefix(expanded);
  if (report.find(L"Operation Successful") != std::wstring::npos && run.fs.GetAttributes(longExpanded)) {
    Status st = run.fs.MoveFile(longExpanded, AddLongPathPrefix(file), true);
    if (st) return;
    Fail(run, L"WARNING: Could not put the expanded " + file + L" in place" + CodeText(st.code()) + L".");
  } else {
    Fail(run, L"WARNING: The compressed file " + file + L" could not be expanded.");
  }
  run.fs.DeleteFile(longExpanded);
}

// Files below `folder`, depth first, read before anything new is made in it.
void ListFiles(Run& run, const std::wstring& folder, std::vector<std::wstring>& files) {
  auto found = run.fs.Find(AddLongPathPrefix(folder) + L"\\*.*");
  if (!found) {
    if (found.code() != err::kFileNotFound)
      Fail(run, L"WARNING: Could not list " + folder + CodeText(found.code()) + L".");
    return;
  }
  for (const platform::FindEntry& e : *found) {
    if (e.name == L"." || e.name == L"..") continue;
    std::wstring path = folder + L"\\" + e.name;
    if (e.attributes & platform::attr::kDirectory) {
      // A junction could lead anywhere; a package never makes one.
      if (!(e.attributes & platform::attr::kReparsePoint)) ListFiles(run, path, files);
    } else {
      files.push_back(path);
    }
  }
}

// Queues every container unpacked into `folder`; `depth` is theirs.
void Scan(Run& run, const std::wstring& folder, int depth) {
  std::vector<std::wstring> files;
  ListFiles(run, folder, files);
  for (const std::wstring& file : files) {
    if (!IsQueued(file)) {
      // Executables included: detection tells a plain one from a store file.
      ContainerKind kind = KindOf(file);
      bool container = kind == ContainerKind::kCabinet || kind == ContainerKind::kInstaller;
      if (run.opt.deltaExpander && !container) ExpandIfCompressed(run, file);
      continue;
    }
    if (depth > run.opt.maxDepth) {
      Fail(run, L"WARNING: " + file + L" was left packed: containers nest more than " +
                    Decimal(static_cast<uint64_t>(run.opt.maxDepth)) + L" deep.");
      continue;
    }
    auto into = MakeFreshFolder(run.fs, file + L".extracted");
    if (!into) {
      Fail(run, L"WARNING: Could not create a folder to unpack " + file + CodeText(into.code()) + L".");
      continue;
    }
    std::unique_lock<std::timed_mutex> lock(run.queueMutex, std::defer_lock);
    if (!lock.try_lock_for(run.opt.queueWait)) {
      Fail(run, L"\n\nFATAL ERROR: RARiroderuz mutex timeout exceeded in location 2.\n\n");
      return;
    }
    if (run.opt.whileQueueHeld) run.opt.whileQueueHeld();
    run.queue.push_back({file, *into, depth, 0});
  }
}

void Finished(Run& run, int index) {
  std::lock_guard<std::mutex> hold(run.doneMutex);
  run.done[static_cast<size_t>(index)] = true;
  run.doneChanged.notify_all();
}

void WorkerLoop(Run& run, int index) {
  for (;;) {
    std::unique_lock<std::timed_mutex> lock(run.queueMutex, std::defer_lock);
    if (!lock.try_lock_for(run.opt.queueWait)) {
      Fail(run, L"\n\nFATAL ERROR: RARiroderuz mutex timeout exceeded in location 1.\n\n");
      return;
    }
    if (run.firstWaiting == run.queue.size()) {
      if (run.inProgress.load() == 0) return;
      lock.unlock();
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
      continue;
    }
    WorkItem item = run.queue[run.firstWaiting];
    run.queue[run.firstWaiting].takenBy = static_cast<uint64_t>(index) + 1;
    run.firstWaiting++;
    run.inProgress++;
    lock.unlock();

    // Done only after the scan queued what it found, and also when an
    // allocation failure ends the thread half way.
    struct InProgress {
      std::atomic<int>& count;
      ~InProgress() { count--; }
    } taken{run.inProgress};
    Unpack(run, item.container, item.into);
    Scan(run, item.into, item.depth + 1);
  }
}

void Worker(Run& run, int index) {
  try {
    WorkerLoop(run, index);
  } catch (const std::bad_alloc&) {
    Fail(run, L"WARNING: Background thread " + Decimal(static_cast<uint64_t>(index)) +
                  L" stopped" + CodeText(err::kNotEnoughMemory) + L".");
  }
  Finished(run, index);
}

platform::Result<std::wstring> MakeWorkFolder(Session& s, const std::wstring& output, std::wstring& sentence) {
  if (Status st = CreateFolderChain(s.os.fs, AddLongPathPrefix(output)); !st) {
    sentence = L"WARNING: Could not create the folder " + output + CodeText(st.code()) + L".";
    return platform::Error{st.code()};
  }
  for (int n = 1; n <= 99; ++n) {
    std::wstring path = output + L"\\RARiroderuz_" + Decimal(static_cast<uint64_t>(n));
    Status st = s.os.fs.CreateFolder(AddLongPathPrefix(path));
    if (st) return path;
    if (st.code() != err::kAlreadyExists) {
      sentence = L"WARNING: Could not create the folder " + path + CodeText(st.code()) + L".";
      return platform::Error{st.code()};
    }
  }
  sentence = L"WARNING: No work folder could be made in " + output + L": RARiroderuz_1 to RARiroderuz_99 exist.";
  return platform::Error{err::kAlreadyExists};
}

}  // namespace

ExtractionResult ExtractPackage(Session& s, const std::wstring& package, const std::wstring& outputFolder,
                                const ExtractionOptions& options) {
  ExtractionResult result;
  std::wstring output = StripLongPathPrefix(outputFolder);
  if (output.empty()) {
    output = s.os.env.Expand(L"%temp%");
    if (output.empty() || output.find(L'%') != std::wstring::npos) {
      result.messages.push_back(L"WARNING: No output folder was given and the temp folder is not set.");
      TraceError(s, result.messages.back());
      return result;
    }
  }
  while (output.size() > 3 && (output.back() == L'\\' || output.back() == L'/')) output.pop_back();

  std::wstring sentence;
  auto work = MakeWorkFolder(s, output, sentence);
  if (!work) {
    result.messages.push_back(sentence);
    TraceError(s, sentence);
    return result;
  }
  result.folder = *work;

  Run run(s.os, options, *work);
  const std::wstring source = StripLongPathPrefix(package);
  Unpack(run, source, *work);
  Scan(run, *work, 1);

  int workers = options.workers < 1 ? 1 : options.workers;
  run.done.assign(static_cast<size_t>(workers), false);
  std::vector<std::thread> threads(static_cast<size_t>(workers));
  for (int i = 0; i < workers; ++i) {
    bool started = false;
    if (i != options.failWorkerStart) {
      try {
        threads[static_cast<size_t>(i)] = std::thread(Worker, std::ref(run), i);
        started = true;
      } catch (const std::system_error&) {
      }
    }
    if (!started) {
      Fail(run, L"WARNING: Background thread " + Decimal(static_cast<uint64_t>(i)) + L" could not be started" +
                    CodeText(err::kNotEnoughMemory) + L".");
      Finished(run, i);
    }
  }

  // Every worker is joined, whatever happened; one still busy after the
  // first ended is announced before the wait.
  for (int i = 0; i < workers; ++i) {
    std::thread& t = threads[static_cast<size_t>(i)];
    if (!t.joinable()) continue;
    if (i > 0 && options.showProgress) {
      std::unique_lock<std::mutex> hold(run.doneMutex);
      // A worker that is only finding the queue empty ends within moments.
      bool ended = run.doneChanged.wait_for(hold, std::chrono::milliseconds(200),
                                            [&] { return run.done[static_cast<size_t>(i)]; });
      hold.unlock();
      if (!ended)
        Print(s, (i == 1 ? L"\n" : L"") + std::wstring(L"Waiting for background thread ") +
                     Decimal(static_cast<uint64_t>(i)) + L" to complete. Please be patient . . . ");
    }
    t.join();
  }

  // Joined: nothing else touches the queue now.
  size_t leftPacked = run.queue.size() - run.firstWaiting;
  if (leftPacked)
    Fail(run, L"WARNING: " + Decimal(leftPacked) + L" containers of " + source + L" were left packed.");

  for (const std::wstring& m : run.messages) {
    if (m.find(L"FATAL ERROR") != std::wstring::npos) Print(s, m);
    TraceError(s, Trim(m));
  }
  result.messages = std::move(run.messages);
  result.complete = !run.incomplete;
  result.bytes = run.bytes.load();
  result.containers = run.containers.load();
  TraceInfo(s, L"Unpacked " + source + L" into " + result.folder + L": " + Decimal(result.containers) +
                   L" containers, " + Decimal(result.bytes) + L" bytes" + (result.complete ? L"." : L", incomplete."));
  return result;
}

platform::Status RemoveExtraction(platform::FileSystem& fs, const std::wstring& folder) {
  std::wstring longFolder = AddLongPathPrefix(StripLongPathPrefix(folder));
  Status first;
  auto found = fs.Find(longFolder + L"\\*.*");
  if (found) {
    for (const platform::FindEntry& e : *found) {
      if (e.name == L"." || e.name == L"..") continue;
      std::wstring path = longFolder + L"\\" + e.name;
      Status st;
      if ((e.attributes & platform::attr::kDirectory) && !(e.attributes & platform::attr::kReparsePoint)) {
        st = RemoveExtraction(fs, path);
      } else if (e.attributes & platform::attr::kDirectory) {
        st = fs.RemoveFolder(path);
      } else {
        if (e.attributes & platform::attr::kReadOnly) fs.SetAttributes(path, platform::attr::kNormal);
        st = fs.DeleteFile(path);
      }
      if (!st && first) first = st;
    }
  } else if (found.code() != err::kFileNotFound) {
    return found.status();
  }
  Status st = fs.RemoveFolder(longFolder);
  return first ? st : first;
}

}  // namespace corvex
