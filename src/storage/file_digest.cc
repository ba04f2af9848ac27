#include "storage/file_digest.h"

std::string DigestOfOpenFile(platform::SequentialFile& file, std::span<std::uint8_t> block,
                             std::stop_token stop) {
  return DigestOfOpenFile(file, block, [&stop] { return stop.stop_requested(); });
}
