#include "net/http_reply.h"

#include <limits>

#include "base/ascii.h"

namespace http_reply {
namespace {

bool IsBlank(char c) { return c == ' ' || (c >= '\t' && c <= '\r'); }
bool IsDigit(char c) { return c >= '0' && c <= '9'; }

}  // namespace

HeaderCollector::Result HeaderCollector::Add(const char* bytes, std::size_t size) {
  pending_.erase(0, cut_);
  cut_ = 0;
  pending_.append(bytes, size);
  total_ += size;
  const Result result = CutLines();
  const std::size_t header_bytes = result == Result::kComplete ? total_ - GetRest().size() : total_;
  if (result != Result::kNotHttp && header_bytes > kMaxHeaderBytes) return Result::kTooLong;
  return result;
}

HeaderCollector::Result HeaderCollector::CutLines() {
  for (;;) {
    const std::size_t end = pending_.find('\n', cut_);
    if (end == std::string::npos) return Result::kNeedMore;
    std::tstring line = pending_.substr(cut_, end - cut_);
    cut_ = end + 1;
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (lines_.empty()) {
      // Checked as soon as the first line is whole, so that a reply that is not HTTP at all is
      // refused before more of it is read. An empty first line is not HTTP either.
      lines_.push_back(std::move(line));
      if (!lines_.front().starts_with("HTTP/")) return Result::kNotHttp;
      continue;
    }
    if (line.empty()) return Result::kComplete;
    lines_.push_back(std::move(line));
  }
}

bool GetStatusCode(const std::tstring& line, std::tstring& code) {
  const std::size_t dot = line.find('.', 5);
  if (dot == std::string::npos) return false;
  const std::size_t blank = line.find(' ', dot + 1);
  if (blank == std::string::npos) return false;
  const std::size_t start = line.find_first_not_of(' ', blank + 1);
  if (start == std::string::npos) return false;
  const std::size_t end = line.find(' ', start);
  if (end == std::string::npos) return false;
  code = line.substr(start, end - start);
  return true;
}

std::map<std::tstring, std::tstring> GetFields(const std::vector<std::tstring>& lines) {
  std::map<std::tstring, std::tstring> fields;
  for (std::size_t i = 1; i < lines.size() && !lines[i].empty(); ++i) {
    const std::size_t colon = lines[i].find(": ");
    if (colon == std::string::npos || colon == 0) continue;
    fields.emplace(ascii::Lowered(std::string_view(lines[i]).substr(0, colon)),
                   lines[i].substr(colon + 2));
  }
  return fields;
}

bool ParseContentLength(const std::tstring& value, std::uint32_t& length) {
  if (value.size() > 62) return false;
  std::size_t pos = 0;
  while (pos < value.size() && IsBlank(value[pos])) ++pos;
  bool negative = false;
  if (pos < value.size() && (value[pos] == '+' || value[pos] == '-'))
    negative = value[pos++] == '-';
  const std::size_t digits = pos;
  std::uint64_t number = 0;
  for (; pos < value.size() && IsDigit(value[pos]); ++pos) {
    number = number * 10 + static_cast<std::uint64_t>(value[pos] - '0');
    if (number > std::numeric_limits<std::uint32_t>::max()) return false;
  }
  // Without digits nothing was converted, so the whole text counts as following the number.
  if (pos == digits) {
    length = 0;
    return value.empty();
  }
  // A negative length would wrap to a huge unsigned one; only -0 is a length.
  if (pos != value.size() || (negative && number != 0)) return false;
  length = static_cast<std::uint32_t>(number);
  return true;
}

}  // namespace http_reply
