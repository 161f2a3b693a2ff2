#include "TalkWithServer.h"

#include <QLocale>

#include <gtest/gtest.h>

#include <string>

namespace {

std::string Point()
{
    return QLocale::system().decimalPoint().toStdString();
}

struct TValueCase
{
    const char *Name;
    TMessageValue Value;
    std::string Text; // "." stands for the user's decimal separator
};

std::string Localised(std::string text)
{
    if (const auto dot = text.find('.'); dot != std::string::npos)
        text.replace(dot, 1, Point());
    return text;
}

} // namespace

class MakeMessageValue : public ::testing::TestWithParam<TValueCase>
{
};

TEST_P(MakeMessageValue, BecomesText)
{
    const TValueCase &row = GetParam();
    const TMessageToServer message = MakeMessage({"name", row.Value});
    ASSERT_EQ(message.size(), 1u);
    EXPECT_EQ(message[0].Name, "name");
    EXPECT_EQ(message[0].Value, Localised(row.Text));
}

INSTANTIATE_TEST_SUITE_P(
    Table, MakeMessageValue,
    ::testing::Values(
        TValueCase{"True", true, "1"}, TValueCase{"False", false, "0"}, TValueCase{"CharacterOne", '1', "1"},
        TValueCase{"NulCharacter", '\0', std::string(1, '\0')}, TValueCase{"MinusFive", -5, "-5"},
        TValueCase{"Zero", 0, "0"}, TValueCase{"Int32Min", std::int32_t(-2147483647 - 1), "-2147483648"},
        TValueCase{"Int64", std::int64_t(-9000000000LL), "-9000000000"},
        TValueCase{"TwoAndAHalf", 2.5, "2.5"}, TValueCase{"WholeDouble", 3.0, "3"},
        TValueCase{"FifteenDigits", 0.1 + 0.2, "0.3"}, TValueCase{"NegativeFraction", -0.125, "-0.125"},
        TValueCase{"LongDouble", 123456789.123456789, "123456789.123457"},
        TValueCase{"CString", "ping", "ping"}, TValueCase{"EmptyCString", "", ""},
        TValueCase{"NullCString", static_cast<const char *>(nullptr), ""},
        TValueCase{"StdStringWithNul", std::string("a\0b", 3), std::string("a\0b", 3)},
        TValueCase{"HighBytes", std::string("\xff\x80"), std::string("\xff\x80")}),
    [](const ::testing::TestParamInfo<TValueCase> &info) { return std::string(info.param.Name); });

TEST(MakeMessage, PairsKeepTheirOrder)
{
    const TMessageToServer message = MakeMessage({"command", "login", "user", std::string("ann"), "id", 12});
    EXPECT_EQ(message, (TMessageToServer{{"command", "login"}, {"user", "ann"}, {"id", "12"}}));
    EXPECT_TRUE(MakeMessage({}).empty());
}

TEST(MakeMessage, OddCountIsAnAssertionFailure)
{
    EXPECT_THROW(MakeMessage({"command"}), EAssertionFailed);
    EXPECT_THROW(MakeMessage({"command", "ping", "response"}), EAssertionFailed);
}

TEST(MessageToDebugString, ShowsEachPairQuoted)
{
    EXPECT_EQ(MessageToDebugString({}), "()");
    EXPECT_EQ(MessageToDebugString({{"command", "ping"}}), "(\"command\" --> \"ping\")");
    EXPECT_EQ(MessageToDebugString({{"command", "ping"}, {"response", "1"}, {"", ""}}),
              "(\"command\" --> \"ping\", \"response\" --> \"1\", \"\" --> \"\")");
}

struct TMaskCase
{
    const char *Case;
    std::string Name;
    bool Masked;
};

class MessageToDebugStringMask : public ::testing::TestWithParam<TMaskCase>
{
};

TEST_P(MessageToDebugStringMask, HidesEveryPasswordValue)
{
    const TMaskCase &row = GetParam();
    const std::string text = MessageToDebugString({{"command", "login"}, {row.Name, "s3cret"}});
    const std::string shown = row.Masked ? "********" : "s3cret";
    EXPECT_EQ(text, "(\"command\" --> \"login\", \"" + row.Name + "\" --> \"" + shown + "\")");
    EXPECT_EQ(text.find("s3cret") == std::string::npos, row.Masked);
}

INSTANTIATE_TEST_SUITE_P(
    Table, MessageToDebugStringMask,
    ::testing::Values(TMaskCase{"Lower", "password", true}, TMaskCase{"Capital", "Password", true},
                      TMaskCase{"Upper", "PASSWORD", true}, TMaskCase{"Inside", "socks_password_2", true},
                      TMaskCase{"Mixed", "newPassWord", true}, TMaskCase{"Pass", "pass", false},
                      TMaskCase{"Username", "username", false}),
    [](const ::testing::TestParamInfo<TMaskCase> &info) { return std::string(info.param.Case); });

TEST(MessageToDebugString, MasksAnEmptyPasswordToo)
{
    EXPECT_EQ(MessageToDebugString({{"password", ""}}), "(\"password\" --> \"********\")");
}
