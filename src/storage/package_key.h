// The package key: combined with each package's header seed, it seeds the keystream that scrambles
// the package's directory. A package can only be read by a build with the key it was written with.
#pragma once

#include <cstdint>

std::uint32_t GetPackageKey();
