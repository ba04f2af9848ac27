// On Linux the narrow character set is UTF-8, so narrow text and UTF-8 share one codec here.
#include "platform/text.h"

#include <locale.h>
#include <wctype.h>

namespace platform {
namespace {

constexpr char32_t kReplacement = 0xFFFD;
constexpr char32_t kInvalid = 0xFFFFFFFF;

bool IsContinuation(unsigned char byte) { return (byte & 0xC0) == 0x80; }

// Decodes one UTF-8 character at text[pos] and advances pos past it. A byte that does not start a
// well-formed character (overlong forms, surrogates and values above U+10FFFF included) yields
// kInvalid and advances by one byte only, so that the next character is still found.
char32_t DecodeUtf8(std::string_view text, size_t& pos) {
  const auto lead = static_cast<unsigned char>(text[pos]);
  if (lead < 0x80) {
    ++pos;
    return lead;
  }
  size_t length = 0;
  char32_t value = 0;
  char32_t minimum = 0;
  if ((lead & 0xE0) == 0xC0) {
    length = 2, value = lead & 0x1F, minimum = 0x80;
  } else if ((lead & 0xF0) == 0xE0) {
    length = 3, value = lead & 0x0F, minimum = 0x800;
  } else if ((lead & 0xF8) == 0xF0) {
    length = 4, value = lead & 0x07, minimum = 0x10000;
  }
  if (length == 0 || pos + length > text.size()) {
    ++pos;
    return kInvalid;
  }
  for (size_t i = 1; i < length; ++i) {
    const auto byte = static_cast<unsigned char>(text[pos + i]);
    if (!IsContinuation(byte)) {
      ++pos;
      return kInvalid;
    }
    value = (value << 6) | (byte & 0x3F);
  }
  if (value < minimum || value > 0x10FFFF || (value >= 0xD800 && value <= 0xDFFF)) {
    ++pos;
    return kInvalid;
  }
  pos += length;
  return value;
}

void EncodeUtf8(char32_t c, std::string& out) {
  if (c < 0x80) {
    out += static_cast<char>(c);
  } else if (c < 0x800) {
    out += static_cast<char>(0xC0 | (c >> 6));
    out += static_cast<char>(0x80 | (c & 0x3F));
  } else if (c < 0x10000) {
    out += static_cast<char>(0xE0 | (c >> 12));
    out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (c & 0x3F));
  } else {
    out += static_cast<char>(0xF0 | (c >> 18));
    out += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
    out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (c & 0x3F));
  }
}

// Decodes one UTF-16 character; an unpaired surrogate yields kInvalid.
char32_t DecodeUtf16(std::u16string_view text, size_t& pos) {
  const char16_t unit = text[pos++];
  if (unit < 0xD800 || unit > 0xDFFF) return unit;
  if (unit <= 0xDBFF && pos < text.size() && text[pos] >= 0xDC00 && text[pos] <= 0xDFFF) {
    const char16_t low = text[pos++];
    return 0x10000 + ((static_cast<char32_t>(unit - 0xD800) << 10) | (low - 0xDC00));
  }
  return kInvalid;
}

std::u16string Utf8ToUtf16(std::string_view text) {
  std::u16string out;
  out.reserve(text.size());
  for (size_t pos = 0; pos < text.size();) {
    char32_t c = DecodeUtf8(text, pos);
    if (c == kInvalid) c = kReplacement;
    if (c < 0x10000) {
      out += static_cast<char16_t>(c);
    } else {
      out += static_cast<char16_t>(0xD800 + ((c - 0x10000) >> 10));
      out += static_cast<char16_t>(0xDC00 + ((c - 0x10000) & 0x3FF));
    }
  }
  return out;
}

std::string Utf16ToUtf8(std::u16string_view text, char32_t substitute) {
  std::string out;
  out.reserve(text.size() * 3);
  for (size_t pos = 0; pos < text.size();) {
    const char32_t c = DecodeUtf16(text, pos);
    EncodeUtf8(c == kInvalid ? substitute : c, out);
  }
  return out;
}

// Case tables of the built-in C.UTF-8 locale: full Unicode simple case pairs, whatever locale the
// process runs in. Without it (a stripped system) only ASCII letters are mapped.
locale_t CaseLocale() {
  static const locale_t locale =
      newlocale(LC_CTYPE_MASK, "C.UTF-8", static_cast<locale_t>(nullptr));
  return locale;
}

template <typename Map>
std::string MapCase(std::string_view text, Map map) {
  std::string out;
  out.reserve(text.size());
  for (size_t pos = 0; pos < text.size();) {
    const size_t start = pos;
    const char32_t c = DecodeUtf8(text, pos);
    if (c == kInvalid) {
      out.append(text.substr(start, pos - start));
    } else {
      EncodeUtf8(map(c), out);
    }
  }
  return out;
}

char32_t Lower(char32_t c) {
  if (c < 0x80 || !CaseLocale()) return (c >= 'A' && c <= 'Z') ? c + ('a' - 'A') : c;
  return static_cast<char32_t>(towlower_l(static_cast<wint_t>(c), CaseLocale()));
}

char32_t Upper(char32_t c) {
  if (c < 0x80 || !CaseLocale()) return (c >= 'a' && c <= 'z') ? c - ('a' - 'A') : c;
  return static_cast<char32_t>(towupper_l(static_cast<wint_t>(c), CaseLocale()));
}

}  // namespace

std::u16string AnsiToWide(std::string_view text) { return Utf8ToUtf16(text); }
std::string WideToAnsi(std::u16string_view text) { return Utf16ToUtf8(text, U'?'); }
std::u16string Utf8ToWide(std::string_view text) { return Utf8ToUtf16(text); }
std::string WideToUtf8(std::u16string_view text) { return Utf16ToUtf8(text, kReplacement); }

std::string ToLowerAnsi(std::string_view text) { return MapCase(text, Lower); }
std::string ToUpperAnsi(std::string_view text) { return MapCase(text, Upper); }

}  // namespace platform
