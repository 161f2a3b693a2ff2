#include "EventLoop.h"
#include "LocalClock.h"
#include "MainConnectionUnit.h"
#include "MemoryServerConnection.h"
#include "PerformanceCounter.h"
#include "TestAlertServer.h"

#include <gtest/gtest.h>

#include <memory>

namespace {

const std::string InvalidLogin = "Invalid user name or password.";

// A session against the test alert server on loopback. The timer is off:
// the test ticks by hand and moves the fake clock, so the watchdog's 12.5
// seconds pass without waiting.
class MainConnectionTest : public ::testing::Test
{
protected:
    MainConnectionTest() : Clock(46000.5)
    {
        Session.SetTimerEnabledForTesting(false);
        Session.SetAddressForTesting(Server.Address());
        Session.OnConversationCreatedForTesting = [this](TTalkWithServer &) { ++ConversationsCreated; };
        Session.OnStatusChange = [this] { StatusChanges.push_back(Session.Status()); };
    }

    // Logs in on a fresh conversation and waits for the three messages.
    TTestAlertConnection &LogIn(size_t connection = 0, const std::string &user = "alice",
                                const std::string &password = "secret")
    {
        Session.SetUsername(user);
        Session.SetPassword(password);
        return AwaitLogin(connection);
    }

    TTestAlertConnection &AwaitLogin(size_t connection)
    {
        EXPECT_TRUE(Server.WaitForConnection(connection + 1));
        TTestAlertConnection &c = Server.Connection(connection);
        EXPECT_TRUE(c.WaitForMessages(3));
        return c;
    }

    // One timer tick, half a second after the previous one.
    void Tick()
    {
        Clock.AdvanceSeconds(0.5);
        Session.TickForTesting();
        ProcessPostedEvents();
    }

    // The messages of this connection whose command is given.
    static std::vector<TMessageToServer> Commands(TTestAlertConnection &c, const std::string &command)
    {
        std::vector<TMessageToServer> found;
        for (const auto &m : c.Messages())
            if (FieldValue(m, "command") == command)
                found.push_back(m);
        return found;
    }

    bool WaitForClosedConversation()
    {
        return WaitFor([this] {
            return Session.Conversation() && Session.Conversation()->State() == TTalkWithServer::Closed;
        });
    }

    TFakeClock Clock;
    TTestAlertServer Server;
    TMainConnection Session;
    int ConversationsCreated = 0;
    std::vector<std::string> StatusChanges;
};

bool HasField(const TMessageToServer &m, const std::string &name)
{
    for (const auto &f : m)
        if (f.Name == name)
            return true;
    return false;
}

} // namespace

TEST_F(MainConnectionTest, FirstLoginSendsLoginSubscriptionAndCategoryInOrder)
{
    TTestAlertConnection &c = LogIn();
    const auto &m = c.Messages();
    ASSERT_GE(m.size(), 3u);
    EXPECT_EQ(m[0], (TMessageToServer{{"message_id", "1"},
                                      {"command", "login"},
                                      {"username", "alice"},
                                      {"password", "secret"},
                                      {"session_id", ""}}));
    EXPECT_EQ(m[1], (TMessageToServer{{"message_id", "8"}, {"command", "listen_for_alerts"}}));
    EXPECT_EQ(m[2], (TMessageToServer{{"command", "add_alert_category"}, {"category", "CORVANE-main"}}));
    EXPECT_EQ(c.RawReceived().substr(0, ClientPreamble.size()), ClientPreamble);
    EXPECT_EQ(ConversationsCreated, 1) << "both credentials changed: one restart";
}

TEST_F(MainConnectionTest, PreambleAndTheThreeMessagesGoOutInOneSend)
{
    TMemoryServerConnection *transport = nullptr;
    Session.OnConversationCreatedForTesting = [&](TTalkWithServer &conversation) {
        conversation.TransportFactory = [&] {
            auto t = std::make_unique<TMemoryServerConnection>();
            transport = t.get();
            return t;
        };
    };
    Session.SetUsername("alice");
    Session.SetPassword("secret");
    ASSERT_TRUE(WaitFor([&] { return transport && transport->State == TMemoryServerConnection::Connecting; }));
    ProcessPostedEvents();
    EXPECT_TRUE(transport->Sent.empty());
    transport->AcceptConnection();
    ASSERT_EQ(transport->Sent.size(), 1u);
    TClientStreamDecoder decoder;
    decoder.Feed(transport->Sent[0]);
    EXPECT_EQ(decoder.ProtocolError(), "");
    ASSERT_EQ(decoder.Messages().size(), 3u);
}

TEST_F(MainConnectionTest, UnchangedCredentialsDoNothingAndOneChangeRestartsOnce)
{
    LogIn();
    Session.SetUsername("alice");
    Session.SetPassword("secret");
    ProcessPostedEvents();
    EXPECT_EQ(ConversationsCreated, 1);
    Session.SetUsername("bob");
    Session.SetPassword("secret");
    TTestAlertConnection &second = AwaitLogin(1);
    EXPECT_EQ(ConversationsCreated, 2);
    EXPECT_EQ(FieldValue(second.Messages()[0], "username"), "bob");
}

TEST_F(MainConnectionTest, ReconnectionSendsTheStoredSessionIdAndResetForgetsIt)
{
    TTestAlertConnection &first = LogIn();
    first.Reply(first.Messages()[0], "SESSION ID\r\nS-42\r\n");
    ASSERT_TRUE(WaitFor([&] { return Session.SessionId() == "S-42"; }));

    first.Close();
    ASSERT_TRUE(WaitForClosedConversation());
    Tick(); // reaps the closed conversation and asks for a new one
    TTestAlertConnection &second = AwaitLogin(1);
    EXPECT_EQ(FieldValue(second.Messages()[0], "session_id"), "S-42");
    EXPECT_EQ(FieldValue(second.Messages()[0], "message_id"), "1");

    Session.Reset();
    TTestAlertConnection &third = AwaitLogin(2);
    EXPECT_EQ(FieldValue(third.Messages()[0], "session_id"), "");
    EXPECT_TRUE(HasField(third.Messages()[0], "session_id"));
}

TEST_F(MainConnectionTest, WatchdogRestartKeepsTheSessionId)
{
    TTestAlertConnection &first = LogIn();
    first.Reply(first.Messages()[0], "SESSION ID\r\nW-7\r\n");
    ASSERT_TRUE(WaitFor([&] { return Session.SessionId() == "W-7"; }));
    for (int i = 0; i < 25; ++i)
        Tick();
    TTestAlertConnection &second = AwaitLogin(1);
    EXPECT_EQ(FieldValue(second.Messages()[0], "session_id"), "W-7");
}

TEST_F(MainConnectionTest, PingGoesOnTheFirstTickMoreThanFourAndAHalfSecondsLater)
{
    TTestAlertConnection &c = LogIn();
    // The conversation was created at the start time; ticks move 0.5 s each.
    for (int i = 0; i < 9; ++i)
        Tick(); // 4.5 s: not yet strictly later
    ProcessPostedEvents();
    EXPECT_TRUE(Commands(c, "ping").empty());
    Tick(); // 5.0 s
    ASSERT_TRUE(c.WaitForMessages(4));
    const auto pings = Commands(c, "ping");
    ASSERT_EQ(pings.size(), 1u);
    EXPECT_EQ(FieldValue(pings[0], "response"), "1");
    EXPECT_NE(MessageIdOf(pings[0]), 0);

    c.Reply(pings[0], "");
    ASSERT_TRUE(WaitFor([&] { return !Session.Status().empty(); }));
    EXPECT_EQ(Session.Status(), "Working:  " + LongTimeString(Clock.Value));
    EXPECT_EQ(Session.MissedTicks(), 0);
}

TEST_F(MainConnectionTest, NextPingCancelsTheCallbackOfThePreviousOne)
{
    TTestAlertConnection &c = LogIn();
    for (int i = 0; i < 10; ++i)
        Tick();
    ASSERT_TRUE(c.WaitForMessages(4));
    const TMessageToServer firstPing = Commands(c, "ping").at(0);
    for (int i = 0; i < 10; ++i)
        Tick();
    ASSERT_TRUE(c.WaitForMessages(5));
    const TMessageToServer secondPing = Commands(c, "ping").at(1);
    // An answer to the cancelled ping changes nothing, even late.
    c.Reply(firstPing, "");
    c.Reply(c.Messages()[0], "SESSION ID\r\nmarker\r\n");
    ASSERT_TRUE(WaitFor([&] { return Session.SessionId() == "marker"; }));
    EXPECT_TRUE(Session.Status().empty());
    EXPECT_EQ(Session.MissedTicks(), 20);
    c.Reply(secondPing, "");
    ASSERT_TRUE(WaitFor([&] { return Session.MissedTicks() == 0; }));
}

TEST_F(MainConnectionTest, SilentServerIsReplacedAtTheTwentyFifthTickAndThePingFails)
{
    LogIn();
    for (int i = 0; i < 24; ++i)
        Tick();
    EXPECT_EQ(ConversationsCreated, 1);
    EXPECT_TRUE(Session.Status().empty());
    Tick();
    // Freeing the conversation failed its outstanding ping.
    EXPECT_EQ(Session.Status(), "Working:  " + LongTimeString(Clock.Value));
    AwaitLogin(1);
    EXPECT_EQ(ConversationsCreated, 2);
}

TEST_F(MainConnectionTest, StopWithAMessageStopsPingsAndReconnection)
{
    TTestAlertConnection &c = LogIn();
    c.Reply(c.Messages()[0], "STOP\r\n" + InvalidLogin + "\r\n");
    ASSERT_TRUE(WaitFor([&] { return Session.Stopped(); }));
    EXPECT_EQ(Session.Status(), InvalidLogin);
    for (int i = 0; i < 30; ++i)
        Tick();
    EXPECT_TRUE(Commands(c, "ping").empty());
    c.Close();
    ASSERT_TRUE(WaitForClosedConversation());
    Tick();
    Tick();
    EXPECT_EQ(Server.ConnectionCount(), 1u);
    EXPECT_EQ(Session.Conversation(), nullptr);

    // Login again with the same credentials resets, because the session stopped.
    Session.SetUsername("alice");
    Session.SetPassword("secret");
    AwaitLogin(1);
    EXPECT_FALSE(Session.Stopped());
    EXPECT_TRUE(Session.Status().empty());
}

TEST_F(MainConnectionTest, StopWithoutAMessageLeavesTheStatus)
{
    TTestAlertConnection &c = LogIn();
    for (int i = 0; i < 10; ++i)
        Tick();
    ASSERT_TRUE(c.WaitForMessages(4));
    c.Reply(Commands(c, "ping").at(0), "");
    ASSERT_TRUE(WaitFor([&] { return !Session.Status().empty(); }));
    const std::string before = Session.Status();
    c.Reply(c.Messages()[0], "STOP\r\n");
    ASSERT_TRUE(WaitFor([&] { return Session.Stopped(); }));
    EXPECT_EQ(Session.Status(), before);
}

struct LoginReply
{
    const char *Name;
    std::string Body;
    std::string SessionId;
};

class LoginReplies : public MainConnectionTest, public ::testing::WithParamInterface<LoginReply>
{};

TEST_P(LoginReplies, SetTheSessionIdOnlyFromAWholeReply)
{
    TTestAlertConnection &c = LogIn();
    c.Reply(c.Messages()[0], GetParam().Body);
    c.Reply(c.Messages()[1], "marker\r\n");
    bool delivered = false;
    Session.AddAlertListener([&](const std::string &) { delivered = true; });
    ASSERT_TRUE(WaitFor([&] { return delivered; }));
    EXPECT_EQ(Session.SessionId(), GetParam().SessionId);
    EXPECT_FALSE(Session.Stopped());
}

INSTANTIATE_TEST_SUITE_P(
    Bodies, LoginReplies,
    ::testing::Values(LoginReply{"CrLf", "SESSION ID\r\nabc\r\n", "abc"}, LoginReply{"Lf", "SESSION ID\nabc", "abc"},
                      LoginReply{"Cr", "SESSION ID\rabc\r", "abc"},
                      LoginReply{"CutAtZeroByte", std::string("SESSION ID\r\nab\0cd", 16), "ab"},
                      LoginReply{"EmptySecondLine", "SESSION ID\r\n\r\nxyz", ""},
                      LoginReply{"NoSecondLine", "SESSION ID\r\n", ""}, LoginReply{"Empty", "", ""},
                      LoginReply{"Other", "WELCOME\r\nabc", ""}, LoginReply{"LowerCase", "session id\r\nabc", ""}),
    [](const auto &info) { return std::string(info.param.Name); });

TEST_F(MainConnectionTest, UserNameWithoutPasswordConnectsWithOnlyThePreamble)
{
    Session.SetUsername("alice");
    ASSERT_TRUE(Server.WaitForConnection(1));
    TTestAlertConnection &c = Server.Connection(0);
    ASSERT_TRUE(c.WaitForRawBytes(ClientPreamble.size()));
    for (int i = 0; i < 30; ++i)
        Tick();
    EXPECT_EQ(c.RawReceived(), ClientPreamble);
    c.Close();
    ASSERT_TRUE(WaitForClosedConversation());
    Tick();
    Tick();
    EXPECT_EQ(Server.ConnectionCount(), 1u);
    EXPECT_EQ(Session.Conversation(), nullptr);
}

TEST_F(MainConnectionTest, EveryListenerGetsTheAlertEvenAfterOneThrows)
{
    std::vector<std::string> got;
    Session.AddAlertListener([&](const std::string &data) { got.push_back("first:" + data); });
    Session.AddAlertListener([&](const std::string &) { throw Exception("listener failed"); });
    Session.AddAlertListener([&](const std::string &data) { got.push_back("third:" + data); });
    TTestAlertConnection &c = LogIn();
    c.Reply(c.Messages()[1], "CORVANE-main\r\nw_id=1&symbol=A\r\n");
    c.Reply(c.Messages()[1], "second");
    ASSERT_TRUE(WaitFor([&] { return got.size() == 4; }));
    EXPECT_EQ(got, (std::vector<std::string>{"first:CORVANE-main\r\nw_id=1&symbol=A\r\n",
                                             "third:CORVANE-main\r\nw_id=1&symbol=A\r\n", "first:second",
                                             "third:second"}));
}

TEST_F(MainConnectionTest, WithoutAPerformanceCounterNoPingIsSent)
{
    Session.SetCounterRateForTesting(0);
    TTestAlertConnection &c = LogIn();
    for (int i = 0; i < 24; ++i)
        Tick();
    EXPECT_TRUE(Commands(c, "ping").empty());
    Tick();
    AwaitLogin(1);
}

TEST_F(MainConnectionTest, ClockSetBackStopsPingsUntilTheWatchdogRestarts)
{
    TTestAlertConnection &c = LogIn();
    Clock.AdvanceSeconds(-3600);
    for (int i = 0; i < 24; ++i)
        Tick();
    EXPECT_TRUE(Commands(c, "ping").empty());
    Tick();
    TTestAlertConnection &second = AwaitLogin(1);
    for (int i = 0; i < 10; ++i)
        Tick();
    EXPECT_TRUE(second.WaitForMessages(4));
    EXPECT_EQ(Commands(second, "ping").size(), 1u);
}

TEST(MainConnectionAccessor, ReturnsOneInstance)
{
    EXPECT_EQ(&MainConnection(), &MainConnection());
}
