// Hexadecimal text of digests as lists, signatures and packages carry it: two lower-case digits a
// byte. One spelling per digest, so that texts can be compared as they are.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <string_view>

std::string EncodeHex(std::span<const std::uint8_t> bytes);

// Fills bytes from text of exactly 2 * bytes.size() lower-case hexadecimal digits; false for any
// other text (upper case, a blank, a sign, another length), bytes then left unspecified.
bool DecodeHex(std::string_view text, std::span<std::uint8_t> bytes);
