// The header of a reply on a kept connection, to a single-range GET ("Range: bytes=first-last") or
// to a GET of a whole document, judged before any byte of its body is used: the body must be framed
// by its length alone, so that the next reply on the connection begins where this one ends. Pure
// text functions, so that the rules hold the same for every connection.
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
  // The body is exactly this long (last - first + 1 for a range) when served.
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

// Judges the header lines of a 200 reply (status line first, checked by the caller) to a GET of a
// whole document: one Content-Length within 32 bits, as a body sink counts a document, and no
// Transfer-Encoding; a framing field given twice is refused. Returns an empty text when the reply
// is usable (verdict filled in, `served` set), else what is wrong with it.
std::string JudgeWhole(const std::vector<std::tstring>& lines, Verdict& verdict);

}  // namespace range_reply
