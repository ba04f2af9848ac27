// Installing a file from the blocks its installed copy lacks (update/block_update.h); a file that
// the blocks cannot bring goes the way given as otherwise.
#pragma once

#include <cstdint>
#include <stop_token>

#include "update/block_update.h"
#include "update/install_folder.h"
#include "update/install_way.h"

class BlockWay : public InstallWay {
 public:
  // Files of early_size bytes or more start before their verdict.
  BlockWay(block_update::BlockUpdater& blocks, InstallFolder& folder, std::stop_token stop,
           InstallWay& otherwise, std::uint64_t early_size);
  // The file may come by blocks. What cannot take this way fails or completes on the whole
  // download's, as it always did: a digest field that is no digest, a target that is no regular
  // file. Without a listed size nothing bounds the file; a listed file under the part's name stays
  // its own.
  bool Takes(const InstallJob& job) const;
  // The file may come by blocks and is large enough to start before its verdict.
  bool StartsBeforeVerdict(const InstallJob& job) const;
  void Install(const InstallJob& job) override;
  // Installs the file when it differs, starting before its verdict comes (see
  // BlockUpdater::Install); a file the blocks cannot bring goes the other way once the verdict
  // says it differs.
  void InstallBeforeVerdict(const InstallJob& job, Verdict& verdict);

 private:
  block_update::BlockUpdater::Outcome InstallByBlocks(const InstallJob& job, Verdict* verdict);

  block_update::BlockUpdater& blocks_;
  InstallFolder& folder_;
  std::stop_token stop_;
  InstallWay& otherwise_;
  std::uint64_t early_size_;
};
