#include "site_signer.h"

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "base/base64.h"
#include "base/exception.h"
#include "base/utf8string.h"
#include "platform/crypto.h"
#include "platform/file.h"
#include "platform/path.h"
#include "site_layout.h"
#include "update/block_index.h"
#include "update/file_list.h"
#include "update/release_signature.h"

namespace fs = std::filesystem;

namespace {

std::string Text(const fs::path& path) { return platform::FilesystemPathText(path); }

std::string ReadWhole(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) throw Exception("cannot read " + Text(path), true);
  std::ostringstream bytes;
  bytes << in.rdbuf();
  return bytes.str();
}

platform::Sha256Digest Sha256OfFile(const fs::path& path) {
  platform::File file;
  if (file.Open(platform::ToInternalPath(Text(path)), platform::Access::kRead,
                platform::Share::kReadWrite,
                platform::Disposition::kOpenExisting) != platform::OpenError::kNone) {
    throw Exception("cannot read " + Text(path), true);
  }
  std::vector<std::uint8_t> block(1 << 20);
  platform::Sha256 sha;
  for (std::int64_t read; (read = file.Read(block.data(), block.size())) != 0;) {
    if (read < 0) throw Exception("cannot read " + Text(path), true);
    sha.Update(block.data(), static_cast<std::size_t>(read));
  }
  return sha.Final();
}

// The serial of the site's last signature, 0 when it has none.
std::uint64_t PreviousSerial(const fs::path& signature) {
  std::ifstream in(signature, std::ios::binary);
  std::string magic, key;
  std::uint64_t serial = 0;
  return std::getline(in, magic) && in >> key >> serial && key == "serial" ? serial : 0;
}

// The signature of the block data's index, bound to the list it was made for.
std::string SignBlocks(const std::string& blocks, const ListDigest& list,
                       const std::vector<std::string>& keys) {
  if (blocks.empty()) return {};
  const std::string_view index_bytes = block_index::IndexBytes(blocks);
  return block_index::SignBlocks({list, {index_bytes.size(), platform::Sha256Of(index_bytes)}},
                                 keys);
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

SigningPlan PlanSigning(const std::string& site, const std::vector<std::string>& key_files,
                        int expires_days, std::int64_t now) {
  SigningPlan plan;
  for (const std::string& key_file : key_files) {
    plan.keys.push_back(ReadWhole(platform::ToFilesystemPath(key_file)));
    if (platform::ReadP256Key(plan.keys.back()).public_key.empty()) {
      throw Exception("not a P-256 private key: " + key_file, true);
    }
  }
  const std::uint64_t previous =
      PreviousSerial(platform::ToFilesystemPath(site) / kSiteSignatureName);
  const auto clock = static_cast<std::uint64_t>(std::max<std::int64_t>(now, 0));
  // Grows with every build, and with the clock too, so a site built again from scratch still
  // signs a release newer than the ones players have.
  plan.serial = std::max(previous + 1, clock);
  if (previous == UINT64_MAX || plan.serial - clock > static_cast<std::uint64_t>(kMaxSerialLead)) {
    throw Exception("the site's last serial " + std::to_string(previous) +
                        " is more than a day ahead of this machine's clock (" + UtcText(now) +
                        "): a release signed after it would lock players out. Check the clock; "
                        "a root rotation to recover from a serial already published is not built "
                        "yet.",
                    true);
  }
  plan.expires = now + std::int64_t{expires_days} * 86400;
  return plan;
}

SiteSignatures SignSite(const std::string& image, const std::string& list_document,
                        const std::string& blocks, const SigningPlan& plan) {
  utf8string text;
  text.SetUtf8Data(list_document.data(), list_document.size());
  FileList list;
  if (!list_document.empty()) ParseFileList(text.GetString(), list);

  ReleaseSignature release;
  release.serial = plan.serial;
  release.expires = plan.expires;
  release.list_size = list_document.size();
  release.list_sha256 = platform::Sha256Of(list_document);
  for (const FileEntry& entry : list) {
    release.files.push_back(
        Sha256OfFile(platform::ToFilesystemPath(image) /
                     platform::ToFilesystemPath(platform::ToNativePath(entry.path))));
  }
  return {release.serial, SignRelease(release, plan.keys),
          SignBlocks(blocks, {release.list_size, release.list_sha256}, plan.keys)};
}
