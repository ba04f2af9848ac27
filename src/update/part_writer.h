// The part a block update writes: the new file in file order, each block that holds fetched bytes
// checked, the whole digested as it goes.
#pragma once

#include <cstddef>
#include <cstdint>
#include <stop_token>
#include <vector>

#include "platform/crypto.h"
#include "platform/file.h"
#include "site/block_data.h"
#include "site/block_matcher.h"
#include "storage/block_pipeline.h"
#include "storage/md5.h"
#include "update/install_way.h"

namespace block_update {

// The bytes of a block of the new file agree with its strong hash.
bool HoldsBlock(block_data::BlockHasher& hasher, const block_data::BlockData& data,
                std::uint64_t block, const std::uint8_t* bytes);

// Writes the new file into the part in file order. Each coarse block that holds fetched bytes is
// checked against its strong hash once it is whole (copied bytes were checked when they were
// found); the whole file is digested on the stage's worker while this thread writes the same
// blocks: each of the two costs about as much as reading the old file and fetching together.
class PartWriter {
 public:
  PartWriter(platform::ResumableFile& part, const block_data::BlockData& data, bool with_sha256);
  // Checks the part a cut run left, block by block from its start, and cuts it after the last
  // block that is right; the writing goes on from there. Nothing of it is taken unchecked.
  std::uint64_t Resume(const std::stop_token& stop);
  // Marks the coarse blocks that fetched bytes go into.
  void CheckFetched(const std::vector<block_data::PlanRange>& plan);
  void Put(const std::uint8_t* bytes, std::size_t size);
  // Every byte written; true when the file is the expected one.
  bool Finish(const ExpectedContent& expected);

 private:
  void Digest(const std::uint8_t* bytes, std::size_t size);
  void Check(std::uint64_t block, std::uint64_t in_block, const std::uint8_t* bytes,
             std::size_t size);
  void Stage(const std::uint8_t* bytes, std::size_t size);
  void HandOver();
  // A coarse block's bytes agree with its strong hash.
  bool BlockMatches(std::uint64_t block, const std::uint8_t* bytes);

  platform::ResumableFile& part_;
  const block_data::BlockData& data_;
  bool with_sha256_;
  block_data::BlockHasher hasher_;
  MD5Context md5_;
  platform::Sha256 sha256_;
  std::vector<bool> checked_;
  std::vector<std::uint8_t> block_bytes_;
  std::uint64_t position_ = 0;
  std::uint8_t* stage_block_ = nullptr;
  std::size_t filled_ = 0;
  SideStage stage_;  // last: its worker stops before the members it uses go
};

}  // namespace block_update
