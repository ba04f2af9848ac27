#include "storage/file_digest.h"

#include <vector>

std::string DigestOfOpenFile(platform::SequentialFile& file, std::span<std::uint8_t> block,
                             std::stop_token stop) {
  return DigestOfOpenFile(file, block, [&stop] { return stop.stop_requested(); });
}

std::string DigestOfFile(const std::tstring& path, std::stop_token stop) {
  platform::SequentialFile file;
  if (file.Open(path) != platform::SequentialOpen::kOpened) return {};
  std::vector<std::uint8_t> block(kFileDigestBlockSize);
  return DigestOfOpenFile(file, block, stop);
}
