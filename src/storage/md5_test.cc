#include "storage/md5.h"

#include <gtest/gtest.h>

#include <array>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>
#include <vector>

namespace {

TEST(MD5Test, Rfc1321TestSuite) {
  const std::pair<const char*, const char*> cases[] = {
      {"", "d41d8cd98f00b204e9800998ecf8427e"},
      {"a", "0cc175b9c0f1b6a831c399e269772661"},
      {"abc", "900150983cd24fb0d6963f7d28e17f72"},
      {"message digest", "f96b697d7cb7938d525a2f31aaf161d0"},
      {"abcdefghijklmnopqrstuvwxyz", "c3fcd3d76192e4007dfb496cca67e13b"},
      {"ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789",
       "d174ab98d277d9f5a5611c2c9f419d9f"},
      {"12345678901234567890123456789012345678901234567890123456789012345678901234567890",
       "57edf4a22be3c955ac49da2e2107b67a"},
  };
  MD5 md5;
  for (const auto& [input, expected] : cases) {
    EXPECT_STREQ(md5.DigestText(input, static_cast<std::uint32_t>(std::strlen(input))), expected) << input;
  }
}

// Digests of the lengths around the padding boundaries, compared with md5sum run on the same bytes.
std::string Md5sumOf(const std::vector<std::uint8_t>& data) {
  const auto path = std::filesystem::temp_directory_path() / ("md5_test_" + std::to_string(data.size()));
  std::ofstream(path, std::ios::binary).write(reinterpret_cast<const char*>(data.data()), data.size());
  std::string command = "md5sum '" + path.string() + "'";
  FILE* pipe = popen(command.c_str(), "r");
  char line[64] = {};
  const bool read = pipe != nullptr && std::fgets(line, sizeof line, pipe) != nullptr;
  if (pipe != nullptr) pclose(pipe);
  std::filesystem::remove(path);
  return read ? std::string(line, 32) : std::string();
}

TEST(MD5Test, PaddingBoundariesMatchMd5sum) {
  std::mt19937 random(7);
  MD5 md5;
  for (const std::size_t length : {0u, 55u, 56u, 63u, 64u, 65u, 119u, 120u, (1u << 20) + 3}) {
    std::vector<std::uint8_t> data(length);
    for (auto& byte : data) byte = static_cast<std::uint8_t>(random());
    const char* text = md5.DigestText(data.data(), static_cast<std::uint32_t>(length));
    EXPECT_EQ(text, Md5sumOf(data)) << length;
    // The same bytes given in uneven pieces give the same digest.
    MD5Context context;
    for (std::size_t pos = 0, piece = 1; pos < length; pos += piece, piece = piece * 3 % 97 + 1) {
      context.Update(data.data() + pos, std::min(piece, length - pos));
    }
    EXPECT_EQ(MD5Context::ToText(context.Final()), text) << length;
  }
}

TEST(MD5Test, DigestBytesAndTextBufferReuse) {
  MD5 md5;
  std::uint8_t bytes[16];
  md5.Digest("abc", 3, bytes);
  EXPECT_EQ(bytes[0], 0x90);
  EXPECT_EQ(bytes[15], 0x72);
  const char* first = md5.DigestText("a", 1);
  const char* second = md5.DigestText("abc", 3);
  EXPECT_EQ(first, second);
  EXPECT_STREQ(first, "900150983cd24fb0d6963f7d28e17f72");
  EXPECT_EQ(std::strlen(first), 32u);
}

}  // namespace
