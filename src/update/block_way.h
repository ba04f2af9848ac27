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

class SiteCopies;

class BlockWay : public InstallWay {
 public:
  // Files of early_size bytes or more start before their verdict.
  // copies: the copies of the site a file may come from, one after another; null: the site's own.
  BlockWay(block_update::BlockUpdater& blocks, InstallFolder& folder, std::stop_token stop,
           InstallWay& otherwise, std::uint64_t early_size, SiteCopies* copies = nullptr);
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
  // Has the blocks install the file from one copy after another while a copy's failure ends the
  // install: the part keeps what each copy brought, so the next copy goes on from there.
  block_update::BlockUpdater::Outcome FromCopies(block_update::FileJob job, const FileEntry& entry,
                                                 Verdict* verdict);
  // Hands the file to the other way; a part the block path held goes once the file is in place.
  void Otherwise(const InstallJob& job);

  block_update::BlockUpdater& blocks_;
  InstallFolder& folder_;
  std::stop_token stop_;
  InstallWay& otherwise_;
  std::uint64_t early_size_;
  SiteCopies* copies_;
};
