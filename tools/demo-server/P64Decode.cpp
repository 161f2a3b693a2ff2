#include "P64Decode.h"

#include "P64.h"

#include <array>
#include <cstdint>

namespace {

// Built on first use from the encoder's own table, so the two cannot drift
// apart; -1 marks a character outside the alphabet.
const std::array<std::int8_t, 256> &DecodeTable()
{
    static const std::array<std::int8_t, 256> table = [] {
        std::array<std::int8_t, 256> values{};
        values.fill(-1);
        for (std::size_t i = 0; i < P64Alphabet.size(); ++i)
            values[static_cast<unsigned char>(P64Alphabet[i])] = static_cast<std::int8_t>(i);
        return values;
    }();
    return table;
}

} // namespace

bool P64Decode(const std::string &Text, std::string &Bytes)
{
    Bytes.clear();
    const std::size_t rest = Text.size() % 4;
    if (rest == 1)
        return false;
    const std::array<std::int8_t, 256> &table = DecodeTable();
    std::string out;
    out.reserve(Text.size() / 4 * 3 + 2);
    std::uint32_t bits = 0;
    int count = 0;
    for (const char c : Text) {
        const std::int8_t value = table[static_cast<unsigned char>(c)];
        if (value < 0)
            return false;
        bits = (bits << 6) | static_cast<std::uint32_t>(value);
        if (++count == 4) {
            out += static_cast<char>((bits >> 16) & 0xFF);
            out += static_cast<char>((bits >> 8) & 0xFF);
            out += static_cast<char>(bits & 0xFF);
            bits = 0;
            count = 0;
        }
    }
    // A final group of two characters holds one byte and four zero bits,
    // one of three characters holds two bytes and two zero bits.
    if (count == 2) {
        if (bits & 0xF)
            return false;
        out += static_cast<char>((bits >> 4) & 0xFF);
    } else if (count == 3) {
        if (bits & 0x3)
            return false;
        out += static_cast<char>((bits >> 10) & 0xFF);
        out += static_cast<char>((bits >> 2) & 0xFF);
    }
    Bytes = std::move(out);
    return true;
}
