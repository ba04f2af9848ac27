// A range sink for tests: holds what it is given and checks that each block follows the last.
#pragma once

#include <gtest/gtest.h>

#include <string>

#include "net/http_body_sink.h"

namespace net_testing {

struct RangeRecorder : IHttpRangeSink {
  void OnRangeData(std::uint64_t offset, const std::uint8_t* bytes, std::size_t size) override {
    if (received.empty()) first = offset;
    EXPECT_EQ(offset, first + received.size());
    received.append(reinterpret_cast<const char*>(bytes), size);
  }
  std::string received;
  std::uint64_t first = 0;
};

}  // namespace net_testing
