// The system's cryptography: MD5 and SHA-256 digests and ECDSA signatures on the P-256 curve with
// SHA-256. Nothing here is written by hand; each platform hands the work to its own crypto library.
//
// Keys and signatures travel in their raw forms, which every crypto library can take in: a public
// key is the 65-byte uncompressed curve point (0x04, X, Y), a signature the 64 bytes of r and s.
// A private key lives in a PKCS#8 PEM text that only the publisher's tools read.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace platform {

using Sha256Digest = std::array<std::uint8_t, 32>;

using Md5Digest = std::array<std::uint8_t, 16>;

enum class HashKind { kMd5, kSha256 };

// An incremental digest. One thread at a time. Each Final starts it over, so that a caller
// digesting many small pieces keeps one: setting a digest up costs about what 2 KiB cost to digest.
class Hash {
 public:
  explicit Hash(HashKind kind);
  ~Hash();
  Hash(Hash&&) noexcept;
  Hash& operator=(Hash&&) noexcept;

  void Update(const void* bytes, std::size_t size);

 protected:
  // Writes the digest of everything given since the last start, size bytes, and starts over.
  void FinishInto(std::uint8_t* digest, std::size_t size);

 private:
  struct State;
  std::unique_ptr<State> state_;
};

// A digest of one kind and size.
template <HashKind kKind, std::size_t kSize>
class HashOf : public Hash {
 public:
  HashOf() : Hash(kKind) {}
  std::array<std::uint8_t, kSize> Final() {
    std::array<std::uint8_t, kSize> digest{};
    FinishInto(digest.data(), digest.size());
    return digest;
  }
};

using Sha256 = HashOf<HashKind::kSha256, std::tuple_size_v<Sha256Digest>>;
// The digest the file lists name every file by.
using Md5 = HashOf<HashKind::kMd5, std::tuple_size_v<Md5Digest>>;

Sha256Digest Sha256Of(std::string_view bytes);

constexpr std::size_t kP256PublicKeySize = 65;
constexpr std::size_t kP256SignatureSize = 64;

// True when signature is a valid signature of message under public_key. Malformed keys and
// signatures are simply not valid.
bool VerifyP256(const std::vector<std::uint8_t>& public_key, std::string_view message,
                const std::vector<std::uint8_t>& signature);
// The same for a message given by its SHA-256, so that a message checked against several
// signatures is digested once.
bool VerifyP256Digest(const std::vector<std::uint8_t>& public_key, const Sha256Digest& digest,
                      const std::vector<std::uint8_t>& signature);

struct P256Key {
  std::string private_pem;
  std::vector<std::uint8_t> public_key;
};

// A new key pair; empty on failure.
P256Key GenerateP256Key();
// The key pair held by a private key text; an empty public key when the text holds no P-256 key.
P256Key ReadP256Key(const std::string& private_pem);
// Writes the private key text to a new file (a path as the system writes it) that only its owner
// may read; false when the file exists or cannot be written.
bool SavePrivateKey(const std::string& path, const std::string& private_pem);
// The signature of message with the private key; empty on failure.
std::vector<std::uint8_t> SignP256(const std::string& private_pem, std::string_view message);

}  // namespace platform
