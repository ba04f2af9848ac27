// One UTF-8 text as a zero-terminated byte buffer, with conversions from and to the narrow text of
// the system and a percent-encoded form for query strings. Every operation holds the object's lock.
// Invariant: the buffer is null with size 0, or holds size bytes of which the last is 0.
#pragma once

#include <cstdint>
#include <memory>

#include "base/critical_section.h"
#include "base/tstring.h"

class utf8string {
 public:
  utf8string() = default;
  utf8string(const utf8string&) = delete;
  utf8string& operator=(const utf8string&) = delete;
  virtual ~utf8string() noexcept(false) = default;

  // A buffer of n bytes whose first byte is 0; n = 0 throws and leaves the object empty.
  void CreateBuffer(std::uint32_t n);
  // Copies UTF-8 bytes in, adding a terminating zero unless the last byte is one.
  void SetUtf8Data(const void* bytes, std::uint32_t n);
  void SetString(const std::tstring& text);
  std::tstring GetString();
  // Every byte before the first zero as %XX (upper-case digits); empty when there is no buffer.
  std::tstring GetUrlEncoded();
  void Release();

  const char* GetData() const { return data_.get(); }
  std::uint32_t GetSize() const { return size_; }

 private:
  CriticalSection lock_;
  std::unique_ptr<char[]> data_;
  std::uint32_t size_ = 0;
};
