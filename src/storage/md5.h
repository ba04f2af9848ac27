// MD5 digests (RFC 1321). MD5Context digests data that arrives in pieces; MD5 digests one block of
// memory. Both give the same 16 bytes for the same data.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>

using MD5Bytes = std::array<std::uint8_t, 16>;

class MD5Context {
 public:
  MD5Context() { Reset(); }
  void Reset();
  void Update(const void* data, std::size_t length);
  // The digest of everything given since the last Reset; the context is reset afterwards.
  MD5Bytes Final();

  // 32 lower-case hexadecimal digits.
  static std::string ToText(const MD5Bytes& digest);

 private:
  void Transform(const std::uint8_t* block);

  std::uint32_t state_[4];
  std::uint64_t length_ = 0;
  std::uint8_t pending_[64];
  std::size_t pending_length_ = 0;
};

// Keeps no state between calls but the text of the last DigestText.
class MD5 {
 public:
  virtual ~MD5() = default;
  void Digest(const void* data, std::uint32_t length, std::uint8_t output[16]);
  // The digest as 32 lower-case hexadecimal digits, valid until the next DigestText on this object.
  const char* DigestText(const void* data, std::uint32_t length);

 private:
  char text_[36] = {};
};
