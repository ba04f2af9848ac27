// The fields of the release's binary documents are little-endian whatever the processor, and are
// read and written a byte at a time so that no field needs to be aligned.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace little_endian {

// The size bytes at bytes (at most 8) as a number.
inline std::uint64_t Read(const char* bytes, std::size_t size) {
  std::uint64_t value = 0;
  for (std::size_t i = size; i-- > 0;) value = value << 8 | static_cast<std::uint8_t>(bytes[i]);
  return value;
}

// Appends the low size bytes of value.
inline void Append(std::string& out, std::uint64_t value, std::size_t size) {
  for (std::size_t i = 0; i < size; ++i, value >>= 8) out += static_cast<char>(value & 0xff);
}

}  // namespace little_endian
