#include "analysis/delta_expander.h"

#include <algorithm>
#include <cstdint>
#include <memory>
#include <new>
#include <vector>

#include "analysis/delta_container.h"
#include "base/command_line.h"
#include "base/path.h"
#include "base/text.h"
#include "core/session_log.h"

namespace corvex {

namespace {

using platform::ApiState;
namespace err = platform::err;

// Arguments longer than this are refused, never cut: a cut path would name
// another file.
constexpr size_t kMaxArgumentPath = 1000;
// The most a "\\?\" path can hold.
constexpr size_t kMaxLongPath = 32767 - 4;
// A basis file is read whole; one this large is no store file.
constexpr uint64_t kMaxBasisSize = uint64_t(1) << 31;

const wchar_t kUsage[] =
    L"Expand compressed files from WinSxS folder.\n"
    L"\n"
    L"Usage:\n"
    L"  ZODADO <source file> <destination file>\n"
    L"  ZODADO <source directory> <destination directory>\n"
    L"  ZODADO /d <source file> <source delta file> <destination file>\n"
    L"\n"
    L"A destination of DETECTION_ONLY analyses and reports without writing anything.\n";

std::wstring Code(uint32_t code) { return ErrorCodeName(code); }

std::wstring LowerHex(const std::vector<uint8_t>& bytes) {
  static const wchar_t digits[] = L"0123456789abcdef";
  std::wstring out;
  for (uint8_t b : bytes) {
    out += digits[b >> 4];
    out += digits[b & 15];
  }
  return out;
}

std::wstring WithSlash(std::wstring path) {
  if (path.empty() || path.back() != L'\\') path += L'\\';
  return path;
}

// Everything one call owns: its report, the libraries' answers, the
// manifest basis once judged.
class Expander {
 public:
  Expander(platform::Platform& os, const ManifestBasisSource& basis) : os_(os), basisSource_(basis) {}

  std::wstring Run(const std::wstring& arguments);

 private:
  enum class BasisState { kUnread, kVerified, kNotGiven, kUnreadable, kUnverifiable, kWrong };

  void Write(const std::wstring& text) { report_ += text; }
  void DeltaForm(const std::vector<std::wstring>& args);
  void Walk(const std::wstring& sourceFolder, const std::wstring& destinationFolder);
  bool ExpandFile(const std::wstring& source, const std::wstring& destination, const std::string* dcdBasis);
  bool ExpandBytes(const std::string& file, const std::wstring& destination, const std::string* dcdBasis);
  std::optional<std::string> Expand(const std::string& file, const std::string* dcdBasis);
  std::optional<std::string> ExpandDelta(std::string_view stream, std::string_view basis, bool manifest);
  std::optional<std::string> ExpandBlocks(const std::string& file);
  bool ManifestBasis();
  std::optional<std::string> ReadBasisFile(const std::wstring& path);
  platform::Status WriteOutput(const std::wstring& destination, const std::string& bytes);

  platform::Platform& os_;
  const ManifestBasisSource& basisSource_;
  std::wstring report_;
  bool detectionOnly_ = false;
  platform::ApiAvailability lzms_;
  platform::ApiAvailability delta_;
  std::unique_ptr<platform::LzmsDecompressor> decompressor_;
  BasisState basisState_ = BasisState::kUnread;
  uint32_t basisCode_ = 0;
  std::string basis_;
};

std::wstring Expander::Run(const std::wstring& arguments) {
  const std::vector<std::wstring> args = SplitCommandLine(arguments);
  if (args.empty() || args[0] == L"/?") {
    Write(kUsage);
    return report_;
  }
  lzms_ = os_.compression.Lzms();
  delta_ = os_.compression.Delta();
  if (IEquals(args[0], L"/d")) {
    DeltaForm(args);
    return report_;
  }

  const std::wstring& source = args[0];
  if (source.size() > kMaxArgumentPath) {
    Write(L"ZODADO: Source Path is longer than " + Decimal(kMaxArgumentPath) + L" characters\n");
    return report_;
  }
  auto sourceAttributes = os_.fs.GetAttributes(AddLongPathPrefix(source));
  if (!sourceAttributes) {
    Write(L"ZODADO: Source Path not found\n");
    return report_;
  }
  if (args.size() < 2) {
    Write(L"ZODADO: Destination Path not specified\n");
    return report_;
  }
  const std::wstring& destination = args[1];
  if (destination.size() > kMaxArgumentPath) {
    Write(L"ZODADO: Destination Path is longer than " + Decimal(kMaxArgumentPath) + L" characters\n");
    return report_;
  }
  detectionOnly_ = destination == kDetectionOnly;
  Write(L"Processing target path\t" + source + L"\n");
  if (lzms_.state == ApiState::kNoSystemFolder) Write(L"ZODADO: Could not query Windows directory\n");
  if (lzms_.state == ApiState::kLibraryMissing) Write(L"ZODADO: Error loading Cabinet.dll\n");

  if (*sourceAttributes & platform::attr::kDirectory) {
    if (detectionOnly_) {
      Walk(WithSlash(source), std::wstring());
      return report_;
    }
    auto destinationAttributes = os_.fs.GetAttributes(AddLongPathPrefix(destination));
    if (!destinationAttributes || !(*destinationAttributes & platform::attr::kDirectory)) {
      Write(L"ZODADO: invalid paths specified\n");
      return report_;
    }
    // Written into the tree being walked, the output would be walked in turn.
    const std::wstring from = ToLower(StripLongPathPrefix(WithSlash(source)));
    const std::wstring to = ToLower(StripLongPathPrefix(WithSlash(destination)));
    if (to.size() > from.size() && StartsWith(to, from)) {
      Write(L"ZODADO: the destination directory lies inside the source directory\n");
      return report_;
    }
    Walk(WithSlash(source), WithSlash(destination));
    return report_;
  }
  ExpandFile(source, destination, nullptr);
  return report_;
}

void Expander::DeltaForm(const std::vector<std::wstring>& args) {
  const struct {
    const wchar_t* name;
    const wchar_t* missing;
    bool mustExist;
  } roles[] = {{L"Source Path", L"ZODADO: Source Path not found\n", true},
               {L"Source Delta Path", L"ZODADO: Source Delta Path not found\n", true},
               {L"Destination Path", L"ZODADO: Destination Path not specified\n", false}};
  for (size_t i = 0; i < 3; ++i) {
    if (args.size() < i + 2) {
      Write(roles[i].missing);
      return;
    }
    const std::wstring& path = args[i + 1];
    if (path.size() > kMaxArgumentPath) {
      Write(L"ZODADO: " + std::wstring(roles[i].name) + L" is longer than " + Decimal(kMaxArgumentPath) +
            L" characters\n");
      return;
    }
    if (roles[i].mustExist && !os_.fs.GetAttributes(AddLongPathPrefix(path))) {
      Write(roles[i].missing);
      return;
    }
  }
  detectionOnly_ = args[3] == kDetectionOnly;
  std::optional<std::string> basis = ReadBasisFile(args[1]);
  if (!basis) return;
  ExpandFile(args[2], args[3], &*basis);
}

std::optional<std::string> Expander::ReadBasisFile(const std::wstring& path) {
  auto file = os_.fs.Open(AddLongPathPrefix(path), platform::access::kRead, platform::share::kRead,
                          platform::Disposition::kOpenExisting);
  if (!file) {
    Write(L"Error openning source file: " + Code(file.code()) + L"\n");
    return std::nullopt;
  }
  auto size = (*file)->Size();
  if (!size) {
    Write(L"Error query source file size: " + Code(size.code()) + L"\n");
    return std::nullopt;
  }
  if (*size == 0 || *size > kMaxBasisSize) {
    Write(L"Invalid file size.\n");
    return std::nullopt;
  }
  try {
    auto bytes = (*file)->ReadAt(0, static_cast<size_t>(*size));
    if (!bytes) {
      Write(L"Error reading source file: " + Code(bytes.code()) + L"\n");
      return std::nullopt;
    }
    return std::move(*bytes);
  } catch (const std::bad_alloc&) {
    Write(L"Cannot allocate memory for this operation: " + Code(err::kNotEnoughMemory) + L"\n");
    return std::nullopt;
  }
}

// Depth first, each folder's entries in the order they are listed. The
// walk keeps its own stack: a deep tree must not exhaust a worker
// thread's. Reparse points are not followed, so it cannot loop or leave the
// tree. An empty destination is detection: nothing is created.
void Expander::Walk(const std::wstring& sourceFolder, const std::wstring& destinationFolder) {
  struct Frame {
    std::wstring source, destination;
    std::vector<platform::FindEntry> entries;
    size_t next = 0;
  };
  std::vector<Frame> stack;
  auto enter = [&](const std::wstring& source, const std::wstring& destination) {
    auto found = os_.fs.Find(AddLongPathPrefix(source + L"*.*"));
    if (!found) {
      Write(L"ZODADO: unable to list directory " + source + L": " + Code(found.code()) + L"\n");
      return;
    }
    stack.push_back({source, destination, std::move(*found), 0});
  };
  enter(sourceFolder, destinationFolder);
  while (!stack.empty()) {
    Frame& top = stack.back();
    if (top.next == top.entries.size()) {
      stack.pop_back();
      continue;
    }
    const platform::FindEntry entry = top.entries[top.next++];
    if (entry.name == L"." || entry.name == L"..") continue;
    const std::wstring source = top.source + entry.name;
    const std::wstring destination = detectionOnly_ ? std::wstring() : top.destination + entry.name;
    if (source.size() > kMaxLongPath || destination.size() > kMaxLongPath) {
      Write(L"ZODADO: path too long, skipped " + source + L"\n");
      continue;
    }
    if (entry.attributes & platform::attr::kDirectory) {
      if (entry.attributes & platform::attr::kReparsePoint) {
        Write(L"ZODADO: not following the reparse point " + source + L"\n");
        continue;
      }
      if (!detectionOnly_) {
        platform::Status made = os_.fs.CreateFolder(AddLongPathPrefix(destination));
        if (!made && made.code() != err::kAlreadyExists) {
          Write(L"ZODADO: unable to create directory " + destination + L"\n");
          continue;
        }
      }
      const std::wstring sourceChild = source + L"\\";
      const std::wstring destinationChild = detectionOnly_ ? std::wstring() : destination + L"\\";
      enter(sourceChild, destinationChild);  // may grow the stack: `top` is not used after this
      continue;
    }
    ExpandFile(source, detectionOnly_ ? std::wstring(kDetectionOnly) : destination, nullptr);
  }
}

bool Expander::ExpandFile(const std::wstring& source, const std::wstring& destination,
                          const std::string* dcdBasis) {
  Write(source + L" => " + destination + L"\n");
  auto file = os_.fs.Open(AddLongPathPrefix(source), platform::access::kRead, platform::share::kRead,
                          platform::Disposition::kOpenExisting);
  if (!file) {
    Write(L"Error opening source file: " + Code(file.code()) + L"\n");
    return false;
  }
  auto size = (*file)->Size();
  if (!size) {
    Write(L"Error query file size: " + Code(size.code()) + L"\n");
    return false;
  }
  Write(L"File size\t\t" + Decimal(*size) + L" bytes");
  if (*size < 8) {
    Write(L"\r\nFile size is too small.\r\n");
    return false;
  }
  try {
    auto bytes = (*file)->ReadAt(0, static_cast<size_t>(std::min<uint64_t>(*size, SIZE_MAX)));
    file->reset();
    if (!bytes) {
      Write(L"\r\nFile mapping error: " + Code(bytes.code()) + L"\r\n");
      return false;
    }
    if (bytes->size() != *size) {
      // The file changed under us; what was read is not the file.
      Write(L"\r\nMap view of file error: " + Code(err::kInvalidHandle) + L"\r\n");
      return false;
    }
    return ExpandBytes(*bytes, destination, dcdBasis);
  } catch (const std::bad_alloc&) {
    Write(L"\r\nError, memory allocation failed: " + Code(err::kNotEnoughMemory) + L"\r\n");
    return false;
  }
}

bool Expander::ExpandBytes(const std::string& file, const std::wstring& destination, const std::string* dcdBasis) {
  std::optional<std::string> output = Expand(file, dcdBasis);
  if (!output) return false;
  if (detectionOnly_) return true;
  platform::Status written = WriteOutput(AddLongPathPrefix(destination), *output);
  if (!written) {
    Write(L"\r\nError, write file: " + Code(written.code()) + L"\r\n");
    return false;
  }
  Write(L"\r\nOperation Successful\n");
  return true;
}

std::optional<std::string> Expander::Expand(const std::string& file, const std::string* dcdBasis) {
  switch (ClassifyContainer(file)) {
    case ContainerKind::kDcn:
      Write(L"\r\nDCN_HEADER found, querying delta info.\r\n");
      return ExpandDelta(std::string_view(file).substr(4), std::string_view(), false);
    case ContainerKind::kDcm:
      Write(L"\r\nDCM_HEADER found, querying delta info.\r\n");
      return ExpandDelta(std::string_view(file).substr(4), std::string_view(), true);
    case ContainerKind::kDcd:
      if (!dcdBasis) {
        Write(L"\r\nDCD_HEADER found: a delta against a basis file, expanded only with /d and that file.\r\n");
        return std::nullopt;
      }
      if (file.size() < 12) {
        Write(L"\r\nError, the DCD header is incomplete.\r\n");
        return std::nullopt;
      }
      Write(L"\r\nDCD_HEADER found, querying delta info.\r\n");
      return ExpandDelta(std::string_view(file).substr(12), *dcdBasis, false);
    case ContainerKind::kDcs:
      return ExpandBlocks(file);
    case ContainerKind::kDch:
      Write(L"\r\nFileType: DCH1 \r\nThis format is not supported by this tool.\r\n");
      return std::nullopt;
    case ContainerKind::kDcx:
      Write(L"\r\nFileType: DCX1 \r\nThis format is not supported by this tool.\r\n");
      return std::nullopt;
    case ContainerKind::kMz:
      Write(L"\r\nFileType: MZ, file will be copied\r\n");
      return file;
    case ContainerKind::kUnknown:
      break;
  }
  Write(L"\r\nFile format is unknown.\r\n");
  return std::nullopt;
}

// DCN, DCM and DCD. A DCM stream goes against the manifest basis, the
// others against `basis` (empty for DCN).
std::optional<std::string> Expander::ExpandDelta(std::string_view stream, std::string_view basis, bool manifest) {
  if (!delta_.available()) {
    Write(L"\r\nRequired msdelta API are missing, cannot expand this file.\r\n");
    return std::nullopt;
  }
  auto info = os_.compression.GetDeltaInfo(stream);
  if (!info) {
    Write(L"Error query delta info. " + Code(info.code()) + L"\r\n");
    return std::nullopt;
  }
  Write(FormatDeltaHeaderInfo(*info));
  if (manifest) {
    if (!ManifestBasis()) return std::nullopt;
    basis = basis_;
  }
  auto target = os_.compression.ApplyDelta(basis, stream);
  if (!target) {
    Write(L"\r\nError, applying the delta failed: " + Code(target.code()) + L"\r\n");
    return std::nullopt;
  }
  return std::move(*target);
}

// Judged once per call, and only when a DCM file needs it.
bool Expander::ManifestBasis() {
  if (basisState_ == BasisState::kUnread) {
    std::string candidate;
    if (basisSource_.bytes) {
      candidate = *basisSource_.bytes;
    } else if (!basisSource_.path.empty()) {
      auto read = os_.fs.ReadFile(AddLongPathPrefix(basisSource_.path));
      if (read) candidate = std::move(*read);
      else basisCode_ = read.code();
    }
    if (!basisSource_.bytes && basisSource_.path.empty()) {
      basisState_ = BasisState::kNotGiven;
    } else if (basisCode_) {
      basisState_ = BasisState::kUnreadable;
    } else if (candidate.size() != kManifestBasisSize) {
      basisState_ = BasisState::kWrong;
    } else if (auto digest = os_.hasher.Sha256Bytes(candidate); !digest) {
      basisState_ = BasisState::kUnverifiable;
      basisCode_ = digest.code();
    } else if (LowerHex(*digest) != FromLatin1(kManifestBasisSha256)) {
      basisState_ = BasisState::kWrong;
    } else {
      basisState_ = BasisState::kVerified;
      basis_ = std::move(candidate);
    }
  }
  const std::wstring cannot = L", this compressed manifest cannot be expanded.\r\n";
  switch (basisState_) {
    case BasisState::kVerified:
      return true;
    case BasisState::kNotGiven:
      Write(L"\r\nThe manifest basis is not at hand" + cannot);
      break;
    case BasisState::kUnreadable:
      Write(L"\r\nThe manifest basis " + basisSource_.path + L" cannot be read (" + Code(basisCode_) + L")" + cannot);
      break;
    case BasisState::kUnverifiable:
      Write(L"\r\nThe manifest basis cannot be verified (" + Code(basisCode_) + L")" + cannot);
      break;
    case BasisState::kWrong:
    case BasisState::kUnread:
      Write(L"\r\nThe manifest basis given is not the known one (length and SHA-256 digest differ)" + cannot);
      break;
  }
  return false;
}

std::optional<std::string> Expander::ExpandBlocks(const std::string& file) {
  if (!lzms_.available()) {
    Write(L"\r\nRequired Cabinet API are missing, cannot decompress this file.");
    return std::nullopt;
  }
  const DcsLayout layout = ReadDcsLayout(file);
  if (layout.fault == DcsFault::kHeaderTooShort) {
    Write(L"\r\nError, the DCS header is incomplete.\r\n");
    return std::nullopt;
  }
  Write(L"\r\nDCS_HEADER found.\r\n");
  Write(L" NumberOfBlocks\t\t" + Decimal(layout.numberOfBlocks) + L"\r\n");
  Write(L" UncompressedFileSize\t" + Decimal(layout.uncompressedFileSize) + L"\r\n");
  if (layout.fault == DcsFault::kZeroSize) {
    Write(L"\r\nError, UncompressedFileSize is 0");
    return std::nullopt;
  }
  if (layout.fault == DcsFault::kZeroBlocks) {
    Write(L"\r\nError, NumberOfBlocks is 0");
    return std::nullopt;
  }

  // Nothing is decoded from a file whose layout is wrong anywhere; its
  // blocks are listed up to the one at fault.
  const bool sound = layout.fault == DcsFault::kNone;
  std::string output;
  if (sound) {
    if (!decompressor_) {
      auto made = os_.compression.CreateLzmsDecompressor();
      if (!made) {
        Write(L"\r\nError, while creating decompressor: " + Code(made.code()) + L"\r\n");
        return std::nullopt;
      }
      decompressor_ = std::move(*made);
    }
    try {
      output.resize(layout.uncompressedFileSize);
    } catch (const std::bad_alloc&) {
      Write(L"\r\nError, memory allocation failed: " + Code(err::kNotEnoughMemory) + L"\r\n");
      return std::nullopt;
    }
  }
  for (size_t i = 0; i < layout.blocks.size(); ++i) {
    const DcsBlock& b = layout.blocks[i];
    Write(L"\r\nDCS_BLOCK #" + Decimal(i + 1) + L"\r\n");
    Write(L" Block->CompressedBlockSize\t" + Decimal(b.compressedBlockSize) + L"\r\n");
    Write(L" Block->DecompressedBlockSize\t" + Decimal(b.decompressedBlockSize) + L"\r\n");
    if (!sound || b.decompressedBlockSize == 0) continue;
    auto produced = decompressor_->Decompress(std::string_view(file).substr(b.dataOffset, b.dataSize()),
                                              &output[b.outputOffset], b.decompressedBlockSize);
    if (!produced) {
      Write(L"\r\nError, decompression failure: " + Code(produced.code()) + L"\r\n");
      return std::nullopt;
    }
    if (*produced != b.decompressedBlockSize) {
      Write(L"\r\nError, the block decompressed to " + Decimal(*produced) + L" bytes instead of " +
            Decimal(b.decompressedBlockSize) + L".\r\n");
      return std::nullopt;
    }
  }
  switch (layout.fault) {
    case DcsFault::kNone:
      return output;
    case DcsFault::kBlockHeaderPastEnd:
    case DcsFault::kBlockPastEnd:
      Write(L"\r\nError, compressed data size is bigger than file size.\r\n");
      break;
    case DcsFault::kBlockTooSmall:
      Write(L"\r\nError, the block is smaller than its own size field.\r\n");
      break;
    case DcsFault::kOverTotal:
      Write(L"\r\nError, uncompressed data size is bigger than known uncompressed file size.\r\n");
      break;
    case DcsFault::kUnderTotal:
      Write(L"\r\nError, uncompressed data size is smaller than known uncompressed file size.\r\n");
      break;
    case DcsFault::kHeaderTooShort:
    case DcsFault::kZeroSize:
    case DcsFault::kZeroBlocks:
      break;
  }
  return std::nullopt;
}

// The bytes go to a new file beside the destination, reach the disk, and
// only then replace it: a failure at any step leaves the destination as it
// was (absent, or the file that was there) and no temporary file.
platform::Status Expander::WriteOutput(const std::wstring& destination, const std::string& bytes) {
  std::wstring temporary;
  std::unique_ptr<platform::File> file;
  for (int n = 0;; ++n) {
    temporary = destination + L".expanding" + (n ? Decimal(n) : std::wstring());
    auto opened = os_.fs.Open(temporary, platform::access::kWrite, platform::share::kNone,
                              platform::Disposition::kCreateNew);
    if (opened) {
      file = std::move(*opened);
      break;
    }
    // Another file of that name is never overwritten: the next name is tried.
    if (opened.code() != err::kFileExists || n == 99) return opened.status();
  }
  platform::Status st;
  try {
    st = file->Append(bytes);
  } catch (const std::bad_alloc&) {
    st = platform::Error{err::kNotEnoughMemory};
  }
  if (st) st = file->Flush();
  file.reset();
  if (st) st = os_.fs.MoveFile(temporary, destination, true);
  if (!st) os_.fs.DeleteFile(temporary);
  return st;
}

}  // namespace

std::wstring RunDeltaExpander(platform::Platform& os, const std::wstring& arguments,
                              const ManifestBasisSource& basis) {
  Expander expander(os, basis);
  return expander.Run(arguments);
}

}  // namespace corvex
