// The parts of an HTTP reply's header, read the way HttpClient reads them. Pure text functions, so
// that the rules can be tested and fuzzed without a connection.
#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <string_view>
#include <vector>

#include "base/tstring.h"

namespace http_reply {

// A reply's header may not be longer than this; a server that never ends its header is refused
// instead of filling memory.
inline constexpr std::size_t kMaxHeaderBytes = 64 * 1024;

// Cuts received bytes into header lines. A line ends with LF; one CR before it is dropped, so bare
// LF and CR LF read the same. The first line must begin with "HTTP/". An empty line after it ends
// the header, and every byte after that line belongs to the body, however the bytes were split.
class HeaderCollector {
 public:
  enum class Result { kNeedMore, kComplete, kNotHttp, kTooLong };

  Result Add(const char* bytes, std::size_t size);
  const std::vector<std::tstring>& GetLines() const { return lines_; }
  // After kComplete: the bytes that followed the empty line.
  std::string_view GetRest() const { return std::string_view(pending_).substr(cut_); }

 private:
  Result CutLines();

  std::vector<std::tstring> lines_;
  std::string pending_;
  std::size_t cut_ = 0;  // bytes of pending_ already cut into lines
  std::size_t total_ = 0;
};

// The status code of "HTTP/<major>.<minor> <code> <reason>" (blanks before the code may repeat).
// False when the line lacks the ".", the blank after the minor version or the blank after the code.
bool GetStatusCode(const std::tstring& line, std::tstring& code);

// The "name: value" pairs of the lines after the status line, up to the empty line. Names are
// given in lower case, as HTTP compares them without regard to case; a repeated name (in any
// letter case) keeps its first value; lines without ": " add nothing.
std::map<std::tstring, std::tstring> GetFields(const std::vector<std::tstring>& lines);

// A Content-Length value: blanks, an optional sign, decimal digits and nothing else, at most 62
// characters, within 32 bits. False otherwise.
bool ParseContentLength(const std::tstring& value, std::uint32_t& length);

}  // namespace http_reply
