#pragma once

#include <array>
#include <string>

// Base64 bit grouping with a form-field-safe alphabet and no padding, so the
// text travels as an HTML form value without escaping. Encoder only.

// a-z, A-Z, 0-9, "_", "-"; filled and checked at start-up.
extern const std::array<char, 64> P64Alphabet;

std::string P64Encode(const std::string &data);
