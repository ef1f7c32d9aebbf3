// The answer of FSCTL_ENUM_USN_DATA read as bytes: the file reference to
// start the next call at (8 bytes), then USN_RECORD_V2 records, each
// starting on an 8-byte boundary. Kept apart from the backend so that a
// damaged volume's answer is tested and fuzzed on any machine.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "base/text.h"
#include "platform/security.h"

namespace corvex::platform::usn {

// USN_RECORD_V2: RecordLength (u32) at 0, MajorVersion (u16) at 4,
// FileReferenceNumber (u64) at 8, FileAttributes (u32) at 52,
// FileNameLength and FileNameOffset (u16, in bytes) at 56 and 58, and the
// name itself from 60.
constexpr size_t kNameStart = 60;

struct Batch {
  uint64_t next = 0;
  std::vector<VolumeRecord> records;
};

template <class T>
T Read(const unsigned char* at) {
  T v;
  std::memcpy(&v, at, sizeof v);
  return v;
}

// False when the batch cannot be read safely: shorter than its start
// reference, or a record too short, unaligned or running past the end (its
// length could not be trusted to find the next one). A record of another
// version, or whose name lies outside it, is skipped.
inline bool ParseBatch(const unsigned char* data, size_t size, Batch& out) {
  out = Batch{};
  if (size < sizeof(uint64_t)) return false;
  out.next = Read<uint64_t>(data);
  size_t offset = sizeof(uint64_t);
  while (offset < size) {
    if (size - offset < kNameStart) return false;
    const unsigned char* record = data + offset;
    const uint32_t length = Read<uint32_t>(record);
    if (length < kNameStart || length % 8 != 0 || length > size - offset) return false;
    const uint16_t nameLength = Read<uint16_t>(record + 56);
    const uint16_t nameOffset = Read<uint16_t>(record + 58);
    if (Read<uint16_t>(record + 4) == 2 && nameOffset >= kNameStart && nameLength % 2 == 0 &&
        size_t{nameOffset} + nameLength <= length) {
      VolumeRecord r;
      r.fileId = Read<uint64_t>(record + 8);
      r.attributes = Read<uint32_t>(record + 52);
      r.name = FromUtf16Le(std::string(reinterpret_cast<const char*>(record + nameOffset), nameLength));
      out.records.push_back(std::move(r));
    }
    offset += length;
  }
  return true;
}

}  // namespace corvex::platform::usn
