#include "update/streamed_install.h"

#include <algorithm>
#include <cstring>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "platform/crypto.h"
#include "platform/file.h"
#include "platform/text.h"
#include "storage/md5.h"
#include "storage/one_entry_package.h"
#include "storage/package_format.h"
#include "storage/varne_file_system.h"

namespace {

constexpr std::size_t kStartSize = OneEntryStart::kSize;
// The bytes handed to the digesting core at a time: what is left of a file when its last byte
// arrives waits for that core, so small pieces keep the two cores busy together.
constexpr std::size_t kHandOver = 64 << 10;

}  // namespace

class StreamedInstall::Stream {
 public:
  Stream(const FileEntry& entry, const std::tstring& target, const ExpectedContent& expected,
         std::function<bool()> prepare, InstallDigests& digests)
      : listed_name_(VarneFileSystem::NormalizeName(entry.Listed())),
        path_name_(VarneFileSystem::NormalizeName(entry.path)),
        target_(target),
        expected_(expected),
        prepare_(std::move(prepare)),
        digests_(digests) {}
  // The worker must be done with this file's blocks before they and the digests go.
  ~Stream() { StopDigesting(); }

  void Feed(const std::uint8_t* bytes, std::size_t size) {
    while (size > 0 && state_ != State::kDeclined) {
      const std::size_t used = Take(bytes, size);
      bytes += used;
      size -= used;
      position_ += used;
    }
    if (state_ == State::kDeclined) position_ += size;
  }

  bool Verify() {
    if (!verdict_) verdict_ = Check();
    return *verdict_;
  }

  bool Complete(platform::ReplacementBatch* batch) {
    if (!Verify()) return false;
    if (batch == nullptr) return file_.Commit();
    batch->Add(std::move(file_));
    return true;
  }

 private:
  enum class State { kStart, kName, kData, kAfterData, kDeclined };

  // The digests are final once taken, so the verdict is taken once.
  bool Check() {
    if (state_ != State::kAfterData || position_ != package_size_) return false;
    StopDigesting();
    return expected_.sha256 ? sha256_.Final() == *expected_.sha256 : md5_.Final() == expected_.md5;
  }

  // Takes what the current part of the package wants of the bytes; how many it took.
  std::size_t Take(const std::uint8_t* bytes, std::size_t size) {
    switch (state_) {
      case State::kStart:
        return Gather(bytes, size, kStartSize, [this] { ReadStart(); });
      case State::kName:
        return Gather(bytes, size, kStartSize + name_length_, [this] { ReadName(); });
      case State::kData:
        return WriteData(bytes, size);
      case State::kAfterData:
      case State::kDeclined:
        return size;
    }
    return size;
  }

  // Collects bytes up to package position end, then calls done.
  template <typename Done>
  std::size_t Gather(const std::uint8_t* bytes, std::size_t size, std::size_t end, Done done) {
    const std::size_t used = std::min(size, end - static_cast<std::size_t>(position_));
    gathered_.insert(gathered_.end(), bytes, bytes + used);
    if (gathered_.size() == end) done();
    return used;
  }

  // The header and the one record must describe exactly the listed file, its name just after them
  // and its data just after the name, stored as it is. Where nothing vouches for the listed size,
  // the digest alone says which bytes are the file.
  void ReadStart() {
    const OneEntryStart start = OneEntryStart::Decode(gathered_.data());
    record_ = start.record;
    if (!start.Holds(expected_.size.value_or(record_.sourceSize), expected_.md5) ||
        !start.Packed() || record_.nameLength > 2 * (listed_name_.size() + 1)) {
      return Decline();
    }
    package_size_ = start.header.fileSize;
    name_length_ = record_.nameLength;
    state_ = State::kName;
  }

  void ReadName() {
    std::vector<std::uint8_t> name(gathered_.begin() + kStartSize, gathered_.end());
    if (record_.IsScrambled()) KeyStream(NameSeed(record_)).Apply(name.data(), name.size());
    gathered_.clear();
    const std::tstring stored = VarneFileSystem::StoredName(name.data(), name.size());
    if ((stored != listed_name_ && stored != path_name_) || !prepare_() || !file_.Create(target_)) {
      return Decline();
    }
    if (record_.IsScrambled()) data_keys_.SetPosition(DataSeed(record_), 0);
    // On the second core even for small files: the transfer of the data is the work beside it.
    digests_.stage_.SetThreaded(true);
    digest_ = [this](const std::uint8_t* data, std::size_t size) { Digest(data, size); };
    digesting_ = true;
    state_ = State::kData;
  }

  // Unscrambles the data into the stage's block, which the worker digests while it is written
  // here.
  std::size_t WriteData(const std::uint8_t* bytes, std::size_t size) {
    const std::uint64_t left = package_size_ - position_;
    const std::size_t used =
        static_cast<std::size_t>(std::min<std::uint64_t>({size, left, kHandOver}));
    std::uint8_t* block = digests_.stage_.Next();
    std::memcpy(block, bytes, used);
    if (record_.IsScrambled()) data_keys_.Apply(block, used);
    digests_.Submit(&digest_, used);
    if (file_.Write(block, used) != used) {
      Decline();
      return size;
    }
    if (used == left) state_ = State::kAfterData;
    return used;
  }

  // A signed file is checked by its SHA-256 alone: the signed list vouches for the bytes whose
  // MD5 it lists, so a match of the SHA-256 is a match of the MD5, and one digest instead of two
  // keeps a signed install as fast as a plain one.
  void Digest(const std::uint8_t* data, std::size_t size) {
    if (expected_.sha256) {
      sha256_.Update(data, size);
    } else {
      md5_.Update(data, size);
    }
  }

  void StopDigesting() {
    if (std::exchange(digesting_, false)) digests_.stage_.Finish();  // the digest never throws
  }

  void Decline() {
    state_ = State::kDeclined;
    gathered_.clear();
    gathered_.shrink_to_fit();
  }

  // The entry's name in the package: the list's spelling of the path, or its one spelling.
  const std::tstring listed_name_;
  const std::tstring path_name_;
  const std::tstring target_;
  const ExpectedContent expected_;
  std::function<bool()> prepare_;
  State state_ = State::kStart;
  std::uint64_t position_ = 0;  // package bytes fed so far
  std::uint64_t package_size_ = 0;
  std::size_t name_length_ = 0;
  std::vector<std::uint8_t> gathered_;  // the package's start, up to its data
  WPACKAGE_INFO_CELL record_;
  KeyStream data_keys_;
  platform::ReplacementFile file_;  // removed unless committed
  MD5Context md5_;
  platform::Sha256 sha256_;
  InstallDigests& digests_;
  InstallDigests::Digest digest_;  // what the worker does with this file's blocks
  bool digesting_ = false;         // the worker may hold blocks of this file
  std::optional<bool> verdict_;
};

InstallDigests::InstallDigests()
    : stage_([this](const std::uint8_t* data, std::size_t size) {
        const Digest* digest;
        {
          std::lock_guard<std::mutex> hold(lock_);
          digest = owners_.front();
          owners_.pop_front();
        }
        (*digest)(data, size);
      }) {}

void InstallDigests::Submit(const Digest* digest, std::size_t size) {
  {
    std::lock_guard<std::mutex> hold(lock_);
    owners_.push_back(digest);
  }
  stage_.Submit(size);
}

StreamedInstall::StreamedInstall(const FileEntry& entry, const std::tstring& target,
                                 const ExpectedContent& expected, std::function<bool()> prepare,
                                 InstallDigests& digests)
    : stream_(std::make_unique<Stream>(entry, target, expected, std::move(prepare), digests)) {}

StreamedInstall::~StreamedInstall() = default;

void StreamedInstall::Feed(const std::uint8_t* bytes, std::size_t size) {
  stream_->Feed(bytes, size);
}

bool StreamedInstall::Verify() { return stream_->Verify(); }

bool StreamedInstall::Complete(platform::ReplacementBatch* batch) {
  return stream_->Complete(batch);
}
