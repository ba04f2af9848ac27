// Narrow text (the process's ANSI code page) to and from the UTF-16 that the wide system calls
// take, for the Windows implementations only.
#pragma once

#include <string>
#include <string_view>

#include "platform/text.h"

namespace platform {

inline std::wstring Wide(std::string_view narrow) {
  const std::u16string wide = AnsiToWide(narrow);
  return std::wstring(wide.begin(), wide.end());
}

inline std::string Narrow(std::wstring_view wide) {
  return WideToAnsi(
      std::u16string_view(reinterpret_cast<const char16_t*>(wide.data()), wide.size()));
}

}  // namespace platform
