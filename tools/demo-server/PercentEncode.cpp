#include "PercentEncode.h"

std::string PercentEncode(const std::string &text)
{
    static const char Hex[] = "0123456789ABCDEF";
    std::string result;
    result.reserve(text.size() + text.size() / 2);
    for (const char c : text) {
        const unsigned char byte = static_cast<unsigned char>(c);
        const bool unreserved = (byte >= 'A' && byte <= 'Z') || (byte >= 'a' && byte <= 'z') ||
                                (byte >= '0' && byte <= '9') || byte == '-' || byte == '_' || byte == '.' ||
                                byte == '~';
        if (unreserved) {
            result += c;
        } else {
            result += '%';
            result += Hex[byte >> 4];
            result += Hex[byte & 0x0F];
        }
    }
    return result;
}
