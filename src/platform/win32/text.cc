// The system's conversions: narrow text is the process's ANSI code page (UTF-8 where the program's
// manifest declares it, see docs/design-notes.md), case mapping is the invariant locale's.
#include "platform/text.h"

#include <windows.h>

namespace platform {
namespace {

std::u16string ToWide(UINT code_page, std::string_view text) {
  if (text.empty()) return {};
  const int size = static_cast<int>(text.size());
  const int count = MultiByteToWideChar(code_page, 0, text.data(), size, nullptr, 0);
  std::u16string out(static_cast<std::size_t>(count), u'\0');
  MultiByteToWideChar(code_page, 0, text.data(), size, reinterpret_cast<wchar_t*>(out.data()),
                      count);
  return out;
}

std::string FromWide(UINT code_page, std::u16string_view text) {
  if (text.empty()) return {};
  const auto* wide = reinterpret_cast<const wchar_t*>(text.data());
  const int size = static_cast<int>(text.size());
  // UTF-8 takes no default character: the system writes U+FFFD for what it cannot encode.
  const char* fallback = code_page == CP_UTF8 ? nullptr : "?";
  const int count = WideCharToMultiByte(code_page, 0, wide, size, nullptr, 0, fallback, nullptr);
  std::string out(static_cast<std::size_t>(count), '\0');
  WideCharToMultiByte(code_page, 0, wide, size, out.data(), count, fallback, nullptr);
  return out;
}

bool IsHighSurrogate(char16_t unit) { return unit >= 0xD800 && unit <= 0xDBFF; }
bool IsLowSurrogate(char16_t unit) { return unit >= 0xDC00 && unit <= 0xDFFF; }

// Unpaired surrogates as the default character "?", which every code page can write.
std::u16string WithoutUnpairedSurrogates(std::u16string_view text) {
  std::u16string out(text);
  for (std::size_t i = 0; i < out.size(); ++i) {
    if (IsHighSurrogate(out[i]) && i + 1 < out.size() && IsLowSurrogate(out[i + 1])) {
      ++i;
    } else if (IsHighSurrogate(out[i]) || IsLowSurrogate(out[i])) {
      out[i] = u'?';
    }
  }
  return out;
}

// The length of the narrow character at text[pos]: a UTF-8 sequence by its lead byte, a
// double-byte character by its lead byte in the code page's table.
std::size_t CharacterLength(std::string_view text, std::size_t pos) {
  const auto lead = static_cast<unsigned char>(text[pos]);
  std::size_t length = 1;
  if (GetACP() == CP_UTF8) {
    length = lead >= 0xF0 ? 4 : lead >= 0xE0 ? 3 : lead >= 0xC0 ? 2 : 1;
  } else if (IsDBCSLeadByteEx(CP_ACP, lead)) {
    length = 2;
  }
  return std::min(length, text.size() - pos);
}

template <DWORD kMapping>
std::string MapCase(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  for (std::size_t pos = 0; pos < text.size();) {
    const char ascii = text[pos];
    if (static_cast<unsigned char>(ascii) < 0x80) {  // the common case, without a system call
      const bool upper = ascii >= 'A' && ascii <= 'Z';
      const bool lower = ascii >= 'a' && ascii <= 'z';
      const int shift = kMapping == LCMAP_LOWERCASE ? (upper ? 32 : 0) : (lower ? -32 : 0);
      out += static_cast<char>(ascii + shift);
      ++pos;
      continue;
    }
    const std::size_t length = CharacterLength(text, pos);
    const std::string_view character = text.substr(pos, length);
    pos += length;
    wchar_t wide[2];
    const int units = MultiByteToWideChar(CP_ACP, MB_ERR_INVALID_CHARS, character.data(),
                                          static_cast<int>(length), wide, 2);
    wchar_t mapped[2];
    if (units <= 0) {
      // A byte that starts no character stays as it is; the next one may start one.
      out += character[0];
      pos += 1 - length;
      continue;
    }
    if (LCMapStringEx(LOCALE_NAME_INVARIANT, kMapping, wide, units, mapped, units, nullptr, nullptr,
                      0) != units) {
      out.append(character);
      continue;
    }
    char back[8];
    BOOL lossy = FALSE;
    const int bytes = WideCharToMultiByte(CP_ACP, 0, mapped, units, back, sizeof back, nullptr,
                                          GetACP() == CP_UTF8 ? nullptr : &lossy);
    if (bytes <= 0 || lossy) {
      out.append(character);
    } else {
      out.append(back, static_cast<std::size_t>(bytes));
    }
  }
  return out;
}

}  // namespace

std::u16string AnsiToWide(std::string_view text) { return ToWide(CP_ACP, text); }
std::string WideToAnsi(std::u16string_view text) {
  return FromWide(CP_ACP, WithoutUnpairedSurrogates(text));
}
std::u16string Utf8ToWide(std::string_view text) { return ToWide(CP_UTF8, text); }
std::string WideToUtf8(std::u16string_view text) { return FromWide(CP_UTF8, text); }

std::string ToLowerAnsi(std::string_view text) { return MapCase<LCMAP_LOWERCASE>(text); }
std::string ToUpperAnsi(std::string_view text) { return MapCase<LCMAP_UPPERCASE>(text); }

}  // namespace platform
