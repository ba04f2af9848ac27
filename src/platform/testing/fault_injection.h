// Fault injection for tests of the file code and the layers above it (link platform_testing).
#pragma once

#include <cstdint>

namespace platform {

// After `bytes` more bytes, every File::Write writes nothing more (as on a full disk); a negative
// value turns the fault off.
void InjectWriteFailureAfter(std::int64_t bytes);
// While set, the Commit of a ReplacementFile or a ResumableFile (or a file of a batch) fails
// without touching the destination (a resumable part stays): once `after` more have passed.
void InjectReplaceFailure(bool fail, int after = 0);

}  // namespace platform
