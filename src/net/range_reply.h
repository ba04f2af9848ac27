// The header of a reply to a single-range GET ("Range: bytes=first-last"), judged before any byte
// of its body is used. Pure text functions, so that the rules hold the same for every connection.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "base/tstring.h"

namespace range_reply {

struct Verdict {
  // False for a 200 (the server ignores ranges) or a 416: the caller fetches the whole file
  // instead, and the body of such a reply is never used.
  bool served = false;
  // The file's size after the "/" of Content-Range; empty for "*".
  std::optional<std::uint64_t> total;
  // The body is exactly this long (last - first + 1) when served.
  std::uint64_t length = 0;
  // The connection may carry the next request: an HTTP/1.1 reply without "Connection: close".
  bool keep_alive = false;
};

// Judges the header lines (status line first) of the reply to bytes first..last. Returns an empty
// text when the reply is usable (verdict filled in), else what is wrong with it. Field names are
// read without regard to letter case; a framing field given twice is refused, since the two
// could disagree.
std::string Judge(const std::vector<std::tstring>& lines, std::uint64_t first, std::uint64_t last,
                  Verdict& verdict);

}  // namespace range_reply
