#include "update/release_protocol.h"

#include <algorithm>
#include <chrono>
#include <deque>
#include <thread>
#include <utility>

#include "base/exception.h"
#include "base/utf8string.h"
#include "config/config_base.h"
#include "platform/crypto.h"
#include "site/install_names.h"
#include "site/mirror_list.h"
#include "site/site_names.h"
#include "update/proxy_discovery.h"

namespace {

constexpr char kListUserAgent[] = "RovanSevenFileListClient";
// A longer list is refused: it would cost the memory of a list of millions of files.
constexpr std::uint32_t kMaxListBytes = 256u << 20;
// The list is received and converted in blocks of this size.
constexpr std::size_t kListBlockSize = 1 << 20;

// Keeps the list document as it arrives in blocks of its own, so that it costs its size (no
// buffer that doubles and is copied as it grows), and refuses it past the limit, announced or
// not.
class ListSink : public IHttpBodySink {
 public:
  void OnBegin(bool announced, std::uint32_t length) override {
    if (announced && length > kMaxListBytes) Refuse();
  }
  void OnData(const std::uint8_t* bytes, std::size_t size) override {
    if (size > kMaxListBytes - size_) Refuse();
    size_ += size;
    sha256_.Update(bytes, size);
    const auto* text = reinterpret_cast<const char*>(bytes);
    while (size > 0) {
      if (blocks_.empty() || blocks_.back().size() == kListBlockSize) {
        blocks_.emplace_back().reserve(kListBlockSize);
      }
      std::string& block = blocks_.back();
      const std::size_t taken = std::min(size, kListBlockSize - block.size());
      block.append(text, taken);
      text += taken;
      size -= taken;
    }
  }
  void OnEnd(std::uint32_t) override {}

  std::size_t Size() const { return size_; }
  std::deque<std::string>& Blocks() { return blocks_; }
  ListDigest Digest() { return {size_, sha256_.Final()}; }

 private:
  [[noreturn]] static void Refuse() {
    throw DownloadManagerException("List file error(Data size over 256 MiB).", true);
  }

  std::deque<std::string> blocks_;
  std::size_t size_ = 0;
  platform::Sha256 sha256_;
};

void ParseListPiece(const std::string& bytes, FileList& list) {
  // Plain ASCII reads the same in every narrow character set: the conversion would give it back
  // unchanged, a copy at a time.
  if (std::all_of(bytes.begin(), bytes.end(), [](char c) { return c > 0 && c < 0x7F; })) {
    ParseFileList(bytes, list);
    return;
  }
  utf8string text;
  text.SetUtf8Data(bytes.data(), static_cast<std::uint32_t>(bytes.size()));
  ParseFileList(text.GetString(), list);
}

// Converts and parses the document a run of whole lines at a time, each block freed once it is
// parsed. Lines are cut after their line feed, a byte that no multi-byte UTF-8 character holds,
// so the pieces read exactly as the whole document would.
FileList ParseListBlocks(std::deque<std::string>& blocks) {
  FileList parsed;
  std::size_t lines = 1;
  for (const std::string& block : blocks) lines += std::count(block.begin(), block.end(), '\n');
  parsed.reserve(lines);
  std::string piece;
  while (!blocks.empty()) {
    piece += blocks.front();
    blocks.pop_front();
    const std::size_t end = blocks.empty() ? piece.size() : piece.rfind('\n') + 1;
    if (end == 0) continue;
    ParseListPiece(piece.substr(0, end), parsed);
    piece.erase(0, end);
  }
  return parsed;
}

// Holds a small document as it arrives, refusing it past a limit.
class DocumentSink : public IHttpBodySink {
 public:
  explicit DocumentSink(std::size_t limit) : limit_(limit) {}
  // An announced document is kept in one allocation of its size, rather than in a buffer that
  // doubles and is copied as it grows: a stranger's document then costs its bytes and no more.
  void OnBegin(bool announced, std::uint32_t length) override {
    if (announced && length > limit_) RefuseSize();
    if (announced) text_.reserve(length);
  }
  void OnData(const std::uint8_t* bytes, std::size_t size) override {
    if (size > limit_ - text_.size()) RefuseSize();
    text_.append(reinterpret_cast<const char*>(bytes), size);
  }
  void OnEnd(std::uint32_t) override {}
  // The document, moved out: a copy would cost its bytes again.
  std::string Take() { return std::move(text_); }
  // The transfer ended because the sink refused the document, not because it failed.
  bool Refused() const { return refused_; }

 private:
  [[noreturn]] void RefuseSize() {
    refused_ = true;
    throw DownloadManagerException("signature document is too large.", true);
  }

  std::size_t limit_;
  std::string text_;
  bool refused_ = false;
};

}  // namespace

void UseConfiguredProxy(HttpClient& client) {
  ConfigBase config;
  config.Load(kProxyConfigName);
  client.SetProxy(DiscoverProxy(config));
}

TransferLimits ConfiguredLimits() {
  TransferLimits limits;
  const auto cap = [&limits](int bytes_per_second) {
    const auto bytes = static_cast<std::uint64_t>(std::max(bytes_per_second, 0));
    if (bytes > 0 && (limits.rate_cap == 0 || bytes < limits.rate_cap)) limits.rate_cap = bytes;
  };
  try {
    DlgConfig dialog;
    dialog.LoadFromPackfile(kDialogConfigName);
    limits.transfers =
        std::clamp(dialog.LoadInt("serverside_connections", limits.transfers), 1, 32);
    cap(dialog.LoadInt("serverside_ratelimit", 0));
  } catch (const Exception&) {
  }
  try {
    ConfigBase player;
    player.Load(kProxyConfigName);
    cap(player.LoadInt("DownloadRateLimit", 0));
  } catch (const Exception&) {
  }
  return limits;
}

std::vector<std::tstring> ConfiguredMirrors() {
  std::vector<std::tstring> urls;
  try {
    DlgConfig dialog;
    dialog.LoadFromPackfile(kDialogConfigName);
    const std::string text = dialog.LoadString("serverside_mirrors", "");
    for (std::size_t at = 0; at < text.size();) {
      const std::size_t begin = text.find_first_not_of(" ,\t", at);
      if (begin == std::string::npos) break;
      const std::size_t end = std::min(text.find_first_of(" ,\t", begin), text.size());
      urls.emplace_back(text.substr(begin, end - begin));
      at = end;
    }
  } catch (const Exception&) {
  }
  return urls;
}

ListDigest FetchFileList(HttpClient& client, const std::tstring& url, FileList& list) {
  client.SetUserAgent(kListUserAgent);
  ListSink document;
  client.Request(url, document);
  if (document.Size() == 0) {
    throw DownloadManagerException("List file error(Data size is zero).", true);
  }
  // Parsed apart, so that a list refused half-way appends nothing.
  FileList parsed = ParseListBlocks(document.Blocks());
  if (list.empty()) {
    list = std::move(parsed);
  } else {
    list.Append(std::move(parsed));
  }
  return document.Digest();
}

std::string FetchSignatureDocument(HttpClient& client, const std::tstring& url, std::size_t limit) {
  DocumentSink document(limit);
  client.Request(url, document);
  return document.Take();
}

namespace {

// A document beside the list, of at most limit bytes. Only the transfer's own failures mean it
// could not be had (`missing` tells them); a stop, the one interruption a transfer marks as no
// error, stays a stop, and the sink's refusal stays its own.
std::string FetchBeside(HttpClient& client, const std::tstring& url, std::size_t limit,
                        const char* missing) {
  DocumentSink document(limit);
  try {
    client.Request(url, document);
  } catch (const Exception& failure) {
    if (!failure.IsError() || document.Refused()) throw;
    if (missing == nullptr) return {};
    // A server that answered without the document: the publisher left it out. A network failure
    // stays the network's.
    const bool network = failure.Cause() == ErrorCause::kNetwork;
    throw Caused(DownloadManagerException(missing + failure.GetText(), true),
                 network ? ErrorCause::kNetwork : ErrorCause::kPublisher, failure.Subjects());
  }
  return document.Take();
}

// The game the install's dialog settings bind it to ("serverside_game"); empty when they name none,
// as settings made before roots existed do, or cannot be read.
std::string ConfiguredGame() {
  try {
    DlgConfig dialog;
    dialog.LoadFromPackfile(kDialogConfigName);
    return dialog.LoadString("serverside_game", "");
  } catch (const Exception&) {
    return {};
  }
}

std::int64_t Now() {
  const auto now = std::chrono::system_clock::now().time_since_epoch();
  return std::chrono::duration_cast<std::chrono::seconds>(now).count();
}

}  // namespace

namespace {

// How many times a set of release documents that disagree with one another is read in all, and
// the pause before the first read again, five times longer before each later one: a publisher's
// renames come back to back, but a busy server may hold its process between two of them.
constexpr int kReadsOfMixedSet = 4;
constexpr std::chrono::milliseconds kFirstPauseBeforeReadingAgain{20};

// A release's documents as one read of the site found them.
struct ReleaseDocuments {
  TrustRoot installed;  // the root the install starts from
  TrustRoot root;       // the newest the site's roots lead to from there
  std::string signature;
  std::string timestamp;  // under a root document only
};

ReleaseDocuments FetchReleaseDocuments(HttpClient& client, const std::tstring& list_url,
                                       const InstallState& state, const KeySet& configured) {
  ReleaseDocuments read;
  read.installed = state.root.value_or(RootOfKeys(configured, ConfiguredGame()));
  // A site without root documents is signed by the configured keys alone.
  read.root = FollowRoots(
      FetchBeside(client, UrlBesideList(list_url, BesideList::kRoots), kMaxRootsSize, nullptr),
      read.installed);
  read.signature = FetchBeside(client, UrlBesideList(list_url, BesideList::kSignature),
                               kMaxSignatureSize, "signature missing : ");
  if (read.root.version > 0) {
    read.timestamp = FetchBeside(client, UrlBesideList(list_url, BesideList::kTimestamp),
                                 kMaxTimestampSize, "timestamp missing : ");
  }
  return read;
}

// Whether the documents, as they say before any is verified, name one another as the documents of
// one publication do: the signature the list read, the timestamp the root and the signature read.
// One that cannot be read at all is no sign of a publication under way.
bool NameOneAnother(const ReleaseDocuments& read, const ListDigest& list) {
  const std::optional<ReleaseSignature> release = ReadRelease(read.signature);
  if (release && (release->list_size != list.size || release->list_sha256 != list.sha256)) {
    return false;
  }
  if (read.root.version == 0) return true;
  const std::optional<Timestamp> timestamp = ReadTimestamp(read.timestamp);
  const ListDigest signature{read.signature.size(), platform::Sha256Of(read.signature)};
  return !timestamp || (timestamp->root == read.root.version && timestamp->release == signature);
}

TrustedRelease Verified(const ReleaseDocuments& read, const ListDigest& list,
                        std::size_t list_entries, const InstallState& state) {
  const std::int64_t now = Now();
  if (read.root.version > 0) {
    // A build takes the clock's seconds as the serial: the release's signing date, unverified yet,
    // for a player to compare with the date the PC shows.
    const std::optional<ReleaseSignature> unverified = ReadRelease(read.signature);
    CheckTimestamp(read.timestamp, read.root,
                   {read.signature.size(), platform::Sha256Of(read.signature)}, now,
                   unverified ? SigningTimeOf(*unverified) : 0);
  }
  const ReleaseSignature release = VerifyRelease(read.signature, read.root.keys);
  // A rotation starts the serials over: that is how a publisher recovers from a runaway one.
  CheckRelease(release, list, list_entries, now,
               read.root.version == read.installed.version ? state.serial : 0);
  return {read.root, release};
}

}  // namespace

SignedList FetchSignedList(HttpClient& client, const std::tstring& list_url, FileList& list,
                           const InstallState& state, const KeySet& configured) {
  auto pause = kFirstPauseBeforeReadingAgain;
  for (int reads = 1;; ++reads) {
    if (reads > 1) std::this_thread::sleep_for(std::exchange(pause, pause * 5));
    FileList read_list;
    const ListDigest digest = FetchFileList(client, list_url, read_list);
    const ReleaseDocuments read = FetchReleaseDocuments(client, list_url, state, configured);
    // Read between two of the publisher's renames: the set of either release is there to read.
    if (reads < kReadsOfMixedSet && !NameOneAnother(read, digest)) continue;
    SignedList verified{digest, Verified(read, digest, read_list.size(), state)};
    list = std::move(read_list);
    return verified;
  }
}

std::vector<std::tstring> FetchPublishedCopies(HttpClient& client, const std::tstring& list_url,
                                               const KeySet& keys,
                                               const std::optional<ListDigest>& list) {
  std::vector<std::tstring> urls;
  try {
    const std::string document = FetchBeside(client, UrlBesideList(list_url, BesideList::kMirrors),
                                             kMaxMirrorListSize, nullptr);
    if (document.empty()) return urls;
    for (const std::string& url : VerifyMirrorList(document, keys, list)) {
      urls.emplace_back(url);
    }
  } catch (const Exception& failure) {
    if (!failure.IsError()) throw;
  }
  return urls;
}

std::optional<RemovedFiles> FetchRemovedFiles(HttpClient& client, const std::tstring& list_url,
                                              const KeySet* keys, const ListDigest& list) {
  // Asked for as the list is, on whichever client.
  client.SetUserAgent(kListUserAgent);
  try {
    const std::string document = FetchBeside(client, UrlBesideList(list_url, BesideList::kRemoved),
                                             kMaxRemovedFilesSize, nullptr);
    if (document.empty()) return std::nullopt;
    RemovedFiles removed = ReadRemovedFiles(document, keys);
    if (removed.list == list) return removed;
  } catch (const Exception& failure) {
    if (!failure.IsError()) throw;
  }
  return std::nullopt;
}
