#include "storage/mersenne_twister.h"

#include <algorithm>
#include <mutex>

namespace {

constexpr int kShift = 397;
constexpr std::uint32_t kMatrix = 0x9908B0DFu;
constexpr std::uint32_t kUpper = 0x80000000u;
constexpr std::uint32_t kLower = 0x7FFFFFFFu;

// Regeneration of every generator's state is serialised process-wide. Each generator is used by
// one thread at a time anyway; the lock keeps the generator's behaviour the same as the system's.
std::mutex regeneration_lock;

std::uint32_t Twist(std::uint32_t upper, std::uint32_t lower, std::uint32_t far) {
  const std::uint32_t y = (upper & kUpper) | (lower & kLower);
  return far ^ (y >> 1) ^ ((y & 1u) ? kMatrix : 0u);
}

}  // namespace

void MersenneTwister::Seed(std::uint32_t seed) {
  for (auto& word : state_) {
    word = seed & 0xFFFF0000u;
    seed = 69069u * seed + 1u;
    word |= (seed & 0xFFFF0000u) >> 16;
    seed = 69069u * seed + 1u;
  }
  index_ = kStateSize;
}

void MersenneTwister::Regenerate() {
  if (index_ == kStateSize + 1) Seed(kDefaultSeed);
  std::lock_guard<std::mutex> hold(regeneration_lock);
  int k = 0;
  for (; k < kStateSize - kShift; ++k) {
    state_[k] = Twist(state_[k], state_[k + 1], state_[k + kShift]);
  }
  for (; k < kStateSize - 1; ++k) {
    state_[k] = Twist(state_[k], state_[k + 1], state_[k + kShift - kStateSize]);
  }
  state_[kStateSize - 1] = Twist(state_[kStateSize - 1], state_[0], state_[kShift - 1]);
  index_ = 0;
}

void MersenneTwister::Discard(std::uint64_t count) {
  while (count > 0) {
    if (index_ >= kStateSize) Regenerate();
    const auto step =
        std::min<std::uint64_t>(count, static_cast<std::uint64_t>(kStateSize - index_));
    index_ += static_cast<int>(step);
    count -= step;
  }
}

void MersenneTwister::Generate(std::uint32_t* out, std::size_t count) {
  while (count > 0) {
    if (index_ >= kStateSize) Regenerate();
    const auto step = std::min<std::size_t>(count, static_cast<std::size_t>(kStateSize - index_));
    const std::uint32_t* from = state_.data() + index_;
    for (std::size_t i = 0; i < step; ++i) out[i] = Temper(from[i]);
    index_ += static_cast<int>(step);
    out += step;
    count -= step;
  }
}
