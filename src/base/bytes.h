// Little-endian numbers in byte buffers, as every on-disk format here
// stores them. The caller has checked the bounds.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

namespace corvex {

inline uint32_t LoadLe32(const uint8_t* p) {
  return static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 | static_cast<uint32_t>(p[2]) << 16 |
         static_cast<uint32_t>(p[3]) << 24;
}

inline uint64_t LoadLe64(const uint8_t* p) { return LoadLe32(p) | static_cast<uint64_t>(LoadLe32(p + 4)) << 32; }

inline uint32_t LoadLe32(std::string_view bytes, size_t at) {
  return LoadLe32(reinterpret_cast<const uint8_t*>(bytes.data()) + at);
}

}  // namespace corvex
