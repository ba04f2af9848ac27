#include "base/tstring.h"

#include <algorithm>
#include <cstdarg>
#include <cstdio>
#include <vector>

#include "base/exception.h"
#include "platform/process.h"
#include "platform/text.h"

namespace std {
namespace {

tstring FormatList(const char* format, va_list args) {
  if (format == nullptr) throw Exception("std::tstring::format arguments NULL error.", true);
  va_list counting;
  va_copy(counting, args);
  const int length = vsnprintf(nullptr, 0, format, counting);
  va_end(counting);
  if (length < 0) throw RuntimeException(format, true);
  std::vector<char> buffer(static_cast<size_t>(length) + 1);
  if (vsnprintf(buffer.data(), buffer.size(), format, args) < 0)
    throw RuntimeException(format, true);
  return tstring(buffer.data(), static_cast<size_t>(length));
}

// Reads UTF-16 units from bytes in little-endian order up to the first zero unit.
std::u16string WideFromBytes(const std::vector<unsigned char>& bytes, size_t start) {
  std::u16string text;
  for (size_t i = start; i + 1 < bytes.size(); i += 2) {
    const auto unit = static_cast<char16_t>(bytes[i] | (bytes[i + 1] << 8));
    if (unit == 0) break;
    text += unit;
  }
  return text;
}

}  // namespace

void tstring::Format(const char* format, ...) {
  va_list args;
  va_start(args, format);
  try {
    *this = FormatList(format, args);
  } catch (...) {
    va_end(args);
    throw;
  }
  va_end(args);
}

tstring tstring::FormatNew(const char* format, ...) {
  va_list args;
  va_start(args, format);
  tstring result;
  try {
    result = FormatList(format, args);
  } catch (...) {
    va_end(args);
    throw;
  }
  va_end(args);
  return result;
}

void tstring::SetFromWide(const char16_t* text) { *this = platform::WideToAnsi(text); }

bool tstring::SetFromData(size_t count, const void* bytes) {
  const auto* first = static_cast<const unsigned char*>(bytes);
  // Two zero bytes after the block guarantee that the conversion finds a terminating zero unit.
  std::vector<unsigned char> buffer(first, first + count);
  buffer.resize(count + 2, 0);
  size_t start = 0;
  if (count >= 2 && buffer[0] == 0xFF && buffer[1] == 0xFE) {
    start = 2;
  } else if (count >= 2 && buffer[0] == 0xFE && buffer[1] == 0xFF) {
    if (count % 2 != 0) throw RuntimeException("Odd data size in unicode!?", true);
    for (size_t i = 0; i < count; i += 2) std::swap(buffer[i], buffer[i + 1]);
    start = 2;
  }
  *this = platform::WideToAnsi(WideFromBytes(buffer, start));
  return true;
}

// A line ends at the first LF, and a CR right before that LF belongs to the break. Any other CR
// stays in the line, so text with mixed break styles never loses a character.
bool tstring::GetLine(tstring& source, tstring& line) {
  if (source.empty()) return false;
  try {
    const size_t lf = source.find('\n');
    if (lf == npos) {
      line = source;
      source.clear();
      return true;
    }
    const size_t end = (lf > 0 && source[lf - 1] == '\r') ? lf - 1 : lf;
    line = source.substr(0, end);
    source.erase(0, lf + 1);
    return true;
  } catch (...) {
    throw Exception("tstring getline", true);
  }
}

bool tstring::GetSplit(tstring& source, const tstring& separator, tstring& piece) {
  if (source.empty()) return false;
  try {
    const size_t pos = source.find_first_of(separator);
    if (pos == npos) {
      piece = source;
      source.clear();
      return true;
    }
    piece = source.substr(0, pos);
    source.erase(0, pos + separator.size());
    return true;
  } catch (...) {
    throw Exception("tstring getsplit", true);
  }
}

void tstring::TrimLeft() { erase(0, std::min(size(), find_first_not_of(' '))); }

void tstring::TrimRight() {
  const size_t last = find_last_not_of(' ');
  erase(last == npos ? 0 : last + 1);
}

void tstring::ToLower() { *this = platform::ToLowerAnsi(*this); }
void tstring::ToUpper() { *this = platform::ToUpperAnsi(*this); }

int tstring::CompareNoCase(const tstring& a, const tstring& b) {
  return platform::ToUpperAnsi(a).compare(platform::ToUpperAnsi(b));
}

void tstring::ToBackslashes() { std::replace(begin(), end(), '/', '\\'); }
void tstring::BackslashesToQuestionMarks() { std::replace(begin(), end(), '\\', '?'); }

void tstring::AddBackslash() {
  if (empty() || back() != '\\') push_back('\\');
}

void tstring::RemoveBackslash() {
  if (!empty() && back() == '\\') pop_back();
}

// Drops the last path component and the backslash before it. A root ("\", "C:\", "\\") stays as it
// is; a bare name becomes empty. Neither "\" nor ":" occurs inside a multibyte UTF-8 character, so
// a byte scan is safe.
void tstring::RemoveFileSpec() {
  size_t pos = 0;
  size_t cut = 0;
  for (int lead = 0; lead < 2 && pos < size() && (*this)[pos] == '\\'; ++lead) cut = ++pos;
  for (; pos < size(); ++pos) {
    if ((*this)[pos] == '\\') {
      cut = pos;
    } else if ((*this)[pos] == ':') {
      cut = pos + 1;
      if (cut < size() && (*this)[cut] == '\\') cut = ++pos + 1;
    }
  }
  erase(cut);
}

tstring tstring::GetParentFolder(const tstring& path) {
  tstring copy(path);
  copy.ToBackslashes();
  const size_t last = copy.rfind('\\');
  if (last == npos || last == 0) return {};
  const size_t previous = copy.rfind('\\', last - 1);
  if (previous == npos) return {};
  return copy.substr(0, previous + 1);
}

tstring tstring::GetFileName(const tstring& path) {
  tstring copy(path);
  copy.ToBackslashes();
  const size_t last = copy.rfind('\\');
  return last == npos ? copy : tstring(copy.substr(last + 1));
}

tstring tstring::GetModulePath() {
  tstring path = platform::GetModuleFileName();
  if (path.empty()) throw Exception("GetModuleFileName error.", true);
  return path;
}

}  // namespace std
