#include "online/collection_id.h"

#include <algorithm>

#include "base/text.h"

namespace corvex {

namespace {

constexpr size_t kTail = 8;
constexpr size_t kBlock = 1u << 20;
constexpr uint32_t kInvalidData = 13;  // ERROR_INVALID_DATA

bool AllDigits(const std::string& bytes) {
  if (bytes.empty()) return false;
  for (char c : bytes)
    if (c < '0' || c > '9') return false;
  return true;
}

std::string WithoutLeadingZeros(const std::string& digits) {
  size_t first = digits.find_first_not_of('0');
  return first == std::string::npos ? "0" : digits.substr(first);
}

// The ID as the 8 digits of the tail, or "" when it is no ID.
std::string TailDigits(const std::wstring& id) {
  std::string digits = ToLatin1(id);
  if (digits.size() > kTail || !AllDigits(digits)) return "";
  digits.insert(0, kTail - digits.size(), '0');
  return digits;
}

// The last 8 bytes when they are digits, else an error.
platform::Result<std::string> ReadTail(platform::File& file, uint64_t* size) {
  auto length = file.Size();
  if (!length.ok()) return platform::Error{length.code()};
  *size = *length;
  if (*length < kTail) return platform::Error{kInvalidData};
  auto tail = file.ReadAt(*length - kTail, kTail);
  if (!tail.ok()) return tail;
  if (tail->size() != kTail) return platform::Error{kInvalidData};
  return tail;
}

}  // namespace

std::wstring ReadCollectionId(platform::FileSystem& fs, const std::wstring& path) {
  auto file = fs.Open(path, platform::access::kRead, platform::share::kRead | platform::share::kWrite,
                      platform::Disposition::kOpenExisting);
  if (!file.ok()) return L"";
  uint64_t size = 0;
  auto tail = ReadTail(**file, &size);
  if (!tail.ok()) return tail.code() == kInvalidData && size >= kTail ? L"0" : L"";
  // Anything but 8 digits is no ID: a program without the tail ends in its
  // own bytes, which a number conversion would read as garbage or 0.
  if (!AllDigits(*tail)) return L"0";
  return FromLatin1(WithoutLeadingZeros(*tail));
}

bool HasCollectionId(const std::wstring& id) { return !id.empty() && id != L"0"; }

bool CarriesCollectionId(platform::File& file, const std::wstring& id) {
  const std::string digits = TailDigits(id);
  uint64_t size = 0;
  auto tail = ReadTail(file, &size);
  return !digits.empty() && tail.ok() && *tail == digits;
}

std::wstring ParseCollectionId(const std::string& reply) {
  size_t first = reply.find_first_not_of(" \t\r\n");
  if (first == std::string::npos) return L"";
  size_t last = reply.find_last_not_of(" \t\r\n");
  std::string digits = reply.substr(first, last - first + 1);
  if (digits.size() > kTail || !AllDigits(digits)) return L"";
  std::string id = WithoutLeadingZeros(digits);
  return id == "0" ? L"" : FromLatin1(id);
}

platform::Status CopyWithCollectionId(platform::FileSystem& fs, const std::wstring& from, const std::wstring& to,
                                      const std::wstring& id) {
  const std::string digits = TailDigits(id);
  if (digits.empty()) return platform::Error{kInvalidData};

  auto source = fs.Open(from, platform::access::kRead, platform::share::kRead, platform::Disposition::kOpenExisting);
  if (!source.ok()) return platform::Error{source.code()};
  uint64_t size = 0;
  auto tail = ReadTail(**source, &size);
  if (!tail.ok()) return platform::Error{tail.code()};
  if (!AllDigits(*tail)) return platform::Error{kInvalidData};

  auto target = fs.Open(to, platform::access::kWrite, platform::share::kNone, platform::Disposition::kCreateAlways);
  if (!target.ok()) return platform::Error{target.code()};
  const uint64_t body = size - kTail;
  for (uint64_t done = 0; done < body;) {
    size_t want = static_cast<size_t>(std::min<uint64_t>(kBlock, body - done));
    auto block = (*source)->ReadAt(done, want);
    if (!block.ok()) return platform::Error{block.code()};
    if (block->size() != want) return platform::Error{kInvalidData};  // shrank under us
    auto wrote = (*target)->Append(*block);
    if (!wrote.ok()) return wrote;
    done += want;
  }
  auto wrote = (*target)->Append(digits);
  if (!wrote.ok()) return wrote;
  return (*target)->Flush();
}

platform::Status StampCollectionId(platform::FileSystem& fs, const std::wstring& path, const std::wstring& id) {
  const std::wstring stamped = path + L".id";
  auto copied = CopyWithCollectionId(fs, path, stamped, id);
  if (copied.ok()) copied = fs.MoveFile(stamped, path, true);
  if (!copied.ok()) fs.DeleteFile(stamped);
  return copied;
}

}  // namespace corvex
