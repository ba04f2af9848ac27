#include "storage/package_key.h"

namespace {

// The key is never stored whole in the program; it is put together when it is needed. Both words
// are fixed for good: every package ever written depends on them.
volatile std::uint32_t stored_word = 0x5A3C96E1u;
constexpr std::uint32_t kKeyConstant = 0x2F6B1D84u;

}  // namespace

std::uint32_t GetPackageKey() { return stored_word ^ kKeyConstant; }
