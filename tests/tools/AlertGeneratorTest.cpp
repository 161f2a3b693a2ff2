#include "AlertGenerator.h"
#include "DemoProtocol.h"
#include "PercentEncode.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <set>

namespace {

struct TEncodeCase
{
    const char *Name;
    std::string Input;
    std::string Expected;
};

void PrintTo(const TEncodeCase &row, std::ostream *out)
{
    *out << row.Name;
}

class PercentEncodeTest : public ::testing::TestWithParam<TEncodeCase>
{
};

TEST_P(PercentEncodeTest, EncodesEveryByteButTheUnreserved)
{
    EXPECT_EQ(PercentEncode(GetParam().Input), GetParam().Expected);
}

INSTANTIATE_TEST_SUITE_P(Cases, PercentEncodeTest,
                         ::testing::Values(TEncodeCase{"Empty", "", ""},
                                           TEncodeCase{"Unreserved", "AZaz09-_.~", "AZaz09-_.~"},
                                           TEncodeCase{"PairSeparators", "a&b=c", "a%26b%3Dc"},
                                           TEncodeCase{"Time", "09:31:00", "09%3A31%3A00"},
                                           TEncodeCase{"PlusSpaceSlashPercent", "+ /%", "%2B%20%2F%25"},
                                           TEncodeCase{"LineBreak", "a\r\nb", "a%0D%0Ab"},
                                           TEncodeCase{"NulByte", std::string("a\0b", 3), "a%00b"},
                                           TEncodeCase{"HighBytesUpperCaseHex", "\xC3\xA9\xFF", "%C3%A9%FF"}),
                         [](const auto &info) { return std::string(info.param.Name); });

struct TNumberCase
{
    const char *Name;
    double Value;
    std::string Expected;
};

void PrintTo(const TNumberCase &row, std::ostream *out)
{
    *out << row.Name;
}

class FormatNumberTest : public ::testing::TestWithParam<TNumberCase>
{
};

TEST_P(FormatNumberTest, TwoDecimalsWithPoint)
{
    EXPECT_EQ(TAlertGenerator::FormatNumber(GetParam().Value), GetParam().Expected);
}

INSTANTIATE_TEST_SUITE_P(Cases, FormatNumberTest,
                         ::testing::Values(TNumberCase{"Whole", 12, "12.00"},
                                           TNumberCase{"Half", 1.5, "1.50"},
                                           TNumberCase{"RoundsUp", 10.456, "10.46"},
                                           TNumberCase{"Negative", -2.5, "-2.50"},
                                           TNumberCase{"TinyNegativeIsZero", -0.001, "0.00"},
                                           TNumberCase{"Large", 4321.1, "4321.10"}),
                         [](const auto &info) { return std::string(info.param.Name); });

TEST(AlertGeneratorTime, FormatsTwoDigitFields)
{
    EXPECT_EQ(TAlertGenerator::FormatTime(0), "00:00:00");
    EXPECT_EQ(TAlertGenerator::FormatTime(9 * 3600 + 5 * 60 + 7), "09:05:07");
    EXPECT_EQ(TAlertGenerator::FormatTime(86399), "23:59:59");
}

TEST(AlertGeneratorTime, TimeOfDayReachesTheAlertsWithoutChangingTheStream)
{
    TAlertGenerator a(5), b(5);
    a.SetTimeOfDay(14 * 3600 + 2 * 60 + 9);
    for (int i = 0; i < 200; ++i) {
        const TDemoAlert first = a.Next(), second = b.Next();
        EXPECT_EQ(first.Symbol, second.Symbol);
        EXPECT_EQ(first.Last, second.Last);
        if (!first.Time.empty()) {
            EXPECT_EQ(first.Time, "14:02:09");
            EXPECT_NE(TAlertGenerator::FormatAlert(first).find("time=14%3A02%3A09\r\n"), std::string::npos);
        }
    }
}

TEST(AlertGeneratorSymbols, AboutTwoHundredDistinctTickers)
{
    const auto &symbols = TAlertGenerator::Symbols();
    EXPECT_EQ(symbols.size(), 200u);
    EXPECT_EQ(std::set<std::string>(symbols.begin(), symbols.end()).size(), symbols.size());
    for (const std::string &symbol : symbols)
        EXPECT_EQ(symbol.find_first_not_of("ABCDEFGHIJKLMNOPQRSTUVWXYZ."), std::string::npos) << symbol;
}

TEST(AlertGeneratorStream, SameSeedSameStreamOtherSeedOtherStream)
{
    TAlertGenerator a(42), b(42), c(43);
    int differences = 0;
    for (int i = 0; i < 5000; ++i) {
        const std::string text = a.NextAlert();
        ASSERT_EQ(text, b.NextAlert()) << "alert " << i;
        differences += text != c.NextAlert();
    }
    EXPECT_GT(differences, 4000);
    EXPECT_EQ(a.Count(), 5000u);
}

TEST(AlertGeneratorStream, EveryAlertIsWellFormedAndEveryWindowIsServed)
{
    TAlertGenerator generator;
    std::map<int, int> perWindow;
    std::set<std::string> actions;
    int flat = 0;
    for (int i = 0; i < 20000; ++i) {
        const TDemoAlert alert = generator.Next();
        flat += alert.SmaDivergence == 0;
        std::map<std::string, std::string> payload;
        const std::string text = TAlertGenerator::FormatAlert(alert);
        ASSERT_EQ(CheckAlertText(text, &payload), "") << text;
        EXPECT_EQ(payload["w_id"], std::to_string(alert.WindowId));
        EXPECT_EQ(payload["symbol"], alert.Symbol);
        ++perWindow[alert.WindowId];
        actions.insert(alert.Action);
        // Strikes and breaks point the way their window says.
        if (alert.WindowId == 1 || alert.WindowId == 7) {
            EXPECT_LE(alert.SmaDivergence, 0) << text;
        } else if (alert.WindowId == 2 || alert.WindowId == 8) {
            EXPECT_GE(alert.SmaDivergence, 0) << text;
        }
    }
    // Only a price at its floor of 1.00 can strike without moving.
    EXPECT_LT(flat, 20);
    for (int window = 1; window <= 8; ++window)
        EXPECT_GT(perWindow[window], 1000) << "window " << window;
    EXPECT_EQ(actions, (std::set<std::string>{"", "add", "delete"}));
}

// What one Bollinger window of the client would see, step by step.
struct TBollingerCounts
{
    int NewSymbols = 0;
    int Moves = 0;
    int UnchangedRefreshes = 0;
    int Deletes = 0;
    int Lapses = 0;
};

TEST(AlertGeneratorBollinger, RowsAreAddedMovedRefreshedDeletedAndLapse)
{
    TAlertGenerator generator(7);
    std::map<int, TBollingerCounts> counts;
    // Last values sent per window and symbol, and the alert count of the last refresh.
    std::map<int, std::map<std::string, TDemoAlert>> shown;
    std::map<int, std::map<std::string, std::uint64_t>> refreshed;
    std::uint64_t longestGap = 0;

    for (int i = 0; i < 40000; ++i) {
        std::map<int, std::vector<std::string>> before;
        for (int w = 3; w <= 6; ++w)
            before[w] = generator.LiveSymbols(w);
        const TDemoAlert alert = generator.Next();
        const int w = alert.WindowId;
        if (w >= 3 && w <= 6) {
            ASSERT_FALSE(alert.Action.empty());
            // Long lists lie below the band, short lists above it.
            if (w == 3 || w == 5)
                EXPECT_LT(alert.DistFromBB, 0);
            else
                EXPECT_GT(alert.DistFromBB, 0);
            const auto index = std::find(TAlertGenerator::Symbols().begin(), TAlertGenerator::Symbols().end(),
                                         alert.Symbol) -
                               TAlertGenerator::Symbols().begin();
            EXPECT_EQ(TAlertGenerator::IsNasdaq(static_cast<int>(index)), w == 3 || w == 4) << alert.Symbol;

            const bool wasLive =
                std::find(before[w].begin(), before[w].end(), alert.Symbol) != before[w].end();
            auto &seen = shown[w];
            if (alert.Action == "delete") {
                EXPECT_TRUE(wasLive) << "delete of a symbol that is not live: " << alert.Symbol;
                ++counts[w].Deletes;
                seen.erase(alert.Symbol);
                refreshed[w].erase(alert.Symbol);
            } else if (!wasLive) {
                ++counts[w].NewSymbols;
            } else {
                const TDemoAlert &old = seen[alert.Symbol];
                if (old.Last == alert.Last && old.PrevClose == alert.PrevClose &&
                    old.DistFromBB == alert.DistFromBB)
                    ++counts[w].UnchangedRefreshes;
                else
                    ++counts[w].Moves;
            }
            if (alert.Action == "add") {
                seen[alert.Symbol] = alert;
                refreshed[w][alert.Symbol] = generator.Count();
            }
        }
        for (int v = 3; v <= 6; ++v) {
            const std::vector<std::string> after = generator.LiveSymbols(v);
            EXPECT_LE(after.size(), 14u);
            for (const std::string &symbol : before[v]) {
                const bool gone = std::find(after.begin(), after.end(), symbol) == after.end();
                if (gone && !(v == w && alert.Action == "delete" && alert.Symbol == symbol)) {
                    ++counts[v].Lapses;
                    shown[v].erase(symbol);
                    refreshed[v].erase(symbol);
                }
            }
            for (const std::string &symbol : after)
                longestGap = std::max(longestGap, generator.Count() - refreshed[v][symbol]);
        }
        // A symbol sits on at most one side of the band of its exchange.
        for (int first : {3, 5}) {
            const auto a = generator.LiveSymbols(first), b = generator.LiveSymbols(first + 1);
            for (const std::string &symbol : a)
                EXPECT_EQ(std::find(b.begin(), b.end(), symbol), b.end()) << symbol;
        }
    }
    for (int w = 3; w <= 6; ++w) {
        SCOPED_TRACE("window " + std::to_string(w));
        EXPECT_GT(counts[w].NewSymbols, 50);
        EXPECT_GT(counts[w].Moves, counts[w].UnchangedRefreshes);
        EXPECT_GT(counts[w].UnchangedRefreshes, 50);
        EXPECT_GT(counts[w].Deletes, 50);
        EXPECT_GT(counts[w].Lapses, 50);
    }
    // Rows meant to stay are refreshed well inside the client's two minutes
    // at the default 8 alerts per second (960 alerts).
    EXPECT_LT(longestGap, 960u);
}

} // namespace
