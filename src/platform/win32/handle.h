// Kernel handles kept in the int members that the platform headers give their descriptors: the
// system guarantees that a handle's value fits in 32 bits (so that 32- and 64-bit processes can
// share them), and INVALID_HANDLE_VALUE is -1, the headers' "nothing open".
#pragma once

#include <windows.h>

#include <cstdint>

namespace platform {

inline int HandleToInt(HANDLE handle) {
  return static_cast<int>(reinterpret_cast<std::intptr_t>(handle));
}

inline HANDLE IntToHandle(int value) {
  return reinterpret_cast<HANDLE>(static_cast<std::intptr_t>(value));
}

}  // namespace platform
