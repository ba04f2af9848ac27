// What a build changes against the release already published in the site folder: which files
// were added, changed, removed or kept, and how many bytes a player who holds the previous release
// fetches to reach the new one.
#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <vector>

#include "base/tstring.h"
#include "site/block_index.h"
#include "site/file_list.h"

// One file of the new release, as the builder read it from the image.
struct ReleaseFile {
  const std::tstring* path = nullptr;  // as listed
  std::uint64_t size = 0;
  const std::tstring* md5 = nullptr;
  const block_index::FileBlocks* blocks = nullptr;  // null when the release has no block data
};

struct ReleaseChanges {
  bool previous = false;  // a release was published in the site folder
  int added = 0;
  int changed = 0;
  int removed = 0;
  int unchanged = 0;
  std::uint64_t release_bytes = 0;  // of every file of the new release
  // What a player of the previous release fetches: every added file whole unless the previous
  // release holds its bytes under another name, and of each changed file what it lacks (see
  // CompareWithPublished).
  std::uint64_t patch_bytes = 0;
};

// The list the site folder publishes now; nothing when there is none or it does not parse.
std::optional<FileList> PublishedList(const std::filesystem::path& site);

// Compares the new files with the published release. Must run before the new packages are
// written: a changed file's previous copy is read from its package in the site folder. With block
// data, a changed file costs what the updater's matcher finds missing in that copy (the data
// ranges and the fine records of the gaps); without, or without the previous package, the whole
// file.
ReleaseChanges CompareWithPublished(const std::filesystem::path& site,
                                    const std::vector<ReleaseFile>& files);
