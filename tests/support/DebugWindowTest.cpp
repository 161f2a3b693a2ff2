#include "EventLoop.h"
#include "Exceptions.h"
#include "MiscDebugWindows.h"

#include <QPlainTextEdit>
#include <QStringList>

#include <gtest/gtest.h>

#include <memory>
#include <ostream>
#include <stdexcept>
#include <string>

namespace {

QStringList MemoLines(const TMiscDebugWindow &window)
{
    const QString text = window.Memo1->toPlainText();
    if (text.isEmpty())
        return {};
    return text.split(QLatin1Char('\n'));
}

// A window of the test's own, made through DebugOutputTo, so tests do not
// depend on what others wrote to the process-wide window.
class DebugWindow : public ::testing::Test
{
protected:
    void Write(const std::string &text)
    {
        DebugOutputTo(Raw, text, nullptr);
        if (Window.get() != Raw)
            Window.reset(Raw);
    }

    TMiscDebugWindow *Raw = nullptr;
    std::unique_ptr<TMiscDebugWindow> Window;
};

TEST_F(DebugWindow, FirstTextCreatesAndShowsATopLevelWindow)
{
    Write("first");
    ASSERT_NE(Raw, nullptr);
    EXPECT_TRUE(Window->isWindow());
    EXPECT_EQ(Window->parentWidget(), nullptr);
    EXPECT_EQ(Window->Caption(), "Pennoric Debug Window");
    EXPECT_TRUE(Window->Visible());
    EXPECT_EQ(Window->WindowState(), wsNormal);
    EXPECT_EQ(Window->PendingText(), "first");
    EXPECT_TRUE(Window->FlushScheduled());
    EXPECT_TRUE(Window->Timer1->Enabled());
    EXPECT_EQ(Window->Timer1->Interval(), 250);
    EXPECT_TRUE(MemoLines(*Window).isEmpty()) << "the memo waits for the timer";

    TMiscDebugWindow *const created = Raw;
    Write("second");
    EXPECT_EQ(Raw, created) << "an existing window is reused";
}

TEST_F(DebugWindow, TextsWithinOneTickReachTheMemoAsConsecutiveLines)
{
    Write("one");
    Window->Timer1Timer();
    ASSERT_EQ(MemoLines(*Window), QStringList{QStringLiteral("one")});

    Write("alpha");
    Write("beta");
    Write("gamma");
    EXPECT_EQ(Window->PendingText(), "alpha\r\nbeta\r\ngamma");
    EXPECT_EQ(MemoLines(*Window).size(), 1) << "nothing reaches the memo before the tick";

    Window->Timer1Timer();
    EXPECT_EQ(MemoLines(*Window), (QStringList{QStringLiteral("one"), QStringLiteral("alpha"),
                                               QStringLiteral("beta"), QStringLiteral("gamma")}));
    EXPECT_EQ(Window->PendingText(), "");
    EXPECT_FALSE(Window->FlushScheduled());
    EXPECT_FALSE(Window->Timer1->Enabled());
}

TEST_F(DebugWindow, TheTimerFlushesByItself)
{
    Write("x");
    Write("y\r\nz");
    ASSERT_TRUE(WaitFor([&] { return MemoLines(*Window).size() == 3; }));
    EXPECT_EQ(MemoLines(*Window),
              (QStringList{QStringLiteral("x"), QStringLiteral("y"), QStringLiteral("z")}));
    EXPECT_FALSE(Window->FlushScheduled());
    EXPECT_FALSE(Window->Timer1->Enabled());

    // The next text schedules a new flush.
    Write("w");
    EXPECT_TRUE(Window->FlushScheduled());
    ASSERT_TRUE(WaitFor([&] { return MemoLines(*Window).size() == 4; }));
    EXPECT_EQ(MemoLines(*Window).last(), QStringLiteral("w"));
}

TEST_F(DebugWindow, ClosingHidesAndMinimisesAndALaterTextShowsItMinimised)
{
    Write("before close");
    EXPECT_TRUE(Window->close());
    EXPECT_FALSE(Window->Visible());
    EXPECT_EQ(Window->WindowState(), wsMinimized);

    // Text queued before the close still reaches the memo.
    ASSERT_TRUE(WaitFor([&] { return MemoLines(*Window).size() == 1; }));
    EXPECT_EQ(MemoLines(*Window).first(), QStringLiteral("before close"));
    EXPECT_FALSE(Window->Visible());

    Write("after close");
    EXPECT_TRUE(Window->Visible());
    EXPECT_EQ(Window->WindowState(), wsMinimized);
    ASSERT_TRUE(WaitFor([&] { return MemoLines(*Window).size() == 2; }));
    EXPECT_EQ(MemoLines(*Window).last(), QStringLiteral("after close"));
}

// ---- The process-wide window ----

std::string LastPendingLine()
{
    if (!MiscDebugWindow)
        return {};
    const std::string &pending = MiscDebugWindow->PendingText();
    const size_t cut = pending.rfind("\r\n");
    return cut == std::string::npos ? pending : pending.substr(cut + 2);
}

class ThrowingClassName : public Exception
{
public:
    using Exception::Exception;
    std::string ClassName() const override { throw std::runtime_error("no name"); }
};

class ThrowingAnything : public Exception
{
public:
    using Exception::Exception;
    std::string ClassName() const override { throw 42; }
};

CORVANE_DECLARE_EXCEPTION(ETestReport, Exception);

struct ReportCase
{
    const char *name;
    std::function<void(const std::string &location)> report;
    std::string line;
};

void PrintTo(const ReportCase &c, std::ostream *os)
{
    *os << c.name;
}

class ReportExceptionTest : public ::testing::TestWithParam<ReportCase>
{
};

TEST_P(ReportExceptionTest, WritesTheReportLineToTheSharedWindow)
{
    GetParam().report("Unit, TSomething.Method");
    ASSERT_NE(MiscDebugWindow, nullptr);
    EXPECT_TRUE(MiscDebugWindow->Visible());
    EXPECT_EQ(LastPendingLine(), GetParam().line);
}

INSTANTIATE_TEST_SUITE_P(
    Lines, ReportExceptionTest,
    ::testing::Values(
        ReportCase{"ProgramException",
                   [](const std::string &at) { ReportException(ETestReport("data error"), at); },
                   "Class=ETestReport, Message=data error, Location=Unit, TSomething.Method"},
        ReportCase{"BaseException", [](const std::string &at) { ReportException(Exception("boom"), at); },
                   "Class=Exception, Message=boom, Location=Unit, TSomething.Method"},
        ReportCase{"EmptyMessage", [](const std::string &at) { ReportException(ETestReport(""), at); },
                   "Class=ETestReport, Message=, Location=Unit, TSomething.Method"},
        ReportCase{"EmptyLocation", [](const std::string &) { ReportException(ETestReport("m"), ""); },
                   "Class=ETestReport, Message=m, Location="}),
    [](const auto &info) { return std::string(info.param.name); });

TEST(ReportException, NeverRaises)
{
    EXPECT_NO_THROW(ReportException(ThrowingClassName("x"), "here"));
    EXPECT_NO_THROW(ReportException(ThrowingAnything("x"), "here"));
    // The caller goes on and the window still works.
    DebugOutput("still working");
    ASSERT_NE(MiscDebugWindow, nullptr);
    EXPECT_EQ(LastPendingLine(), "still working");
}

TEST(ReportException, SharedWindowBatchesReportsIntoOneTick)
{
    DebugOutput("flush what others left");
    MiscDebugWindow->Timer1Timer();
    const int before = MiscDebugWindow->Memo1->document()->blockCount();
    ReportException(ETestReport("one"), "L");
    ReportException(ETestReport("two"), "L");
    ReportException(ETestReport("three"), "L");
    MiscDebugWindow->Timer1Timer();
    const QStringList lines = MemoLines(*MiscDebugWindow);
    ASSERT_EQ(lines.size(), before + 3);
    EXPECT_EQ(lines.mid(before),
              (QStringList{QStringLiteral("Class=ETestReport, Message=one, Location=L"),
                           QStringLiteral("Class=ETestReport, Message=two, Location=L"),
                           QStringLiteral("Class=ETestReport, Message=three, Location=L")}));
}

} // namespace
