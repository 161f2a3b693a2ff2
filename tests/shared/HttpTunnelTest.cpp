#include "EventLoop.h"
#include "HttpProxies.h"
#include "HttpTunnels.h"
#include "LocalClock.h"
#include "MiscDebugWindows.h"
#include "ScriptedHttpServer.h"
#include "SocksProxies.h"
#include "TalkWithServer.h"
#include "ZLibEx.h"

#include <QPlainTextEdit>

#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <memory>
#include <ostream>
#include <random>
#include <stdexcept>
#include <string>
#include <vector>

namespace {

using TRequest = TScriptedHttpServer::TRequest;

// Rows of the case tables print as their names.
#define PRINTS_AS_NAME(Row)                                                                                  \
    [[maybe_unused]] void PrintTo(const Row &row, std::ostream *os)                                          \
    {                                                                                                        \
        *os << row.Name;                                                                                     \
    }

// Reference decoder for the POST bodies: base64 bit grouping over the
// alphabet a-z A-Z 0-9 _ -, no padding.
std::string P64Decode(const std::string &text)
{
    static const std::string alphabet = "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789_-";
    std::string out;
    unsigned accumulator = 0;
    int bits = 0;
    for (const char c : text) {
        const size_t value = alphabet.find(c);
        if (value == std::string::npos)
            throw std::runtime_error(std::string("not a P64 character: ") + c);
        accumulator = (accumulator << 6 | static_cast<unsigned>(value)) & 0xffffu;
        bits += 6;
        if (bits >= 8) {
            bits -= 8;
            out += static_cast<char>(accumulator >> bits & 0xffu);
        }
    }
    return out;
}

std::string RandomBytes(size_t count, unsigned seed)
{
    std::mt19937 generator(seed);
    std::string bytes(count, '\0');
    for (char &c : bytes)
        c = static_cast<char>(generator() & 0xffu);
    return bytes;
}

std::string DebugWindowText()
{
    if (!MiscDebugWindow)
        return {};
    return MiscDebugWindow->Memo1->toPlainText().toStdString() + "\n" + MiscDebugWindow->PendingText();
}

class HttpTunnelTest : public ::testing::Test
{
protected:
    HttpTunnelTest()
    {
        Server.OnRequest = [this](const TRequest &request) {
            if (request.Method == "GET" && request.Path() == "/tunnel")
                GetId = request.Id;
            else if (request.Method == "POST" && OnPost)
                OnPost(request);
        };
        Tunnel = std::make_unique<THttpTunnel>(Server.Url("/tunnel"));
        // At 0 every POST still out at the next tick would be aborted.
        Tunnel->SendTimeout = 600000;
        Record(*Tunnel);
    }

    void Record(THttpTunnel &tunnel)
    {
        tunnel.OnSessionConnected = [this](TGenericServerConnection *) { Events.push_back("connected"); };
        tunnel.OnSessionClosed = [this](TGenericServerConnection *) { Events.push_back("closed"); };
        tunnel.OnDataAvailable = [this](TGenericServerConnection *) { Events.push_back("data"); };
        tunnel.OnDebugMessage = [this](TGenericServerConnection *, const std::string &text) {
            Events.push_back("debug:" + text);
        };
    }

    std::string PostUrl() const { return Server.Url("/post"); }

    // Connects, waits for the GET and starts its body; the pieces follow.
    void StartGet(TScriptedHttpServer::TBodyMode mode = TScriptedHttpServer::Chunked, int waitMs = 5000)
    {
        ASSERT_TRUE(Tunnel->Connect());
        ASSERT_TRUE(WaitFor([&] { return GetId >= 0; }, waitMs));
        Server.BeginBody(GetId, 200, "OK", mode);
    }

    // Connects and sends the two leading lines; returns once connected.
    void ConnectTunnel(TScriptedHttpServer::TBodyMode mode = TScriptedHttpServer::Chunked, int waitMs = 5000)
    {
        ASSERT_NO_FATAL_FAILURE(StartGet(mode, waitMs));
        Server.SendPiece(GetId, "corvane tunnel\r\n" + PostUrl() + "\r\n");
        ASSERT_TRUE(WaitFor([&] { return Tunnel->TunnelState == htsConnected; }, waitMs));
        Events.clear();
    }

    std::vector<int> Posts() const
    {
        std::vector<int> ids;
        for (const TRequest &request : Server.Requests())
            if (request.Method == "POST")
                ids.push_back(request.Id);
        return ids;
    }

    const TRequest &Post(size_t index) const
    {
        return Server.Requests()[static_cast<size_t>(Posts().at(index))];
    }

    std::vector<std::string> DebugTexts() const
    {
        std::vector<std::string> texts;
        for (const std::string &event : Events)
            if (event.rfind("debug:", 0) == 0)
                texts.push_back(event.substr(6));
        return texts;
    }

    int Count(const std::string &event) const
    {
        return static_cast<int>(std::count(Events.begin(), Events.end(), event));
    }

    TScriptedHttpServer Server;
    std::vector<std::string> Events;
    std::function<void(const TRequest &)> OnPost; // unset: POSTs are held
    int GetId = -1;
    // Last, so it goes first: its destruction may still raise events.
    std::unique_ptr<THttpTunnel> Tunnel;
};

// ---- The two leading lines of the GET body ----

struct TSplitCase
{
    const char *Name;
    std::vector<std::string> Pieces; // "@" stands for the POST URL
    std::vector<std::string> Events; // once the last piece is in
    std::string Data;                // what Receive then gives
};

PRINTS_AS_NAME(TSplitCase)

class HttpTunnelSplitTest : public HttpTunnelTest, public ::testing::WithParamInterface<TSplitCase>
{
};

TEST_P(HttpTunnelSplitTest, ConnectsOnlyAtTheSecondLineEnd)
{
    ASSERT_NO_FATAL_FAILURE(StartGet());
    const std::vector<std::string> &pieces = GetParam().Pieces;
    std::string sent;
    for (size_t i = 0; i < pieces.size(); ++i) {
        std::string piece = pieces[i];
        const size_t at = piece.find('@');
        if (at != std::string::npos)
            piece.replace(at, 1, PostUrl());
        sent += piece;
        Server.SendPiece(GetId, piece);
        if (i + 1 < pieces.size()) {
            ASSERT_TRUE(WaitFor([&] { return Tunnel->ReceiveBuffer == sent; })) << "piece " << i;
            EXPECT_EQ(Tunnel->TunnelState, htsConnecting);
            EXPECT_TRUE(Events.empty());
        }
    }
    ASSERT_TRUE(WaitFor([&] { return Events.size() == GetParam().Events.size(); }));
    ProcessPostedEvents();
    EXPECT_EQ(Events, GetParam().Events);
    EXPECT_EQ(Tunnel->TunnelState, htsConnected);
    EXPECT_EQ(Tunnel->PostClient->URL, PostUrl());
    std::string data = "stale";
    Tunnel->Receive(data);
    EXPECT_EQ(data, GetParam().Data);
}

INSTANTIATE_TEST_SUITE_P(
    Pieces, HttpTunnelSplitTest,
    ::testing::Values(
        TSplitCase{"OneLinePerPiece", {"first line\r\n", "@\r\n"}, {"connected"}, ""},
        TSplitCase{
            "DataBehindTheSecondLine", {"first line\r\n", "@\r\nstream"}, {"connected", "data"}, "stream"},
        TSplitCase{"FirstCrLfSplit", {"first\r", "\n@\r\n\x01\x02"}, {"connected", "data"}, "\x01\x02"},
        TSplitCase{"SecondCrLfSplit", {"first\r\n@\r", "\nzz"}, {"connected", "data"}, "zz"},
        TSplitCase{"UrlInItsOwnPiece", {"first\r\n", "@", "\r\n"}, {"connected"}, ""},
        TSplitCase{"ByteByByteFirstLine", {"a", "b", "\r", "\n", "@\r\nq"}, {"connected", "data"}, "q"},
        TSplitCase{"AllInOnePiece", {"x\r\n@\r\nabc"}, {"connected", "data"}, "abc"},
        TSplitCase{"EmptyFirstLine", {"\r\n@\r\nabc"}, {"connected", "data"}, "abc"},
        TSplitCase{
            "LineEndsInTheStreamAreData", {"x\r\n@\r\n\r\nmore\r\n"}, {"connected", "data"}, "\r\nmore\r\n"}),
    [](const auto &info) { return std::string(info.param.Name); });

TEST_F(HttpTunnelTest, EachLaterPieceIsReportedAndReceivedUnchanged)
{
    ASSERT_NO_FATAL_FAILURE(ConnectTunnel());
    const std::string binary = RandomBytes(3000, 7) + std::string("\0\r\n", 3);
    std::string received;
    Tunnel->OnDataAvailable = [&](TGenericServerConnection *sender) {
        Events.push_back("data");
        std::string data;
        sender->Receive(data);
        received += data;
    };
    Server.SendPiece(GetId, binary);
    ASSERT_TRUE(WaitFor([&] { return received.size() == binary.size(); }));
    Server.SendPiece(GetId, "tail");
    ASSERT_TRUE(WaitFor([&] { return received.size() == binary.size() + 4; }));
    EXPECT_EQ(received, binary + "tail");
    EXPECT_TRUE(Tunnel->ReceiveBuffer.empty());
    std::string nothing = "previous";
    Tunnel->Receive(nothing);
    EXPECT_EQ(nothing, "");
}

TEST_F(HttpTunnelTest, ReceiveBeforeTheConnectionLeavesTheDataAlone)
{
    std::string data = "kept";
    Tunnel->Receive(data);
    EXPECT_EQ(data, "kept");
    ASSERT_NO_FATAL_FAILURE(StartGet());
    Server.SendPiece(GetId, "half a line");
    ASSERT_TRUE(WaitFor([&] { return !Tunnel->ReceiveBuffer.empty(); }));
    Tunnel->Receive(data);
    EXPECT_EQ(data, "kept");
    EXPECT_EQ(Tunnel->ReceiveBuffer, "half a line");
}

TEST_F(HttpTunnelTest, AGetBodyWithoutTheLinesEndsTheTunnel)
{
    ASSERT_NO_FATAL_FAILURE(StartGet());
    Server.SendPiece(GetId, std::string(MaxTunnelHeaderSize + 1, 'x'));
    ASSERT_TRUE(WaitFor([&] { return Count("closed") == 1; }));
    ASSERT_EQ(DebugTexts().size(), 1u);
    EXPECT_EQ(DebugTexts()[0].rfind("Invalid tunnel header from server:  ", 0), 0u) << DebugTexts()[0];
    EXPECT_EQ(Count("connected"), 0);
    std::string data;
    Tunnel->Receive(data);
    EXPECT_EQ(data, "");
    ASSERT_TRUE(WaitFor([&] { return Server.Disconnected(GetId); }));
}

// ---- The end of the GET ----

struct TGetEndCase
{
    const char *Name;
    std::function<void(TScriptedHttpServer &server, int id)> End;
};

PRINTS_AS_NAME(TGetEndCase)

class HttpTunnelGetEndTest : public HttpTunnelTest, public ::testing::WithParamInterface<TGetEndCase>
{
};

TEST_P(HttpTunnelGetEndTest, ClosesTheTunnelAndKeepsWhatArrived)
{
    ASSERT_NO_FATAL_FAILURE(ConnectTunnel());
    Server.SendPiece(GetId, "last words");
    ASSERT_TRUE(WaitFor([&] { return Count("data") == 1; }));
    GetParam().End(Server, GetId);
    ASSERT_TRUE(WaitFor([&] { return Count("closed") == 1; }));
    EXPECT_EQ(Tunnel->TunnelState, htsClosed);
    EXPECT_EQ(Tunnel->SendState, hssStopped);
    std::string data;
    Tunnel->Receive(data);
    EXPECT_EQ(data, "last words");
    // Sending after the end drops the bytes.
    Tunnel->Send("dropped");
    ProcessPostedEvents();
    EXPECT_TRUE(Tunnel->SendBuffer.empty());
    EXPECT_TRUE(Posts().empty());
    Tunnel.reset();
    EXPECT_EQ(Count("closed"), 1);
}

INSTANTIATE_TEST_SUITE_P(
    Ends, HttpTunnelGetEndTest,
    ::testing::Values(TGetEndCase{"BodyEnds", [](TScriptedHttpServer &s, int id) { s.EndBody(id); }},
                      TGetEndCase{"ConnectionCut", [](TScriptedHttpServer &s, int id) { s.Cut(id); }}),
    [](const auto &info) { return std::string(info.param.Name); });

TEST_F(HttpTunnelTest, AGetThatEndsBeforeTheLinesClosesWithoutConnecting)
{
    ASSERT_NO_FATAL_FAILURE(StartGet());
    Server.SendPiece(GetId, "only one line\r\n");
    ASSERT_TRUE(WaitFor([&] { return !Tunnel->ReceiveBuffer.empty(); }));
    Server.EndBody(GetId);
    ASSERT_TRUE(WaitFor([&] { return Count("closed") == 1; }));
    EXPECT_EQ(Events, std::vector<std::string>{"closed"});
    // The unfinished header is no stream data.
    std::string data;
    Tunnel->Receive(data);
    EXPECT_EQ(data, "");
}

TEST_F(HttpTunnelTest, TheStatusOfTheGetIsNotExamined)
{
    ASSERT_TRUE(Tunnel->Connect());
    ASSERT_TRUE(WaitFor([&] { return GetId >= 0; }));
    Server.BeginBody(GetId, 404, "Not Found", TScriptedHttpServer::Chunked);
    Server.SendPiece(GetId, "x\r\n" + PostUrl() + "\r\nbytes");
    ASSERT_TRUE(WaitFor([&] { return Count("data") == 1; }));
    EXPECT_EQ(Events, (std::vector<std::string>{"connected", "data"}));
}

// ---- Upstream ----

TEST_F(HttpTunnelTest, LargeSendsGoOutInChunksOfSixThousandOnePostAtATime)
{
    ASSERT_NO_FATAL_FAILURE(ConnectTunnel());
    // A first small POST makes the sequence numbers start above 0.
    Tunnel->Send("abc");
    ASSERT_TRUE(WaitFor([&] { return Posts().size() == 1; }));
    EXPECT_EQ(Post(0).Body, "sequence=0&body=ywjJ");
    EXPECT_EQ(Post(0).Path(), "/post");
    EXPECT_EQ(Post(0).Header("Content-Type"), "application/x-www-form-urlencoded");
    Server.Reply(Posts()[0], 200, "OK");
    ASSERT_TRUE(WaitFor([&] { return Tunnel->Sequence == 1 && Tunnel->SendState == hssIdle; }));

    const std::string data = RandomBytes(15000, 42);
    Tunnel->Send(data);
    const std::vector<size_t> sizes{6000, 6000, 3000};
    std::string reassembled;
    for (size_t i = 0; i < sizes.size(); ++i) {
        ASSERT_TRUE(WaitFor([&] { return Posts().size() == i + 2; })) << "POST " << i;
        // Nothing else starts while this one is unanswered.
        ProcessPostedEvents();
        EXPECT_EQ(Posts().size(), i + 2);
        EXPECT_EQ(Tunnel->SendState, hssPosting);
        EXPECT_EQ(Tunnel->SendBuffer.size(), 15000 - 6000 * std::min<size_t>(i + 1, 2) - (i == 2 ? 3000 : 0));

        const TRequest &post = Post(i + 1);
        const std::string body = post.Body;
        const std::string prefix = "sequence=" + std::to_string(1 + i) + "&body=";
        ASSERT_EQ(body.rfind(prefix, 0), 0u) << body.substr(0, 40);
        const std::string text = body.substr(prefix.size());
        EXPECT_EQ(text.size(), (sizes[i] * 4 + 2) / 3);
        EXPECT_EQ(text.find_first_not_of("abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789_-"),
                  std::string::npos);
        const std::string chunk = P64Decode(text);
        EXPECT_EQ(chunk.size(), sizes[i]);
        reassembled += chunk;
        Server.Reply(post.Id, 200, "OK");
    }
    ASSERT_TRUE(WaitFor([&] { return Tunnel->Sequence == 4 && Tunnel->SendState == hssIdle; }));
    EXPECT_EQ(reassembled, data);
    EXPECT_EQ(Tunnel->FailureCount, 0);
    EXPECT_TRUE(DebugTexts().empty());
}

TEST_F(HttpTunnelTest, BytesSentWhileAPostIsOutGoInTheNextPost)
{
    ASSERT_NO_FATAL_FAILURE(ConnectTunnel());
    Tunnel->Send("one");
    ASSERT_TRUE(WaitFor([&] { return Posts().size() == 1; }));
    Tunnel->Send("two");
    Tunnel->Send("three");
    ProcessPostedEvents();
    EXPECT_EQ(Tunnel->SendBuffer, "twothree");
    Server.Reply(Posts()[0], 200, "OK");
    ASSERT_TRUE(WaitFor([&] { return Posts().size() == 2; }));
    EXPECT_EQ(P64Decode(Post(1).FormField("body")), "twothree");
    EXPECT_EQ(Post(1).FormField("sequence"), "1");
}

struct TFailureCase
{
    const char *Name;
    std::function<void(TScriptedHttpServer &server, int id)> Fail;
    std::string Prefix; // of the debug text
    std::string Suffix;
};

PRINTS_AS_NAME(TFailureCase)

class HttpTunnelFailureTest : public HttpTunnelTest, public ::testing::WithParamInterface<TFailureCase>
{
};

TEST_P(HttpTunnelFailureTest, AFailedPostIsReportedAndRepeatedUnchanged)
{
    ASSERT_NO_FATAL_FAILURE(ConnectTunnel());
    Tunnel->Send("abc");
    // POSTs are held until looked at here: the ones before the first report
    // fail, the ones after it succeed.
    size_t handled = 0;
    ASSERT_TRUE(WaitFor([&] {
        for (; handled < Posts().size(); ++handled) {
            if (DebugTexts().empty())
                GetParam().Fail(Server, Posts()[handled]);
            else
                Server.Reply(Posts()[handled], 200, "OK");
        }
        return Tunnel->Sequence == 1;
    }));

    const std::string text = DebugTexts()[0];
    EXPECT_EQ(text.rfind(GetParam().Prefix, 0), 0u) << text;
    EXPECT_GE(text.size(), GetParam().Prefix.size() + GetParam().Suffix.size());
    EXPECT_EQ(text.substr(text.size() - GetParam().Suffix.size()), GetParam().Suffix) << text;
    EXPECT_EQ(DebugTexts().size(), 1u);
    ASSERT_GE(Posts().size(), 2u);
    for (size_t i = 0; i < Posts().size(); ++i)
        EXPECT_EQ(Post(i).Body, "sequence=0&body=ywjJ") << "POST " << i;
    EXPECT_EQ(Tunnel->FailureCount, 0);
    EXPECT_EQ(Tunnel->TunnelState, htsConnected);
}

INSTANTIATE_TEST_SUITE_P(
    Failures, HttpTunnelFailureTest,
    ::testing::Values(
        TFailureCase{"Status500",
                     [](TScriptedHttpServer &s, int id) { s.Reply(id, 500, "Internal Server Error"); },
                     "Error sending data to server:  500, Internal Server Error, state: 0", ""},
        TFailureCase{"Status404", [](TScriptedHttpServer &s, int id) { s.Reply(id, 404, "Not Found"); },
                     "Error sending data to server:  404, Not Found, state: 0", ""},
        TFailureCase{"Status201", [](TScriptedHttpServer &s, int id) { s.Reply(id, 201, "Created"); },
                     "Error sending data to server:  201, Created, state: 0", ""},
        TFailureCase{"ConnectionCut", [](TScriptedHttpServer &s, int id) { s.Cut(id); },
                     "Error sending data to server:  0, ", ", state: 0"}),
    [](const auto &info) { return std::string(info.param.Name); });

struct TCountCase
{
    const char *Name;
    std::vector<int> Statuses;      // answers to the POSTs, in order
    std::vector<int> FailureCounts; // after each answer
    std::vector<int> Sequences;     // of each POST
    bool Closed;
};

PRINTS_AS_NAME(TCountCase)

class HttpTunnelFailureCountTest : public HttpTunnelTest, public ::testing::WithParamInterface<TCountCase>
{
};

TEST_P(HttpTunnelFailureCountTest, FourNetFailuresEndTheTunnel)
{
    const std::vector<int> &statuses = GetParam().Statuses;
    std::vector<int> counts;
    size_t answered = 0;
    OnPost = [&](const TRequest &request) {
        if (answered > 0)
            counts.push_back(Tunnel->FailureCount);
        if (answered < statuses.size()) {
            const int status = statuses[answered++];
            Server.Reply(request.Id, status, status == 200 ? "OK" : "Internal Server Error");
        }
    };
    ASSERT_NO_FATAL_FAILURE(ConnectTunnel());
    Tunnel->Send(RandomBytes(12000, 3)); // two chunks
    if (GetParam().Closed) {
        ASSERT_TRUE(WaitFor([&] { return Count("closed") == 1; }));
        counts.push_back(Tunnel->FailureCount);
        ProcessPostedEvents();
        EXPECT_EQ(Posts().size(), statuses.size());
        EXPECT_EQ(Tunnel->TunnelState, htsClosed);
        ASSERT_FALSE(DebugTexts().empty());
        EXPECT_EQ(DebugTexts().back(), "ERROR sending data to server:  500, Internal Server Error, state: 0");
        EXPECT_EQ(Events.back(), "closed");
    } else {
        // The POST after the last answer is held: the tunnel is still open.
        ASSERT_TRUE(WaitFor([&] { return Posts().size() == statuses.size() + 1; }));
        EXPECT_EQ(Tunnel->TunnelState, htsConnected);
        EXPECT_EQ(Count("closed"), 0);
    }
    EXPECT_EQ(counts, GetParam().FailureCounts);
    std::vector<int> sequences;
    for (size_t i = 0; i < statuses.size(); ++i)
        sequences.push_back(std::stoi(Post(i).FormField("sequence")));
    EXPECT_EQ(sequences, GetParam().Sequences);
    // A repeated POST is the failed one, byte for byte.
    for (size_t i = 1; i < statuses.size(); ++i) {
        if (statuses[i - 1] != 200) {
            EXPECT_EQ(Post(i).Body, Post(i - 1).Body) << "POST " << i;
        }
    }
}

INSTANTIATE_TEST_SUITE_P(
    Counts, HttpTunnelFailureCountTest,
    ::testing::Values(
        TCountCase{"FourFailuresInARow", {500, 500, 500, 500}, {1, 2, 3, 4}, {0, 0, 0, 0}, true},
        TCountCase{"FailureSuccessThreeFailures",
                   {500, 200, 500, 500, 500},
                   {1, 0, 1, 2, 3},
                   {0, 0, 1, 1, 1},
                   false},
        TCountCase{
            "SuccessPaysBackOneFailure", {500, 500, 500, 200, 500}, {1, 2, 3, 2, 3}, {0, 0, 0, 0, 1}, false},
        TCountCase{
            "CountNeverGoesBelowZero", {200, 500, 500, 500, 500}, {0, 1, 2, 3, 4}, {0, 1, 1, 1, 1}, true}),
    [](const auto &info) { return std::string(info.param.Name); });

TEST_F(HttpTunnelTest, APostOutlivingTheTimeoutIsAbortedAndRepeated)
{
    TFakeClock clock(45000.5);
    Tunnel->SendTimeout = 300;
    ASSERT_NO_FATAL_FAILURE(ConnectTunnel());
    Tunnel->Send("abc");
    ASSERT_TRUE(WaitFor([&] { return Posts().size() == 1; }));
    EXPECT_DOUBLE_EQ(Tunnel->SendDeadline, clock.Value + 300 / 86400000.0);
    ProcessPostedEvents();
    EXPECT_EQ(Tunnel->SendState, hssPosting);

    clock.AdvanceSeconds(0.301);
    ASSERT_TRUE(WaitFor([&] { return Posts().size() == 2; }));
    EXPECT_EQ(DebugTexts(),
              std::vector<std::string>{
                  "Error sending data to server:  404, Connection aborted on request, state: 0"});
    EXPECT_EQ(Post(1).Body, Post(0).Body);
    ASSERT_TRUE(WaitFor([&] { return Server.Disconnected(Posts()[0]); }));
    EXPECT_EQ(Tunnel->FailureCount, 1);

    Server.Reply(Posts()[1], 200, "OK");
    ASSERT_TRUE(WaitFor([&] { return Tunnel->Sequence == 1; }));
    EXPECT_EQ(Tunnel->FailureCount, 0);
    EXPECT_EQ(Tunnel->TunnelState, htsConnected);
}

TEST_F(HttpTunnelTest, APostThatCannotStartIsReportedAndEndsTheTunnel)
{
    ASSERT_NO_FATAL_FAILURE(StartGet());
    Server.SendPiece(GetId, "x\r\nnot a url\r\n");
    ASSERT_TRUE(WaitFor([&] { return Tunnel->TunnelState == htsConnected; }));
    Tunnel->Send("abc");
    ASSERT_TRUE(WaitFor([&] { return Count("closed") == 1; }));
    EXPECT_EQ(DebugTexts(), std::vector<std::string>{"Unexpected Exception:  THttpTunnel.CheckForSend, "
                                                     "EHttpException, Invalid URL 'not a url', 0, "});
    EXPECT_EQ(Tunnel->SendState, hssStopped);
    EXPECT_NE(DebugWindowText().find("Class=EHttpException, Message=Invalid URL 'not a url', "
                                     "Location=HttpTunnels, THttpTunnel.CheckForSend"),
              std::string::npos);
}

TEST_F(HttpTunnelTest, APostClientBusyWithAnotherRequestKeepsTheChunk)
{
    ASSERT_NO_FATAL_FAILURE(ConnectTunnel());
    // Occupy the POST client with a request the tunnel did not start.
    Tunnel->PostClient->URL = Server.Url("/busy");
    Tunnel->PostClient->GetASync();
    ASSERT_TRUE(WaitFor([&] { return Tunnel->PostClient->State() == httpWaitingHeader; }));
    Tunnel->Send("abc");
    ProcessPostedEvents();
    EXPECT_EQ(Tunnel->SendState, hssIdle);
    EXPECT_EQ(Tunnel->SendBuffer, "abc");
    EXPECT_TRUE(Posts().empty());

    // Once it is done, the chunk goes out whole.
    Server.Reply(static_cast<int>(Server.Requests().size()) - 1, 200, "OK");
    ASSERT_TRUE(WaitFor([&] { return Posts().size() == 1; }));
    EXPECT_EQ(P64Decode(Post(0).FormField("body")), "abc");
    EXPECT_TRUE(Tunnel->SendBuffer.empty());
}

TEST_F(HttpTunnelTest, APostClientInAnotherStateEndsTheTunnel)
{
    ASSERT_NO_FATAL_FAILURE(ConnectTunnel());
    Tunnel->PostClient->URL = Server.Url("/busy");
    Tunnel->PostClient->GetASync();
    ASSERT_TRUE(WaitFor([&] { return Server.Requests().size() == 2; }));
    Server.BeginBody(1, 200, "OK", TScriptedHttpServer::Chunked);
    Server.SendPiece(1, "x");
    ASSERT_TRUE(WaitFor([&] { return Tunnel->PostClient->State() == httpWaitingBody; }));
    Tunnel->Send("abc");
    ASSERT_TRUE(WaitFor([&] { return Count("closed") == 1; }));
    EXPECT_EQ(DebugTexts(), std::vector<std::string>{"HTTP Not Ready on Write:  200, OK, State=6"});
    EXPECT_EQ(Tunnel->SendState, hssStopped);
}

TEST_F(HttpTunnelTest, AnOwnerClosingFromTheFailureReportStopsTheRetry)
{
    OnPost = [&](const TRequest &request) { Server.Reply(request.Id, 500, "Internal Server Error"); };
    ASSERT_NO_FATAL_FAILURE(ConnectTunnel());
    Tunnel->OnDebugMessage = [&](TGenericServerConnection *sender, const std::string &text) {
        Events.push_back("debug:" + text);
        sender->Close();
    };
    Tunnel->Send("abc");
    ASSERT_TRUE(WaitFor([&] { return Count("closed") == 1; }));
    ProcessPostedEvents();
    ProcessPostedEvents();
    EXPECT_EQ(Posts().size(), 1u);
    EXPECT_EQ(Tunnel->SendState, hssStopped);
}

// ---- Connect, Close and destruction ----

struct TConnectFailureCase
{
    const char *Name;
    std::function<void(THttpTunnel &tunnel)> Setup;
    std::string ErrorText;
};

PRINTS_AS_NAME(TConnectFailureCase)

class HttpTunnelConnectFailureTest : public ::testing::TestWithParam<TConnectFailureCase>
{
};

TEST_P(HttpTunnelConnectFailureTest, ReportsTheReasonAndClosesBeforeReturning)
{
    THttpTunnel tunnel("http://127.0.0.1:1/tunnel");
    int closed = 0;
    tunnel.OnSessionClosed = [&](TGenericServerConnection *sender) {
        EXPECT_EQ(sender, &tunnel);
        ++closed;
    };
    tunnel.OnSessionConnected = [&](TGenericServerConnection *) { ADD_FAILURE() << "connected"; };
    GetParam().Setup(tunnel);
    EXPECT_FALSE(tunnel.Connect());
    EXPECT_EQ(closed, 1);
    EXPECT_EQ(tunnel.ErrorText, GetParam().ErrorText);
    EXPECT_EQ(tunnel.TunnelState, htsClosed);
    tunnel.Close();
    ProcessPostedEvents();
    EXPECT_EQ(closed, 1);
}

INSTANTIATE_TEST_SUITE_P(
    Failures, HttpTunnelConnectFailureTest,
    ::testing::Values(TConnectFailureCase{"NotAUrl", [](THttpTunnel &t) { t.Url = "nonsense"; },
                                          "THttpTunnel.Connect, EHttpException, Invalid URL 'nonsense', 0, "},
                      TConnectFailureCase{
                          "Socks4",
                          [](THttpTunnel &t) {
                              t.SocksServer = "127.0.0.1";
                              t.SocksPort = "1080";
                              t.SocksLevel = "4";
                          },
                          "THttpTunnel.Connect, EHttpException, SOCKS 4 is not supported for HTTP requests; "
                          "use SOCKS 5, 0, "},
                      TConnectFailureCase{
                          "ProxyPortUnset", [](THttpTunnel &t) { t.Proxy = "127.0.0.1"; },
                          "THttpTunnel.Connect, EHttpException, Invalid proxy port '0', 0, "}),
    [](const auto &info) { return std::string(info.param.Name); });

TEST_F(HttpTunnelTest, ConnectAndSendOutOfOrderAreProgrammingErrors)
{
    EXPECT_THROW(Tunnel->Send("early"), EAssertionFailed);
    ASSERT_NO_FATAL_FAILURE(StartGet());
    EXPECT_THROW(Tunnel->Connect(), EAssertionFailed);
    EXPECT_THROW(Tunnel->Send("still early"), EAssertionFailed);
    EXPECT_TRUE(Tunnel->SendBuffer.empty());
}

TEST_F(HttpTunnelTest, CloseTwiceRaisesClosedOnceAndAbortsBothRequests)
{
    ASSERT_NO_FATAL_FAILURE(ConnectTunnel());
    Tunnel->Send("abc");
    ASSERT_TRUE(WaitFor([&] { return Posts().size() == 1; }));
    Tunnel->Close();
    EXPECT_EQ(Events, std::vector<std::string>{"closed"});
    Tunnel->Close();
    EXPECT_EQ(Count("closed"), 1);
    EXPECT_EQ(Tunnel->TunnelState, htsClosed);
    EXPECT_EQ(Tunnel->SendState, hssStopped);
    ASSERT_TRUE(WaitFor([&] { return Server.Disconnected(GetId) && Server.Disconnected(Posts()[0]); }));
    // An abort by Close is no failure to report or repeat.
    ProcessPostedEvents();
    EXPECT_TRUE(DebugTexts().empty());
    EXPECT_EQ(Posts().size(), 1u);
    Tunnel.reset();
    EXPECT_EQ(Count("closed"), 1);
}

struct TDestroyCase
{
    const char *Name;
    int Stage; // 0 idle, 1 connecting, 2 connected, 3 closed
    int ClosedEvents;
};

PRINTS_AS_NAME(TDestroyCase)

class HttpTunnelDestroyTest : public HttpTunnelTest, public ::testing::WithParamInterface<TDestroyCase>
{
};

TEST_P(HttpTunnelDestroyTest, RaisesClosedOnlyWhenNotClosedYet)
{
    if (GetParam().Stage == 1) {
        ASSERT_NO_FATAL_FAILURE(StartGet());
    }
    if (GetParam().Stage >= 2) {
        ASSERT_NO_FATAL_FAILURE(ConnectTunnel());
    }
    if (GetParam().Stage == 3) {
        Tunnel->Close();
        Events.clear();
    }
    Tunnel.reset();
    EXPECT_EQ(Count("closed"), GetParam().ClosedEvents);
    if (GetParam().Stage >= 1) {
        ASSERT_TRUE(WaitFor([&] { return Server.Disconnected(GetId); }));
    }
    ProcessPostedEvents();
    EXPECT_EQ(Count("closed"), GetParam().ClosedEvents);
}

INSTANTIATE_TEST_SUITE_P(Stages, HttpTunnelDestroyTest,
                         ::testing::Values(TDestroyCase{"Idle", 0, 1}, TDestroyCase{"Connecting", 1, 1},
                                           TDestroyCase{"Connected", 2, 1}, TDestroyCase{"Closed", 3, 0}),
                         [](const auto &info) { return std::string(info.param.Name); });

TEST_F(HttpTunnelTest, TheOwnerMayDestroyTheTunnelWhenTheGetEnds)
{
    ASSERT_NO_FATAL_FAILURE(ConnectTunnel());
    Tunnel->OnSessionClosed = [&](TGenericServerConnection *) {
        Events.push_back("closed");
        Tunnel.reset();
    };
    Server.EndBody(GetId);
    ASSERT_TRUE(WaitFor([&] { return Tunnel == nullptr; }));
    ProcessPostedEvents();
    EXPECT_EQ(Count("closed"), 1);
}

// ---- Proxy settings ----

struct TSetUpProxyCase
{
    const char *Name;
    std::function<void(THttpTunnel &tunnel)> Settings;
    std::vector<std::string> Fields; // client's Proxy, ProxyPort, ProxyUsername, ProxyPassword, SocksServer,
                                     // SocksPort, SocksUsercode, SocksPassword, SocksLevel
    TSocksAuthentication Authentication;
};

PRINTS_AS_NAME(TSetUpProxyCase)

std::vector<std::string> ProxyFields(const THttpCli &c)
{
    return {c.Proxy,     c.ProxyPort,     c.ProxyUsername, c.ProxyPassword, c.SocksServer,
            c.SocksPort, c.SocksUsercode, c.SocksPassword, c.SocksLevel};
}

class HttpTunnelSetUpProxyTest : public HttpTunnelTest, public ::testing::WithParamInterface<TSetUpProxyCase>
{
};

TEST_P(HttpTunnelSetUpProxyTest, BothClientsGetTheSameSettings)
{
    // Leftovers that each rule must clear or keep.
    for (THttpCli *client : {Tunnel->GetClient.get(), Tunnel->PostClient.get()}) {
        client->Proxy = "old-proxy";
        client->ProxyPort = "1";
        client->ProxyUsername = "old-user";
        client->ProxyPassword = "old-password";
        client->SocksServer = "old-socks";
        client->SocksPort = "2";
        client->SocksUsercode = "old-code";
        client->SocksPassword = "old-secret";
        client->SocksLevel = "4";
        client->SocksAuthentication = socksAuthenticateUsercode;
    }
    GetParam().Settings(*Tunnel);
    ASSERT_TRUE(Tunnel->Connect());
    EXPECT_EQ(ProxyFields(*Tunnel->GetClient), GetParam().Fields);
    EXPECT_EQ(ProxyFields(*Tunnel->PostClient), GetParam().Fields);
    EXPECT_EQ(Tunnel->GetClient->SocksAuthentication, GetParam().Authentication);
    EXPECT_EQ(Tunnel->PostClient->SocksAuthentication, GetParam().Authentication);
    EXPECT_EQ(Tunnel->GetClient->URL, Server.Url("/tunnel"));
}

INSTANTIATE_TEST_SUITE_P(
    Rules, HttpTunnelSetUpProxyTest,
    ::testing::Values(TSetUpProxyCase{"HttpProxyWinsOverSocks",
                                      [](THttpTunnel &t) {
                                          t.Proxy = "127.0.0.1";
                                          t.ProxyPort = 1;
                                          t.ProxyUsername = "user";
                                          t.ProxyPassword = "pass";
                                          t.SocksServer = "127.0.0.1";
                                          t.SocksPort = "9";
                                          t.SocksLevel = "5";
                                          t.SocksUsercode = "code";
                                      },
                                      {"127.0.0.1", "1", "user", "pass", "", "", "", "", "4"},
                                      socksNoAuthentication},
                      TSetUpProxyCase{"SocksWithUsercode",
                                      [](THttpTunnel &t) {
                                          t.SocksServer = "127.0.0.1";
                                          t.SocksPort = "1";
                                          t.SocksUsercode = "code";
                                          t.SocksPassword = "secret";
                                          t.SocksLevel = "5";
                                      },
                                      {"", "", "", "", "127.0.0.1", "1", "code", "secret", "5"},
                                      socksAuthenticateUsercode},
                      TSetUpProxyCase{"SocksWithoutUsercode",
                                      [](THttpTunnel &t) {
                                          t.SocksServer = "127.0.0.1";
                                          t.SocksPort = "1";
                                          t.SocksLevel = "5";
                                      },
                                      {"", "", "", "", "127.0.0.1", "1", "", "", "5"},
                                      socksNoAuthentication},
                      TSetUpProxyCase{"Neither",
                                      [](THttpTunnel &) {},
                                      {"", "", "", "", "", "", "", "", "4"},
                                      socksAuthenticateUsercode}),
    [](const auto &info) { return std::string(info.param.Name); });

struct TRealProxyCase
{
    const char *Name;
    bool Socks;
    std::string User;
    std::string Password;
    bool DeadSocksToo; // SOCKS settings to a dead port beside the HTTP proxy
};

PRINTS_AS_NAME(TRealProxyCase)

class HttpTunnelRealProxyTest : public HttpTunnelTest, public ::testing::WithParamInterface<TRealProxyCase>
{
protected:
    std::unique_ptr<TMicrosocks> Socks;
    std::unique_ptr<TTinyproxy> Http;
};

TEST_P(HttpTunnelRealProxyTest, CarriesBothDirections)
{
    const TRealProxyCase &row = GetParam();
    std::string error;
    if (row.Socks) {
        Socks = std::make_unique<TMicrosocks>(row.User, row.Password);
        ASSERT_TRUE(Socks->Start(error)) << error;
        Tunnel->SocksServer = "127.0.0.1";
        Tunnel->SocksPort = std::to_string(Socks->Port());
        Tunnel->SocksLevel = "5";
        Tunnel->SocksUsercode = row.User;
        Tunnel->SocksPassword = row.Password;
    } else {
        Http = std::make_unique<TTinyproxy>(row.User, row.Password);
        ASSERT_TRUE(Http->Start(error)) << error;
        Tunnel->Proxy = "127.0.0.1";
        Tunnel->ProxyPort = Http->Port();
        Tunnel->ProxyUsername = row.User;
        Tunnel->ProxyPassword = row.Password;
        if (row.DeadSocksToo) {
            Tunnel->SocksServer = "127.0.0.1";
            Tunnel->SocksPort = std::to_string(FreeLoopbackPort());
            Tunnel->SocksLevel = "5";
        }
    }
    OnPost = [&](const TRequest &request) { Server.Reply(request.Id, 200, "OK"); };
    // A proxy may speak HTTP/1.0 to the server: the body ends with the connection.
    ASSERT_NO_FATAL_FAILURE(ConnectTunnel(TScriptedHttpServer::UntilClose, 20000));
    Server.SendPiece(GetId, "downstream");
    ASSERT_TRUE(WaitFor([&] { return Tunnel->ReceiveBuffer == "downstream"; }, 20000));
    Tunnel->Send("abc");
    ASSERT_TRUE(WaitFor([&] { return Tunnel->Sequence == 1; }, 20000));
    ASSERT_EQ(Posts().size(), 1u);
    EXPECT_EQ(Post(0).Body, "sequence=0&body=ywjJ");
    EXPECT_EQ(DebugTexts(), std::vector<std::string>{});
    Tunnel->Close();
}

INSTANTIATE_TEST_SUITE_P(
    Proxies, HttpTunnelRealProxyTest,
    ::testing::Values(TRealProxyCase{"Tinyproxy", false, "", "", false},
                      TRealProxyCase{"TinyproxyWithPassword", false, "trader", "s3cret", false},
                      TRealProxyCase{"TinyproxyBesideADeadSocksProxy", false, "", "", true},
                      TRealProxyCase{"Socks5", true, "", "", false},
                      TRealProxyCase{"Socks5WithPassword", true, "trader", "s3cret", false}),
    [](const auto &info) { return std::string(info.param.Name); });

// ---- A conversation over the tunnel ----

TEST(HttpTunnelConversation, RequestsGoUpInPostsAndRepliesComeDownTheGet)
{
    TScriptedHttpServer server;
    int getId = -1;
    server.OnRequest = [&](const TRequest &request) {
        if (request.Method == "GET")
            getId = request.Id;
        else
            server.Reply(request.Id, 200, "OK");
    };
    TTalkWithServer talk;
    talk.UseHttpTunnel = 1;
    talk.TunnelUrl = server.Url("/tunnel");
    talk.SendTimeout = 60000;
    std::vector<std::string> replies;
    talk.SendMessage(MakeMessage({"command", "ping"}), false,
                     [&](bool success, const std::string &body, const TMessageToServer &) {
                         replies.push_back((success ? "ok:" : "failed:") + body);
                     });
    talk.Connect();
    ASSERT_NE(dynamic_cast<THttpTunnel *>(talk.ServerConnection()), nullptr);
    EXPECT_EQ(talk.ServerConnection()->SendTimeout, 60000);
    ASSERT_TRUE(WaitFor([&] { return getId >= 0; }));
    server.BeginBody(getId, 200, "OK", TScriptedHttpServer::Chunked);
    server.SendPiece(getId, "tunnel\r\n" + server.Url("/post") + "\r\n");
    ASSERT_TRUE(WaitFor([&] { return talk.State() == TTalkWithServer::Connected; }));

    // Everything the conversation wrote, reassembled from the POSTs.
    std::string upstream;
    size_t seen = 0;
    ASSERT_TRUE(WaitFor([&] {
        for (; seen < server.Requests().size(); ++seen)
            if (server.Requests()[seen].Method == "POST")
                upstream += P64Decode(server.Requests()[seen].FormField("body"));
        return upstream.size() > 59;
    }));
    EXPECT_EQ(upstream.substr(0, 59), "command=set_output&mode=zlib\r\ncommand=set_input&mode=zlib\r\n");
    TZLibDecompressor inflate;
    inflate.Decompress(upstream.substr(59));
    EXPECT_NE(inflate.Output.find("ping"), std::string::npos);
    EXPECT_NE(inflate.Output.find("message_id"), std::string::npos);

    // A reply frame for id 1 down the GET.
    std::string frame("\x01\x00\x00\x00\x04\x00\x00\x00pong", 12);
    TZLibCompressor deflate;
    deflate.Write(frame);
    deflate.Flush();
    server.SendPiece(getId, deflate.Output);
    ASSERT_TRUE(WaitFor([&] { return !replies.empty(); }));
    EXPECT_EQ(replies, std::vector<std::string>{"ok:pong"});
}

} // namespace
