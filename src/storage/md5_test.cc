#include "storage/md5.h"

#include <gtest/gtest.h>

#include <string>

namespace {

// RFC 1321's suite, then runs of "a" at the lengths around the padding boundaries (digests from
// md5sum), each also given in uneven pieces.
TEST(MD5Test, KnownDigestsWholeAndInPieces) {
  const std::pair<std::string, const char*> cases[] = {
      {"", "d41d8cd98f00b204e9800998ecf8427e"},
      {"abc", "900150983cd24fb0d6963f7d28e17f72"},
      {"message digest", "f96b697d7cb7938d525a2f31aaf161d0"},
      {"ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789",
       "d174ab98d277d9f5a5611c2c9f419d9f"},
      {std::string(55, 'a'), "ef1772b6dff9a122358552954ad0df65"},
      {std::string(56, 'a'), "3b0c8ac703f828b04c6c197006d17218"},
      {std::string(63, 'a'), "b06521f39153d618550606be297466d5"},
      {std::string(64, 'a'), "014842d480b571495a4a0363793f7367"},
      {std::string(65, 'a'), "c743a45e0d2e6a95cb859adae0248435"},
      {std::string(119, 'a'), "8a7bd0732ed6a28ce75f6dabc90e1613"},
      {std::string(120, 'a'), "5f61c0ccad4cac44c75ff505e1f1e537"},
      {std::string((1 << 20) + 3, 'a'), "ff2c8815ad9e7686a3ae921be4fafaa9"},
  };
  MD5 md5;
  for (const auto& [input, expected] : cases) {
    const auto* data = reinterpret_cast<const std::uint8_t*>(input.data());
    EXPECT_STREQ(md5.DigestText(data, static_cast<std::uint32_t>(input.size())), expected)
        << input.size();
    MD5Context context;
    for (std::size_t pos = 0, piece = 1; pos < input.size();
         pos += piece, piece = piece * 3 % 97 + 1) {
      context.Update(data + pos, std::min(piece, input.size() - pos));
    }
    EXPECT_EQ(MD5Context::ToText(context.Final()), expected) << input.size();
  }
}

}  // namespace
