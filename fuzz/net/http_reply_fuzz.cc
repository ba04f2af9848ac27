// Feeds arbitrary bytes as a server's reply to the rules HttpClient reads replies by, in process:
// the header cut into lines from the bytes whole and from the bytes one at a time, then its status
// line, fields and length, and the judges of a whole document's reply and of a range's. However
// the bytes arrive, the header and the start of the body are the same; a reply the judges accept
// frames its body as its verdict says. The sanitizers catch everything else.
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "net/http_reply.h"
#include "net/range_reply.h"

namespace {

using http_reply::HeaderCollector;

void Judge(const std::vector<std::tstring>& lines) {
  std::tstring code;
  http_reply::GetStatusCode(lines.front(), code);
  const auto fields = http_reply::GetFields(lines);
  std::uint32_t length = 0;
  if (const auto field = fields.find("content-length"); field != fields.end()) {
    http_reply::ParseContentLength(field->second, length);
  }
  range_reply::Verdict whole, range;
  if (range_reply::JudgeWhole(lines, whole).empty() && !whole.served) std::abort();
  if (range_reply::Judge(lines, 10, 109, range).empty() && range.served && range.length != 100) {
    std::abort();
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const char* bytes = reinterpret_cast<const char*>(data);
  HeaderCollector at_once, dripped;
  const HeaderCollector::Result result = at_once.Add(bytes, size);
  HeaderCollector::Result dripped_result = HeaderCollector::Result::kNeedMore;
  std::size_t taken = 0;
  while (taken < size && dripped_result == HeaderCollector::Result::kNeedMore) {
    dripped_result = dripped.Add(bytes + taken++, 1);
  }
  if (dripped_result != result || dripped.GetLines() != at_once.GetLines()) std::abort();
  if (result != HeaderCollector::Result::kComplete) return 0;
  if (at_once.GetRest() != std::string_view(bytes + taken, size - taken)) std::abort();
  Judge(at_once.GetLines());
  return 0;
}
