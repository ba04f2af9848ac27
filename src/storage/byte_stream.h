// Random-access reading of a package's bytes, from a file on disk or from memory. Package reading
// asks for each region by its offset, so a reader never depends on where an earlier read left off.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

#include "base/tstring.h"
#include "platform/file.h"

class ByteStream {
 public:
  virtual ~ByteStream() = default;

  // The length in bytes; a file's current length, 0 when it cannot be had.
  virtual std::uint64_t Size() = 0;
  // Reads up to count bytes at offset, fewer only at the end; -1 on an error.
  virtual std::int64_t ReadAt(std::uint64_t offset, void* buffer, std::size_t count) = 0;
};

class FileStream final : public ByteStream {
 public:
  // False when the file cannot be opened for reading with that sharing.
  bool Open(const std::tstring& path, platform::Share share);

  std::uint64_t Size() override;
  std::int64_t ReadAt(std::uint64_t offset, void* buffer, std::size_t count) override;

 private:
  platform::File file_;
  // Where the file's own position stands, so that reading on from the last read does not seek.
  std::uint64_t position_ = 0;
};

// Shares its bytes with the other streams over the same buffer; they never change.
class MemoryStream final : public ByteStream {
 public:
  explicit MemoryStream(std::shared_ptr<const std::string> bytes) : bytes_(std::move(bytes)) {}

  std::uint64_t Size() override { return bytes_->size(); }
  std::int64_t ReadAt(std::uint64_t offset, void* buffer, std::size_t count) override;

 private:
  std::shared_ptr<const std::string> bytes_;
};
