// The SHA-256 of bytes held in memory, through the system's Sha256; the same on every system.
#include <string_view>

#include "platform/crypto.h"

namespace platform {

Sha256Digest Sha256Of(std::string_view bytes) {
  Sha256 sha;
  sha.Update(bytes.data(), bytes.size());
  return sha.Final();
}

}  // namespace platform
