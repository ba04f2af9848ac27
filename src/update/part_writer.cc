#include "update/part_writer.h"

#include <algorithm>
#include <cstring>

#include "base/exception.h"

namespace block_update {

using block_data::BlockData;
using block_data::PlanRange;

bool HoldsBlock(block_data::BlockHasher& hasher, const BlockData& data, std::uint64_t block,
                const std::uint8_t* bytes) {
  return hasher.Strong(bytes, data.BlockLength(block), data.fine_size) == data.strong[block];
}

PartWriter::PartWriter(platform::ResumableFile& part, const BlockData& data, bool with_sha256)
    : part_(part),
      data_(data),
      with_sha256_(with_sha256),
      stage_([this](const std::uint8_t* bytes, std::size_t size) { Digest(bytes, size); }) {}

std::uint64_t PartWriter::Resume(const std::stop_token& stop) {
  const std::uint64_t length = std::min(part_.Length(), data_.file_size);
  std::vector<std::uint8_t> buffer(data_.coarse_size);
  std::uint64_t good = 0;
  for (std::uint64_t block = 0; good < length; ++block) {
    ThrowIfStopped(stop);
    const std::uint64_t size = data_.BlockLength(block);
    if (size > length - good ||
        part_.ReadAt(good, buffer.data(), size) != static_cast<std::int64_t>(size) ||
        !BlockMatches(block, buffer.data())) {
      break;
    }
    Digest(buffer.data(), size);
    good += size;
  }
  if (!part_.Truncate(good)) throw DownloadManagerException("Temp File Error.", true);
  position_ = good;
  stage_.SetThreaded(data_.file_size - good >= kPipelineThreadedSize);
  return good;
}

void PartWriter::CheckFetched(const std::vector<PlanRange>& plan) {
  checked_.assign(data_.BlockCount(), false);
  for (const PlanRange& range : plan) {
    if (range.copy || range.length == 0) continue;
    const std::uint64_t last = (range.offset + range.length - 1) / data_.coarse_size;
    for (std::uint64_t block = range.offset / data_.coarse_size; block <= last; ++block) {
      checked_[block] = true;
    }
  }
}

void PartWriter::Put(const std::uint8_t* bytes, std::size_t size) {
  while (size > 0) {
    const std::uint64_t block = position_ / data_.coarse_size;
    const std::uint64_t in_block = position_ - data_.BlockOffset(block);
    const std::size_t taken = static_cast<std::size_t>(
        std::min<std::uint64_t>(size, data_.BlockLength(block) - in_block));
    if (checked_[block]) Check(block, in_block, bytes, taken);
    Stage(bytes, taken);
    position_ += taken;
    bytes += taken;
    size -= taken;
  }
}

bool PartWriter::Finish(const ExpectedContent& expected) {
  if (filled_ > 0) HandOver();
  stage_.Finish();
  if (position_ != data_.file_size || md5_.Final() != expected.md5) return false;
  return !with_sha256_ || sha256_.Final() == *expected.sha256;
}

void PartWriter::Digest(const std::uint8_t* bytes, std::size_t size) {
  md5_.Update(bytes, size);
  if (with_sha256_) sha256_.Update(bytes, size);
}

void PartWriter::Check(std::uint64_t block, std::uint64_t in_block, const std::uint8_t* bytes,
                       std::size_t size) {
  block_bytes_.resize(data_.BlockLength(block));
  std::memcpy(block_bytes_.data() + in_block, bytes, size);
  if (in_block + size == block_bytes_.size() && !BlockMatches(block, block_bytes_.data())) {
    throw DownloadManagerException("Block data error(fetched block does not match).", true);
  }
}

void PartWriter::Stage(const std::uint8_t* bytes, std::size_t size) {
  while (size > 0) {
    if (stage_block_ == nullptr) {
      stage_block_ = stage_.Next();
      filled_ = 0;
    }
    const std::size_t taken = std::min(size, kPipelineBlockSize - filled_);
    std::memcpy(stage_block_ + filled_, bytes, taken);
    filled_ += taken;
    bytes += taken;
    size -= taken;
    if (filled_ == kPipelineBlockSize) HandOver();
  }
}

void PartWriter::HandOver() {
  stage_.Submit(filled_);
  if (part_.Write(stage_block_, filled_) != filled_) {
    throw Caused(DownloadManagerException("Temp File Error.", true), ErrorCause::kDisk);
  }
  stage_block_ = nullptr;
  filled_ = 0;
}

bool PartWriter::BlockMatches(std::uint64_t block, const std::uint8_t* bytes) {
  return HoldsBlock(hasher_, data_, block, bytes);
}

}  // namespace block_update
