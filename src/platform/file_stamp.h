// What the update check needs to digest installed files quickly and safely: a cheap stamp that
// changes whenever a file's content may have changed, and files opened for one pass from start to
// end with the system told so. Paths are in the internal form and resolved as File::Open does.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>

#include "platform/native_handle.h"

namespace platform {

// Size, times to the nanosecond and identity of a file. Writing to a file moves its change time
// and replacing it changes its identity, so two equal stamps mean an unchanged file, as far as the
// file system's clock can tell (see FileClockNow).
struct FileStamp {
  std::int64_t size = 0;
  std::int64_t modified_ns = 0;
  std::int64_t changed_ns = 0;
  std::uint64_t device = 0;
  std::uint64_t file_id = 0;

  bool operator==(const FileStamp&) const = default;
};

// The stamp of the file at path (links followed); nullopt when there is nothing to stamp.
std::optional<FileStamp> StampOf(const std::string& internal);

// The time that file times are taken from, in nanoseconds. A change made after this moment gives
// a file a change time that may lie up to the clock's granularity earlier, so a stamp only proves
// a file unchanged when its change time is well before the moment the stamp was taken.
std::int64_t FileClockNow();

enum class SequentialOpen { kOpened, kNotRegular, kFailed };

// A regular file opened for reading once from start to end, the system asked to read ahead.
// Opening never blocks: pipes, devices and folders are refused without being read. Readers share
// the file with other readers and are refused while File holds it open for writing (Share::
// kDenyWrite). Owns its descriptor; not copyable; one thread at a time.
class SequentialFile {
 public:
  SequentialFile() = default;
  ~SequentialFile();
  SequentialFile(const SequentialFile&) = delete;
  SequentialFile& operator=(const SequentialFile&) = delete;

  SequentialOpen Open(const std::string& internal);
  // Up to count bytes, fewer only at the end of the file; 0 at the end, -1 on an error.
  std::int64_t Read(void* buffer, std::size_t count);
  // The stamp of the open file, taken when it was opened.
  const FileStamp& Stamp() const { return stamp_; }

 private:
  void Close();

  NativeHandle file_;
  FileStamp stamp_;
};

}  // namespace platform
