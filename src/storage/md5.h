// MD5 digests. MD5Context digests data that arrives in pieces; MD5 digests one block of memory.
// Both give the same 16 bytes for the same data.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>

#include "platform/crypto.h"

using MD5Bytes = platform::Md5Digest;

// The system's MD5 (platform/crypto.h), under the names the engine has always used.
class MD5Context {
 public:
  void Update(const void* data, std::size_t length) {
    // An empty block may come with a null pointer, which the crypto library must never see.
    if (length != 0) digest_.Update(data, length);
  }
  // The digest of everything given since the last Final.
  MD5Bytes Final() { return digest_.Final(); }

  // 32 lower-case hexadecimal digits.
  static std::string ToText(const MD5Bytes& digest);

 private:
  platform::Md5 digest_;
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
