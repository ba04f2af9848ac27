#include "site_signer.h"

#include <algorithm>
#include <filesystem>
#include <fstream>

#include "base/exception.h"
#include "base/utf8string.h"
#include "key_files.h"
#include "platform/crypto.h"
#include "platform/file.h"
#include "platform/path.h"
#include "site/block_index.h"
#include "site/file_list.h"
#include "site/mirror_list.h"
#include "site/release_signature.h"
#include "site/site_names.h"
#include "site_files.h"
#include "site_roots.h"

namespace fs = std::filesystem;

namespace {

std::string Text(const fs::path& path) { return platform::FilesystemPathText(path); }

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

// Installs that follow a new root drop the serial they held, so after a rotation the site's last
// serial no longer binds: that is how a publisher recovers from a runaway serial. The site's
// timestamp tells whether its last release was signed under the newest root.
bool SerialBinds(const std::string& site, const TrustRoot& root) {
  if (root.version == 0) return true;
  const std::optional<Timestamp> timestamp =
      ReadTimestamp(ReadSiteFile(site, SiteFileName(BesideList::kTimestamp)).value_or(""));
  return timestamp && timestamp->root == root.version;
}

std::uint64_t PickSerial(const std::string& site, const TrustRoot& root, std::int64_t now) {
  const std::uint64_t previous =
      SerialBinds(site, root)
          ? PreviousSerial(platform::ToFilesystemPath(site) / SiteFileName(BesideList::kSignature))
          : 0;
  const auto clock = static_cast<std::uint64_t>(std::max<std::int64_t>(now, 0));
  // Grows with every build, and with the clock too, so a site built again from scratch still
  // signs a release newer than the ones players have.
  const std::uint64_t serial = std::max(previous + 1, clock);
  if (previous == UINT64_MAX || serial - clock > static_cast<std::uint64_t>(kMaxSerialLead)) {
    throw Exception("the site's last serial " + std::to_string(previous) +
                        " is more than a day ahead of this machine's clock (" + UtcText(now) +
                        "): a release signed after it would lock players out. Check the clock; "
                        "if that serial is published already, rotate the trust root "
                        "(varne-release root), after which the serials start over from the clock.",
                    true);
  }
  return serial;
}

// A root waiting to be published is signed under, and so published, by a build whose keys reach
// its threshold. Until then a build whose keys reach the published root's keeps the site on it; any
// other is refused by the waiting root's rule.
TrustRoot RootToSignUnder(const std::string& site, const std::vector<std::string>& keys) {
  const TrustRoot published = SiteRoot(site);
  const TrustRoot pending = PendingRoot(site);
  if (pending.version == 0 || KeysHeld(pending.keys, keys) >= pending.keys.threshold) {
    return pending.version == 0 ? published : pending;
  }
  return published.version > 0 && KeysHeld(published.keys, keys) >= published.keys.threshold
             ? published
             : pending;
}

// A site with a root signs with a threshold of its keys and its timestamp key; a timestamp key
// for a site without one is a mistake, not something to ignore.
void CheckRootKeys(SigningPlan& plan, const std::string& timestamp_key_file) {
  if (plan.root.version == 0) {
    if (!timestamp_key_file.empty()) {
      throw Exception("--timestamp-key: the site has no trust root (varne-release root)", true);
    }
    return;
  }
  plan.timestamp_key = TimestampKeyOf(plan.root, timestamp_key_file);
  const std::size_t held = KeysHeld(plan.root.keys, plan.keys);
  if (held < plan.root.keys.threshold) {
    throw Exception("the --sign keys are " + std::to_string(held) + " of the keys of root " +
                        std::to_string(plan.root.version) + "; its releases need " +
                        std::to_string(plan.root.keys.threshold),
                    true);
  }
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

SigningPlan PlanSigning(const std::string& site, const std::vector<std::string>& key_files,
                        const std::string& timestamp_key_file, int expires_days, std::int64_t now) {
  SigningPlan plan;
  for (const std::string& key_file : key_files) {
    plan.keys.push_back(ReadKeyFile(key_file).private_pem);
  }
  plan.root = RootToSignUnder(site, plan.keys);
  plan.roots = PublishedRoots(site, plan.root);
  CheckRootKeys(plan, timestamp_key_file);
  plan.serial = PickSerial(site, plan.root, now);
  plan.expires = now + std::int64_t{expires_days} * 86400;
  plan.timestamp_expires = now + kMaxTimestampLife;
  return plan;
}

SiteSignatures SignSite(const std::string& image, const std::string& list_document,
                        const std::string& blocks, const std::string& removed,
                        const SigningPlan& plan) {
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
  const ListDigest digest{release.list_size, release.list_sha256};
  SiteSignatures signatures{release.serial,
                            SignRelease(release, plan.keys),
                            SignBlocks(blocks, digest, plan.keys),
                            {},
                            plan.roots};
  // Signed by the keys that sign the release, so that players trust the copies as far as they
  // trust the release itself.
  if (!plan.mirrors.empty()) signatures.mirrors = SignMirrorList(plan.mirrors, digest, plan.keys);
  signatures.removed = SignDocument(removed, plan.keys);
  if (plan.root.version > 0) {
    signatures.timestamp =
        TimestampDocument(plan.root, signatures.list, plan.timestamp_key, plan.timestamp_expires);
  }
  return signatures;
}
