#include "storage/md5.h"

#include <algorithm>
#include <bit>
#include <cstdio>
#include <cstring>

#include "base/hex.h"

static_assert(std::endian::native == std::endian::little, "MD5 words are read as little-endian");

namespace {

// Each step's chain of dependent operations runs through b, the word produced by the step before;
// everything that needs only a, c, d, the message word and the constant is computed beside it. So
// each round adds its mixing function to the sum of the others itself, written so that b enters
// as late as possible.
struct F {
  static std::uint32_t Add(std::uint32_t sum, std::uint32_t b, std::uint32_t c, std::uint32_t d) {
    return sum + (d ^ (b & (c ^ d)));
  }
};
struct G {
  // (b & d) | (c & ~d): the two halves share no bit, so an addition joins them, and the half
  // without b goes into the sum first.
  static std::uint32_t Add(std::uint32_t sum, std::uint32_t b, std::uint32_t c, std::uint32_t d) {
    return sum + (c & ~d) + (b & d);
  }
};
struct H {
  static std::uint32_t Add(std::uint32_t sum, std::uint32_t b, std::uint32_t c, std::uint32_t d) {
    return sum + (b ^ (c ^ d));
  }
};
struct I {
  static std::uint32_t Add(std::uint32_t sum, std::uint32_t b, std::uint32_t c, std::uint32_t d) {
    return sum + (c ^ (b | ~d));
  }
};

template <typename Round>
inline void Step(std::uint32_t& a, std::uint32_t b, std::uint32_t c, std::uint32_t d,
                 std::uint32_t word, int shift, std::uint32_t constant) {
  a = b + std::rotl(Round::Add(a + word + constant, b, c, d), shift);
}

}  // namespace

void MD5Context::Reset() {
  state_[0] = 0x67452301;
  state_[1] = 0xefcdab89;
  state_[2] = 0x98badcfe;
  state_[3] = 0x10325476;
  length_ = 0;
  pending_length_ = 0;
}

void MD5Context::Transform(const std::uint8_t* block) {
  std::uint32_t w[16];
  std::memcpy(w, block, sizeof w);
  std::uint32_t a = state_[0], b = state_[1], c = state_[2], d = state_[3];
  Step<F>(a, b, c, d, w[0], 7, 0xd76aa478);
  Step<F>(d, a, b, c, w[1], 12, 0xe8c7b756);
  Step<F>(c, d, a, b, w[2], 17, 0x242070db);
  Step<F>(b, c, d, a, w[3], 22, 0xc1bdceee);
  Step<F>(a, b, c, d, w[4], 7, 0xf57c0faf);
  Step<F>(d, a, b, c, w[5], 12, 0x4787c62a);
  Step<F>(c, d, a, b, w[6], 17, 0xa8304613);
  Step<F>(b, c, d, a, w[7], 22, 0xfd469501);
  Step<F>(a, b, c, d, w[8], 7, 0x698098d8);
  Step<F>(d, a, b, c, w[9], 12, 0x8b44f7af);
  Step<F>(c, d, a, b, w[10], 17, 0xffff5bb1);
  Step<F>(b, c, d, a, w[11], 22, 0x895cd7be);
  Step<F>(a, b, c, d, w[12], 7, 0x6b901122);
  Step<F>(d, a, b, c, w[13], 12, 0xfd987193);
  Step<F>(c, d, a, b, w[14], 17, 0xa679438e);
  Step<F>(b, c, d, a, w[15], 22, 0x49b40821);
  Step<G>(a, b, c, d, w[1], 5, 0xf61e2562);
  Step<G>(d, a, b, c, w[6], 9, 0xc040b340);
  Step<G>(c, d, a, b, w[11], 14, 0x265e5a51);
  Step<G>(b, c, d, a, w[0], 20, 0xe9b6c7aa);
  Step<G>(a, b, c, d, w[5], 5, 0xd62f105d);
  Step<G>(d, a, b, c, w[10], 9, 0x02441453);
  Step<G>(c, d, a, b, w[15], 14, 0xd8a1e681);
  Step<G>(b, c, d, a, w[4], 20, 0xe7d3fbc8);
  Step<G>(a, b, c, d, w[9], 5, 0x21e1cde6);
  Step<G>(d, a, b, c, w[14], 9, 0xc33707d6);
  Step<G>(c, d, a, b, w[3], 14, 0xf4d50d87);
  Step<G>(b, c, d, a, w[8], 20, 0x455a14ed);
  Step<G>(a, b, c, d, w[13], 5, 0xa9e3e905);
  Step<G>(d, a, b, c, w[2], 9, 0xfcefa3f8);
  Step<G>(c, d, a, b, w[7], 14, 0x676f02d9);
  Step<G>(b, c, d, a, w[12], 20, 0x8d2a4c8a);
  Step<H>(a, b, c, d, w[5], 4, 0xfffa3942);
  Step<H>(d, a, b, c, w[8], 11, 0x8771f681);
  Step<H>(c, d, a, b, w[11], 16, 0x6d9d6122);
  Step<H>(b, c, d, a, w[14], 23, 0xfde5380c);
  Step<H>(a, b, c, d, w[1], 4, 0xa4beea44);
  Step<H>(d, a, b, c, w[4], 11, 0x4bdecfa9);
  Step<H>(c, d, a, b, w[7], 16, 0xf6bb4b60);
  Step<H>(b, c, d, a, w[10], 23, 0xbebfbc70);
  Step<H>(a, b, c, d, w[13], 4, 0x289b7ec6);
  Step<H>(d, a, b, c, w[0], 11, 0xeaa127fa);
  Step<H>(c, d, a, b, w[3], 16, 0xd4ef3085);
  Step<H>(b, c, d, a, w[6], 23, 0x04881d05);
  Step<H>(a, b, c, d, w[9], 4, 0xd9d4d039);
  Step<H>(d, a, b, c, w[12], 11, 0xe6db99e5);
  Step<H>(c, d, a, b, w[15], 16, 0x1fa27cf8);
  Step<H>(b, c, d, a, w[2], 23, 0xc4ac5665);
  Step<I>(a, b, c, d, w[0], 6, 0xf4292244);
  Step<I>(d, a, b, c, w[7], 10, 0x432aff97);
  Step<I>(c, d, a, b, w[14], 15, 0xab9423a7);
  Step<I>(b, c, d, a, w[5], 21, 0xfc93a039);
  Step<I>(a, b, c, d, w[12], 6, 0x655b59c3);
  Step<I>(d, a, b, c, w[3], 10, 0x8f0ccc92);
  Step<I>(c, d, a, b, w[10], 15, 0xffeff47d);
  Step<I>(b, c, d, a, w[1], 21, 0x85845dd1);
  Step<I>(a, b, c, d, w[8], 6, 0x6fa87e4f);
  Step<I>(d, a, b, c, w[15], 10, 0xfe2ce6e0);
  Step<I>(c, d, a, b, w[6], 15, 0xa3014314);
  Step<I>(b, c, d, a, w[13], 21, 0x4e0811a1);
  Step<I>(a, b, c, d, w[4], 6, 0xf7537e82);
  Step<I>(d, a, b, c, w[11], 10, 0xbd3af235);
  Step<I>(c, d, a, b, w[2], 15, 0x2ad7d2bb);
  Step<I>(b, c, d, a, w[9], 21, 0xeb86d391);
  state_[0] += a;
  state_[1] += b;
  state_[2] += c;
  state_[3] += d;
}

void MD5Context::Update(const void* data, std::size_t length) {
  // An empty block may come with a null pointer, which memcpy must never see.
  if (length == 0) return;
  const auto* bytes = static_cast<const std::uint8_t*>(data);
  length_ += length;
  if (pending_length_ != 0) {
    const std::size_t take = std::min(length, sizeof pending_ - pending_length_);
    std::memcpy(pending_ + pending_length_, bytes, take);
    pending_length_ += take;
    bytes += take;
    length -= take;
    if (pending_length_ < sizeof pending_) return;
    Transform(pending_);
    pending_length_ = 0;
  }
  // Whole blocks are digested where they lie; only a tail is kept back.
  for (; length >= 64; bytes += 64, length -= 64) Transform(bytes);
  std::memcpy(pending_, bytes, length);
  pending_length_ = length;
}

MD5Bytes MD5Context::Final() {
  const std::uint64_t bits = length_ * 8;
  static constexpr std::uint8_t kPadding[64] = {0x80};
  Update(kPadding, pending_length_ < 56 ? 56 - pending_length_ : 120 - pending_length_);
  std::uint8_t tail[8];
  std::memcpy(tail, &bits, sizeof tail);
  Update(tail, sizeof tail);
  MD5Bytes digest;
  std::memcpy(digest.data(), state_, digest.size());
  Reset();
  return digest;
}

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
