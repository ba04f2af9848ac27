#include "key_files.h"

#include <algorithm>
#include <fstream>
#include <sstream>

#include "base/base64.h"
#include "base/exception.h"
#include "platform/path.h"

namespace {

std::string ReadWhole(const std::string& key_file) {
  std::ifstream in(platform::ToFilesystemPath(key_file), std::ios::binary);
  if (!in) throw Exception("cannot read " + key_file, true);
  std::ostringstream bytes;
  bytes << in.rdbuf();
  return bytes.str();
}

}  // namespace

std::string MakeSigningKey(const std::string& key_file) {
  const platform::P256Key key = platform::GenerateP256Key();
  if (key.public_key.empty()) throw Exception("cannot make a key", true);
  if (!platform::SavePrivateKey(key_file, key.private_pem)) {
    throw Exception("cannot write a new key file (does it exist already?): " + key_file, true);
  }
  return EncodeBase64(key.public_key);
}

platform::P256Key ReadKeyFile(const std::string& key_file) {
  platform::P256Key key = platform::ReadP256Key(ReadWhole(key_file));
  if (key.public_key.empty()) throw Exception("not a P-256 private key: " + key_file, true);
  return key;
}

std::size_t KeysHeld(const KeySet& set, const std::vector<std::string>& private_pems) {
  std::vector<std::vector<std::uint8_t>> held;
  for (const std::string& pem : private_pems) held.push_back(platform::ReadP256Key(pem).public_key);
  return static_cast<std::size_t>(std::count_if(
      set.keys.begin(), set.keys.end(),
      [&](const auto& key) { return std::find(held.begin(), held.end(), key) != held.end(); }));
}
