// Text conversions and case mapping between the system's narrow text (the "ANSI code page"), UTF-16
// and UTF-8. On Linux the narrow text is always UTF-8, whatever the locale; on Windows it is the
// system's code page. None of these depend on setlocale(). All functions are thread-safe.
#pragma once

#include <string>
#include <string_view>

namespace platform {

// Narrow text to UTF-16. Bytes that do not form a character become U+FFFD, as the system's own
// conversion does; never fails.
std::u16string AnsiToWide(std::string_view text);

// UTF-16 to narrow text. A unit that the narrow character set cannot represent (on Linux: an
// unpaired surrogate) becomes the default character "?".
std::string WideToAnsi(std::u16string_view text);

// UTF-8 to UTF-16 and back, independent of the narrow character set; the same replacement rules.
std::u16string Utf8ToWide(std::string_view text);
std::string WideToUtf8(std::u16string_view text);

// Case mapping of narrow text: each multibyte character is mapped as one character (ASCII letters
// and the Unicode simple case pairs); a byte of a multibyte character is never mapped on its own,
// and bytes that do not form a character are kept as they are.
std::string ToLowerAnsi(std::string_view text);
std::string ToUpperAnsi(std::string_view text);

}  // namespace platform
