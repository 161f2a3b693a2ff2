#include "TalkWithServer.h"
#include "EventLoop.h"
#include "HttpTunnels.h"
#include "MemoryServerConnection.h"
#include "MiscDebugWindows.h"
#include "SocketServerConnections.h"
#include "SocksProxies.h"
#include "TestAlertServer.h"

#include <QHostAddress>
#include <QPlainTextEdit>
#include <QTcpServer>

#include <gtest/gtest.h>

#include <climits>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

namespace {

// Everything the debug window got so far: shown lines and queued text.
std::string DebugText()
{
    if (!MiscDebugWindow)
        return {};
    std::string text = MiscDebugWindow->Memo1->toPlainText().toStdString();
    return text + "\n" + MiscDebugWindow->PendingText();
}

void ClearDebugText()
{
    if (!MiscDebugWindow)
        return;
    MiscDebugWindow->Timer1Timer(); // moves the queued text into the memo
    MiscDebugWindow->Memo1->clear();
}

std::string Int32Bytes(std::uint32_t value)
{
    std::string out;
    for (int i = 0; i < 4; ++i)
        out += static_cast<char>((value >> (8 * i)) & 0xFF);
    return out;
}

// Records every callback call as "<tag>:ok:<body>" or "<tag>:fail".
struct TCallLog
{
    TResponseCallback Callback(const std::string &tag)
    {
        return [this, tag](bool success, const std::string &body, const TMessageToServer &message) {
            EXPECT_TRUE(success || body.empty());
            Calls.push_back(tag + (success ? ":ok:" + body : ":fail"));
            Messages.push_back(message);
        };
    }
    int Count(const std::string &prefix) const
    {
        int n = 0;
        for (const std::string &call : Calls)
            n += call.rfind(prefix, 0) == 0;
        return n;
    }

    std::vector<std::string> Calls;
    std::vector<TMessageToServer> Messages;
};

const TMessageToServer Ping = {{"command", "ping"}, {"response", "1"}};

} // namespace

// The conversation over an in-memory transport: the test plays the network.
class TalkWithServerMemory : public ::testing::Test
{
protected:
    void SetUp() override
    {
        ClearDebugText();
        Talk = std::make_unique<TTalkWithServer>();
        Talk->TransportFactory = [this] {
            auto transport = std::make_unique<TMemoryServerConnection>();
            transport->FailConnect = FailConnect;
            Transport = transport.get();
            TransportAlive = transport->Alive;
            return transport;
        };
        Talk->OnDisconnected = [this] {
            ++Disconnects;
            Order.push_back("disconnected");
        };
        Talk->OnConnected = [this] { Order.push_back("connected"); };
    }

    void TearDown() override { Talk.reset(); }

    void ConnectAndAccept()
    {
        Talk->Connect();
        Transport->AcceptConnection();
    }

    struct TDecoded
    {
        std::vector<TMessageToServer> Messages;
        std::string Inflated;
    };

    // What the client wrote, decoded as the server sees it.
    TDecoded Decoded() const
    {
        TClientStreamDecoder decoder;
        decoder.Feed(Transport->AllSent());
        EXPECT_EQ(decoder.ProtocolError(), "");
        return {decoder.Messages(), decoder.Inflated()};
    }

    void ServerSends(const std::string &plain) { Transport->Deliver(Replies.Compress(plain)); }

    // Takes every free slot of a new table but the one of id 1.
    void FillOtherSlots()
    {
        for (int i = 0; i < 7; ++i)
            Talk->SendMessage(Ping, false, [](bool, const std::string &, const TMessageToServer &) {});
    }

    TResponseCallback Logged(const std::string &tag)
    {
        auto inner = Log.Callback(tag);
        return [this, inner](bool success, const std::string &body, const TMessageToServer &message) {
            Order.push_back("callback");
            inner(success, body, message);
        };
    }

    std::unique_ptr<TTalkWithServer> Talk;
    TMemoryServerConnection *Transport = nullptr;
    std::weak_ptr<bool> TransportAlive;
    bool FailConnect = false;
    TReplyStream Replies;
    TCallLog Log;
    int Disconnects = 0;
    std::vector<std::string> Order;
};

TEST_F(TalkWithServerMemory, StartsNotConnectedWithThePreambleWaiting)
{
    EXPECT_EQ(Talk->State(), TTalkWithServer::NotConnected);
    EXPECT_EQ(Talk->LastError(), "Unable to connect to server.");
    EXPECT_EQ(Talk->PendingOutput(), ClientPreamble);
    EXPECT_EQ(ClientPreamble.size(), 59u);
    EXPECT_EQ(Talk->ServerConnection(), nullptr);
}

TEST_F(TalkWithServerMemory, MessagesQueuedBeforeTheConnectionLeaveInOneWriteAfterThePreamble)
{
    Talk->SendMessage({{"command", "login"}, {"username", "ann"}}, true, Log.Callback("login"));
    Talk->SendMessage({{"command", "listen_for_alerts"}}, true, Log.Callback("alerts"));
    Talk->SendMessage({{"command", "add_alert_category"}, {"category", "CORVANE-main"}}, false, nullptr);
    ProcessPostedEvents();
    Talk->Connect();
    EXPECT_EQ(Talk->LastError(), "Error in server connection.");
    ProcessPostedEvents();
    EXPECT_TRUE(Transport->Sent.empty());
    Transport->AcceptConnection();

    ASSERT_EQ(Transport->Sent.size(), 1u);
    const std::string &write = Transport->Sent[0];
    EXPECT_EQ(write.substr(0, 59), ClientPreamble);
    EXPECT_EQ(write.substr(59, 2), std::string("\x78\x9C"));
    EXPECT_EQ(Decoded().Messages, (std::vector<TMessageToServer>{
                                      {{"message_id", "1"}, {"command", "login"}, {"username", "ann"}},
                                      {{"message_id", "8"}, {"command", "listen_for_alerts"}},
                                      {{"command", "add_alert_category"}, {"category", "CORVANE-main"}}}));
    EXPECT_EQ(Order, std::vector<std::string>{"connected"});
    EXPECT_EQ(Talk->State(), TTalkWithServer::Connected);
    EXPECT_EQ(Talk->LastError(), "Unexpected disconnect from server.");
    EXPECT_EQ(Talk->PendingOutput(), "");
}

TEST_F(TalkWithServerMemory, EverythingQueuedInOneTurnIsOneDecodableWrite)
{
    ConnectAndAccept();
    ASSERT_EQ(Transport->Sent.size(), 1u) << "the preamble";
    for (int i = 0; i < 5; ++i)
        Talk->SendMessage(Ping, false, nullptr);
    EXPECT_EQ(Transport->Sent.size(), 1u) << "never flushed inside SendMessage";
    ProcessPostedEvents();
    ASSERT_EQ(Transport->Sent.size(), 2u);
    EXPECT_EQ(Decoded().Messages.size(), 5u) << "sync-flushed: the server can decode all of it";
    Talk->SendMessage(Ping, false, nullptr);
    ProcessPostedEvents();
    EXPECT_EQ(Transport->Sent.size(), 3u);
    ProcessPostedEvents();
    EXPECT_EQ(Transport->Sent.size(), 3u) << "no empty batch";
}

TEST_F(TalkWithServerMemory, RequestWithId7OfPingEncodesToTheDocumentedBytes)
{
    ConnectAndAccept();
    Talk->SendMessage({{"a", "b"}}, false, Log.Callback("first"));
    Talk->SendMessage({{"a", "b"}}, false, Log.Callback("second"));
    const TRequestHandle handle = Talk->SendMessage(Ping, false, Log.Callback("ping"));
    ASSERT_EQ(handle.Id, 7);
    ProcessPostedEvents();
    const std::string expected = Int32Bytes(10) + "message_id" + Int32Bytes(1) + "7" + Int32Bytes(7) +
                                 "command" + Int32Bytes(4) + "ping" + Int32Bytes(8) + "response" +
                                 Int32Bytes(1) + "1" + Int32Bytes(0);
    ASSERT_EQ(expected.size(), 59u);
    const std::string inflated = Decoded().Inflated;
    ASSERT_GE(inflated.size(), expected.size());
    EXPECT_EQ(inflated.substr(inflated.size() - 59), expected);
}

TEST_F(TalkWithServerMemory, IdsAreHandedOutHighestFreeSlotFirst)
{
    std::vector<std::int32_t> ids;
    for (int i = 0; i < 10; ++i)
        ids.push_back(Talk->SendMessage(Ping, false, Log.Callback("r")).Id);
    EXPECT_EQ(ids, (std::vector<std::int32_t>{1, 8, 7, 6, 5, 4, 3, 2, 9, 16}));
    EXPECT_EQ(Talk->PendingRequests().size(), 16u);
}

TEST_F(TalkWithServerMemory, AReleasedIdIsHandedOutAgain)
{
    ConnectAndAccept();
    for (int i = 0; i < 8; ++i)
        Talk->SendMessage(Ping, false, Log.Callback("r"));
    ServerSends(EncodeFrame(5, "x"));
    EXPECT_EQ(Talk->SendMessage(Ping, false, Log.Callback("again")).Id, 5);
    EXPECT_EQ(Talk->SendMessage(Ping, false, Log.Callback("grow")).Id, 9);
    EXPECT_EQ(Talk->SendMessage(Ping, false, Log.Callback("grow")).Id, 16);
}

TEST_F(TalkWithServerMemory, StampsComeFromTheProcessWideCounter)
{
    TTalkWithServer other;
    const std::int64_t before = NextRequestStamp;
    const TRequestHandle a = Talk->SendMessage(Ping, false, Log.Callback("a"));
    const TRequestHandle b = other.SendMessage(Ping, false, Log.Callback("b"));
    EXPECT_EQ(a.Stamp, before);
    EXPECT_EQ(b.Stamp, before + 1);
    EXPECT_EQ(NextRequestStamp, before + 2);
    EXPECT_EQ(Talk->PendingRequests()[0].Stamp, a.Stamp);
}

TEST_F(TalkWithServerMemory, RequestWithoutCallbackCarriesNoIdAndRegistersNothing)
{
    ConnectAndAccept();
    const std::int64_t before = NextRequestStamp;
    const TRequestHandle handle = Talk->SendMessage(Ping, false, nullptr);
    EXPECT_EQ(handle.Id, 0);
    EXPECT_EQ(handle.Stamp, 0);
    EXPECT_EQ(NextRequestStamp, before);
    EXPECT_TRUE(Talk->PendingRequests().empty());
    ProcessPostedEvents();
    EXPECT_EQ(Decoded().Messages, std::vector<TMessageToServer>{Ping});
}

TEST_F(TalkWithServerMemory, EmptyNamesAreSkippedAndEmptyValuesSent)
{
    ConnectAndAccept();
    Talk->SendMessage({{"", "ignored"}, {"command", ""}, {"", ""}, {"x", "y"}}, false, nullptr);
    ProcessPostedEvents();
    EXPECT_EQ(Decoded().Messages, (std::vector<TMessageToServer>{{{"command", ""}, {"x", "y"}}}));
}

TEST_F(TalkWithServerMemory, MessageWithoutANameFailsAtOnceAndIsNotSent)
{
    ConnectAndAccept();
    const TMessageToServer nameless = {{"", "value"}};
    for (const TMessageToServer &message : {nameless, TMessageToServer{}}) {
        const TRequestHandle handle = Talk->SendMessage(message, false, Log.Callback("r"));
        EXPECT_EQ(handle.Id, 0);
        EXPECT_EQ(handle.Stamp, 0);
    }
    EXPECT_EQ(Log.Calls, (std::vector<std::string>{"r:fail", "r:fail"}));
    EXPECT_EQ(Log.Messages[0], nameless);
    ProcessPostedEvents();
    EXPECT_EQ(Transport->Sent.size(), 1u) << "only the preamble";
}

TEST_F(TalkWithServerMemory, SeveralFramesInOneChunkArriveInOrder)
{
    ConnectAndAccept();
    Talk->SendMessage(Ping, false, Log.Callback("1"));
    Talk->SendMessage(Ping, false, Log.Callback("8"));
    Talk->SendMessage(Ping, false, Log.Callback("7"));
    ServerSends(EncodeFrame(7, "c") + EncodeFrame(1, "a") + EncodeFrame(8, "b"));
    EXPECT_EQ(Log.Calls, (std::vector<std::string>{"7:ok:c", "1:ok:a", "8:ok:b"}));
    EXPECT_EQ(Talk->BufferedInput(), 0u);
}

TEST_F(TalkWithServerMemory, ThousandsOfSmallFramesInOneChunkAllArrive)
{
    ConnectAndAccept();
    int calls = 0;
    Talk->SendMessage(Ping, true, [&](bool success, const std::string &body, const TMessageToServer &) {
        if (!success)
            return; // the failure when the test ends
        EXPECT_EQ(body, std::to_string(calls));
        ++calls;
    });
    std::string plain;
    for (int i = 0; i < 20000; ++i)
        plain += EncodeFrame(1, std::to_string(i));
    ServerSends(plain);
    EXPECT_EQ(calls, 20000);
    EXPECT_EQ(Talk->BufferedInput(), 0u);
}

TEST_F(TalkWithServerMemory, ZeroLengthBodyIsASuccessWithAnEmptyBody)
{
    ConnectAndAccept();
    Talk->SendMessage(Ping, false, Log.Callback("r"));
    ServerSends(EncodeFrame(1, ""));
    EXPECT_EQ(Log.Calls, std::vector<std::string>{"r:ok:"});
}

TEST_F(TalkWithServerMemory, BodyMayHoldAnyBytes)
{
    ConnectAndAccept();
    Talk->SendMessage(Ping, false, Log.Callback("r"));
    const std::string body("\0\r\n\xff", 4);
    ServerSends(EncodeFrame(1, body));
    EXPECT_EQ(Log.Calls, std::vector<std::string>{"r:ok:" + body});
}

struct TIgnoredIdCase
{
    const char *Name;
    std::int32_t Id;
};

class TalkWithServerIgnoredId : public TalkWithServerMemory,
                                public ::testing::WithParamInterface<TIgnoredIdCase>
{
};

TEST_P(TalkWithServerIgnoredId, ReplyIsDroppedWithoutEffect)
{
    ConnectAndAccept();
    Talk->SendMessage(Ping, false, Log.Callback("r"));
    ServerSends(EncodeFrame(GetParam().Id, "stray") + EncodeFrame(1, "mine"));
    EXPECT_EQ(Log.Calls, std::vector<std::string>{"r:ok:mine"});
    EXPECT_EQ(Talk->State(), TTalkWithServer::Connected);
}

INSTANTIATE_TEST_SUITE_P(Table, TalkWithServerIgnoredId,
                         ::testing::Values(TIgnoredIdCase{"Zero", 0}, TIgnoredIdCase{"Negative", -1},
                                           TIgnoredIdCase{"Minimum", INT_MIN},
                                           TIgnoredIdCase{"JustBeyondTable", 9},
                                           TIgnoredIdCase{"FarBeyondTable", INT_MAX}),
                         [](const ::testing::TestParamInfo<TIgnoredIdCase> &info) {
                             return std::string(info.param.Name);
                         });

// One frame whose uncompressed bytes are cut at every position.
class TalkWithServerSplitFrame : public TalkWithServerMemory, public ::testing::WithParamInterface<size_t>
{
};

TEST_P(TalkWithServerSplitFrame, IsDeliveredOnceWhenComplete)
{
    ConnectAndAccept();
    Talk->SendMessage(Ping, false, Log.Callback("r"));
    const std::string frame = EncodeFrame(1, "hello world");
    const size_t cut = GetParam();
    ServerSends(frame.substr(0, cut));
    EXPECT_EQ(Log.Calls.size(), cut == frame.size() ? 1u : 0u);
    ServerSends(frame.substr(cut));
    EXPECT_EQ(Log.Calls, std::vector<std::string>{"r:ok:hello world"});
}

INSTANTIATE_TEST_SUITE_P(Every, TalkWithServerSplitFrame, ::testing::Range<size_t>(0, 20),
                         [](const ::testing::TestParamInfo<size_t> &info) {
                             return "CutAt" + std::to_string(info.param);
                         });

TEST_F(TalkWithServerMemory, CompressedStreamCutAtEveryByteStillDeliversEachFrameOnce)
{
    ConnectAndAccept();
    Talk->SendMessage(Ping, true, Log.Callback("r"));
    const std::string compressed = Replies.Compress(EncodeFrame(1, "first") + EncodeFrame(1, "second"));
    for (const char byte : compressed)
        Transport->Deliver(std::string(1, byte));
    EXPECT_EQ(Log.Calls, (std::vector<std::string>{"r:ok:first", "r:ok:second"}));
}

TEST_F(TalkWithServerMemory, KeepAfterReplyReceivesEveryReply)
{
    ConnectAndAccept();
    Talk->SendMessage(Ping, true, Log.Callback("keep"));
    ServerSends(EncodeFrame(1, "a"));
    ServerSends(EncodeFrame(1, "b") + EncodeFrame(1, "c"));
    EXPECT_EQ(Log.Calls, (std::vector<std::string>{"keep:ok:a", "keep:ok:b", "keep:ok:c"}));
    EXPECT_FALSE(Talk->PendingRequests()[0].Message.empty());
}

TEST_F(TalkWithServerMemory, ASecondReplyGoesToWhoeverHoldsTheIdByThen)
{
    ConnectAndAccept();
    TRequestHandle second;
    Talk->SendMessage(Ping, false, [&](bool success, const std::string &body, const TMessageToServer &) {
        if (!success)
            return;
        Log.Calls.push_back("first:" + body);
        // Released before this call: the new request may take the same id.
        second = Talk->SendMessage(Ping, false, Log.Callback("second"));
    });
    FillOtherSlots();
    ServerSends(EncodeFrame(1, "a") + EncodeFrame(1, "b") + EncodeFrame(1, "c"));
    EXPECT_EQ(second.Id, 1);
    EXPECT_EQ(Log.Calls, (std::vector<std::string>{"first:a", "second:ok:b"}));
}

TEST_F(TalkWithServerMemory, StaleCancelDoesNothingToTheNewOwnerOfTheSlot)
{
    ConnectAndAccept();
    const TRequestHandle old = Talk->SendMessage(Ping, false, Log.Callback("old"));
    FillOtherSlots();
    ServerSends(EncodeFrame(1, "x"));
    const TRequestHandle current = Talk->SendMessage(Ping, false, Log.Callback("new"));
    ASSERT_EQ(current.Id, old.Id);
    ASSERT_NE(current.Stamp, old.Stamp);
    Talk->CancelCallback(old);
    Talk->CancelCallback(TRequestHandle{});
    ServerSends(EncodeFrame(1, "y"));
    EXPECT_EQ(Log.Calls, (std::vector<std::string>{"old:ok:x", "new:ok:y"}));
}

TEST_F(TalkWithServerMemory, CancelledRequestKeepsItsSlotButIsNeverCalled)
{
    ConnectAndAccept();
    const TRequestHandle handle = Talk->SendMessage(Ping, false, Log.Callback("r"));
    Talk->CancelCallback(handle);
    EXPECT_EQ(Talk->SendMessage(Ping, false, Log.Callback("next")).Id, 8);
    EXPECT_EQ(Talk->SendMessage(Ping, false, Log.Callback("reuse")).Id, 7);
    EXPECT_FALSE(Talk->PendingRequests()[0].Message.empty()) << "slot 1 stays taken until a reply";
    ServerSends(EncodeFrame(1, "late"));
    EXPECT_TRUE(Log.Calls.empty());
    EXPECT_TRUE(Talk->PendingRequests()[0].Message.empty()) << "released by the reply, quietly";
    Talk.reset();
    // In table order; none for the cancelled one.
    EXPECT_EQ(Log.Calls, (std::vector<std::string>{"reuse:fail", "next:fail"}));
}

TEST_F(TalkWithServerMemory, OnResponseObservesBeforeTheCallback)
{
    ConnectAndAccept();
    std::vector<std::string> seen;
    Talk->OnResponse = [&](bool success, const std::string &body, const TMessageToServer &message) {
        seen.push_back(std::string(success ? "ok:" : "fail:") + body + ":" + message[0].Value);
        Log.Calls.push_back("observer");
    };
    Talk->SendMessage({{"command", "keep"}}, true, Log.Callback("keep"));
    Talk->SendMessage({{"command", "once"}}, false, Log.Callback("once"));
    ServerSends(EncodeFrame(1, "a") + EncodeFrame(8, "b"));
    EXPECT_EQ(Log.Calls, (std::vector<std::string>{"observer", "keep:ok:a", "observer", "once:ok:b"}));
    Talk->SendMessage({{"command", "pending"}}, false, Log.Callback("pending"));
    Talk->CloseConversation();
    // Failures of requests kept after reply are not observed.
    EXPECT_EQ(seen, (std::vector<std::string>{"ok:a:keep", "ok:b:once", "fail::pending"}));
}

TEST_F(TalkWithServerMemory, DestroyingFailsEveryPendingRequestOnceAfterOnDisconnected)
{
    ConnectAndAccept();
    Talk->SendMessage({{"command", "a"}}, true, Logged("a"));
    const TRequestHandle cancelled = Talk->SendMessage({{"command", "b"}}, false, Logged("b"));
    Talk->SendMessage({{"command", "c"}}, false, Logged("c"));
    Talk->CancelCallback(cancelled);
    Talk.reset();
    EXPECT_EQ(Log.Calls, (std::vector<std::string>{"a:fail", "c:fail"}));
    EXPECT_EQ(Log.Messages[1], (TMessageToServer{{"command", "c"}}));
    EXPECT_EQ(Order, (std::vector<std::string>{"connected", "disconnected", "callback", "callback",
                                               "disconnected"}));
    EXPECT_TRUE(TransportAlive.expired());
}

TEST_F(TalkWithServerMemory, RequestsSentWhileClosingFailAtOnce)
{
    ConnectAndAccept();
    std::vector<TRequestHandle> handles;
    Talk->OnDisconnected = [&] {
        if (handles.empty())
            handles.push_back(Talk->SendMessage(Ping, false, Log.Callback("from-disconnected")));
    };
    Talk->SendMessage(Ping, false, [&](bool, const std::string &, const TMessageToServer &) {
        Log.Calls.push_back("pending:fail");
        handles.push_back(Talk->SendMessage(Ping, false, Log.Callback("from-failure")));
    });
    Transport->DropConnection();
    EXPECT_EQ(Log.Calls,
              (std::vector<std::string>{"from-disconnected:fail", "pending:fail", "from-failure:fail"}));
    for (const TRequestHandle &handle : handles)
        EXPECT_EQ(handle.Id, 0);
    EXPECT_TRUE(Talk->PendingRequests().empty());
}

TEST_F(TalkWithServerMemory, NothingQueuedAroundCloseConversationIsWritten)
{
    ConnectAndAccept();
    Talk->SendMessage(Ping, false, nullptr); // same turn, not flushed yet
    Talk->CloseConversation();
    EXPECT_EQ(Talk->State(), TTalkWithServer::Closed);
    EXPECT_EQ(Transport->CloseCalls, 0) << "the transport is not closed";
    Talk->SendMessage(Ping, false, Log.Callback("after"));
    EXPECT_EQ(Log.Calls, std::vector<std::string>{"after:fail"});
    ProcessPostedEvents();
    EXPECT_EQ(Transport->Sent.size(), 1u) << "only the preamble";
}

TEST_F(TalkWithServerMemory, ClosedIsFinalEvenIfTheTransportConnectsLater)
{
    Talk->Connect();
    Talk->CloseConversation();
    Transport->AcceptConnection();
    EXPECT_EQ(Talk->State(), TTalkWithServer::Closed);
    EXPECT_TRUE(Transport->Sent.empty());
    EXPECT_EQ(std::count(Order.begin(), Order.end(), "connected"), 0);
}

TEST_F(TalkWithServerMemory, ConnectIsAllowedOnceInNotConnected)
{
    Talk->Connect();
    EXPECT_THROW(Talk->Connect(), EAssertionFailed);
    TTalkWithServer closed;
    closed.CloseConversation();
    EXPECT_THROW(closed.Connect(), EAssertionFailed);
}

// How many times OnDisconnected fires over a conversation's life.
struct TDisconnectCase
{
    const char *Name;
    bool FailAtOnce;
    bool Accept;
    bool RemoteClose;
    bool ConnectAtAll;
    int Expected;
};

class TalkWithServerDisconnects : public TalkWithServerMemory,
                                  public ::testing::WithParamInterface<TDisconnectCase>
{
};

TEST_P(TalkWithServerDisconnects, CountIsAsDocumented)
{
    const TDisconnectCase &row = GetParam();
    FailConnect = row.FailAtOnce;
    if (row.ConnectAtAll)
        Talk->Connect();
    if (row.Accept)
        Transport->AcceptConnection();
    if (row.RemoteClose)
        Transport->DropConnection();
    Talk.reset();
    EXPECT_EQ(Disconnects, row.Expected);
}

INSTANTIATE_TEST_SUITE_P(
    Table, TalkWithServerDisconnects,
    ::testing::Values(TDisconnectCase{"DestroyedWhileConnected", false, true, false, true, 2},
                      TDisconnectCase{"DestroyedWhileConnecting", false, false, false, true, 2},
                      TDisconnectCase{"ConnectFailedAtOnce", true, false, false, true, 2},
                      TDisconnectCase{"RemoteCloseThenDestroyed", false, true, true, true, 1},
                      TDisconnectCase{"NeverConnected", false, false, false, false, 1}),
    [](const ::testing::TestParamInfo<TDisconnectCase> &info) { return std::string(info.param.Name); });

TEST_F(TalkWithServerMemory, LastErrorFollowsTheConversation)
{
    EXPECT_EQ(Talk->LastError(), "Unable to connect to server.");
    Talk->Connect();
    EXPECT_EQ(Talk->LastError(), "Error in server connection.");
    Transport->AcceptConnection();
    EXPECT_EQ(Talk->LastError(), "Unexpected disconnect from server.");
    Transport->DropConnection();
    EXPECT_EQ(Talk->LastError(), "Unexpected disconnect from server.") << "closing never clears it";
}

TEST_F(TalkWithServerMemory, ImmediateConnectFailureLeavesTheTransportsText)
{
    FailConnect = true;
    Talk->SendMessage(Ping, false, Logged("r"));
    Talk->Connect();
    EXPECT_EQ(Talk->State(), TTalkWithServer::Closed);
    EXPECT_EQ(Talk->LastError(), "refused at once");
    EXPECT_EQ(Order, (std::vector<std::string>{"disconnected", "callback"}));
}

TEST_F(TalkWithServerMemory, TransportDebugMessagesAreForwarded)
{
    std::vector<std::string> texts;
    Talk->OnDebugMessage = [&](const std::string &text) { texts.push_back(text); };
    Talk->Connect();
    Transport->RaiseDebugMessage("HTTP Not Ready on Write:  ");
    EXPECT_EQ(texts, std::vector<std::string>{"HTTP Not Ready on Write:  "});
}

struct TSettingsCase
{
    const char *Name;
    std::int32_t SocksLevel;
    bool SocksSet;
};

class TalkWithServerSettings : public TalkWithServerMemory,
                               public ::testing::WithParamInterface<TSettingsCase>
{
};

TEST_P(TalkWithServerSettings, ReachTheTransport)
{
    const TSettingsCase &row = GetParam();
    Talk->SocksServer = "socks.example";
    Talk->SocksPort = 1080;
    Talk->SocksUsercode = "user";
    Talk->SocksPassword = "secret";
    Talk->SocksLevel = row.SocksLevel;
    Talk->Proxy = "proxy.example";
    Talk->ProxyPort = 3128;
    Talk->ProxyUsername = "puser";
    Talk->ProxyPassword = "ppass";
    Talk->SendTimeout = 15000;
    Talk->Connect();
    if (row.SocksSet) {
        EXPECT_EQ(Transport->SocksServer, "socks.example");
        EXPECT_EQ(Transport->SocksPort, "1080");
        EXPECT_EQ(Transport->SocksUsercode, "user");
        EXPECT_EQ(Transport->SocksPassword, "secret");
        EXPECT_EQ(Transport->SocksLevel, std::to_string(row.SocksLevel));
    } else {
        EXPECT_EQ(Transport->SocksServer, "");
        EXPECT_EQ(Transport->SocksPort, "");
        EXPECT_EQ(Transport->SocksUsercode, "");
        EXPECT_EQ(Transport->SocksPassword, "");
        EXPECT_EQ(Transport->SocksLevel, "");
    }
    EXPECT_EQ(Transport->Proxy, "proxy.example");
    EXPECT_EQ(Transport->ProxyPort, 3128);
    EXPECT_EQ(Transport->ProxyUsername, "puser");
    EXPECT_EQ(Transport->ProxyPassword, "ppass");
    EXPECT_EQ(Transport->SendTimeout, 15000);
}

INSTANTIATE_TEST_SUITE_P(Table, TalkWithServerSettings,
                         ::testing::Values(TSettingsCase{"Socks5", 5, true}, TSettingsCase{"Socks4", 4, true},
                                           TSettingsCase{"NoSocks", 0, false},
                                           TSettingsCase{"Level3", 3, false}),
                         [](const ::testing::TestParamInfo<TSettingsCase> &info) {
                             return std::string(info.param.Name);
                         });

// Exception guards: reported with their location, the conversation goes on.
TEST_F(TalkWithServerMemory, ExceptionFromAReplyCallbackIsReportedAndContained)
{
    ConnectAndAccept();
    Talk->SendMessage({{"command", "login"}, {"password", "hunter2"}}, true,
                      [](bool, const std::string &, const TMessageToServer &) { throw Exception("boom"); });
    Talk->SendMessage(Ping, false, Log.Callback("next"));
    ServerSends(EncodeFrame(1, "x") + EncodeFrame(8, "y"));
    EXPECT_EQ(Log.Calls, std::vector<std::string>{"next:ok:y"});
    const std::string text = DebugText();
    EXPECT_NE(text.find("Class=Exception, Message=boom, Location=TTalkWithServer.SendGoodResponse, "
                        "(\"command\" --> \"login\", \"password\" --> \"********\")"),
              std::string::npos)
        << text;
    EXPECT_EQ(text.find("hunter2"), std::string::npos);
}

TEST_F(TalkWithServerMemory, ExceptionFromOnResponseSkipsTheCallbackOnly)
{
    ConnectAndAccept();
    Talk->OnResponse = [](bool, const std::string &, const TMessageToServer &) {
        throw EAssertionFailed("observer failed");
    };
    Talk->SendMessage(Ping, false, Log.Callback("r"));
    ServerSends(EncodeFrame(1, "x"));
    EXPECT_TRUE(Log.Calls.empty());
    EXPECT_NE(DebugText().find("Class=EAssertionFailed, Message=observer failed, "
                               "Location=TTalkWithServer.SendGoodResponse, (\"command\" --> \"ping\", "
                               "\"response\" --> \"1\")"),
              std::string::npos);
    EXPECT_EQ(Talk->State(), TTalkWithServer::Connected);
}

TEST_F(TalkWithServerMemory, ExceptionFromAFailureCallbackIsReportedAndTheOthersStillFail)
{
    ConnectAndAccept();
    Talk->SendMessage({{"command", "a"}}, false, [](bool, const std::string &, const TMessageToServer &) {
        throw Exception("fail cb");
    });
    Talk->SendMessage({{"command", "b"}}, false, Log.Callback("b"));
    Transport->DropConnection();
    EXPECT_EQ(Log.Calls, std::vector<std::string>{"b:fail"});
    EXPECT_NE(
        DebugText().find("Class=Exception, Message=fail cb, Location=TTalkWithServer.SendErrorResponse, "
                         "(\"command\" --> \"a\")"),
        std::string::npos);
}

TEST_F(TalkWithServerMemory, GuardsCatchOnlyTheProgramsExceptions)
{
    Talk->CloseConversation();
    EXPECT_THROW(Talk->SendMessage(Ping, false,
                                   [](bool, const std::string &, const TMessageToServer &) {
                                       throw std::runtime_error("not ours");
                                   }),
                 std::runtime_error);
}

TEST_F(TalkWithServerMemory, CorruptStreamEndsTheConversationAsInvalidData)
{
    ConnectAndAccept();
    Talk->SendMessage(Ping, false, Log.Callback("pending"));
    // A good frame and garbage in one chunk: the frame inflates, but its
    // request is failed by the close before frames are cut.
    Transport->Deliver(Replies.Compress(EncodeFrame(1, "early")) + "this is not a zlib stream");
    EXPECT_EQ(Talk->LastError(), "Invalid data from server: data error");
    EXPECT_EQ(Transport->CloseCalls, 1);
    EXPECT_EQ(Talk->State(), TTalkWithServer::Closed);
    EXPECT_EQ(Log.Calls, std::vector<std::string>{"pending:fail"});
    EXPECT_NE(DebugText().find("Class=EZDecompressionError, Message=data error, Location=TalkWithServer, "
                               "TTalkWithServer.ServerConnectionDataAvailable"),
              std::string::npos);
}

struct TBadLengthCase
{
    const char *Name;
    std::int32_t Length;
};

class TalkWithServerBadLength : public TalkWithServerMemory,
                                public ::testing::WithParamInterface<TBadLengthCase>
{
};

TEST_P(TalkWithServerBadLength, EndsTheConversationAtTheHeader)
{
    ConnectAndAccept();
    Talk->SendMessage(Ping, true, Log.Callback("r"));
    ServerSends(EncodeFrame(1, "good") + EncodeFrameHeader(1, GetParam().Length) + "some body");
    EXPECT_EQ(Talk->State(), TTalkWithServer::Closed);
    EXPECT_EQ(Transport->CloseCalls, 1);
    EXPECT_EQ(Talk->BufferedInput(), 0u) << "nothing kept for the bad frame";
    EXPECT_EQ(Log.Calls, (std::vector<std::string>{"r:ok:good", "r:fail"}));
    EXPECT_EQ(Talk->LastError(), "Invalid data from server: reply frame length " +
                                     std::to_string(GetParam().Length) + " outside 0 to 16777216");
    EXPECT_NE(DebugText().find("Class=EInvalidServerData, Message=reply frame length " +
                               std::to_string(GetParam().Length)),
              std::string::npos);
}

INSTANTIATE_TEST_SUITE_P(Table, TalkWithServerBadLength,
                         ::testing::Values(TBadLengthCase{"MinusOne", -1}, TBadLengthCase{"Minimum", INT_MIN},
                                           TBadLengthCase{"TwoGiB", INT_MAX},
                                           TBadLengthCase{"JustOver16MiB", 16 * 1024 * 1024 + 1}),
                         [](const ::testing::TestParamInfo<TBadLengthCase> &info) {
                             return std::string(info.param.Name);
                         });

TEST_F(TalkWithServerMemory, A16MiBFrameIsStillAwaited)
{
    ConnectAndAccept();
    Talk->SendMessage(Ping, false, Log.Callback("r"));
    const std::string body(16 * 1024 * 1024, 'z');
    const std::string frame = EncodeFrame(1, body);
    ServerSends(frame.substr(0, 100));
    EXPECT_EQ(Talk->State(), TTalkWithServer::Connected);
    EXPECT_EQ(Talk->BufferedInput(), 100u);
    ServerSends(frame.substr(100));
    ASSERT_EQ(Log.Calls.size(), 1u);
    EXPECT_EQ(Log.Calls[0].size(), std::string("r:ok:").size() + body.size());
}

TEST_F(TalkWithServerMemory, DataAfterABadHeaderIsIgnored)
{
    ConnectAndAccept();
    ServerSends(EncodeFrameHeader(1, -5));
    ClearDebugText();
    ASSERT_EQ(DebugText(), "\n");
    // A transport that keeps reporting after its close: nothing more happens.
    Transport->State = TMemoryServerConnection::Connected;
    ServerSends(EncodeFrame(1, "x"));
    EXPECT_EQ(DebugText(), "\n");
    EXPECT_EQ(Talk->BufferedInput(), 0u);
}

TEST_F(TalkWithServerMemory, ACallbackMayCloseTheTransportBetweenFrames)
{
    ConnectAndAccept();
    Talk->SendMessage(Ping, false, [&](bool, const std::string &, const TMessageToServer &) {
        Log.Calls.push_back("first");
        Transport->Close();
    });
    Talk->SendMessage(Ping, false, Log.Callback("second"));
    ServerSends(EncodeFrame(1, "a") + EncodeFrame(8, "b"));
    // The second request was failed by the close; its reply finds no entry.
    EXPECT_EQ(Log.Calls, (std::vector<std::string>{"first", "second:fail"}));
}

TEST_F(TalkWithServerMemory, ACallbackMayDestroyTheConversation)
{
    ConnectAndAccept();
    Talk->SendMessage(Ping, false, [&](bool success, const std::string &, const TMessageToServer &) {
        Log.Calls.push_back(success ? "first" : "first:fail");
        if (success)
            Talk.reset();
    });
    Talk->SendMessage(Ping, false, Log.Callback("second"));
    // The memory transport's Deliver does not touch itself after the event.
    Transport->Deliver(Replies.Compress(EncodeFrame(1, "a") + EncodeFrame(8, "b")));
    EXPECT_EQ(Talk, nullptr);
    EXPECT_EQ(Log.Calls, (std::vector<std::string>{"first", "second:fail"}));
}

TEST(TalkWithServer, AddressGivesHostAndPortOfTheSocketTransport)
{
    struct TCase
    {
        std::string Address, Host, Port;
    };
    for (const TCase &row :
         {TCase{"no such host!:77", "no such host!", "77"}, TCase{"no such host!", "no such host!", "8888"},
          TCase{"bad host:1:2", "bad host", "1:2"}, TCase{":5", "", "5"}}) {
        TTalkWithServer talk;
        talk.Address = row.Address;
        talk.Connect();
        auto *transport = dynamic_cast<TSocketServerConnection *>(talk.ServerConnection());
        ASSERT_NE(transport, nullptr);
        EXPECT_EQ(transport->Host, row.Host) << row.Address;
        EXPECT_EQ(transport->Port, row.Port) << row.Address;
        EXPECT_EQ(talk.LastError(), "DNS error") << row.Address;
        EXPECT_EQ(talk.State(), TTalkWithServer::Closed);
    }
}

TEST(TalkWithServer, UseHttpTunnelSelectsTheTunnelTransport)
{
    QTcpServer probe;
    ASSERT_TRUE(probe.listen(QHostAddress(QHostAddress::LocalHost), 0));
    const std::string port = std::to_string(probe.serverPort());
    probe.close();
    TTalkWithServer talk;
    talk.UseHttpTunnel = 1;
    talk.TunnelUrl = "http://127.0.0.1:" + port + "/tunnel";
    talk.Address = "ignored:1";
    talk.Connect();
    auto *tunnel = dynamic_cast<THttpTunnel *>(talk.ServerConnection());
    ASSERT_NE(tunnel, nullptr);
    EXPECT_EQ(tunnel->Url, talk.TunnelUrl);
    ASSERT_TRUE(WaitFor([&] { return talk.State() == TTalkWithServer::Closed; }));
}

// Over real loopback sockets against the test alert server.
class TalkWithServerSocket : public ::testing::Test
{
protected:
    void SetUp() override
    {
        ClearDebugText();
        Talk = std::make_unique<TTalkWithServer>();
        Talk->Address = Server.Address();
        Talk->OnDisconnected = [this] { ++Disconnects; };
        Talk->OnConnected = [this] { ++Connects; };
    }

    void TearDown() override { Talk.reset(); }

    TTestAlertConnection &ConnectToServer()
    {
        Talk->Connect();
        EXPECT_TRUE(Server.WaitForConnection());
        EXPECT_TRUE(WaitFor([&] { return Connects == 1; }));
        return Server.Connection();
    }

    TTestAlertServer Server;
    std::unique_ptr<TTalkWithServer> Talk;
    TCallLog Log;
    int Disconnects = 0;
    int Connects = 0;
};

TEST_F(TalkWithServerSocket, PreambleThenTheZlibStreamWithTheQueuedMessages)
{
    Talk->SendMessage({{"command", "login"}, {"username", "ann"}}, true, Log.Callback("login"));
    Talk->SendMessage(Ping, false, nullptr);
    ProcessPostedEvents();
    TTestAlertConnection &connection = ConnectToServer();
    ASSERT_TRUE(connection.WaitForMessages(2));
    const std::string &raw = connection.RawReceived();
    EXPECT_EQ(raw.substr(0, 59), ClientPreamble);
    EXPECT_EQ(raw.substr(59, 2), std::string("\x78\x9C"));
    EXPECT_EQ(connection.ReadChunkSizes().front(), raw.size()) << "one write";
    EXPECT_EQ(connection.Messages()[0],
              (TMessageToServer{{"message_id", "1"}, {"command", "login"}, {"username", "ann"}}));
    EXPECT_EQ(connection.Messages()[1], Ping);
    EXPECT_EQ(connection.ProtocolError(), "");
}

TEST_F(TalkWithServerSocket, RequestWithId7ArrivesAsTheDocumentedBytes)
{
    TTestAlertConnection &connection = ConnectToServer();
    Talk->SendMessage(Ping, false, Log.Callback("1"));
    Talk->SendMessage(Ping, false, Log.Callback("8"));
    Talk->SendMessage(Ping, false, Log.Callback("7"));
    ASSERT_TRUE(connection.WaitForMessages(3));
    const std::string expected = Int32Bytes(10) + "message_id" + Int32Bytes(1) + "7" + Int32Bytes(7) +
                                 "command" + Int32Bytes(4) + "ping" + Int32Bytes(8) + "response" +
                                 Int32Bytes(1) + "1" + Int32Bytes(0);
    const std::string &inflated = connection.Inflated();
    EXPECT_EQ(inflated.substr(inflated.size() - 59), expected);
}

TEST_F(TalkWithServerSocket, RepliesReachTheirCallbacks)
{
    Server.OnMessage = [](TTestAlertConnection &connection, const TMessageToServer &message) {
        connection.Reply(message, "re:" + FieldValue(message, "command"));
    };
    TTestAlertConnection &connection = ConnectToServer();
    (void)connection;
    Talk->SendMessage({{"command", "one"}}, false, Log.Callback("one"));
    Talk->SendMessage({{"command", "two"}}, false, Log.Callback("two"));
    ASSERT_TRUE(WaitFor([&] { return Log.Calls.size() == 2; }));
    EXPECT_EQ(Log.Calls, (std::vector<std::string>{"one:ok:re:one", "two:ok:re:two"}));
}

TEST_F(TalkWithServerSocket, FrameCutAcrossWritesIsDeliveredWhenComplete)
{
    TTestAlertConnection &connection = ConnectToServer();
    Talk->SendMessage(Ping, false, Log.Callback("a"));
    Talk->SendMessage(Ping, false, Log.Callback("b"));
    const std::string b = EncodeFrame(8, "second body");
    connection.SendPlain(EncodeFrame(1, "first") + b.substr(0, 10));
    ASSERT_TRUE(WaitFor([&] { return !Log.Calls.empty(); }));
    ProcessPostedEvents();
    EXPECT_EQ(Log.Calls, std::vector<std::string>{"a:ok:first"});
    const std::string rest = connection.Compress(b.substr(10));
    connection.SendRaw(rest.substr(0, rest.size() / 2));
    ProcessPostedEvents();
    connection.SendRaw(rest.substr(rest.size() / 2));
    ASSERT_TRUE(WaitFor([&] { return Log.Calls.size() == 2; }));
    EXPECT_EQ(Log.Calls[1], "b:ok:second body");
}

TEST_F(TalkWithServerSocket, SeveralFramesInOneWrite)
{
    TTestAlertConnection &connection = ConnectToServer();
    Talk->SendMessage(Ping, true, Log.Callback("keep"));
    connection.SendFrames({{1, "a"}, {0, "zero"}, {-3, "neg"}, {99, "beyond"}, {1, ""}, {1, "c"}});
    ASSERT_TRUE(WaitFor([&] { return Log.Calls.size() == 3; }));
    EXPECT_EQ(Log.Calls, (std::vector<std::string>{"keep:ok:a", "keep:ok:", "keep:ok:c"}));
}

TEST_F(TalkWithServerSocket, CorruptServerDataEndsTheConversation)
{
    TTestAlertConnection &connection = ConnectToServer();
    Talk->SendMessage(Ping, false, Log.Callback("pending"));
    connection.SendRaw("definitely not zlib");
    ASSERT_TRUE(WaitFor([&] { return Talk->State() == TTalkWithServer::Closed; }));
    EXPECT_EQ(Talk->LastError(), "Invalid data from server: data error");
    EXPECT_NE(DebugText().find("Class=EZDecompressionError, Message=data error, Location=TalkWithServer, "
                               "TTalkWithServer.ServerConnectionDataAvailable"),
              std::string::npos);
    EXPECT_EQ(Log.Calls, std::vector<std::string>{"pending:fail"});
    EXPECT_EQ(Disconnects, 1);
    EXPECT_TRUE(connection.WaitForDisconnect()) << "the transport was closed";
}

TEST_F(TalkWithServerSocket, HeaderAnnouncing2GiBEndsTheConversationAtOnce)
{
    TTestAlertConnection &connection = ConnectToServer();
    Talk->SendMessage(Ping, false, Log.Callback("pending"));
    connection.SendPlain(EncodeFrameHeader(1, INT_MAX));
    ASSERT_TRUE(WaitFor([&] { return Talk->State() == TTalkWithServer::Closed; }));
    EXPECT_EQ(Talk->LastError(),
              "Invalid data from server: reply frame length 2147483647 outside 0 to 16777216");
    EXPECT_EQ(Talk->BufferedInput(), 0u);
    EXPECT_EQ(Log.Calls, std::vector<std::string>{"pending:fail"});
    EXPECT_TRUE(connection.WaitForDisconnect());
}

TEST_F(TalkWithServerSocket, RemoteCloseFailsPendingRequests)
{
    TTestAlertConnection &connection = ConnectToServer();
    Talk->SendMessage(Ping, false, Log.Callback("pending"));
    ASSERT_TRUE(connection.WaitForMessages(1));
    connection.Close();
    ASSERT_TRUE(WaitFor([&] { return Talk->State() == TTalkWithServer::Closed; }));
    EXPECT_EQ(Talk->LastError(), "Unexpected disconnect from server.");
    EXPECT_EQ(Log.Calls, std::vector<std::string>{"pending:fail"});
    Talk.reset();
    EXPECT_EQ(Disconnects, 1);
}

TEST_F(TalkWithServerSocket, DnsErrorFailsAtOnce)
{
    Talk->Address = "no such host:9339";
    Talk->SendMessage(Ping, false, Log.Callback("pending"));
    Talk->Connect();
    EXPECT_EQ(Talk->State(), TTalkWithServer::Closed);
    EXPECT_EQ(Talk->LastError(), "DNS error");
    EXPECT_EQ(Log.Calls, std::vector<std::string>{"pending:fail"});
    EXPECT_EQ(Disconnects, 1);
    Talk.reset();
    EXPECT_EQ(Disconnects, 2);
}

TEST_F(TalkWithServerSocket, RefusedConnectionEndsInOnSessionClosedOnly)
{
    QTcpServer probe;
    ASSERT_TRUE(probe.listen(QHostAddress(QHostAddress::LocalHost), 0));
    const std::string port = std::to_string(probe.serverPort());
    probe.close();
    Talk->Address = "127.0.0.1:" + port;
    Talk->SendMessage(Ping, false, Log.Callback("pending"));
    Talk->Connect();
    EXPECT_EQ(Talk->State(), TTalkWithServer::NotConnected);
    EXPECT_EQ(Talk->LastError(), "Error in server connection.");
    ASSERT_TRUE(WaitFor([&] { return Talk->State() == TTalkWithServer::Closed; }));
    EXPECT_EQ(Connects, 0);
    EXPECT_EQ(Disconnects, 1);
    EXPECT_EQ(Log.Calls, std::vector<std::string>{"pending:fail"});
    EXPECT_EQ(Talk->LastError(), "Error in server connection.");
    Talk.reset();
    EXPECT_EQ(Disconnects, 1) << "the transport had reported its end";
}

TEST_F(TalkWithServerSocket, DestroyedWhileConnectedFailsPendingAfterOnDisconnected)
{
    TTestAlertConnection &connection = ConnectToServer();
    std::vector<std::string> order;
    Talk->OnDisconnected = [&] { order.push_back("disconnected"); };
    Talk->SendMessage(Ping, false, [&](bool success, const std::string &, const TMessageToServer &) {
        order.push_back(success ? "ok" : "fail");
    });
    Talk.reset();
    EXPECT_EQ(order, (std::vector<std::string>{"disconnected", "fail", "disconnected"}));
    EXPECT_TRUE(connection.WaitForDisconnect());
}

class TalkWithServerSocks : public TalkWithServerSocket
{
protected:
    void ExpectRoundTrip()
    {
        Server.OnMessage = [](TTestAlertConnection &connection, const TMessageToServer &message) {
            connection.Reply(message, "pong");
        };
        Talk->SendMessage(Ping, false, Log.Callback("ping"));
        Talk->Connect();
        ASSERT_TRUE(WaitFor([&] { return !Log.Calls.empty(); }));
        EXPECT_EQ(Log.Calls, std::vector<std::string>{"ping:ok:pong"});
        EXPECT_EQ(Server.ConnectionCount(), 1u);
    }
};

TEST_F(TalkWithServerSocks, Socks5WithUsercodeAuthentication)
{
    TMicrosocks proxy("user", "password");
    std::string error;
    ASSERT_TRUE(proxy.Start(error)) << error;
    Talk->SocksServer = "127.0.0.1";
    Talk->SocksPort = proxy.Port();
    Talk->SocksLevel = 5;
    Talk->SocksUsercode = "user";
    Talk->SocksPassword = "password";
    ExpectRoundTrip();
}

TEST_F(TalkWithServerSocks, Socks5WithoutAuthentication)
{
    TMicrosocks proxy;
    std::string error;
    ASSERT_TRUE(proxy.Start(error)) << error;
    Talk->SocksServer = "127.0.0.1";
    Talk->SocksPort = proxy.Port();
    Talk->SocksLevel = 5;
    ExpectRoundTrip();
}

TEST_F(TalkWithServerSocks, Socks5WithAWrongPasswordClosesTheConversation)
{
    TMicrosocks proxy("user", "password");
    std::string error;
    ASSERT_TRUE(proxy.Start(error)) << error;
    Talk->SocksServer = "127.0.0.1";
    Talk->SocksPort = proxy.Port();
    Talk->SocksLevel = 5;
    Talk->SocksUsercode = "user";
    Talk->SocksPassword = "wrong";
    Talk->SendMessage(Ping, false, Log.Callback("ping"));
    Talk->Connect();
    ASSERT_TRUE(WaitFor([&] { return Talk->State() == TTalkWithServer::Closed; }));
    EXPECT_EQ(Log.Calls, std::vector<std::string>{"ping:fail"});
    EXPECT_EQ(Connects, 0);
    EXPECT_EQ(Server.ConnectionCount(), 0u);
}

TEST_F(TalkWithServerSocks, Socks4)
{
    TSocks4Responder proxy;
    Talk->SocksServer = "127.0.0.1";
    Talk->SocksPort = proxy.Port();
    Talk->SocksLevel = 4;
    Talk->SocksUsercode = "trader";
    ExpectRoundTrip();
    ASSERT_EQ(proxy.Requests().size(), 1u);
    EXPECT_EQ(proxy.Requests()[0].UserId, "trader");
}
