#include "base/utf8string.h"

#include <cstring>
#include <string_view>

#include "base/exception.h"
#include "platform/text.h"

void utf8string::CreateBuffer(std::uint32_t n) {
  CriticalSectionLock hold(lock_);
  try {
    Release();
    if (n == 0) throw utf8stringException("CreateBuffer size error.");
    data_.reset(new char[n]);
    size_ = n;
    data_[0] = 0;
  } catch (...) {
    Release();
    throw;
  }
}

void utf8string::SetUtf8Data(const void* bytes, std::uint32_t n) {
  CriticalSectionLock hold(lock_);
  const auto* first = static_cast<const char*>(bytes);
  try {
    // An empty block is refused like an empty buffer; there is no byte to test for the terminator.
    const std::uint32_t m = (n != 0 && first[n - 1] == 0) ? n : n + 1;
    CreateBuffer(n == 0 ? 0 : m);
    std::memcpy(data_.get(), first, m - 1);
    data_[m - 1] = 0;
  } catch (...) {
    Release();
    throw;
  }
}

void utf8string::SetString(const std::tstring& text) {
  CriticalSectionLock hold(lock_);
  try {
    const std::string utf8 = platform::WideToUtf8(platform::AnsiToWide(text.c_str()));
    CreateBuffer(static_cast<std::uint32_t>(utf8.size() + 1));
    std::memcpy(data_.get(), utf8.c_str(), utf8.size() + 1);
  } catch (...) {
    Release();
    throw;
  }
}

std::tstring utf8string::GetString() {
  CriticalSectionLock hold(lock_);
  if (!data_) return {};
  // The whole buffer is converted, so a zero byte before the last one would give a text longer
  // than the one measured up to the first zero: the conversion refuses such a buffer.
  const std::string_view bytes(data_.get(), size_ - 1);
  if (bytes.find('\0') != std::string_view::npos) {
    throw utf8stringException("UTF-8 to UNICODE(UTF-16) encode error.");
  }
  const std::u16string wide = platform::Utf8ToWide(bytes);
  std::tstring text;
  text.SetFromWide(wide.c_str());
  return text;
}

std::tstring utf8string::GetUrlEncoded() {
  CriticalSectionLock hold(lock_);
  if (!data_) return {};
  static constexpr char kDigits[] = "0123456789ABCDEF";
  try {
    std::tstring encoded;
    encoded.reserve(3 * size_);
    for (const char* p = data_.get(); *p != 0; ++p) {
      const auto byte = static_cast<unsigned char>(*p);
      encoded += '%';
      encoded += kDigits[byte >> 4];
      encoded += kDigits[byte & 0x0F];
    }
    return encoded;
  } catch (...) {
    return {};
  }
}

void utf8string::Release() {
  CriticalSectionLock hold(lock_);
  data_.reset();
  size_ = 0;
}
