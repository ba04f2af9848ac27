#include "net/time_limits.h"

#include <cstdlib>
#include <string>

namespace net_limits {
namespace {

Limits Read() {
  Limits limits;
  const char* text = std::getenv(kOverrideVariable);
  if (text == nullptr) return limits;
  const std::string value = text;
  // Anything but a plain positive number keeps the defaults: a typing error must not make the
  // updater give up at once, nor wait for ever.
  if (value.empty() || value.size() > 9 || value.find_first_not_of("0123456789") != value.npos) {
    return limits;
  }
  const int milliseconds = std::stoi(value);
  if (milliseconds > 0) limits = {milliseconds, milliseconds, milliseconds};
  return limits;
}

}  // namespace

const Limits& Get() {
  static const Limits limits = Read();
  return limits;
}

}  // namespace net_limits
