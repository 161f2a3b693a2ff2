#include "AlertWindowUnit.h"
#include "ErrorDisplay.h"
#include "EventLoop.h"
#include "LocalClock.h"
#include "MainConnectionUnit.h"
#include "StringStringHashtables.h"

#include <QAction>
#include <QLocale>
#include <QMenu>

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <memory>

namespace {

std::string Alert(const std::string &payload)
{
    return "CORVANE-main\r\n" + payload + "\r\n";
}

// Eight windows set up as the main form does, on a private connection whose
// timer is off. Destroying an alert window is reported as an assertion; the
// fixture collects those reports.
class AlertWindows : public ::testing::Test
{
protected:
    void SetUp() override
    {
        SetExceptionDisplayForTesting([this](const std::string &text) { Reports.push_back(text); });
        Connection = std::make_unique<TMainConnection>();
        Connection->SetTimerEnabledForTesting(false);
        for (int id = 1; id <= 8; ++id)
            Forms.push_back(std::make_unique<TAlertForm>(*Connection));
        for (int id = 1; id <= 8; ++id)
            Forms[id - 1]->SetUpWindow(id);
    }
    void TearDown() override
    {
        Forms.clear();
        Connection.reset();
        SetExceptionDisplayForTesting({});
    }

    void Deliver(const std::string &payload)
    {
        Connection->AlertsResponse(true, Alert(payload), {});
    }

    TAlertForm &Window(int id) { return *Forms[id - 1]; }

    std::vector<std::string> BollingerSymbols(int id)
    {
        std::vector<std::string> symbols;
        for (const auto &e : Window(id).BollingerEntries())
            symbols.push_back(e.Symbol);
        return symbols;
    }

    std::unique_ptr<TMainConnection> Connection;
    std::vector<std::unique_ptr<TAlertForm>> Forms;
    std::vector<std::string> Reports;
};

} // namespace

TEST_F(AlertWindows, SetUpGivesEachWindowItsIdCaptionKindAndMenu)
{
    const char *captions[] = {"Quickstrike Down",        "Quickstrike Up",        "Bollinger Long (NASDAQ)",
                              "Bollinger Short (NASDAQ)", "Bollinger Long (NYSE)", "Bollinger Short (NYSE)",
                              "Break Lo 5",              "Break Hi 5"};
    const TWindowKind kinds[] = {wkQuickStrike, wkQuickStrike, wkBollinger,  wkBollinger,
                                 wkBollinger,   wkBollinger,   wkSymbolOnly, wkSymbolOnly};
    for (int id = 1; id <= 8; ++id) {
        SCOPED_TRACE(id);
        EXPECT_EQ(Window(id).Tag, id);
        EXPECT_EQ(Window(id).Caption(), captions[id - 1]);
        EXPECT_EQ(Window(id).WindowKind(), kinds[id - 1]);
        ASSERT_NE(Window(id).Grid(), nullptr);
        EXPECT_EQ(Window(id).PopupMenu() != nullptr, kinds[id - 1] != wkBollinger);
    }
    EXPECT_EQ(Window(1).QuickStrikeGrid()->AlertColor(), QColor(255, 75, 75));
    EXPECT_EQ(Window(2).QuickStrikeGrid()->AlertColor(), QColor(100, 255, 100));
    EXPECT_EQ(Window(7).SymbolOnlyGrid()->AlertColor(), QColor(255, 255, 0));
    EXPECT_EQ(Window(8).SymbolOnlyGrid()->AlertColor(), QColor(0, 255, 255));
    EXPECT_EQ(Window(1).ClearWindowMenuItem->text(), QStringLiteral("Clear Window"));
}

TEST_F(AlertWindows, OutOfRangeIdAndDestructionAreAssertionFailures)
{
    TAlertForm extra(*Connection);
    EXPECT_THROW(extra.SetUpWindow(0), EAssertionFailed);
    EXPECT_THROW(extra.SetUpWindow(9), EAssertionFailed);
    try {
        extra.FormDestroy();
        FAIL();
    } catch (const EAssertionFailed &e) {
        EXPECT_NE(e.Message().find("Assertion failure"), std::string::npos);
        EXPECT_NE(e.Message().find("AlertWindowUnit"), std::string::npos);
    }
}

TEST_F(AlertWindows, DestroyedWindowIsReportedAndNoLongerListens)
{
    Forms[0].reset();
    ASSERT_EQ(Reports.size(), 1u);
    EXPECT_NE(Reports[0].find("AlertWindowUnit"), std::string::npos);
    // The listener stays registered but must not reach the freed window.
    Deliver("w_id=1&symbol=GONE");
    Deliver("w_id=2&symbol=UP");
    EXPECT_EQ(Window(2).QuickStrikeEntries().size(), 1u);
}

TEST_F(AlertWindows, PayloadReachesOnlyItsWindowAndBecomesTheFirstRow)
{
    Deliver("w_id=1&symbol=ABC&last=10.5&prev_close=10&sma_divergence=0.3&time=09:31:00");
    ASSERT_EQ(Window(1).QuickStrikeEntries().size(), 1u);
    const TQuickStrikeEntry &e = Window(1).QuickStrikeEntries()[0];
    EXPECT_EQ(e.Symbol, "ABC");
    EXPECT_DOUBLE_EQ(e.Last, 10.5);
    EXPECT_DOUBLE_EQ(e.PrevClose, 10);
    EXPECT_DOUBLE_EQ(e.SmaDivergence, 0.3);
    EXPECT_EQ(e.Time, "09:31:00");
    EXPECT_EQ(Window(1).QuickStrikeGrid()->Entries().size(), 1u);
    for (int id = 2; id <= 8; ++id) {
        EXPECT_TRUE(Window(id).QuickStrikeEntries().empty());
        EXPECT_TRUE(Window(id).BollingerEntries().empty());
        EXPECT_TRUE(Window(id).SymbolOnlyEntries().empty());
    }
}

struct IgnoredAlert
{
    const char *Name;
    std::string Text;
};

class IgnoredAlerts : public AlertWindows, public ::testing::WithParamInterface<IgnoredAlert>
{};

TEST_P(IgnoredAlerts, ChangeNoWindow)
{
    Connection->AlertsResponse(true, GetParam().Text, {});
    for (int id = 1; id <= 8; ++id) {
        EXPECT_TRUE(Window(id).QuickStrikeEntries().empty());
        EXPECT_TRUE(Window(id).BollingerEntries().empty());
        EXPECT_TRUE(Window(id).SymbolOnlyEntries().empty());
    }
}

INSTANTIATE_TEST_SUITE_P(Texts, IgnoredAlerts,
                         ::testing::Values(IgnoredAlert{"NoLineBreak", "w_id=1&symbol=ABC"},
                                           IgnoredAlert{"LetterId", Alert("w_id=abc&symbol=ABC")},
                                           IgnoredAlert{"IdNine", Alert("w_id=9&symbol=ABC")},
                                           IgnoredAlert{"IdZero", Alert("w_id=0&symbol=ABC")},
                                           IgnoredAlert{"NoId", Alert("symbol=ABC")},
                                           IgnoredAlert{"IdWithBlank", Alert("w_id=1%20&symbol=ABC")},
                                           IgnoredAlert{"HugeId", Alert("w_id=4294967297&symbol=ABC")},
                                           IgnoredAlert{"PayloadOnFirstLine", "w_id=1&symbol=A\r\n"}),
                         [](const auto &info) { return std::string(info.param.Name); });

struct AddressCase
{
    const char *Name;
    std::string Text;
    int Window; // 0: none
};

class AlertAddresses : public AlertWindows, public ::testing::WithParamInterface<AddressCase>
{};

// The window id is read exactly as the parsed payload gives it, wherever and
// however the pair is written.
TEST_P(AlertAddresses, ReachOnlyTheWindowTheParsedPayloadNames)
{
    Connection->AlertsResponse(true, GetParam().Text, {});
    for (int id = 1; id <= 8; ++id) {
        const size_t rows = Window(id).QuickStrikeEntries().size() + Window(id).BollingerEntries().size() +
                            Window(id).SymbolOnlyEntries().size();
        EXPECT_EQ(rows, id == GetParam().Window ? 1u : 0u) << "window " << id;
    }
}

INSTANTIATE_TEST_SUITE_P(
    Texts, AlertAddresses,
    ::testing::Values(AddressCase{"Plain", Alert("w_id=2&symbol=A"), 2},
                      AddressCase{"LaterIdWins", Alert("w_id=1&symbol=A&w_id=2"), 2},
                      AddressCase{"LaterEncodedNameWins", Alert("w_id=1&w%5fid=2&symbol=A"), 2},
                      AddressCase{"EncodedValue", Alert("w_id=%32&symbol=A"), 2},
                      AddressCase{"PlusSign", Alert("w_id=+2&symbol=A"), 2},
                      AddressCase{"PairWithoutEqualsSkipped", Alert("w_id=2&w_id&symbol=A"), 2},
                      AddressCase{"LaterEmptyIdWins", Alert("w_id=2&w_id=&symbol=A"), 0},
                      AddressCase{"NameIsCaseSensitive", Alert("W_ID=2&symbol=A"), 0},
                      AddressCase{"EncodedAmpersandIsNotASeparator", Alert("symbol=A%26w_id=2"), 0},
                      AddressCase{"ThirdLineIgnored", Alert("symbol=A") + "w_id=2\r\n", 0},
                      AddressCase{"FirstLineIgnored", "w_id=2\r\nsymbol=A\r\n", 0},
                      AddressCase{"NoFinalLineBreak", "CORVANE-main\r\nw_id=7&symbol=A", 7},
                      AddressCase{"BollingerWindow", Alert("w_id=4&action=add&symbol=A&dist_from_bb=1"), 4}),
    [](const auto &info) { return std::string(info.param.Name); });

struct PayloadCase
{
    const char *Name;
    std::string Payload;
    std::string Symbol;
};

class PayloadDecoding : public AlertWindows, public ::testing::WithParamInterface<PayloadCase>
{};

TEST_P(PayloadDecoding, GivesTheSymbol)
{
    Deliver(GetParam().Payload);
    ASSERT_EQ(Window(1).QuickStrikeEntries().size(), 1u);
    EXPECT_EQ(Window(1).QuickStrikeEntries()[0].Symbol, GetParam().Symbol);
}

INSTANTIATE_TEST_SUITE_P(
    Payloads, PayloadDecoding,
    ::testing::Values(PayloadCase{"EscapesDecodeAfterSplitting", "w_id=1&symbol=A%2BB%3dC", "A+B=C"},
                      PayloadCase{"PlusStaysPlus", "w_id=1&symbol=A+B", "A+B"},
                      PayloadCase{"LonePercentStays", "w_id=1&symbol=50%", "50%"},
                      PayloadCase{"PairWithoutEqualsIsDropped", "w_id=1&symbol&junk", ""},
                      PayloadCase{"LaterValueWins", "w_id=1&symbol=A&symbol=B", "B"},
                      PayloadCase{"ValueKeepsFurtherEquals", "w_id=1&&symbol=a=b", "a=b"},
                      PayloadCase{"EncodedName", "w%5Fid=1&sym%62ol=X", "X"}),
    [](const auto &info) { return std::string(info.param.Name); });

TEST_F(AlertWindows, MissingOrMalformedNumbersAreNaN)
{
    Deliver("w_id=2&symbol=X&last=abc&prev_close=&sma_divergence=1e400x");
    const TQuickStrikeEntry &e = Window(2).QuickStrikeEntries()[0];
    EXPECT_TRUE(std::isnan(e.Last));
    EXPECT_TRUE(std::isnan(e.PrevClose));
    EXPECT_TRUE(std::isnan(e.SmaDivergence));
    EXPECT_EQ(e.Time, "");
}

TEST_F(AlertWindows, QuickStrikeListKeepsTheNewestThousandAndDuplicates)
{
    for (int i = 0; i < 1001; ++i)
        Deliver("w_id=1&symbol=S" + std::to_string(i));
    const TQuickStrikeEntries &list = Window(1).QuickStrikeEntries();
    ASSERT_EQ(list.size(), 1000u);
    EXPECT_EQ(list[0].Symbol, "S1000");
    EXPECT_EQ(list[999].Symbol, "S1");
    Deliver("w_id=1&symbol=S1000");
    EXPECT_EQ(Window(1).QuickStrikeEntries()[0].Symbol, "S1000");
    EXPECT_EQ(Window(1).QuickStrikeEntries()[1].Symbol, "S1000");
}

TEST_F(AlertWindows, SymbolOnlyWindowsKeepAListLikeQuickStrike)
{
    Deliver("w_id=8&symbol=ONE");
    Deliver("w_id=8&symbol=TWO");
    ASSERT_EQ(Window(8).SymbolOnlyEntries().size(), 2u);
    EXPECT_EQ(Window(8).SymbolOnlyEntries()[0].Symbol, "TWO");
    EXPECT_EQ(Window(8).SymbolOnlyGrid()->Entries().size(), 2u);
}

TEST_F(AlertWindows, ClearWindowEmptiesListsButNotBollinger)
{
    Deliver("w_id=1&symbol=A");
    Deliver("w_id=7&symbol=B");
    Deliver("w_id=3&action=add&symbol=C&dist_from_bb=1");
    Window(1).ClearWindowMenuItem->trigger();
    Window(7).ClearWindow();
    Window(3).ClearWindow();
    EXPECT_TRUE(Window(1).QuickStrikeEntries().empty());
    EXPECT_TRUE(Window(1).QuickStrikeGrid()->Entries().empty());
    EXPECT_TRUE(Window(7).SymbolOnlyEntries().empty());
    EXPECT_EQ(Window(3).BollingerEntries().size(), 1u);
}

TEST_F(AlertWindows, GridKeepsItsOwnCopy)
{
    Deliver("w_id=1&symbol=A");
    const TQuickStrikeEntries shown = Window(1).QuickStrikeGrid()->Entries();
    Deliver("w_id=2&symbol=B");
    Window(1).ClearWindow();
    EXPECT_EQ(shown.size(), 1u);
    EXPECT_EQ(shown[0].Symbol, "A");
}

// ---- Bollinger ordering

class BollingerOrder : public AlertWindows
{
protected:
    void Add(const std::string &symbol, const std::string &dist, const std::string &last = "1")
    {
        Deliver("w_id=4&action=add&symbol=" + symbol + "&last=" + last + "&prev_close=1&dist_from_bb=" + dist);
    }
    void StartWithBAC()
    {
        Add("B", "-3");
        Add("A", "2.5");
        Add("C", "2");
        ASSERT_EQ(BollingerSymbols(4), (std::vector<std::string>{"B", "A", "C"}));
    }
};

struct BollingerStep
{
    const char *Name;
    std::string Symbol;
    std::string Dist;
    std::vector<std::string> Expected;
};

class BollingerUpdates : public BollingerOrder, public ::testing::WithParamInterface<BollingerStep>
{};

TEST_P(BollingerUpdates, KeepTheListOrderedByDistance)
{
    StartWithBAC();
    Add(GetParam().Symbol, GetParam().Dist);
    EXPECT_EQ(BollingerSymbols(4), GetParam().Expected);
    EXPECT_EQ(Window(4).BollingerGrid()->Entries().size(), GetParam().Expected.size());
}

INSTANTIATE_TEST_SUITE_P(
    Steps, BollingerUpdates,
    ::testing::Values(BollingerStep{"CTiesWithA", "C", "2.5", {"B", "A", "C"}},
                      BollingerStep{"BShrinksBelowA", "B", "2.2", {"A", "B", "C"}},
                      BollingerStep{"BShrinksToLast", "B", "1", {"A", "C", "B"}},
                      BollingerStep{"CGrowsToFront", "C", "-4", {"C", "B", "A"}},
                      BollingerStep{"NewSymbolInTheMiddle", "D", "2.2", {"B", "A", "D", "C"}},
                      BollingerStep{"NewSymbolTiesOrderedBySymbol", "0", "2.5", {"B", "0", "A", "C"}},
                      BollingerStep{"NaNDistanceComparesEqualSoSymbolDecides", "AA", "x", {"AA", "B", "A", "C"}}),
    [](const auto &info) { return std::string(info.param.Name); });

TEST_F(BollingerOrder, RepeatedAddOnlyRefreshesUpdated)
{
    TFakeClock clock(46000.0);
    StartWithBAC();
    const TBollingerEntries before = Window(4).BollingerGrid()->Entries();
    clock.AdvanceSeconds(30);
    Add("A", "2.5");
    EXPECT_EQ(BollingerSymbols(4), (std::vector<std::string>{"B", "A", "C"}));
    EXPECT_DOUBLE_EQ(Window(4).BollingerEntries()[1].Updated, clock.Value);
    // The grid was not told, and its copy kept the old time.
    EXPECT_TRUE(Window(4).BollingerGrid()->Entries().SharesWith(before));
    EXPECT_DOUBLE_EQ(before[1].Updated, 46000.0);
}

TEST_F(BollingerOrder, DeleteRemovesOnlyAListedSymbol)
{
    StartWithBAC();
    Deliver("w_id=4&action=delete&symbol=Z");
    EXPECT_EQ(BollingerSymbols(4), (std::vector<std::string>{"B", "A", "C"}));
    Deliver("w_id=4&action=delete&symbol=A");
    EXPECT_EQ(BollingerSymbols(4), (std::vector<std::string>{"B", "C"}));
    Deliver("w_id=4&action=other&symbol=B");
    Deliver("w_id=4&symbol=B");
    EXPECT_EQ(BollingerSymbols(4), (std::vector<std::string>{"B", "C"}));
}

TEST_F(BollingerOrder, RowsExpireAtTheFirstTickTwoMinutesAfterTheLastAdd)
{
    // 10:00:00 on some day.
    TFakeClock clock(46000.0 + 10.0 / 24.0);
    Add("OLD", "1");
    clock.AdvanceSeconds(60);
    Add("NEW", "2");
    clock.AdvanceSeconds(59);
    Window(4).ExpireBollingersTimerTimer();
    EXPECT_EQ(BollingerSymbols(4), (std::vector<std::string>{"NEW", "OLD"}));
    clock.AdvanceSeconds(1); // 10:02:00 exactly
    Window(4).ExpireBollingersTimerTimer();
    EXPECT_EQ(BollingerSymbols(4), (std::vector<std::string>{"NEW"}));
    EXPECT_EQ(Window(4).BollingerGrid()->Entries().size(), 1u);
    clock.AdvanceSeconds(60);
    Window(4).ExpireBollingersTimerTimer();
    EXPECT_TRUE(Window(4).BollingerEntries().empty());
}

TEST(AlertNumbers, CommaLocaleStillReadsTheServersPoint)
{
    const QLocale saved;
    QLocale::setDefault(QLocale(QLocale::German, QLocale::Germany));
    EXPECT_DOUBLE_EQ(ParseAlertNumber("10.5"), 10.5);
    EXPECT_DOUBLE_EQ(ParseAlertNumber("10,5"), 10.5);
    EXPECT_DOUBLE_EQ(ParseAlertNumber("-2.5e1"), -25);
    EXPECT_TRUE(std::isnan(ParseAlertNumber("1.000,5x")));
    QLocale::setDefault(saved);
    EXPECT_DOUBLE_EQ(ParseAlertNumber("1.5"), 1.5);
    EXPECT_TRUE(std::isnan(ParseAlertNumber("")));
    EXPECT_TRUE(std::isnan(ParseAlertNumber("1,000")));
}

struct NumberLocale
{
    const char *Name;
    QLocale Locale;
};

class AlertNumbersInLocale : public ::testing::TestWithParam<NumberLocale>
{
protected:
    void SetUp() override { QLocale::setDefault(GetParam().Locale); }
    void TearDown() override { QLocale::setDefault(Saved); }
    const QLocale Saved;
};

// The reading rule itself: the user's notation without grouping, else the
// server's; NaN when neither reads the text.
double ReadAsTheRuleSays(const std::string &text)
{
    const QString number = QString::fromStdString(text);
    bool ok = false;
    QLocale user;
    user.setNumberOptions(QLocale::RejectGroupSeparator);
    double value = user.toDouble(number, &ok);
    if (ok)
        return value;
    QLocale server = QLocale::c();
    server.setNumberOptions(QLocale::RejectGroupSeparator);
    value = server.toDouble(number, &ok);
    return ok ? value : std::numeric_limits<double>::quiet_NaN();
}

TEST_P(AlertNumbersInLocale, ReadAsTheRuleSays)
{
    for (const std::string text : {"10.5",
                                   "-2.25",
                                   "7",
                                   "-7",
                                   "0",
                                   "-0",
                                   "0.00",
                                   "-0.00",
                                   "0.5",
                                   "-0.5",
                                   "007.5",
                                   "10,5",
                                   "1.000",
                                   "1,000",
                                   "1.000,5",
                                   "12.345.678",
                                   "1e3",
                                   "-2.5e1",
                                   "+3",
                                   " 4",
                                   "4 ",
                                   ".5",
                                   "5.",
                                   "-",
                                   "1.2.3",
                                   "abc",
                                   "123456789012345678901234567890.5",
                                   "0.1234567890123456789",
                                   "99999999999999999999",
                                   "0.1",
                                   "-0.3",
                                   "123456789012345",
                                   "1234567890123456",
                                   "9007199254740993",
                                   "0.000000000000001",
                                   "-99999999999999.9",
                                   "310.27",
                                   "00",
                                   "-01.5",
                                   "1.5.",
                                   "--1",
                                   "12345678901234567890123456789012",
                                   "123456789012345678901234567890123"}) {
        SCOPED_TRACE(text);
        const double expected = ReadAsTheRuleSays(text);
        const double actual = ParseAlertNumber(text);
        if (std::isnan(expected)) {
            EXPECT_TRUE(std::isnan(actual));
        } else {
            EXPECT_EQ(actual, expected);
            EXPECT_EQ(std::signbit(actual), std::signbit(expected));
        }
    }
}

INSTANTIATE_TEST_SUITE_P(
    Locales, AlertNumbersInLocale,
    ::testing::Values(NumberLocale{"C", QLocale::c()},
                      NumberLocale{"English", QLocale(QLocale::English, QLocale::UnitedStates)},
                      NumberLocale{"German", QLocale(QLocale::German, QLocale::Germany)},
                      NumberLocale{"French", QLocale(QLocale::French, QLocale::France)},
                      NumberLocale{"Swedish", QLocale(QLocale::Swedish, QLocale::Sweden)},
                      NumberLocale{"Arabic", QLocale(QLocale::Arabic, QLocale::Egypt)},
                      NumberLocale{"Persian", QLocale(QLocale::Persian, QLocale::Iran)},
                      NumberLocale{"Swiss", QLocale(QLocale::German, QLocale::Switzerland)}),
    [](const auto &info) { return std::string(info.param.Name); });

// The one-pass reader gives every key exactly what ParsePayload and Get give.
TEST(AlertFields, ReadAsTheTableGivesThem)
{
    for (const std::string payload :
         {"w_id=1&symbol=ABC&last=10.5&prev_close=10&sma_divergence=0.3&time=09%3A31%3A00",
          "w_id=4&action=add&symbol=A&dist_from_bb=-1.5&last=2&prev_close=3",
          "",
          "&&&",
          "w_id",
          "=",
          "=x&w_id=",
          "w_id=1&w_id=2",
          "w_id=1&w%5Fid=2",
          "w%5fid=3&w_id=4&w%5Fid=5",
          "sym%62ol=X&symbol=Y&sym%62ol=Z",
          "symbol=A%26w_id=2",
          "symbol=a=b=c&time",
          "symbol=50%&last=%2",
          "symbol=%41%42%43&action=%61dd",
          "%73ymbol=%00&dist_from_bb=1e3",
          "w_id=1&&symbol=&symbol",
          "action=delete&other=1&symbolx=2&last_=3"}) {
        SCOPED_TRACE(payload);
        tHashTable table(0);
        ParsePayload(payload, table);
        TAlertFields fields;
        fields.Symbol = "stale"; // every field is filled afresh
        ReadAlertFields(payload, fields);
        EXPECT_EQ(fields.WindowId, table.Get("w_id"));
        EXPECT_EQ(fields.Symbol, table.Get("symbol"));
        EXPECT_EQ(fields.Last, table.Get("last"));
        EXPECT_EQ(fields.PrevClose, table.Get("prev_close"));
        EXPECT_EQ(fields.SmaDivergence, table.Get("sma_divergence"));
        EXPECT_EQ(fields.Time, table.Get("time"));
        EXPECT_EQ(fields.Action, table.Get("action"));
        EXPECT_EQ(fields.DistFromBB, table.Get("dist_from_bb"));
    }
}

TEST(AlertSplitting, SplitAtFindsTheFirstSeparator)
{
    std::string before, after;
    SplitAt("\r\n", "a\r\nb\r\nc", before, after);
    EXPECT_EQ(before, "a");
    EXPECT_EQ(after, "b\r\nc");
    SplitAt("&", "no separator", before, after);
    EXPECT_EQ(before, "no separator");
    EXPECT_EQ(after, "");
}
