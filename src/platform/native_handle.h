// The owner of one open object of the system: a descriptor on POSIX, a kernel handle on Windows.
// The public headers keep their open files, locks and events in it, so that each is closed once,
// on every way out, without the system's headers reaching the layers above.
#pragma once

#include <cstdint>
#include <utility>

namespace platform {

class NativeHandle {
 public:
#ifdef _WIN32
  using Raw = void*;  // a HANDLE
#else
  using Raw = int;
#endif

  NativeHandle() = default;
  explicit NativeHandle(Raw raw) : raw_(raw) {}
  ~NativeHandle() { Reset(); }
  NativeHandle(NativeHandle&& other) noexcept : raw_(other.Release()) {}
  NativeHandle& operator=(NativeHandle&& other) noexcept {
    if (this != &other) Reset(other.Release());
    return *this;
  }

  // Nothing is owned by -1 on POSIX, nor on Windows by null or INVALID_HANDLE_VALUE: the calls
  // that make handles answer one or the other on failure.
  bool Valid() const {
#ifdef _WIN32
    return raw_ != nullptr && raw_ != reinterpret_cast<Raw>(static_cast<std::intptr_t>(-1));
#else
    return raw_ >= 0;
#endif
  }
  Raw Get() const { return raw_; }
  Raw Release() { return std::exchange(raw_, kNone); }
  // Closes what was owned, then owns raw.
  void Reset(Raw raw = kNone) {
    if (Valid()) Close(raw_);
    raw_ = raw;
  }

 private:
#ifdef _WIN32
  static constexpr Raw kNone = nullptr;
#else
  static constexpr Raw kNone = -1;
#endif
  static void Close(Raw raw);

  Raw raw_ = kNone;
};

}  // namespace platform
