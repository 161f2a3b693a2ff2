#include "P64Decode.h"
#include "P64.h"

#include <gtest/gtest.h>

#include <string>

namespace {

struct TDecodeCase
{
    const char *Name;
    std::string Text;
    std::string Bytes;
};

void PrintTo(const TDecodeCase &row, std::ostream *out)
{
    *out << row.Name;
}

class P64DecodeKnown : public ::testing::TestWithParam<TDecodeCase>
{
};

TEST_P(P64DecodeKnown, GivesTheBytes)
{
    std::string bytes = "left over";
    ASSERT_TRUE(P64Decode(GetParam().Text, bytes));
    EXPECT_EQ(bytes, GetParam().Bytes);
}

INSTANTIATE_TEST_SUITE_P(Cases, P64DecodeKnown,
                         ::testing::Values(TDecodeCase{"Empty", "", ""}, TDecodeCase{"OneByte", "yq", "a"},
                                           TDecodeCase{"TwoBytes", "ywi", "ab"},
                                           TDecodeCase{"OneGroup", "ywjJ", "abc"},
                                           TDecodeCase{"GroupAndOne", "ywjJza", "abcd"},
                                           TDecodeCase{"ZeroByte", "aa", std::string(1, '\0')},
                                           TDecodeCase{"AllOnes", "----", "\xFF\xFF\xFF"}),
                         [](const auto &info) { return std::string(info.param.Name); });

class P64DecodeRefused : public ::testing::TestWithParam<TDecodeCase>
{
};

TEST_P(P64DecodeRefused, LeavesNothing)
{
    std::string bytes = "left over";
    EXPECT_FALSE(P64Decode(GetParam().Text, bytes));
    EXPECT_EQ(bytes, "");
}

INSTANTIATE_TEST_SUITE_P(
    Cases, P64DecodeRefused,
    ::testing::Values(TDecodeCase{"OneCharacter", "y", ""}, TDecodeCase{"OneAfterAGroup", "ywjJz", ""},
                      // Base64's own characters are not in this alphabet.
                      TDecodeCase{"Plus", "yw+J", ""}, TDecodeCase{"Slash", "yw/J", ""},
                      TDecodeCase{"Padding", "yq==", ""}, TDecodeCase{"Blank", "yw J", ""},
                      TDecodeCase{"PercentEscape", "yw%4A", ""}, TDecodeCase{"HighByte", "yw\xC3\xA9", ""},
                      // No encoder leaves bits set after the last byte.
                      TDecodeCase{"BitsAfterOneByte", "yr", ""}, TDecodeCase{"BitsAfterTwoBytes", "ywj", ""}),
    [](const auto &info) { return std::string(info.param.Name); });

TEST(P64Decode, UndoesTheEncoderForEveryLengthAndByte)
{
    std::string data;
    for (int length = 0; length < 600; ++length) {
        std::string bytes;
        ASSERT_TRUE(P64Decode(P64Encode(data), bytes)) << length;
        ASSERT_EQ(bytes, data) << length;
        data += static_cast<char>((length * 97 + 13) & 0xFF);
    }
    std::string every;
    for (int value = 0; value < 256; ++value)
        every += static_cast<char>(value);
    std::string bytes;
    ASSERT_TRUE(P64Decode(P64Encode(every), bytes));
    EXPECT_EQ(bytes, every);
}

} // namespace
