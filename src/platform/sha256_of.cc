// The SHA-256 of bytes held in memory and the verification of a message in memory, through the
// system's Sha256 and its verification of a digest; the same on every system.
#include <string_view>

#include "platform/crypto.h"

namespace platform {

Sha256Digest Sha256Of(std::string_view bytes) {
  Sha256 sha;
  sha.Update(bytes.data(), bytes.size());
  return sha.Final();
}

bool VerifyP256(const std::vector<std::uint8_t>& public_key, std::string_view message,
                const std::vector<std::uint8_t>& signature) {
  return VerifyP256Digest(public_key, Sha256Of(message), signature);
}

}  // namespace platform
