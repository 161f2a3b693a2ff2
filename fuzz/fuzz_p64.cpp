// P64Encode against a plain base64-style encoder written from the bit
// grouping alone: groups of three bytes give four characters, a final one or
// two bytes give two or three, and nothing is padded.

#include "FuzzSupport.h"
#include "P64.h"

#include <cstddef>
#include <cstdint>
#include <string>

namespace {

char Letter(unsigned bits)
{
    if (bits < 26)
        return static_cast<char>('a' + bits);
    if (bits < 52)
        return static_cast<char>('A' + bits - 26);
    if (bits < 62)
        return static_cast<char>('0' + bits - 52);
    return bits == 62 ? '_' : '-';
}

std::string ReferenceEncode(const std::string &data)
{
    std::string out;
    size_t i = 0;
    for (; i + 3 <= data.size(); i += 3) {
        const unsigned group = static_cast<unsigned char>(data[i]) << 16 |
                               static_cast<unsigned char>(data[i + 1]) << 8 |
                               static_cast<unsigned char>(data[i + 2]);
        out += Letter(group >> 18 & 63);
        out += Letter(group >> 12 & 63);
        out += Letter(group >> 6 & 63);
        out += Letter(group & 63);
    }
    const size_t rest = data.size() - i;
    if (rest == 1) {
        const unsigned b0 = static_cast<unsigned char>(data[i]);
        out += Letter(b0 >> 2);
        out += Letter((b0 & 3) << 4);
    } else if (rest == 2) {
        const unsigned b0 = static_cast<unsigned char>(data[i]);
        const unsigned b1 = static_cast<unsigned char>(data[i + 1]);
        out += Letter(b0 >> 2);
        out += Letter((b0 & 3) << 4 | b1 >> 4);
        out += Letter((b1 & 15) << 2);
    }
    return out;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    const std::string input(reinterpret_cast<const char *>(data), size);
    const std::string encoded = P64Encode(input);
    const std::string expected = ReferenceEncode(input);
    FUZZ_CHECK(encoded.size() == 4 * (size / 3) + (size % 3 ? size % 3 + 1 : 0), "P64 output length");
    FUZZ_CHECK(encoded == expected, "P64 text differs from the reference encoding");
    return 0;
}
