#include "update/digest_ahead.h"

#include <algorithm>
#include <system_error>

#include "base/hex.h"
#include "platform/crypto.h"
#include "storage/file_digest.h"

namespace {

constexpr std::size_t kFilesInFlightPerWorker = 8;
// How often a wait looks at the caller's stop: a stopped check answers within this.
constexpr auto kStopPoll = std::chrono::milliseconds(20);

unsigned WorkerCount(unsigned asked, std::size_t files) {
  const unsigned cores = std::max(1u, std::thread::hardware_concurrency());
  return static_cast<unsigned>(std::min<std::size_t>(asked != 0 ? asked : cores, files));
}

}  // namespace

DigestAhead::DigestAhead(const FileList& list, std::stop_token stop, Options options)
    : list_(list), options_(std::move(options)), stop_(std::move(stop)) {
  const unsigned workers = WorkerCount(options_.workers, list_.size());
  slots_.resize(std::max<std::size_t>(1, workers * kFilesInFlightPerWorker));
  try {
    for (unsigned i = 0; i < workers; ++i) workers_.emplace_back(&DigestAhead::Work, this);
  } catch (const std::system_error&) {
    // Fewer workers only slow the check down; with none, Take digests each file itself.
  }
}

DigestAhead::~DigestAhead() {
  {
    std::lock_guard<std::mutex> hold(lock_);
    ending_ = true;
  }
  changed_.notify_all();
  for (std::thread& worker : workers_) worker.join();
}

DigestAhead::Result DigestAhead::Take(std::size_t i) {
  if (Vouched(i)) {
    {
      std::lock_guard<std::mutex> hold(lock_);
      ++taken_;
    }
    changed_.notify_all();
    return options_.expected(i);
  }
  Digest digest;
  if (!workers_.empty() && !TakeSlot(i, digest)) return std::string();
  if (!digest.firm || platform::StampOf(list_[i].path) != digest.stamp) {
    std::vector<std::uint8_t> block(kFileDigestBlockSize);
    const bool read_before = digest.read;
    digest = DigestFile(i, block);
    digest.read |= read_before;
  }
  if (digest.read) ++files_read_;
  return digest.text;
}

std::optional<DigestAhead::Result> DigestAhead::Peek(std::size_t i) {
  if (Vouched(i)) return options_.expected(i);
  std::lock_guard<std::mutex> hold(lock_);
  const Slot& slot = slots_[i % slots_.size()];
  if (slot.index != i) return std::nullopt;
  return slot.digest.text;
}

void DigestAhead::Discard(std::size_t i) {
  if (Vouched(i)) {
    Take(i);
    return;
  }
  discarded_ = i;
  Digest unwanted;
  if (!workers_.empty()) TakeSlot(i, unwanted);
}

bool DigestAhead::TakeSlot(std::size_t i, Digest& digest) {
  std::unique_lock<std::mutex> hold(lock_);
  Slot& slot = slots_[i % slots_.size()];
  if (!WaitUntil(hold, [&] { return slot.index == i; })) return false;
  digest = std::move(slot.digest);
  slot.index = kNone;
  ++taken_;
  hold.unlock();
  changed_.notify_all();
  return true;
}

std::string DigestAhead::ReadNow(std::size_t i) {
  std::vector<std::uint8_t> block(kFileDigestBlockSize);
  const Digest digest = ReadDigest(i, block, false);
  if (digest.read) ++files_read_;
  return digest.text.value_or("");
}

void DigestAhead::Work() {
  std::vector<std::uint8_t> block(kFileDigestBlockSize);
  std::size_t index;
  while (!Abandoned() && Claim(&index)) {
    Digest digest = DigestFile(index, block);
    {
      std::lock_guard<std::mutex> hold(lock_);
      slots_[index % slots_.size()] = Slot{index, std::move(digest)};
    }
    changed_.notify_all();
  }
}

// Waits until ready() holds (true) or the check is abandoned (false).
template <typename Ready>
bool DigestAhead::WaitUntil(std::unique_lock<std::mutex>& hold, Ready ready) {
  while (!ready()) {
    if (Abandoned()) return false;
    changed_.wait_for(hold, kStopPoll);
  }
  return true;
}

// Waits until the next entry has a free slot; false when there is nothing more to digest.
bool DigestAhead::Claim(std::size_t* index) {
  std::unique_lock<std::mutex> hold(lock_);
  // Entries that their stamps vouch for are not digested and take no slot.
  while (next_ < options_.vouched.size() && options_.vouched[next_]) ++next_;
  WaitUntil(hold, [this] { return next_ >= list_.size() || next_ < taken_ + slots_.size(); });
  if (Abandoned() || next_ >= list_.size()) return false;
  *index = next_++;
  return true;
}

DigestAhead::Digest DigestAhead::DigestFile(std::size_t index,
                                            std::vector<std::uint8_t>& block) const {
  const Digest digest = ReadDigest(index, block, true);
  // Told only once the file is closed again: on Windows a reader keeps writers out, and whoever
  // is told may change the file at once.
  if (options_.on_digest) options_.on_digest(index);
  return digest;
}

DigestAhead::Digest DigestAhead::ReadDigest(std::size_t index, std::vector<std::uint8_t>& block,
                                            bool by_size) const {
  const FileEntry& entry = list_[index];
  const auto abandoned = [this, index] { return Abandoned() || discarded_ == index; };
  const std::int64_t started = platform::FileClockNow();
  platform::SequentialFile file;
  const bool opened = file.Open(entry.path) == platform::SequentialOpen::kOpened;
  Digest digest;
  digest.stamp = opened ? std::optional(file.Stamp()) : platform::StampOf(entry.path);
  digest.firm = !digest.stamp || digest.stamp->changed_ns < started - options_.settle.count();
  const std::optional<std::uint64_t> listed = OrgSizeOf(entry);
  if (by_size && opened && listed && *listed >= options_.unread_from &&
      static_cast<std::uint64_t>(digest.stamp->size) != *listed) {
    return digest;
  }
  digest.text.emplace();
  if (opened) {
    digest.read = true;
    // Read as the release tool reads the files it lists, so that both give the same text.
    if (options_.sha256) {
      platform::Sha256 sha;
      const bool read = ReadOpenFile(
          file, block, abandoned,
          [&sha](const std::uint8_t* bytes, std::size_t size) { sha.Update(bytes, size); });
      if (read) digest.text = EncodeHex(sha.Final());
    } else {
      digest.text = DigestOfOpenFile(file, block, abandoned);
    }
    if (abandoned()) {
      digest.firm = false;
    } else if (options_.stamped && !digest.text->empty()) {
      options_.stamped(index, *digest.stamp, started, *digest.text);
    }
  }
  return digest;
}
