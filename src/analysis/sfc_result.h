// The fields of an SFC result line ("Cannot repair member file ..."), in
// the form of Windows Vista to 8.1 and in that of Windows 10 and 11:
//   [l:36{18}]"Amd64\CNBJ2530.DPB" of prncacla.inf, Version = 6.2.9200.16430,
//     pA = PROCESSOR_ARCHITECTURE_AMD64 (9), Culture neutral, ...,
//     PublicKeyToken = {l:8 b:31bf3856ad364e35}, ... in the store, hash mismatch
//   [l:12]'edgehtml.dll' of Microsoft-Windows-IE-HTMLRendering,
//     version 11.0.19041.2728, arch amd64, nonSxS, pkt {l:8 b:31bf3856ad364e35}
//     in the store, hash mismatch
#pragma once

#include <string>

namespace corvex {

struct SfcResultFields {
  std::wstring file;          // as SFC names it, sub-folders included
  std::wstring component;
  std::wstring version;
  std::wstring architecture;  // as store names write it: amd64, x86, wow64, ...
  std::wstring culture;       // "neutral" when the line names none
  std::wstring publicKeyToken;
  std::wstring reason;        // "hash mismatch", "file is missing", ...
};

// False when a part the lookup needs is missing; `missing` then names it.
bool ParseSfcResult(const std::wstring& text, SfcResultFields& fields, std::wstring& missing);

// "PROCESSOR_ARCHITECTURE_AMD64 (9)" -> "amd64"; the host form and
// "Host= amd64 Guest= x86" -> "wow64"; a short name stays as it is.
std::wstring StoreArchitecture(const std::wstring& reported);

}  // namespace corvex
