// OpenSSL's libcrypto behind platform/crypto.h.
#include "platform/crypto.h"

#include <fcntl.h>
#include <openssl/bio.h>
#include <openssl/bn.h>
#include <openssl/core_names.h>
#include <openssl/ec.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <unistd.h>

namespace platform {

namespace {

constexpr char kCurve[] = "prime256v1";
constexpr std::size_t kCoordinateSize = 32;

template <typename T, void (*Free)(T*)>
struct Deleter {
  void operator()(T* p) const { Free(p); }
};
using PKey = std::unique_ptr<EVP_PKEY, Deleter<EVP_PKEY, EVP_PKEY_free>>;
using MdContext = std::unique_ptr<EVP_MD_CTX, Deleter<EVP_MD_CTX, EVP_MD_CTX_free>>;
using PKeyContext = std::unique_ptr<EVP_PKEY_CTX, Deleter<EVP_PKEY_CTX, EVP_PKEY_CTX_free>>;
using Bio = std::unique_ptr<BIO, Deleter<BIO, BIO_free_all>>;
using Signature = std::unique_ptr<ECDSA_SIG, Deleter<ECDSA_SIG, ECDSA_SIG_free>>;
using Number = std::unique_ptr<BIGNUM, Deleter<BIGNUM, BN_free>>;

// The raw public point of a key, or empty when the key is not on P-256.
std::vector<std::uint8_t> PublicPoint(EVP_PKEY* key) {
  char curve[32] = {};
  if (EVP_PKEY_get_utf8_string_param(key, OSSL_PKEY_PARAM_GROUP_NAME, curve, sizeof curve,
                                     nullptr) != 1 ||
      std::string_view(curve) != kCurve) {
    return {};
  }
  std::vector<std::uint8_t> point(kP256PublicKeySize);
  std::size_t size = 0;
  if (EVP_PKEY_get_octet_string_param(key, OSSL_PKEY_PARAM_PUB_KEY, point.data(), point.size(),
                                      &size) != 1 ||
      size != kP256PublicKeySize) {
    return {};
  }
  return point;
}

PKey KeyFromPoint(const std::vector<std::uint8_t>& point) {
  if (point.size() != kP256PublicKeySize || point[0] != 0x04) return nullptr;
  PKeyContext context(EVP_PKEY_CTX_new_from_name(nullptr, "EC", nullptr));
  OSSL_PARAM params[] = {
      OSSL_PARAM_construct_utf8_string(OSSL_PKEY_PARAM_GROUP_NAME, const_cast<char*>(kCurve), 0),
      OSSL_PARAM_construct_octet_string(OSSL_PKEY_PARAM_PUB_KEY,
                                        const_cast<std::uint8_t*>(point.data()), point.size()),
      OSSL_PARAM_construct_end()};
  EVP_PKEY* key = nullptr;
  if (!context || EVP_PKEY_fromdata_init(context.get()) != 1 ||
      EVP_PKEY_fromdata(context.get(), &key, EVP_PKEY_PUBLIC_KEY, params) != 1) {
    return nullptr;
  }
  return PKey(key);
}

PKey KeyFromPem(const std::string& pem) {
  Bio bio(BIO_new_mem_buf(pem.data(), static_cast<int>(pem.size())));
  if (!bio) return nullptr;
  return PKey(PEM_read_bio_PrivateKey(bio.get(), nullptr, nullptr, nullptr));
}

// Documents are checked against the same few keys and a build signs many with one, and reading a
// key costs far more than using it: each thread keeps the last key of each kind it read.
template <typename Source>
EVP_PKEY* LastKey(const Source& source, PKey (*read)(const Source&)) {
  thread_local Source last_source;
  thread_local PKey last;
  if (!last || last_source != source) {
    last = read(source);
    last_source = source;
  }
  return last.get();
}

std::string PemOf(EVP_PKEY* key) {
  Bio bio(BIO_new(BIO_s_mem()));
  if (!bio ||
      PEM_write_bio_PKCS8PrivateKey(bio.get(), key, nullptr, nullptr, 0, nullptr, nullptr) != 1) {
    return {};
  }
  char* data = nullptr;
  const long size = BIO_get_mem_data(bio.get(), &data);
  return std::string(data, static_cast<std::size_t>(size));
}

// DER signatures (what libcrypto speaks) to and from the raw r and s.
std::vector<std::uint8_t> RawFromDer(const std::vector<std::uint8_t>& der) {
  const unsigned char* cursor = der.data();
  Signature signature(d2i_ECDSA_SIG(nullptr, &cursor, static_cast<long>(der.size())));
  if (!signature) return {};
  std::vector<std::uint8_t> raw(kP256SignatureSize);
  if (BN_bn2binpad(ECDSA_SIG_get0_r(signature.get()), raw.data(), kCoordinateSize) < 0 ||
      BN_bn2binpad(ECDSA_SIG_get0_s(signature.get()), raw.data() + kCoordinateSize,
                   kCoordinateSize) < 0) {
    return {};
  }
  return raw;
}

std::vector<std::uint8_t> DerFromRaw(const std::vector<std::uint8_t>& raw) {
  if (raw.size() != kP256SignatureSize) return {};
  Number r(BN_bin2bn(raw.data(), kCoordinateSize, nullptr));
  Number s(BN_bin2bn(raw.data() + kCoordinateSize, kCoordinateSize, nullptr));
  Signature signature(ECDSA_SIG_new());
  if (!r || !s || !signature || ECDSA_SIG_set0(signature.get(), r.get(), s.get()) != 1) return {};
  r.release();
  s.release();
  unsigned char* der = nullptr;
  const int size = i2d_ECDSA_SIG(signature.get(), &der);
  if (size <= 0) return {};
  std::vector<std::uint8_t> bytes(der, der + size);
  OPENSSL_free(der);
  return bytes;
}

}  // namespace

struct Hash::State {
  MdContext context{EVP_MD_CTX_new()};
};

namespace {

// Fetched once: a digest named by EVP_sha256() is looked up again, under a lock, at every start.
const EVP_MD* MethodOf(HashKind kind) {
  static EVP_MD* const md5 = EVP_MD_fetch(nullptr, "MD5", nullptr);
  static EVP_MD* const sha256 = EVP_MD_fetch(nullptr, "SHA256", nullptr);
  return kind == HashKind::kMd5 ? md5 : sha256;
}

}  // namespace

Hash::Hash(HashKind kind) : state_(std::make_unique<State>()) {
  EVP_DigestInit_ex2(state_->context.get(), MethodOf(kind), nullptr);
}

Hash::~Hash() = default;
Hash::Hash(Hash&&) noexcept = default;
Hash& Hash::operator=(Hash&&) noexcept = default;

void Hash::Update(const void* bytes, std::size_t size) {
  EVP_DigestUpdate(state_->context.get(), bytes, size);
}

void Hash::FinishInto(std::uint8_t* digest, std::size_t) {
  EVP_DigestFinal_ex(state_->context.get(), digest, nullptr);
  EVP_DigestInit_ex2(state_->context.get(), nullptr, nullptr);
}

bool VerifyP256Digest(const std::vector<std::uint8_t>& public_key, const Sha256Digest& digest,
                      const std::vector<std::uint8_t>& signature) {
  EVP_PKEY* key = LastKey(public_key, KeyFromPoint);
  const std::vector<std::uint8_t> der = DerFromRaw(signature);
  if (!key || der.empty()) return false;
  PKeyContext context(EVP_PKEY_CTX_new(key, nullptr));
  return context && EVP_PKEY_verify_init(context.get()) == 1 &&
         EVP_PKEY_CTX_set_signature_md(context.get(), EVP_sha256()) == 1 &&
         EVP_PKEY_verify(context.get(), der.data(), der.size(), digest.data(), digest.size()) == 1;
}

P256Key GenerateP256Key() {
  const PKey key(EVP_EC_gen(kCurve));
  if (!key) return {};
  return {PemOf(key.get()), PublicPoint(key.get())};
}

P256Key ReadP256Key(const std::string& private_pem) {
  const PKey key = KeyFromPem(private_pem);
  if (!key) return {};
  return {private_pem, PublicPoint(key.get())};
}

bool SavePrivateKey(const std::string& path, const std::string& private_pem) {
  const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
  if (fd < 0) return false;
  const bool written = ::write(fd, private_pem.data(), private_pem.size()) ==
                           static_cast<ssize_t>(private_pem.size()) &&
                       ::fsync(fd) == 0;
  ::close(fd);
  if (!written) ::unlink(path.c_str());
  return written;
}

std::vector<std::uint8_t> SignP256(const std::string& private_pem, std::string_view message) {
  EVP_PKEY* key = LastKey(private_pem, KeyFromPem);
  MdContext context(EVP_MD_CTX_new());
  if (!key || PublicPoint(key).empty() || !context ||
      EVP_DigestSignInit(context.get(), nullptr, EVP_sha256(), nullptr, key) != 1) {
    return {};
  }
  const auto* bytes = reinterpret_cast<const unsigned char*>(message.data());
  std::size_t size = 0;
  if (EVP_DigestSign(context.get(), nullptr, &size, bytes, message.size()) != 1) return {};
  std::vector<std::uint8_t> der(size);
  if (EVP_DigestSign(context.get(), der.data(), &size, bytes, message.size()) != 1) return {};
  der.resize(size);
  return RawFromDer(der);
}

}  // namespace platform
