// LZMS through cabinet.dll's compression API and deltas through msdelta.dll,
// both loaded once from the system folder (never from the program's folder
// or the current one) and kept until the platform goes.
#pragma once

#include "platform/win32/windows_api.h"

#include "platform/compression.h"

namespace corvex::win32 {

class Win32Compression : public platform::Compression {
 public:
  Win32Compression();
  ~Win32Compression() override;
  Win32Compression(const Win32Compression&) = delete;
  Win32Compression& operator=(const Win32Compression&) = delete;

  platform::ApiAvailability Lzms() override { return lzms_; }
  platform::Result<std::unique_ptr<platform::LzmsDecompressor>> CreateLzmsDecompressor() override;
  platform::ApiAvailability Delta() override { return delta_; }
  platform::Result<platform::DeltaHeaderInfo> GetDeltaInfo(std::string_view delta) override;
  platform::Result<std::string> ApplyDelta(std::string_view basis, std::string_view delta) override;

  // The entry points, as the documentation declares them.
  using CreateDecompressorFn = BOOL(WINAPI*)(DWORD, void*, HANDLE*);
  using DecompressFn = BOOL(WINAPI*)(HANDLE, const void*, SIZE_T, void*, SIZE_T, SIZE_T*);
  using CloseDecompressorFn = BOOL(WINAPI*)(HANDLE);

 private:
  HMODULE cabinet_ = nullptr;
  HMODULE msdelta_ = nullptr;
  platform::ApiAvailability lzms_;
  platform::ApiAvailability delta_;
  CreateDecompressorFn createDecompressor_ = nullptr;
  DecompressFn decompress_ = nullptr;
  CloseDecompressorFn closeDecompressor_ = nullptr;
  FARPROC getDeltaInfoB_ = nullptr;
  FARPROC applyDeltaB_ = nullptr;
  FARPROC deltaFree_ = nullptr;
};

}  // namespace corvex::win32
