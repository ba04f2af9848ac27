// Base64 text (the standard alphabet, with padding) for keys and signatures that travel in text
// files.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

std::string EncodeBase64(const std::vector<std::uint8_t>& bytes);
// Nothing when the text is not canonical base64: a wrong length, a foreign character, a misplaced
// pad or pad bits left set. Blanks are not skipped.
std::optional<std::vector<std::uint8_t>> DecodeBase64(std::string_view text);
