// The SHA-256 digest a component manifest records for one of its files: the
// Base64 text of the <dsig:DigestValue> inside the file's <file> element.
#pragma once

#include <string>
#include <vector>

#include "core/session.h"
#include "platform/result.h"

namespace corvex {

// Every element of a manifest's text on its own trimmed line.
std::vector<std::wstring> ManifestElementLines(const std::wstring& text);

constexpr wchar_t kUnknownDigest[] = L"UNKNOWN";

// The digest in a manifest's bytes as they are on disk, or "UNKNOWN". The
// file name is compared without regard to case and may hold a sub-folder
// ("amd64\x.dpb") as the manifest names it. Windows 8 and later keep
// manifests compressed ("DCM" or "PA30" first); their text cannot be read,
// so they give "UNKNOWN" rather than whatever their bytes seem to hold.
std::wstring ManifestDigest(const std::string& manifestBytes, const std::wstring& fileName);

// The manifest read from `manifestPath`: the Win32 code when it cannot be
// read, else ManifestDigest of its bytes.
platform::Result<std::wstring> ReadManifestDigest(Session& s, const std::wstring& manifestPath,
                                                  const std::wstring& fileName);

}  // namespace corvex
