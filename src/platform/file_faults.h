// The seam through which the tests' fault-injection library (testing/fault_injection.h) makes the
// file code fail as a full disk or a failed rename would. Programs that do not link that library
// never set it and carry only the null check.
#pragma once

#include <cstddef>

namespace platform {

class FileFaults {
 public:
  virtual ~FileFaults() = default;
  // How many of count bytes a write may pass on; 0 fails the write with ENOSPC.
  virtual std::size_t WritableBytes(std::size_t count) = 0;
  // True when a replacement or resumable file's Commit must fail without touching the destination.
  virtual bool ReplaceFails() = 0;
};

// Installs faults for every thread (null removes them); faults must outlive their use.
void SetFileFaults(FileFaults* faults);

}  // namespace platform
