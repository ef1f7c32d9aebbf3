// Unpacking of a Windows update package (.msu, .cab, .msi, .msp) with every
// container nested in it, by worker threads sharing one queue.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "core/session.h"

namespace corvex {

// The delta expander: an argument string in, its report text out.
using DeltaExpander = std::function<std::wstring(const std::wstring& arguments)>;

struct ExtractionOptions {
  bool showProgress = false;
  // Absent: compressed store files stay as they came.
  DeltaExpander deltaExpander;
  int workers = 3;
  // Every wait for the queue is limited to this.
  std::chrono::milliseconds queueWait{5000};
  // Before each container is unpacked, its volume must have room for what
  // it holds plus this much, so that Windows itself is never starved.
  uint64_t freeSpaceReserve = 200ull << 20;
  // A second bound, whatever the volume has: a package's headers can
  // announce any size.
  uint64_t maxTotalBytes = 32ull << 30;
  // Containers inside containers: the package's own entries are depth 1.
  int maxDepth = 8;
  // A self-extracting package still running after this is terminated.
  uint32_t selfExtractingTimeoutMs = 10 * 60 * 1000;
  // Tests only: runs while a scan step holds the queue, before it adds an
  // item; and the worker with this index fails to start.
  std::function<void()> whileQueueHeld;
  int failWorkerStart = -1;
};

struct ExtractionResult {
  // The work folder holding everything unpacked; "" when none was made.
  std::wstring folder;
  // False when anything was refused or failed: a caller must not take a
  // missing file as absent from the package.
  bool complete = false;
  // Sentences about refusals and failures, in the order the caller printed
  // them.
  std::vector<std::wstring> messages;
  uint64_t bytes = 0;
  size_t containers = 0;
};

// Unpacks `package` into a fresh "RARiroderuz_N" folder under
// `outputFolder` (the "temp" folder when empty). A self-extracting package
// is run only when its kind is known (FindSelfExtractingKind) and its
// signature verifies to Microsoft, held against writes from the check until
// it has ended, within a time limit. The caller removes the
// folder with RemoveExtraction once it has taken what it needs.
ExtractionResult ExtractPackage(Session& s, const std::wstring& package, const std::wstring& outputFolder,
                                const ExtractionOptions& options = ExtractionOptions());

// Removes a work folder and everything in it.
platform::Status RemoveExtraction(platform::FileSystem& fs, const std::wstring& folder);

}  // namespace corvex
