#include "storage/md5.h"

#include <cstring>

#include "base/hex.h"

std::string MD5Context::ToText(const MD5Bytes& digest) { return EncodeHex(digest); }

void MD5::Digest(const void* data, std::uint32_t length, std::uint8_t output[16]) {
  MD5Context context;
  context.Update(data, length);
  const MD5Bytes digest = context.Final();
  std::memcpy(output, digest.data(), digest.size());
}

const char* MD5::DigestText(const void* data, std::uint32_t length) {
  MD5Context context;
  context.Update(data, length);
  const std::string text = MD5Context::ToText(context.Final());
  std::memcpy(text_, text.c_str(), text.size() + 1);
  return text_;
}
