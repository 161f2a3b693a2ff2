#pragma once

#include <string>

// Reads the text of the client's POST bodies back into bytes: base64 bit
// grouping over the alphabet a-z A-Z 0-9 "_" "-", no padding. False, with
// Bytes left empty, for a character outside the alphabet, a length that no
// encoder produces (one character over a group of four), or non-zero bits
// after the last byte, so a damaged body is refused rather than applied.
bool P64Decode(const std::string &Text, std::string &Bytes);
