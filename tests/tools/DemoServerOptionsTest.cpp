#include "DemoServerOptions.h"
#include "DemoServerProgram.h"

#include <gtest/gtest.h>

namespace {

TEST(DemoServerOptions, DefaultsWithoutArguments)
{
    const TDemoServerOptionsResult result = ParseDemoServerOptions({});
    ASSERT_TRUE(result.Ok()) << result.Error;
    EXPECT_EQ(result.Options.BindAddress, QStringLiteral("127.0.0.1"));
    EXPECT_EQ(result.Options.Port, 9339);
    EXPECT_TRUE(result.Options.Users.empty());
    EXPECT_EQ(result.Options.Rate, 8);
    EXPECT_EQ(result.Options.Seed, 1u);
    EXPECT_EQ(result.Options.DropAfter, 0);
    EXPECT_EQ(result.Options.CorruptAfter, 0);
    EXPECT_FALSE(result.Options.NoPingReplies);
    EXPECT_FALSE(result.Options.StopLogin);
    EXPECT_FALSE(result.Options.Help);
}

TEST(DemoServerOptions, EveryOptionInBothSpellings)
{
    const TDemoServerOptionsResult result = ParseDemoServerOptions(
        Arguments({"--port", "0", "--bind=::1", "--user", "alice:se:cret", "--user=bob:pw", "--rate", "20000",
                   "--seed=18446744073709551615", "--drop-after", "1.5", "--corrupt-after=0.25",
                   "--no-ping-replies", "--stop-login", "Closed for maintenance", "--help"}));
    ASSERT_TRUE(result.Ok()) << result.Error;
    const TDemoServerOptions &options = result.Options;
    EXPECT_EQ(options.Port, 0);
    EXPECT_EQ(options.BindAddress, QStringLiteral("::1"));
    ASSERT_EQ(options.Users.size(), 2u);
    // Only the first colon separates name and password.
    EXPECT_EQ(options.Users[0].Name, "alice");
    EXPECT_EQ(options.Users[0].Password, "se:cret");
    EXPECT_EQ(options.Users[1].Name, "bob");
    EXPECT_EQ(options.Users[1].Password, "pw");
    EXPECT_EQ(options.Rate, 20000);
    EXPECT_EQ(options.Seed, 18446744073709551615ull);
    EXPECT_EQ(options.DropAfter, 1.5);
    EXPECT_EQ(options.CorruptAfter, 0.25);
    EXPECT_TRUE(options.NoPingReplies);
    EXPECT_TRUE(options.StopLogin);
    EXPECT_EQ(options.StopLoginMessage, "Closed for maintenance");
    EXPECT_TRUE(options.Help);
}

struct TBadCase
{
    const char *Name;
    QStringList Arguments;
    std::string ErrorPart;
};

void PrintTo(const TBadCase &row, std::ostream *out)
{
    *out << row.Name;
}

class DemoServerBadOptions : public ::testing::TestWithParam<TBadCase>
{
};

TEST_P(DemoServerBadOptions, AreRefusedWithAMessage)
{
    const TDemoServerOptionsResult result = ParseDemoServerOptions(GetParam().Arguments);
    ASSERT_FALSE(result.Ok());
    EXPECT_NE(result.Error.find(GetParam().ErrorPart), std::string::npos) << result.Error;
}

INSTANTIATE_TEST_SUITE_P(
    Cases, DemoServerBadOptions,
    ::testing::Values(TBadCase{"UnknownOption", Arguments({"--verbose"}), "unknown option '--verbose'"},
                      TBadCase{"StrayArgument", Arguments({"9339"}), "unexpected argument '9339'"},
                      TBadCase{"PortMissingValue", Arguments({"--port"}), "--port needs a value"},
                      TBadCase{"PortNotANumber", Arguments({"--port", "http"}), "not a port number"},
                      TBadCase{"PortTooLarge", Arguments({"--port=65536"}), "not a port number"},
                      TBadCase{"PortNegative", Arguments({"--port", "-1"}), "not a port number"},
                      TBadCase{"BindNotAnAddress", Arguments({"--bind", "example"}), "not an IP address"},
                      TBadCase{"UserWithoutColon", Arguments({"--user", "alice"}), "NAME:PASSWORD"},
                      TBadCase{"UserEmptyName", Arguments({"--user", ":pw"}), "NAME:PASSWORD"},
                      TBadCase{"UserEmptyPassword", Arguments({"--user", "alice:"}), "NAME:PASSWORD"},
                      TBadCase{"UserTwice", Arguments({"--user", "a:1", "--user", "a:2"}), "given twice"},
                      TBadCase{"RateNegative", Arguments({"--rate", "-1"}), "--rate"},
                      TBadCase{"RateNotANumber", Arguments({"--rate", "fast"}), "--rate"},
                      TBadCase{"RateCommaDecimal", Arguments({"--rate", "2,5"}), "--rate"},
                      TBadCase{"RateInfinite", Arguments({"--rate", "inf"}), "--rate"},
                      TBadCase{"SeedNegative", Arguments({"--seed", "-3"}), "--seed"},
                      TBadCase{"SeedNotANumber", Arguments({"--seed", "abc"}), "--seed"},
                      TBadCase{"DropAfterZero", Arguments({"--drop-after", "0"}), "--drop-after"},
                      TBadCase{"CorruptAfterText", Arguments({"--corrupt-after", "soon"}), "--corrupt-after"},
                      TBadCase{"StopLoginEmpty", Arguments({"--stop-login", ""}), "one non-empty line"},
                      TBadCase{"StopLoginTwoLines", Arguments({"--stop-login", "a\nb"}),
                               "one non-empty line"},
                      TBadCase{"FlagWithValue", Arguments({"--no-ping-replies=1"}), "takes no value"}),
    [](const auto &info) { return std::string(info.param.Name); });

} // namespace
