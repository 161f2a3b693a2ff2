#include "EventLoop.h"
#include "Exceptions.h"
#include "MiscDebugWindows.h"
#include "WakeMeSoon.h"

#include <QPlainTextEdit>

#include <gtest/gtest.h>

TEST(WakeMeSoon, RequestsBeforeTheLoopRunsMergeIntoOneCall)
{
    TWakeMeSoon wake;
    int calls = 0;
    wake.OnWakeUp = [&] { ++calls; };
    wake.RequestWakeUp();
    wake.RequestWakeUp();
    wake.RequestWakeUp();
    EXPECT_EQ(calls, 0) << "never called from inside RequestWakeUp";
    ProcessPostedEvents();
    EXPECT_EQ(calls, 1);
    ProcessPostedEvents();
    EXPECT_EQ(calls, 1);
}

TEST(WakeMeSoon, RequestInsideTheCallbackGivesExactlyOneMoreCallLater)
{
    TWakeMeSoon wake;
    int calls = 0;
    wake.OnWakeUp = [&] {
        ++calls;
        if (calls == 1) {
            wake.RequestWakeUp();
            wake.RequestWakeUp();
            EXPECT_EQ(calls, 1);
        }
    };
    wake.RequestWakeUp();
    ASSERT_TRUE(WaitFor([&] { return calls == 2; }));
    ProcessPostedEvents();
    EXPECT_EQ(calls, 2);
}

TEST(WakeMeSoon, UnassignedCallbackConsumesTheRequest)
{
    TWakeMeSoon wake;
    wake.RequestWakeUp();
    ProcessPostedEvents();
    EXPECT_FALSE(wake.Pending());
    int calls = 0;
    wake.OnWakeUp = [&] { ++calls; };
    wake.RequestWakeUp();
    ProcessPostedEvents();
    EXPECT_EQ(calls, 1);
}

TEST(WakeMeSoon, ExceptionIsReportedOnceAndNextRequestStillWorks)
{
    TWakeMeSoon wake;
    int calls = 0;
    wake.OnWakeUp = [&] {
        ++calls;
        if (calls == 1)
            throw Exception("boom");
    };
    wake.RequestWakeUp();
    ProcessPostedEvents();
    ASSERT_NE(MiscDebugWindow, nullptr);
    EXPECT_NE(MiscDebugWindow->PendingText().find("Class=Exception, Message=boom, Location=WakeMeSoon, TWakeMeSoon.WndPrc"),
              std::string::npos);
    wake.RequestWakeUp();
    ProcessPostedEvents();
    EXPECT_EQ(calls, 2);
}

TEST(WakeMeSoon, DestroyedObjectNeverCallsBack)
{
    int calls = 0;
    {
        TWakeMeSoon wake;
        wake.OnWakeUp = [&] { ++calls; };
        wake.RequestWakeUp();
    }
    ProcessPostedEvents();
    EXPECT_EQ(calls, 0);
}
