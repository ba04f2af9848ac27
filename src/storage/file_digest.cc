#include "storage/file_digest.h"

#include <vector>

std::string DigestOfFile(const std::tstring& path, std::stop_token stop) {
  platform::SequentialFile file;
  if (file.Open(path) != platform::SequentialOpen::kOpened) return {};
  std::vector<std::uint8_t> block(kFileDigestBlockSize);
  return DigestOfOpenFile(file, block, [&stop] { return stop.stop_requested(); });
}
