#include "base/binary_data.h"

#include <cstring>

#include "base/exception.h"

BinaryData::BinaryData(const BinaryData& other) {
  if (other.size_ != 0) SetData(other.data_.get(), other.size_);
}

ResultCode BinaryData::Allocate(std::uint32_t n) {
  CriticalSectionLock hold(lock_);
  if (n == 0) return E_FAIL;
  if (n == size_) return kResultOk;
  try {
    // Free first: when memory runs out the object is left empty, never a size without a buffer.
    Release();
    data_.reset(new std::uint8_t[n]);
    size_ = n;
    return kResultOk;
  } catch (const Exception& failure) {
    return Refuse(failure);
  }
}

ResultCode BinaryData::SetData(const void* bytes, std::uint32_t n) {
  CriticalSectionLock hold(lock_);
  if (n == 0) return E_FAIL;
  try {
    Allocate(n);
    std::memcpy(data_.get(), bytes, n);
    return kResultOk;
  } catch (const Exception& failure) {
    return Refuse(failure);
  }
}

void BinaryData::Release() {
  CriticalSectionLock hold(lock_);
  data_.reset();
  size_ = 0;
}

// A failure of the system's own family empties the object; errors go on to the caller, warnings
// end as the failure code.
ResultCode BinaryData::Refuse(const Exception& failure) {
  Release();
  if (failure.IsError()) throw Exception(failure);
  return E_FAIL;
}
