// Feeds arbitrary bytes to the readers of a release's block data: as a file's coarse document and
// as the start of the block index. Refusals are exceptions of the system's family; what is
// accepted must hold together, so that the matcher and the fetches can trust its numbers.
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "base/exception.h"
#include "site/block_data.h"
#include "site/block_index.h"

namespace {

void ReadCoarse(std::string_view bytes) {
  try {
    const block_data::BlockData data = block_data::ParseBlockData(bytes);
    const std::uint64_t blocks = (data.file_size + data.coarse_size - 1) / data.coarse_size;
    if (data.BlockCount() != blocks || data.strong.size() != blocks) std::abort();
  } catch (const Exception&) {
  }
}

void ReadIndex(std::string_view bytes) {
  try {
    const block_index::Index index = block_index::ParseIndex(bytes);
    if (block_index::IndexEnd(bytes) > bytes.size()) std::abort();
    for (const block_index::Entry& entry : index.entries) {
      if (entry.coarse_offset + entry.coarse_size < entry.coarse_offset) std::abort();
    }
  } catch (const Exception&) {
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view bytes(reinterpret_cast<const char*>(data), size);
  ReadCoarse(bytes);
  ReadIndex(bytes);
  return 0;
}
