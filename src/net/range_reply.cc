#include "net/range_reply.h"

#include <algorithm>
#include <charconv>
#include <limits>
#include <map>
#include <string_view>

#include "base/ascii.h"
#include "net/http_reply.h"

namespace range_reply {
namespace {

// The fields that decide how the body is framed or what it holds.
constexpr std::string_view kFramingFields[] = {"content-length", "content-range", "content-type",
                                               "transfer-encoding", "connection"};

// Plain decimal digits and nothing else, within 64 bits.
bool ParseNumber(std::string_view text, std::uint64_t& number) {
  if (text.empty() || text.front() < '0' || text.front() > '9') return false;
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), number);
  return error == std::errc() && end == text.data() + text.size();
}

// The framing fields by lower-case name; false when one of them is given twice.
bool ReadFields(const std::vector<std::tstring>& lines, std::map<std::string, std::string>& fields,
                std::string& repeated) {
  for (std::size_t i = 1; i < lines.size(); ++i) {
    const std::size_t colon = lines[i].find(':');
    if (colon == std::string::npos) continue;
    const std::string name =
        ascii::Lowered(ascii::TrimBlanks(std::string_view(lines[i]).substr(0, colon)));
    if (std::find(std::begin(kFramingFields), std::end(kFramingFields), name) ==
        std::end(kFramingFields)) {
      continue;
    }
    if (!fields.emplace(name, ascii::TrimBlanks(std::string_view(lines[i]).substr(colon + 1)))
             .second) {
      repeated = name;
      return false;
    }
  }
  return true;
}

// "bytes first-last/total" with exactly the asked bounds; total is decimal (beyond last) or "*".
bool MatchContentRange(std::string_view value, std::uint64_t first, std::uint64_t last,
                       std::optional<std::uint64_t>& total) {
  constexpr std::string_view kUnit = "bytes ";
  if (!value.starts_with(kUnit)) return false;
  value.remove_prefix(kUnit.size());
  const std::size_t dash = value.find('-'), slash = value.find('/');
  if (dash == std::string_view::npos || slash == std::string_view::npos || slash < dash) {
    return false;
  }
  std::uint64_t from = 0, to = 0, size = 0;
  if (!ParseNumber(value.substr(0, dash), from) ||
      !ParseNumber(value.substr(dash + 1, slash - dash - 1), to) || from != first || to != last) {
    return false;
  }
  const std::string_view rest = value.substr(slash + 1);
  if (rest == "*") return true;
  if (!ParseNumber(rest, size) || size <= last) return false;
  total = size;
  return true;
}

// Whether a comma-separated list such as a Connection field's holds the token.
bool HasToken(std::string_view list, std::string_view token) {
  for (std::size_t start = 0; start <= list.size();) {
    const std::size_t comma = std::min(list.find(',', start), list.size());
    if (ascii::TrimBlanks(list.substr(start, comma - start)) == token) return true;
    start = comma + 1;
  }
  return false;
}

// Reads the framing fields and refuses what no reply on a kept connection may carry: a framing
// field twice, or a transfer coding. Returns what is wrong, or an empty text.
std::string ReadFraming(const std::vector<std::tstring>& lines,
                        std::map<std::string, std::string>& fields) {
  std::string repeated;
  if (!ReadFields(lines, fields, repeated)) return "repeated " + repeated;
  if (fields.contains("transfer-encoding")) {
    return "Transfer-Encoding " + fields["transfer-encoding"];
  }
  return {};
}

// An HTTP/1.1 reply keeps its connection unless it says it closes it.
bool KeepsAlive(const std::tstring& status_line, std::map<std::string, std::string>& fields) {
  return status_line.starts_with("HTTP/1.1 ") &&
         !HasToken(ascii::Lowered(fields["connection"]), "close");
}

std::string RangeText(std::uint64_t first, std::uint64_t last) {
  return "bytes " + std::to_string(first) + "-" + std::to_string(last);
}

}  // namespace

std::string Judge(const std::vector<std::tstring>& lines, std::uint64_t first, std::uint64_t last,
                  Verdict& verdict) {
  verdict = {};
  std::tstring code;
  if (lines.empty() || !http_reply::GetStatusCode(lines.front(), code)) {
    return "status line " + (lines.empty() ? std::string() : std::string(lines.front()));
  }
  if (code == "200" || code == "416") return {};
  if (code != "206") return "status " + code;
  std::map<std::string, std::string> fields;
  if (std::string problem = ReadFraming(lines, fields); !problem.empty()) return problem;
  if (ascii::Lowered(fields["content-type"]).starts_with("multipart/")) {
    return "multipart reply for " + RangeText(first, last);
  }
  if (!MatchContentRange(fields["content-range"], first, last, verdict.total)) {
    return "Content-Range " + fields["content-range"] + " for " + RangeText(first, last);
  }
  const std::uint64_t length = last - first + 1;
  std::uint64_t announced = 0;
  if (!ParseNumber(fields["content-length"], announced) || announced != length) {
    return "Content-Length " + fields["content-length"] + " for " + std::to_string(length) +
           " bytes";
  }
  verdict.served = true;
  verdict.length = length;
  verdict.keep_alive = KeepsAlive(lines.front(), fields);
  return {};
}

std::string JudgeWhole(const std::vector<std::tstring>& lines, Verdict& verdict) {
  verdict = {};
  std::map<std::string, std::string> fields;
  if (std::string problem = ReadFraming(lines, fields); !problem.empty()) return problem;
  std::uint64_t length = 0;
  if (!ParseNumber(fields["content-length"], length) ||
      length > std::numeric_limits<std::uint32_t>::max()) {
    return "Content-Length " + fields["content-length"];
  }
  verdict.served = true;
  verdict.length = length;
  verdict.keep_alive = KeepsAlive(lines.front(), fields);
  return {};
}

}  // namespace range_reply
