// Kernel handles kept in the int members that the platform headers give their descriptors: the
// system guarantees that a handle's value fits in 32 bits (so that 32- and 64-bit processes can
// share them), and INVALID_HANDLE_VALUE is -1, the headers' "nothing open".
#pragma once

#include <windows.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <utility>

namespace platform {

// Owns a kernel handle and closes it once, on every way out of its scope; a null handle and
// INVALID_HANDLE_VALUE (what the calls that make handles answer on failure) own nothing.
class UniqueHandle {
 public:
  UniqueHandle() = default;
  explicit UniqueHandle(HANDLE handle) : handle_(handle) {}
  ~UniqueHandle() { Reset(); }
  UniqueHandle(UniqueHandle&& other) noexcept : handle_(other.Release()) {}
  UniqueHandle& operator=(UniqueHandle&& other) noexcept {
    if (this != &other) Reset(other.Release());
    return *this;
  }

  bool Valid() const { return handle_ != nullptr && handle_ != INVALID_HANDLE_VALUE; }
  HANDLE Get() const { return handle_; }
  HANDLE Release() { return std::exchange(handle_, nullptr); }
  void Reset(HANDLE handle = nullptr) {
    if (Valid()) CloseHandle(handle_);
    handle_ = handle;
  }

 private:
  HANDLE handle_ = nullptr;
};

inline int HandleToInt(HANDLE handle) {
  return static_cast<int>(reinterpret_cast<std::intptr_t>(handle));
}

inline HANDLE IntToHandle(int value) {
  return reinterpret_cast<HANDLE>(static_cast<std::intptr_t>(value));
}

// Reads until `count` bytes are in or the file ends, in calls of at most 1 GiB (what one ReadFile
// takes). `done` is what came in; false when a read failed.
inline bool ReadUpTo(HANDLE handle, void* buffer, std::size_t count, std::size_t& done) {
  done = 0;
  while (done < count) {
    const DWORD chunk = static_cast<DWORD>(std::min<std::size_t>(count - done, 1u << 30));
    DWORD got = 0;
    if (!ReadFile(handle, static_cast<char*>(buffer) + done, chunk, &got, nullptr)) return false;
    if (got == 0) break;
    done += got;
  }
  return true;
}

}  // namespace platform
