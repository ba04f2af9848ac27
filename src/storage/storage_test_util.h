// Helpers shared by the storage tests.
#pragma once

#include <gtest/gtest.h>

#include <functional>
#include <string>

#include "base/exception.h"

// Runs action and expects an Exception with exactly this text and error mark.
inline void ExpectFailure(const std::function<void()>& action, const std::string& text,
                          bool error = true) {
  try {
    action();
    ADD_FAILURE() << "no exception; expected: " << text;
  } catch (const Exception& failure) {
    EXPECT_EQ(failure.GetText(), text);
    EXPECT_EQ(failure.IsError(), error) << text;
  }
}
