#include "platform/replacement_name.h"

#include <algorithm>
#include <string_view>

#include "platform/process_list.h"

namespace platform {
namespace {

constexpr std::string_view kSuffix = ".rv7new.tmp";

}  // namespace

std::string ReplacementName(const std::string& name, unsigned n) {
  // Built by appending: GCC 12 at -O3 warns falsely (-Wrestrict) on a chain of "+".
  std::string hidden = ".";
  hidden += name;
  hidden += '.';
  hidden += std::to_string(CurrentProcessId());
  hidden += '-';
  hidden += std::to_string(n);
  hidden += kSuffix;
  return hidden;
}

int WriterOfReplacement(const std::string& name) {
  if (name.size() < kSuffix.size() + 4 || name[0] != '.' || !name.ends_with(kSuffix)) return 0;
  const std::string_view stem(name.data(), name.size() - kSuffix.size());
  const std::size_t dot = stem.rfind('.');
  const std::size_t dash = stem.rfind('-');
  if (dot == std::string_view::npos || dot == 0 || dash == std::string_view::npos || dash < dot) {
    return 0;
  }
  const std::string_view pid = stem.substr(dot + 1, dash - dot - 1);
  const std::string_view serial = stem.substr(dash + 1);
  const auto digits = [](std::string_view text) {
    return !text.empty() && text.size() < 10 &&
           std::all_of(text.begin(), text.end(), [](char c) { return c >= '0' && c <= '9'; });
  };
  if (!digits(pid) || !digits(serial)) return 0;
  return std::stoi(std::string(pid));
}

}  // namespace platform
