#include "storage/package_format.h"

#include <gtest/gtest.h>

#include <random>
#include <sstream>
#include <vector>

#include "storage/mersenne_twister.h"

namespace {

// The 1998 seeding, written out from its definition, loaded into the standard library's MT19937:
// from the same state both generators must give the same tempered outputs.
std::mt19937 ReferenceSeededWith(std::uint32_t s) {
  std::ostringstream state;
  for (int i = 0; i < 624; ++i) {
    std::uint32_t word = s & 0xFFFF0000u;
    s = 69069u * s + 1u;
    word |= s >> 16;
    s = 69069u * s + 1u;
    state << word << ' ';
  }
  state << 624;  // position: the next output starts a regeneration
  std::mt19937 reference;
  std::istringstream(state.str()) >> reference;
  return reference;
}

TEST(MersenneTwisterTest, MatchesTheReferenceRecurrenceWithThe1998Seeding) {
  for (std::uint32_t seed : {0u, 4357u, 0xFFFFFFFFu}) {
    MersenneTwister ours(seed);
    std::mt19937 reference = ReferenceSeededWith(seed);
    for (int i = 0; i < 2000; ++i) ASSERT_EQ(ours.Next(), reference()) << seed << " output " << i;
  }
  // A generator used before seeding seeds itself with 4357.
  MersenneTwister unseeded, seeded(4357);
  EXPECT_EQ(unseeded.Next(), seeded.Next());
}

// Pieces of any size, and restarts at any position (across the generator's 624-word
// regeneration), give the bytes of one whole pass.
TEST(KeyStreamTest, PiecesAndRestartedPositionsEqualOneWholePass) {
  std::vector<std::uint8_t> whole(4099, 0);
  KeyStream(0xC0FFEEu).Apply(whole.data(), whole.size());
  for (std::size_t piece : {1u, 3u, 5u, 1024u}) {
    std::vector<std::uint8_t> pieces(whole.size(), 0);
    KeyStream stream(0xC0FFEEu);
    for (std::size_t at = 0; at < pieces.size(); at += piece) {
      stream.Apply(pieces.data() + at, std::min(piece, pieces.size() - at));
    }
    EXPECT_EQ(pieces, whole) << piece;
  }
  for (std::uint64_t start : {1u, 2u, 3u, 4u, 2497u, 4098u}) {
    std::vector<std::uint8_t> tail(whole.size() - start, 0);
    KeyStream stream;
    stream.SetPosition(0xC0FFEEu, start);
    stream.Apply(tail.data(), tail.size());
    EXPECT_TRUE(std::equal(tail.begin(), tail.end(), whole.begin() + static_cast<long>(start)))
        << start;
  }
  // Skips of every length from every offset in a word land where a restart would.
  KeyStream skipping(0xC0FFEEu);
  std::uint64_t at = 0;
  for (std::uint64_t skip : {0u, 1u, 2u, 3u, 5u, 7u, 2501u, 4u}) {
    skipping.Skip(skip);
    at += skip;
    std::uint8_t byte = 0;
    skipping.Apply(&byte, 1);
    EXPECT_EQ(byte, whole[at]) << at;
    ++at;
  }
}

}  // namespace
