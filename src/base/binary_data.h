// An owned block of bytes, guarded by its own lock so that one object may be shared between
// threads. Copyable, so that blocks can live in standard containers.
#pragma once

#include <cstdint>
#include <memory>

#include "base/critical_section.h"
#include "base/exception.h"
#include "base/result.h"

class BinaryData {
 public:
  BinaryData() = default;
  // The copy holds equal bytes in a buffer of its own; the source's lock is not taken.
  BinaryData(const BinaryData& other);
  BinaryData& operator=(const BinaryData&) = delete;
  virtual ~BinaryData() noexcept(false) = default;

  // n bytes of undefined content; the same size keeps the buffer and its bytes. 0 is refused.
  ResultCode Allocate(std::uint32_t n);
  // A copy of n bytes; 0 is refused and keeps the old content.
  ResultCode SetData(const void* bytes, std::uint32_t n);
  void Release();

  std::uint8_t* GetData() const { return data_.get(); }
  std::uint32_t GetSize() const { return size_; }

 private:
  ResultCode Refuse(const Exception& failure);

  CriticalSection lock_;
  std::unique_ptr<std::uint8_t[]> data_;
  std::uint32_t size_ = 0;
};
