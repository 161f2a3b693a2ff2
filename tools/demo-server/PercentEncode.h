#pragma once

#include <string>

// Percent-encodes every byte except A-Z a-z 0-9 - _ . ~ as %XX (upper-case
// hex), so names and values can hold "&", "=", line breaks or any byte.
std::string PercentEncode(const std::string &text);
