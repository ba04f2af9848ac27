// Status codes of the few low-level operations that return one instead of throwing.
#pragma once

#include <cstdint>

using ResultCode = std::int32_t;

inline constexpr ResultCode kResultOk = 0;
inline constexpr ResultCode kResultPartial = 1;
// The general failure code; the Windows headers define the same value as a macro.
#ifndef E_FAIL
inline constexpr ResultCode E_FAIL = static_cast<ResultCode>(0x80004005u);
#endif
