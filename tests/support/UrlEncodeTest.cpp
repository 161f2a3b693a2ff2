#include "UrlEncode.h"

#include <gtest/gtest.h>

#include <ostream>
#include <random>
#include <string>

namespace {

using namespace std::string_literals;

struct DecodeCase
{
    const char *name;
    std::string text;
    std::string decoded;
};

void PrintTo(const DecodeCase &c, std::ostream *os)
{
    *os << c.name;
}

class UrlDecodeTest : public ::testing::TestWithParam<DecodeCase>
{
};

TEST_P(UrlDecodeTest, Decodes)
{
    EXPECT_EQ(UrlDecode(GetParam().text), GetParam().decoded);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, UrlDecodeTest,
    ::testing::Values(
        DecodeCase{"Empty", "", ""}, DecodeCase{"Plain", "AAPL", "AAPL"},
        DecodeCase{"UpperHex", "%41%42", "AB"}, DecodeCase{"LowerHex", "%4a%4B", "JK"},
        DecodeCase{"Separators", "a%26b%3Dc", "a&b=c"}, DecodeCase{"PlusStaysPlus", "a+b", "a+b"},
        DecodeCase{"SpaceEscape", "a%20b", "a b"}, DecodeCase{"ZeroByte", "x%00y", "x\0y"s},
        DecodeCase{"HighByte", "%FF%80", "\xff\x80"}, DecodeCase{"PercentAtEnd", "100%", "100%"},
        DecodeCase{"PercentAndOneDigitAtEnd", "a%4", "a%4"}, DecodeCase{"NonHexFirst", "%G1", "%G1"},
        DecodeCase{"NonHexSecond", "%1G", "%1G"}, DecodeCase{"PercentOfPercent", "%%41", "%A"},
        DecodeCase{"DecodedPercentIsNotDecodedAgain", "%2541", "%41"}, DecodeCase{"LonePercent", "%", "%"},
        DecodeCase{"HighBytesCopied", "\xe9t\xe9", "\xe9t\xe9"}),
    [](const auto &info) { return std::string(info.param.name); });

TEST(UrlEncode, KeepsUnreservedAndEscapesEverythingElse)
{
    EXPECT_EQ(UrlEncode("AZaz09-_.~"), "AZaz09-_.~");
    EXPECT_EQ(UrlEncode("a b&c=d+e%f/"), "a%20b%26c%3Dd%2Be%25f%2F");
    EXPECT_EQ(UrlEncode("\0\xff"s), "%00%FF");
    EXPECT_EQ(UrlEncode(""), "");
}

TEST(UrlEncode, DecodeOfEncodeGivesBackArbitraryBytes)
{
    std::string every;
    for (int b = 0; b < 256; ++b)
        every += static_cast<char>(b);
    EXPECT_EQ(UrlDecode(UrlEncode(every)), every);

    std::mt19937 random(12345);
    for (int round = 0; round < 200; ++round) {
        std::string data(random() % 64, '\0');
        for (char &c : data)
            c = static_cast<char>(random() % 256);
        const std::string encoded = UrlEncode(data);
        EXPECT_EQ(encoded.find_first_of("&=+ "), std::string::npos);
        ASSERT_EQ(UrlDecode(encoded), data) << "round " << round;
    }
}

} // namespace
