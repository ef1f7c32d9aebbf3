// The delta expander: turns a compressed or delta store file (Windows 8 and
// later keep component-store files and the files of newer update packages
// this way) back into the plain file, so that it can serve as a
// replacement. It takes a command-line-style argument string and returns
// its report; it writes nothing to the session log itself.
//
//   source destination          one file, or every file below a folder
//   /d basis delta destination  a DCD delta applied to its basis file
//   /? (or nothing)             the usage text
//
// A destination of "DETECTION_ONLY" reads and reports but writes nothing.
// Each call keeps its state to itself, so package extraction's workers run
// it side by side.
#pragma once

#include <cstddef>
#include <optional>
#include <string>

#include "platform/platform.h"

namespace corvex {

constexpr wchar_t kDetectionOnly[] = L"DETECTION_ONLY";

// The basis Windows applies compressed manifests (DCM) to: a fixed
// manifest text of this length and SHA-256 digest. It is taken only when
// both match; without it DCM files are reported and not expanded.
constexpr size_t kManifestBasisSize = 9066;
constexpr char kManifestBasisSha256[] = "0ad8f100f1c56f4a1aad990defade9191f7d5be929b930a04160ebbf99cd6b46";

// Where that basis comes from: the bytes themselves when given, else the
// file at `path` (read only when a DCM file is met), else nowhere.
struct ManifestBasisSource {
  std::optional<std::string> bytes;
  std::wstring path;
};

std::wstring RunDeltaExpander(platform::Platform& os, const std::wstring& arguments,
                              const ManifestBasisSource& basis = {});

}  // namespace corvex
