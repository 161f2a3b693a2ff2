#include "P64.h"

#include <gtest/gtest.h>

#include <ostream>
#include <random>
#include <set>
#include <string>

namespace {

using namespace std::string_literals;

struct EncodeCase
{
    const char *name;
    std::string data;
    std::string text;
};

void PrintTo(const EncodeCase &c, std::ostream *os)
{
    *os << c.name;
}

class P64EncodeTest : public ::testing::TestWithParam<EncodeCase>
{
};

TEST_P(P64EncodeTest, Encodes)
{
    EXPECT_EQ(P64Encode(GetParam().data), GetParam().text);
}

INSTANTIATE_TEST_SUITE_P(Examples, P64EncodeTest,
                         ::testing::Values(EncodeCase{"Empty", "", ""}, EncodeCase{"OneByte", "a", "yq"},
                                           EncodeCase{"TwoBytes", "ab", "ywi"},
                                           EncodeCase{"ThreeBytes", "abc", "ywjJ"},
                                           EncodeCase{"FourBytes", "abcd", "ywjJza"},
                                           EncodeCase{"ZeroByte", "\0"s, "aa"},
                                           EncodeCase{"ThreeZeroBytes", "\0\0\0"s, "aaaa"},
                                           EncodeCase{"ThreeHighBytes", "\xff\xff\xff", "----"},
                                           EncodeCase{"LastTwoEntries", "\xff\xef\xfe", "-_-_"},
                                           EncodeCase{"DigitsRange", "\xd3\x5d\xb7\xe3\x9e\x9a", "0123456A"}),
                         [](const auto &info) { return std::string(info.param.name); });

TEST(P64Alphabet, HoldsTheSixtyFourCharactersInOrder)
{
    const std::string expected = "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789_-";
    EXPECT_EQ(std::string(P64Alphabet.begin(), P64Alphabet.end()), expected);
}

TEST(P64Encode, LengthIsFourPerThreeBytesPlusTheRestPlusOne)
{
    for (size_t n = 0; n <= 12; ++n) {
        const size_t expected = 4 * (n / 3) + (n % 3 ? n % 3 + 1 : 0);
        EXPECT_EQ(P64Encode(std::string(n, '\x5a')).size(), expected) << n << " bytes";
    }
    EXPECT_EQ(P64Encode(std::string(6000, '\xa5')).size(), 8000u);
}

TEST(P64Encode, OutputUsesOnlyTheAlphabet)
{
    const std::set<char> alphabet(P64Alphabet.begin(), P64Alphabet.end());
    std::mt19937 random(2024);
    for (int round = 0; round < 100; ++round) {
        std::string data(random() % 50, '\0');
        for (char &c : data)
            c = static_cast<char>(random() % 256);
        for (char c : P64Encode(data))
            ASSERT_TRUE(alphabet.count(c)) << "character " << static_cast<int>(c);
    }
}

TEST(P64Encode, EachSextetMapsToItsAlphabetEntry)
{
    // Every 6-bit value in each of the four positions of a group.
    for (int v = 0; v < 64; ++v) {
        const auto b = static_cast<uint32_t>(v);
        const uint32_t group = b << 18 | b << 12 | b << 6 | b;
        const std::string data = {static_cast<char>(group >> 16), static_cast<char>(group >> 8),
                                  static_cast<char>(group)};
        EXPECT_EQ(P64Encode(data), std::string(4, P64Alphabet[v])) << v;
    }
}

} // namespace
