#include "ClientSession.h"
#include "DemoProtocol.h"
#include "SessionRegistry.h"

#include <gtest/gtest.h>

namespace {

// One session driven without a transport: bytes in, frames out.
class ClientSessionTest : public ::testing::Test
{
protected:
    // A fresh connection: session, client streams and received frames.
    void Start()
    {
        Sender = std::make_unique<TTestSender>();
        Reader = std::make_unique<TTestFrameReader>();
        PreambleSent = false;
        Frames.clear();
        Session = std::make_unique<TClientSession>(Options, Registry);
        Session->OnOutput = [this](const std::string &bytes) {
            ++Outputs;
            try {
                for (TTestFrame &frame : Reader->Feed(bytes))
                    Frames.push_back(std::move(frame));
            } catch (const EZLibError &error) {
                StreamError = error.Message();
            }
        };
        Session->OnEnd = [this](const std::string &reason) { EndReason = reason; };
        Session->OnLog = [this](const std::string &line) { Logs += line + "\n"; };
    }

    // Sends messages as the client does: the first batch after the preamble.
    void Send(const std::string &messages)
    {
        if (!Session)
            Start();
        std::string bytes = PreambleSent ? "" : TestPreamble();
        PreambleSent = true;
        Session->Receive(bytes + Sender->Compress(messages));
    }

    std::vector<TTestFrame> FramesWithId(int id) const
    {
        std::vector<TTestFrame> result;
        for (const TTestFrame &frame : Frames)
            if (frame.Id == id)
                result.push_back(frame);
        return result;
    }

    std::string LoginReply(int id = 1)
    {
        const auto frames = FramesWithId(id);
        return frames.empty() ? "<none>" : frames.back().Body;
    }

    void LogInAndSubscribe()
    {
        Send(LoginMessage(1, "trader", "pw") + SubscribeMessages(8));
        ASSERT_EQ(LoginReply().rfind("SESSION ID\r\n", 0), 0u) << LoginReply();
    }

    TDemoServerOptions Options;
    TSessionRegistry Registry;
    std::unique_ptr<TClientSession> Session;
    std::unique_ptr<TTestSender> Sender;
    std::unique_ptr<TTestFrameReader> Reader;
    bool PreambleSent = false;
    std::vector<TTestFrame> Frames;
    int Outputs = 0;
    std::string StreamError;
    std::string EndReason;
    std::string Logs;
};

TEST_F(ClientSessionTest, RepliesToABatchInOneSyncFlushedWrite)
{
    Send(LoginMessage(1, "trader", "pw") + SubscribeMessages(8) + PingMessage(7));
    ASSERT_EQ(Frames.size(), 2u);
    EXPECT_EQ(Outputs, 1);
    EXPECT_EQ(Frames[0].Id, 1);
    EXPECT_EQ(Frames[0].Body, "SESSION ID\r\n" + Session->SessionId() + "\r\n");
    EXPECT_FALSE(Session->SessionId().empty());
    EXPECT_EQ(Frames[1].Id, 7);
    EXPECT_EQ(Frames[1].Body, "pong");
    EXPECT_TRUE(Session->WantsAlerts());
    EXPECT_EQ(Session->SubscriptionId(), 8);
    EXPECT_TRUE(EndReason.empty());
}

TEST_F(ClientSessionTest, InputSplitAtEveryByteGivesTheSameReplies)
{
    TTestSender sender;
    const std::string bytes =
        TestPreamble() + sender.Compress(LoginMessage(1, "trader", "pw") + PingMessage(5) + PingMessage(6));
    for (std::size_t split = 0; split <= bytes.size(); ++split) {
        SCOPED_TRACE("split at " + std::to_string(split));
        Start();
        Session->Receive(bytes.substr(0, split));
        Session->Receive(bytes.substr(split));
        ASSERT_EQ(Frames.size(), 3u);
        EXPECT_EQ(Frames[0].Id, 1);
        EXPECT_EQ(Frames[1].Id, 5);
        EXPECT_EQ(Frames[2].Id, 6);
    }
}

TEST_F(ClientSessionTest, InputOneByteAtATime)
{
    Start();
    const std::string bytes =
        TestPreamble() + Sender->Compress(LoginMessage(1, "trader", "pw") + PingMessage(2));
    for (const char byte : bytes)
        Session->Receive(std::string(1, byte));
    ASSERT_EQ(Frames.size(), 2u);
    EXPECT_EQ(Frames[1].Body, "pong");
}

TEST_F(ClientSessionTest, PreambleLinesMayEndInLineFeedOnly)
{
    Start();
    Session->Receive("command=set_input&mode=zlib\ncommand=set_output&mode=zlib\n" +
                     Sender->Compress(PingMessage(3)));
    ASSERT_EQ(Frames.size(), 1u);
    EXPECT_EQ(Frames[0].Id, 3);
}

struct TLoginCase
{
    const char *Name;
    std::vector<TDemoUser> Users;
    std::string User;
    std::string Password;
    bool Accepted;
};

void PrintTo(const TLoginCase &row, std::ostream *out)
{
    *out << row.Name;
}

class ClientSessionLogin : public ClientSessionTest, public ::testing::WithParamInterface<TLoginCase>
{
};

TEST_P(ClientSessionLogin, AcceptsOrAnswersStop)
{
    Options.Users = GetParam().Users;
    Send(LoginMessage(1, GetParam().User, GetParam().Password) + SubscribeMessages(8));
    if (GetParam().Accepted) {
        EXPECT_EQ(LoginReply(), "SESSION ID\r\n" + Session->SessionId() + "\r\n");
        EXPECT_TRUE(Session->WantsAlerts());
        EXPECT_EQ(Session->UserName(), GetParam().User);
    } else {
        EXPECT_EQ(LoginReply(), "STOP\r\nInvalid user name or password.\r\n");
        EXPECT_FALSE(Session->LoggedIn());
        EXPECT_FALSE(Session->WantsAlerts());
    }
    EXPECT_NE(Logs.find("login of '" + GetParam().User + "'"), std::string::npos) << Logs;
    if (!GetParam().Password.empty()) {
        EXPECT_EQ(Logs.find(GetParam().Password), std::string::npos) << "password in the log: " << Logs;
    }
}

const std::vector<TDemoUser> TwoUsers = {{"alice", "wonder:land"}, {"bob", "builder"}};

INSTANTIATE_TEST_SUITE_P(
    Cases, ClientSessionLogin,
    ::testing::Values(TLoginCase{"AnyUserWhenNoneGiven", {}, "trader", "xyzzy", true},
                      TLoginCase{"EmptyPassword", {}, "trader", "", false},
                      TLoginCase{"EmptyUserName", {}, "", "xyzzy", false},
                      TLoginCase{"GivenUserRightPassword", TwoUsers, "alice", "wonder:land", true},
                      TLoginCase{"SecondGivenUser", TwoUsers, "bob", "builder", true},
                      TLoginCase{"GivenUserWrongPassword", TwoUsers, "alice", "builder", false},
                      TLoginCase{"PasswordCaseMatters", TwoUsers, "bob", "Builder", false},
                      TLoginCase{"UnknownUser", TwoUsers, "carol", "builder", false}),
    [](const auto &info) { return std::string(info.param.Name); });

TEST_F(ClientSessionTest, StopLoginAnswersEveryLoginWithItsMessage)
{
    Options.StopLogin = true;
    Options.StopLoginMessage = "Closed for maintenance";
    Send(LoginMessage(1, "trader", "pw") + SubscribeMessages(8));
    EXPECT_EQ(LoginReply(), "STOP\r\nClosed for maintenance\r\n");
    EXPECT_FALSE(Session->WantsAlerts());
}

TEST_F(ClientSessionTest, LoginWithAnIssuedSessionIdResumesIt)
{
    Send(LoginMessage(1, "trader", "pw"));
    const std::string issued = Session->SessionId();

    // A new connection of the same user brings the id back.
    Start();
    Send(LoginMessage(1, "trader", "pw", issued));
    EXPECT_EQ(LoginReply(), "SESSION ID\r\n" + issued + "\r\n");
    EXPECT_NE(Logs.find("resumed session " + issued), std::string::npos) << Logs;
}

struct TResumeCase
{
    const char *Name;
    std::string User;
    std::string SessionId; // "*" stands for the id issued to "trader"
};

void PrintTo(const TResumeCase &row, std::ostream *out)
{
    *out << row.Name;
}

class ClientSessionNoResume : public ClientSessionTest, public ::testing::WithParamInterface<TResumeCase>
{
};

TEST_P(ClientSessionNoResume, GetsAFreshId)
{
    const std::string issued = Registry.Issue("trader");
    const std::string presented = GetParam().SessionId == "*" ? issued : GetParam().SessionId;
    Send(LoginMessage(1, GetParam().User, "pw", presented));
    ASSERT_EQ(LoginReply().rfind("SESSION ID\r\n", 0), 0u);
    EXPECT_NE(Session->SessionId(), issued);
    EXPECT_NE(Session->SessionId(), presented);
}

INSTANTIATE_TEST_SUITE_P(Cases, ClientSessionNoResume,
                         ::testing::Values(TResumeCase{"IdOfAnotherUser", "mallory", "*"},
                                           TResumeCase{"UnknownId", "trader", "0123456789abcdef"},
                                           TResumeCase{"EmptyId", "trader", ""}),
                         [](const auto &info) { return std::string(info.param.Name); });

TEST_F(ClientSessionTest, LoginWithoutMessageIdLogsInSilently)
{
    Send(EncodeMessage(0, {{"command", "login"}, {"username", "trader"}, {"password", "pw"}}) +
         SubscribeMessages(8));
    EXPECT_TRUE(Frames.empty());
    EXPECT_TRUE(Session->LoggedIn());
    EXPECT_TRUE(Session->WantsAlerts());
}

TEST_F(ClientSessionTest, ARefusedLoginLaterInTheSessionStopsTheAlerts)
{
    LogInAndSubscribe();
    Send(LoginMessage(2, "trader", ""));
    EXPECT_EQ(LoginReply(2), "STOP\r\nInvalid user name or password.\r\n");
    EXPECT_FALSE(Session->WantsAlerts());
}

TEST_F(ClientSessionTest, PingWithoutMessageIdIsNotAnswered)
{
    Send(EncodeMessage(0, {{"command", "ping"}, {"response", "1"}}) + PingMessage(4));
    ASSERT_EQ(Frames.size(), 1u);
    EXPECT_EQ(Frames[0].Id, 4);
}

TEST_F(ClientSessionTest, NoPingRepliesLeavesPingsUnansweredButNothingElse)
{
    Options.NoPingReplies = true;
    Send(PingMessage(5) + LoginMessage(1, "trader", "pw") + PingMessage(6));
    ASSERT_EQ(Frames.size(), 1u);
    EXPECT_EQ(Frames[0].Id, 1);
    EXPECT_NE(Logs.find("--no-ping-replies"), std::string::npos);
}

struct TBadIdCase
{
    const char *Name;
    std::string Id;
};

void PrintTo(const TBadIdCase &row, std::ostream *out)
{
    *out << row.Name;
}

class ClientSessionBadMessageId : public ClientSessionTest, public ::testing::WithParamInterface<TBadIdCase>
{
};

TEST_P(ClientSessionBadMessageId, MessageIsIgnoredAndTheSessionGoesOn)
{
    Send(EncodeMessage(0, {{"message_id", GetParam().Id}, {"command", "ping"}}) + PingMessage(3));
    ASSERT_EQ(Frames.size(), 1u);
    EXPECT_EQ(Frames[0].Id, 3);
    EXPECT_TRUE(EndReason.empty());
}

INSTANTIATE_TEST_SUITE_P(Cases, ClientSessionBadMessageId,
                         ::testing::Values(TBadIdCase{"Empty", ""}, TBadIdCase{"Letters", "abc"},
                                           TBadIdCase{"Zero", "0"}, TBadIdCase{"Negative", "-3"},
                                           TBadIdCase{"TrailingText", "7x"},
                                           TBadIdCase{"Beyond32Bits", "4294967297"}),
                         [](const auto &info) { return std::string(info.param.Name); });

TEST_F(ClientSessionTest, UnknownCommandIsLoggedAndIgnored)
{
    Send(EncodeMessage(9, {{"command", "fly"}}) + PingMessage(2));
    ASSERT_EQ(Frames.size(), 1u);
    EXPECT_EQ(Frames[0].Id, 2);
    EXPECT_NE(Logs.find("unknown command 'fly'"), std::string::npos);
}

struct TAlertGateCase
{
    const char *Name;
    std::string Messages;
};

void PrintTo(const TAlertGateCase &row, std::ostream *out)
{
    *out << row.Name;
}

class ClientSessionAlertGate : public ClientSessionTest, public ::testing::WithParamInterface<TAlertGateCase>
{
};

TEST_P(ClientSessionAlertGate, NoAlertsUntilLoggedInSubscribedAndInTheCategory)
{
    Send(GetParam().Messages);
    Frames.clear();
    Session->PushAlerts({"CORVANE-main\r\nw_id=1\r\n"});
    EXPECT_FALSE(Session->WantsAlerts());
    EXPECT_TRUE(Frames.empty());
}

INSTANTIATE_TEST_SUITE_P(
    Cases, ClientSessionAlertGate,
    ::testing::Values(
        TAlertGateCase{"NotLoggedIn", SubscribeMessages(8)},
        TAlertGateCase{"LoginRefused", LoginMessage(1, "trader", "") + SubscribeMessages(8)},
        TAlertGateCase{"NotSubscribed",
                       LoginMessage(1, "trader", "pw") + EncodeMessage(0, {{"command", "add_alert_category"},
                                                                           {"category", "CORVANE-main"}})},
        TAlertGateCase{"SubscribedWithoutMessageId", LoginMessage(1, "trader", "pw") + SubscribeMessages(0)},
        TAlertGateCase{"NoCategory", LoginMessage(1, "trader", "pw") +
                                         EncodeMessage(8, {{"command", "listen_for_alerts"}})},
        TAlertGateCase{
            "OtherCategory",
            LoginMessage(1, "trader", "pw") + EncodeMessage(8, {{"command", "listen_for_alerts"}}) +
                EncodeMessage(0, {{"command", "add_alert_category"}, {"category", "OTHER-list"}})}),
    [](const auto &info) { return std::string(info.param.Name); });

TEST_F(ClientSessionTest, AlertsGoOutAsOneBatchOnTheSubscriptionId)
{
    LogInAndSubscribe();
    Frames.clear();
    Outputs = 0;
    const std::vector<std::string> alerts = {"CORVANE-main\r\nw_id=1&symbol=A\r\n",
                                             "CORVANE-main\r\nw_id=2\r\n", std::string("binary\0body", 11)};
    Session->PushAlerts(alerts);
    EXPECT_EQ(Outputs, 1);
    ASSERT_EQ(Frames.size(), 3u);
    for (std::size_t i = 0; i < alerts.size(); ++i) {
        EXPECT_EQ(Frames[i].Id, 8);
        EXPECT_EQ(Frames[i].Body, alerts[i]);
    }
}

TEST_F(ClientSessionTest, CorruptPutsUndecodableBytesIntoTheStreamAndSilencesIt)
{
    LogInAndSubscribe();
    Session->Corrupt();
    EXPECT_EQ(StreamError, "data error");
    const int outputs = Outputs;
    Session->PushAlerts({"CORVANE-main\r\nw_id=1\r\n"});
    Send(PingMessage(3));
    EXPECT_EQ(Outputs, outputs);
    EXPECT_FALSE(Session->WantsAlerts());
    EXPECT_NE(Logs.find("--corrupt-after"), std::string::npos);
}

TEST_F(ClientSessionTest, CorruptBeforeAnyReplyBreaksTheStreamHeader)
{
    Start();
    Session->Corrupt();
    EXPECT_FALSE(StreamError.empty());
}

// Faults in what the client sends: the session ends with a reason, replies
// to what came before the fault still go out, and nothing after it is read.
struct TFaultCase
{
    const char *Name;
    std::string Bytes; // after a valid preamble and login batch, unless RawStart
    bool RawStart;
    std::string ReasonPart;
};

void PrintTo(const TFaultCase &row, std::ostream *out)
{
    *out << row.Name;
}

std::string WithLength(std::int32_t nameLength, std::int32_t valueLength)
{
    std::string bytes;
    AppendLe32(bytes, nameLength);
    if (nameLength > 0 && nameLength < 16)
        bytes += std::string(static_cast<std::size_t>(nameLength), 'n');
    AppendLe32(bytes, valueLength);
    return bytes;
}

class ClientSessionFault : public ClientSessionTest, public ::testing::WithParamInterface<TFaultCase>
{
};

TEST_P(ClientSessionFault, EndsTheSession)
{
    Start();
    if (GetParam().RawStart) {
        Session->Receive(GetParam().Bytes);
    } else {
        Send(LoginMessage(1, "trader", "pw"));
        // "garbage" stands for raw bytes that are not deflate data at all.
        Session->Receive(GetParam().Bytes == "garbage" ? std::string("\xFF\xFF garbage")
                                                       : Sender->Compress(GetParam().Bytes));
        EXPECT_EQ(LoginReply().rfind("SESSION ID", 0), 0u);
    }
    EXPECT_TRUE(Session->Ended());
    EXPECT_NE(EndReason.find(GetParam().ReasonPart), std::string::npos) << EndReason;
    const std::size_t frames = Frames.size();
    Session->Receive(Sender->Compress(PingMessage(9)));
    Session->PushAlerts({"CORVANE-main\r\nw_id=1\r\n"});
    EXPECT_EQ(Frames.size(), frames);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, ClientSessionFault,
    ::testing::Values(
        TFaultCase{"HttpRequestInsteadOfPreamble", "GET / HTTP/1.1\r\nHost: x\r\n\r\n", true,
                   "preamble line"},
        TFaultCase{"TextMode", "command=set_output&mode=text\r\n", true, "preamble line"},
        TFaultCase{"EndlessPreambleLine", std::string(300, 'c'), true, "preamble line too long"},
        TFaultCase{"GarbageInsteadOfZlib", TestPreamble() + "\x01\x02garbage", true,
                   "invalid data from client"},
        TFaultCase{"GarbageLaterInTheStream", "garbage", false, "invalid data from client"},
        TFaultCase{"NegativeNameLength", WithLength(-1, 0), false, "bad name length -1"},
        TFaultCase{"NameLengthOverLimit", WithLength(TClientSession::MaxFieldLength + 1, 0), false,
                   "bad name length"},
        TFaultCase{"NegativeValueLength", WithLength(4, -5), false, "bad value length -5"},
        TFaultCase{"ValueLengthOverLimit", WithLength(4, 0x7FFFFFFF), false, "bad value length"}),
    [](const auto &info) { return std::string(info.param.Name); });

TEST_F(ClientSessionTest, EndlessMessageEndsTheSession)
{
    // Pairs of the largest allowed size that never reach the end marker.
    std::string pairs;
    const std::string value(TClientSession::MaxFieldLength, 'v');
    for (int i = 0; i < 3; ++i) {
        AppendLe32(pairs, 4);
        pairs += "name";
        AppendLe32(pairs, static_cast<std::int32_t>(value.size()));
        pairs += value;
    }
    Send(pairs);
    EXPECT_TRUE(Session->Ended());
    EXPECT_NE(EndReason.find("message too long"), std::string::npos) << EndReason;
}

} // namespace
