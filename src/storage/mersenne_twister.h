// MT19937 with 32-bit tempered outputs and the 1998 reference seeding (two steps of the linear
// congruential generator 69069·s + 1 per state word). The package format's keystreams are built on
// it, so its outputs are part of the format and must never change.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

class MersenneTwister {
 public:
  static constexpr std::uint32_t kDefaultSeed = 4357;

  MersenneTwister() = default;
  explicit MersenneTwister(std::uint32_t seed) { Seed(seed); }

  void Seed(std::uint32_t seed);
  // The next tempered output; a generator never seeded seeds itself with kDefaultSeed first.
  std::uint32_t Next() {
    if (index_ >= kStateSize) Regenerate();
    return Temper(state_[index_++]);
  }
  // Draws and discards count outputs.
  void Discard(std::uint64_t count);
  // The next count outputs, in order, into out: the same values as count calls of Next.
  void Generate(std::uint32_t* out, std::size_t count);

 private:
  static constexpr int kStateSize = 624;

  static std::uint32_t Temper(std::uint32_t y) {
    y ^= y >> 11;
    y ^= (y << 7) & 0x9D2C5680u;
    y ^= (y << 15) & 0xEFC60000u;
    return y ^ (y >> 18);
  }
  void Regenerate();

  std::array<std::uint32_t, kStateSize> state_{};
  int index_ = kStateSize + 1;  // past a full state: not seeded yet
};
