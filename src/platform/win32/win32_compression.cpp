#include "platform/win32/win32_compression.h"

#include <new>
#include <string>

#include "platform/win32/win32_backend.h"

namespace corvex::win32 {

namespace {

// msdelta.h is not part of mingw-w64; its records as Microsoft documents them.
struct DeltaInput {
  union {
    LPCVOID lpcStart;
    LPVOID lpStart;
  };
  SIZE_T uSize;
  BOOL Editable;
};
struct DeltaOutput {
  LPVOID lpStart;
  SIZE_T uSize;
};
struct DeltaHash {
  DWORD HashSize;
  UCHAR HashValue[32];
};
struct DeltaHeaderInfoRecord {
  INT64 FileTypeSet;
  INT64 FileType;
  INT64 Flags;
  SIZE_T TargetSize;
  FILETIME TargetFileTime;
  ALG_ID TargetHashAlgId;
  DeltaHash TargetHash;
};
using GetDeltaInfoBFn = BOOL(WINAPI*)(DeltaInput, DeltaHeaderInfoRecord*);
using ApplyDeltaBFn = BOOL(WINAPI*)(INT64, DeltaInput, DeltaInput, DeltaOutput*);
using DeltaFreeFn = BOOL(WINAPI*)(LPVOID);

constexpr DWORD kLzmsRaw = 0x20000005;  // COMPRESS_ALGORITHM_LZMS | COMPRESS_RAW

DeltaInput Input(std::string_view bytes) {
  DeltaInput in{};
  in.lpcStart = bytes.data();
  in.uSize = bytes.size();
  in.Editable = FALSE;
  return in;
}

// The library from the system folder only: the program runs elevated from
// a download folder, where a planted DLL of the same name must never load.
HMODULE LoadSystemLibrary(const wchar_t* leaf, platform::ApiAvailability& state) {
  wchar_t folder[MAX_PATH];
  UINT n = GetSystemDirectoryW(folder, MAX_PATH);
  if (n == 0 || n >= MAX_PATH) {
    state = {platform::ApiState::kNoSystemFolder, n == 0 ? LastError().code : ERROR_INSUFFICIENT_BUFFER};
    return nullptr;
  }
  std::wstring path = std::wstring(folder, n) + L"\\" + leaf;
  HMODULE module = LoadLibraryExW(path.c_str(), nullptr, LOAD_WITH_ALTERED_SEARCH_PATH);
  if (!module) state = {platform::ApiState::kLibraryMissing, LastError().code};
  return module;
}

template <class Fn>
Fn Entry(HMODULE module, const char* name) {
  return reinterpret_cast<Fn>(reinterpret_cast<void*>(GetProcAddress(module, name)));
}

class CabinetLzms : public platform::LzmsDecompressor {
 public:
  CabinetLzms(HANDLE handle, Win32Compression::DecompressFn decompress, Win32Compression::CloseDecompressorFn close)
      : handle_(handle), decompress_(decompress), close_(close) {}
  ~CabinetLzms() override {
    DWORD saved = GetLastError();
    close_(handle_);
    SetLastError(saved);
  }
  CabinetLzms(const CabinetLzms&) = delete;
  CabinetLzms& operator=(const CabinetLzms&) = delete;

  platform::Result<size_t> Decompress(std::string_view compressed, char* out, size_t outSize) override {
    SIZE_T produced = 0;
    if (!decompress_(handle_, compressed.data(), compressed.size(), out, outSize, &produced)) return LastError();
    return static_cast<size_t>(produced);
  }

 private:
  HANDLE handle_;
  Win32Compression::DecompressFn decompress_;
  Win32Compression::CloseDecompressorFn close_;
};

}  // namespace

Win32Compression::Win32Compression() {
  cabinet_ = LoadSystemLibrary(L"cabinet.dll", lzms_);
  if (cabinet_) {
    createDecompressor_ = Entry<CreateDecompressorFn>(cabinet_, "CreateDecompressor");
    decompress_ = Entry<DecompressFn>(cabinet_, "Decompress");
    closeDecompressor_ = Entry<CloseDecompressorFn>(cabinet_, "CloseDecompressor");
    if (!createDecompressor_ || !decompress_ || !closeDecompressor_)
      lzms_ = {platform::ApiState::kEntryPointsMissing, ERROR_PROC_NOT_FOUND};
  }
  msdelta_ = LoadSystemLibrary(L"msdelta.dll", delta_);
  if (msdelta_) {
    getDeltaInfoB_ = GetProcAddress(msdelta_, "GetDeltaInfoB");
    applyDeltaB_ = GetProcAddress(msdelta_, "ApplyDeltaB");
    deltaFree_ = GetProcAddress(msdelta_, "DeltaFree");
    if (!getDeltaInfoB_ || !applyDeltaB_ || !deltaFree_)
      delta_ = {platform::ApiState::kEntryPointsMissing, ERROR_PROC_NOT_FOUND};
  }
}

Win32Compression::~Win32Compression() {
  if (cabinet_) FreeLibrary(cabinet_);
  if (msdelta_) FreeLibrary(msdelta_);
}

platform::Result<std::unique_ptr<platform::LzmsDecompressor>> Win32Compression::CreateLzmsDecompressor() {
  if (!lzms_.available()) return Error{lzms_.code ? lzms_.code : static_cast<uint32_t>(ERROR_PROC_NOT_FOUND)};
  HANDLE handle = nullptr;
  if (!createDecompressor_(kLzmsRaw, nullptr, &handle)) return LastError();
  return std::unique_ptr<platform::LzmsDecompressor>(new CabinetLzms(handle, decompress_, closeDecompressor_));
}

platform::Result<platform::DeltaHeaderInfo> Win32Compression::GetDeltaInfo(std::string_view delta) {
  if (!delta_.available()) return Error{delta_.code ? delta_.code : static_cast<uint32_t>(ERROR_PROC_NOT_FOUND)};
  DeltaHeaderInfoRecord record{};
  auto call = reinterpret_cast<GetDeltaInfoBFn>(reinterpret_cast<void*>(getDeltaInfoB_));
  if (!call(Input(delta), &record)) return LastError();
  platform::DeltaHeaderInfo info;
  info.fileTypeSet = record.FileTypeSet;
  info.fileType = record.FileType;
  info.flags = record.Flags;
  info.targetSize = record.TargetSize;
  info.targetFileTime =
      (static_cast<uint64_t>(record.TargetFileTime.dwHighDateTime) << 32) | record.TargetFileTime.dwLowDateTime;
  info.targetHashAlgId = record.TargetHashAlgId;
  info.targetHashSize = record.TargetHash.HashSize;
  for (size_t i = 0; i < info.targetHash.size(); ++i) info.targetHash[i] = record.TargetHash.HashValue[i];
  return info;
}

platform::Result<std::string> Win32Compression::ApplyDelta(std::string_view basis, std::string_view delta) {
  if (!delta_.available()) return Error{delta_.code ? delta_.code : static_cast<uint32_t>(ERROR_PROC_NOT_FOUND)};
  auto apply = reinterpret_cast<ApplyDeltaBFn>(reinterpret_cast<void*>(applyDeltaB_));
  auto release = reinterpret_cast<DeltaFreeFn>(reinterpret_cast<void*>(deltaFree_));
  DeltaOutput target{};
  if (!apply(0, Input(basis), Input(delta), &target)) return LastError();
  platform::Result<std::string> out = Error{ERROR_NOT_ENOUGH_MEMORY};
  try {
    out = std::string(static_cast<const char*>(target.lpStart), target.uSize);
  } catch (const std::bad_alloc&) {
  }
  release(target.lpStart);
  return out;
}

}  // namespace corvex::win32
