#include "base/exception.h"

namespace {

std::tstring NonEmpty(const std::tstring& text) {
  return text.empty() ? std::tstring("runtime exception.") : text;
}

}  // namespace

RuntimeException::RuntimeException(const std::tstring& text, bool error)
    : Exception(NonEmpty(text), error) {}
