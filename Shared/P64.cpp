#include "P64.h"

#include "Exceptions.h"

#include <cstdint>

namespace {

std::array<char, 64> FillP64Alphabet()
{
    std::string chars;
    for (char c = 'a'; c <= 'z'; ++c)
        chars += c;
    for (char c = 'A'; c <= 'Z'; ++c)
        chars += c;
    for (char c = '0'; c <= '9'; ++c)
        chars += c;
    chars += '_';
    chars += '-';
    // Self-check: a wrong table would garble every tunnel POST.
    Assert(chars.size() == 64);
    std::array<char, 64> table{};
    for (size_t i = 0; i < table.size(); ++i)
        table[i] = chars[i];
    return table;
}

size_t P64Length(size_t n)
{
    const size_t rest = n % 3;
    return 4 * (n / 3) + (rest ? rest + 1 : 0);
}

} // namespace

const std::array<char, 64> P64Alphabet = FillP64Alphabet();

std::string P64Encode(const std::string &data)
{
    const size_t length = P64Length(data.size());
    // One spare character for what the trailing zero byte may produce.
    std::string result(length + 1, '\0');
    size_t out = 0;
    uint32_t accumulator = 0;
    int phase = 0;
    auto put = [&](uint32_t bits) { result[out++] = P64Alphabet[bits % 64]; };
    for (size_t i = 0; i <= data.size(); ++i) {
        const uint32_t byte = i < data.size() ? static_cast<unsigned char>(data[i]) : 0u;
        accumulator = accumulator << 8 | byte;
        switch (phase) {
        case 0:
            put(accumulator >> 2);
            phase = 1;
            break;
        case 1:
            put(accumulator >> 4);
            phase = 2;
            break;
        default:
            put(accumulator >> 6);
            put(accumulator);
            phase = 0;
            break;
        }
    }
    result.resize(length);
    return result;
}
