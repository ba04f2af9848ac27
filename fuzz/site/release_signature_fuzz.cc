// Feeds arbitrary bytes to the signed documents' readers twice: as they arrive from a server
// (nearly always refused at the signature), and with a valid signature appended, so that the
// reading of the signed part itself meets every input. Refusals are exceptions of the system's
// family; nothing else may escape, and what is accepted must be whole.
#include <cstdint>
#include <cstdlib>
#include <string>

#include "base/base64.h"
#include "base/exception.h"
#include "site/release_signature.h"
#include "site/trust_root.h"

namespace {

const platform::P256Key& Key() {
  static const platform::P256Key key = platform::GenerateP256Key();
  return key;
}

void Read(const std::string& document) {
  try {
    const ReleaseSignature release = VerifyRelease(document, {1, {Key().public_key}});
    if (document.find("\nlist ") == std::string::npos) std::abort();
    CheckRelease(release, {release.list_size, release.list_sha256}, release.files.size(), 0, 0);
  } catch (const Exception&) {
  }
  // The same bytes as a roots document after the configured key, and as a timestamp.
  const KeySet keys{1, {Key().public_key}};
  try {
    FollowRoots(document, RootOfKeys(keys));
  } catch (const Exception&) {
  }
  try {
    CheckTimestamp(document, {1, "game", keys, Key().public_key}, {}, 0);
  } catch (const Exception&) {
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string text(reinterpret_cast<const char*>(data), size);
  Read(text);
  const auto signature = platform::SignP256(Key().private_pem, text);
  Read(text + "signature " + EncodeBase64(signature) + "\n");
  return 0;
}
