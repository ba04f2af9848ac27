// A sink for tests that holds what it is given: a range, checking that each block follows the
// last, or a body.
#pragma once

#include <gtest/gtest.h>

#include <functional>
#include <string>

#include "net/http_body_sink.h"

namespace net_testing {

struct RangeRecorder : IHttpRangeSink, IHttpBodySink {
  void OnRangeData(std::uint64_t offset, const std::uint8_t* bytes, std::size_t size) override {
    if (received.empty()) first = offset;
    EXPECT_EQ(offset, first + received.size());
    received.append(reinterpret_cast<const char*>(bytes), size);
  }
  void OnBegin(bool, std::uint32_t) override {
    if (on_begin) on_begin();
  }
  void OnData(const std::uint8_t* bytes, std::size_t size) override {
    OnRangeData(first + received.size(), bytes, size);
  }
  void OnEnd(std::uint32_t) override {}
  std::string received;
  std::uint64_t first = 0;
  std::function<void()> on_begin;  // called as a body begins
};

}  // namespace net_testing
