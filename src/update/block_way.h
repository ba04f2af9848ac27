// Installing a file from the blocks its installed copy lacks (update/block_update.h); a file that
// the blocks cannot bring goes the way given as otherwise.
#pragma once

#include <cstdint>
#include <stop_token>

#include "update/block_update.h"
#include "update/install_folder.h"
#include "update/install_way.h"

// Smaller files come whole: by blocks they would cost four requests where the whole costs one,
// to save at most their size, and a release of small files asks for no block data at all.
inline constexpr std::uint64_t kSmallestBlockFile = 1 << 20;

class BlockWay : public InstallWay {
 public:
  BlockWay(block_update::BlockUpdater& blocks, InstallFolder& folder, std::stop_token stop,
           InstallWay& otherwise);
  // The file may come by blocks. What cannot take this way fails or completes on the whole
  // download's, as it always did: a digest field that is no digest, a target that is no regular
  // file. Without a listed size nothing bounds the file; a listed file under the part's name stays
  // its own.
  bool Takes(const InstallJob& job) const;
  void Install(const InstallJob& job) override;

 private:
  block_update::BlockUpdater& blocks_;
  InstallFolder& folder_;
  std::stop_token stop_;
  InstallWay& otherwise_;
};
