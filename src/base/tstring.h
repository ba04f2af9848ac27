// The system's one string type: a narrow string in the platform's narrow character set (UTF-8 on
// Linux) with the parsing, formatting, case and path operations the rest of the system relies on.
// Paths are in the system's internal form, with backslashes.
#pragma once

#include <cstddef>
#include <string>

namespace std {

class tstring : public std::basic_string<char> {
 public:
  using std::basic_string<char>::basic_string;
  tstring() = default;
  tstring(const std::string& other) : std::string(other) {}
  tstring(std::string&& other) : std::string(std::move(other)) {}
  virtual ~tstring() = default;
  tstring(const tstring&) = default;
  tstring(tstring&&) = default;
  tstring& operator=(const tstring&) = default;
  tstring& operator=(tstring&&) = default;
  using std::basic_string<char>::operator=;

  // printf-style formatting of any length; replaces the content. A null format throws.
  void Format(const char* format, ...) __attribute__((format(printf, 2, 3)));
  static tstring FormatNew(const char* format, ...) __attribute__((format(printf, 1, 2)));

  // Replaces the content with the narrow form of zero-terminated UTF-16 text.
  void SetFromWide(const char16_t* text);
  // Replaces the content with the narrow form of a UTF-16 block (byte-order mark optional).
  bool SetFromData(size_t count, const void* bytes);

  // Cut the first line (CR LF or LF breaks) or the first field from the front of source.
  static bool GetLine(tstring& source, tstring& line);
  static bool GetSplit(tstring& source, const tstring& separator, tstring& piece);

  void TrimLeft();
  void TrimRight();
  void ToLower();
  void ToUpper();
  static int CompareNoCase(const tstring& a, const tstring& b);

  void ToBackslashes();
  void BackslashesToQuestionMarks();
  void AddBackslash();
  void RemoveBackslash();
  void RemoveFileSpec();
  static tstring GetParentFolder(const tstring& path);
  static tstring GetFileName(const tstring& path);
  static tstring GetModulePath();
};

}  // namespace std
