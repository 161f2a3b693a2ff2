#pragma once

#include <string>

// "%" and two hexadecimal digits become one byte; everything else, "+" and a
// "%" without two hexadecimal digits included, is copied unchanged.
std::string UrlDecode(const std::string &text);

// Percent-encodes every byte except the unreserved A-Z a-z 0-9 - _ . ~
std::string UrlEncode(const std::string &data);
