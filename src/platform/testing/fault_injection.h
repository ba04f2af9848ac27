// Fault injection for tests of the file code and the layers above it (link platform_testing).
#pragma once

#include <cstdint>

namespace platform {

// After `bytes` more bytes, every File::Write writes nothing more (as on a full disk); a negative
// value turns the fault off.
void InjectWriteFailureAfter(std::int64_t bytes);
// While set, the Commit of a ReplacementFile or a ResumableFile fails without touching the
// destination (a resumable part stays).
void InjectReplaceFailure(bool fail);

}  // namespace platform
