// The collection server's side of Collect:: and the crash report: the
// collection ID, the multipart upload in 4 MiB parts and the finalisation.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "core/session.h"
#include "online/collect.h"

namespace corvex {

constexpr uint64_t kUploadPartSize = 0x400000;

// A part of the file: its start, its length and the number the server gets
// for it (the start / 4 MiB, or -1 for the last part).
struct UploadPart {
  uint64_t offset = 0;
  uint64_t size = 0;
  int64_t number = 0;
};
std::vector<UploadPart> UploadParts(uint64_t fileSize);

// What comes before and after a part's bytes in the request body.
std::string MultipartHead(const std::wstring& fileName);
std::string MultipartTail();
extern const wchar_t kMultipartContentType[];  // the request's header line

// UTF-8 bytes with everything but letters, digits and "-_.~" as "%XX".
std::wstring PercentEncode(const std::wstring& text);

// The ID, or "ABORTED" (the user is helped nowhere) or "Failed".
std::wstring GetCollectionId(Session& s, Submission kind);

// Asks the server to finalise the upload; false when it says "Failed" or
// cannot be asked.
bool Finalize(Session& s, const std::wstring& id, bool privately, const std::wstring& extension);

// "Failed" (or an unreadable reply) from the finalize page.
bool IsFinalizeFailure(const std::string& reply);
// "invalid": the server does not know the ID.
bool IsUnknownIdReply(const std::string& reply);

}  // namespace corvex
