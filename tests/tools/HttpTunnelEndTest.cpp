// The demo server's HTTP tunnel end, driven by hand-written HTTP over loopback.
#include "DemoServer.h"
#include "TunnelTestSupport.h"

#include <QTcpServer>

#include <gtest/gtest.h>

#include <functional>
#include <memory>

namespace {

class HttpTunnelEndTest : public ::testing::Test
{
protected:
    void StartServer()
    {
        Options.Port = 0;
        Options.HttpPort = 0;
        Server = std::make_unique<TDemoServer>(Options);
        Server->OnLog = [this](const std::string &line) { Logs += line + "\n"; };
        ASSERT_TRUE(Server->Listen()) << Server->ErrorText().toStdString();
        ASSERT_NE(Server->HttpPort(), 0);
        Server->TunnelEnd()->OnApplied = [this](int, std::int32_t sequence, const std::string &bytes) {
            Applied.push_back(sequence);
            AppliedBytes += bytes;
        };
    }

    std::unique_ptr<TTunnelGet> OpenTunnel()
    {
        auto tunnel = std::make_unique<TTunnelGet>();
        EXPECT_TRUE(tunnel->Open(Server->HttpPort()));
        return tunnel;
    }

    // One POST on its own connection; the status, or 0 when none came.
    int Post(const std::string &target, const std::string &form, const std::string &extraHeaders = "")
    {
        TRawHttp http;
        if (!http.Connect(Server->HttpPort()))
            return 0;
        http.Send(PostRequest(target, form, extraHeaders));
        TRawResponse response;
        return http.Read(response) ? response.Status : 0;
    }

    // The client's stream: the preamble, then sync-flushed batches.
    std::string Batch(const std::string &messages)
    {
        std::string bytes = FirstBatch ? TestPreamble() : "";
        FirstBatch = false;
        return bytes + Sender.Compress(messages);
    }

    TDemoServerOptions Options;
    std::unique_ptr<TDemoServer> Server;
    std::string Logs;
    std::vector<std::int32_t> Applied;
    std::string AppliedBytes;
    TTestSender Sender;
    bool FirstBatch = true;
};

TEST_F(HttpTunnelEndTest, GetAnswersWithTwoLinesAndAPostUrlOfItsOwn)
{
    StartServer();
    auto first = OpenTunnel();
    auto second = OpenTunnel();
    EXPECT_EQ(first->ResponseHead.rfind("HTTP/1.1 200 OK\r\n", 0), 0u) << first->ResponseHead;
    // The body runs until the connection closes: no length, no chunks.
    EXPECT_EQ(first->ResponseHead.find("Content-Length"), std::string::npos) << first->ResponseHead;
    EXPECT_EQ(first->ResponseHead.find("chunked"), std::string::npos) << first->ResponseHead;
    EXPECT_NE(first->ResponseHead.find("Connection: close\r\n"), std::string::npos) << first->ResponseHead;
    EXPECT_EQ(first->FirstLine, THttpTunnelEnd::GreetingLine);
    const QRegularExpression url(
        QStringLiteral("^http://127\\.0\\.0\\.1:%1/post/[0-9a-f]{32}$").arg(Server->HttpPort()));
    EXPECT_TRUE(url.match(QString::fromStdString(first->PostUrl)).hasMatch()) << first->PostUrl;
    EXPECT_TRUE(url.match(QString::fromStdString(second->PostUrl)).hasMatch()) << second->PostUrl;
    EXPECT_NE(first->PostUrl, second->PostUrl);
    EXPECT_TRUE(WaitFor([&] { return Server->ConnectionCount() == 2; }));
    EXPECT_NE(Logs.find("connected through the HTTP tunnel"), std::string::npos) << Logs;
}

TEST_F(HttpTunnelEndTest, PostsInOrderOnOneConnectionCarryALoginAnsweredOnTheGet)
{
    Options.Rate = 200;
    StartServer();
    auto tunnel = OpenTunnel();
    // The stream cut at arbitrary points: the preamble alone, then the
    // compressed login split in two.
    const std::string stream = Batch(LoginMessage(1, "trader", "pw") + SubscribeMessages(8));
    const std::vector<std::string> pieces = {stream.substr(0, 59), stream.substr(59, 7), stream.substr(66)};
    TRawHttp http;
    ASSERT_TRUE(http.Connect(Server->HttpPort()));
    for (int sequence = 0; sequence < 3; ++sequence) {
        http.Send(PostRequest(tunnel->PostPath(), TunnelForm(sequence, pieces[sequence])));
        TRawResponse response;
        ASSERT_TRUE(http.Read(response)) << sequence;
        EXPECT_EQ(response.Status, 200) << sequence;
        EXPECT_NE(response.Head.find("Connection: keep-alive"), std::string::npos) << response.Head;
    }
    ASSERT_TRUE(tunnel->WaitForFrames(1, 1));
    EXPECT_EQ(tunnel->Frames.front().Id, 1);
    EXPECT_EQ(tunnel->Frames.front().Body.rfind("SESSION ID\r\n", 0), 0u) << tunnel->Frames.front().Body;
    ASSERT_TRUE(tunnel->WaitForFrames(8, 5));
    for (const TTestFrame &frame : tunnel->Frames) {
        if (frame.Id == 8) {
            EXPECT_EQ(CheckAlertText(frame.Body), "") << frame.Body;
        }
    }
    EXPECT_EQ(Applied, (std::vector<std::int32_t>{0, 1, 2}));
    EXPECT_EQ(AppliedBytes, stream);
    EXPECT_EQ(tunnel->StreamError, "");
}

TEST_F(HttpTunnelEndTest, ARepeatedSequenceIsAnsweredAgainButAppliedOnce)
{
    StartServer();
    auto tunnel = OpenTunnel();
    const std::string login = Batch(LoginMessage(1, "trader", "pw"));
    const std::string ping = Batch(PingMessage(7));
    EXPECT_EQ(Post(tunnel->PostPath(), TunnelForm(0, login)), 200);
    EXPECT_EQ(Post(tunnel->PostPath(), TunnelForm(0, login)), 200);
    EXPECT_EQ(Post(tunnel->PostPath(), TunnelForm(1, ping)), 200);
    // A stale repeat further back is answered the same way.
    EXPECT_EQ(Post(tunnel->PostPath(), TunnelForm(0, login)), 200);
    ASSERT_TRUE(tunnel->WaitForFrames(7, 1));
    EXPECT_EQ(tunnel->CountWithId(1), 1u);
    EXPECT_EQ(Applied, (std::vector<std::int32_t>{0, 1}));
    EXPECT_EQ(AppliedBytes, login + ping);
    EXPECT_EQ(tunnel->StreamError, "");
    EXPECT_NE(Logs.find("POST sequence 0 was applied before; answered again"), std::string::npos) << Logs;
}

TEST_F(HttpTunnelEndTest, ASequenceFromTheFutureIsRefusedAndNotApplied)
{
    StartServer();
    auto tunnel = OpenTunnel();
    const std::string login = Batch(LoginMessage(1, "trader", "pw"));
    const std::string ping = Batch(PingMessage(7));
    EXPECT_EQ(Post(tunnel->PostPath(), TunnelForm(1, ping)), 409);
    EXPECT_TRUE(Applied.empty());
    EXPECT_EQ(Post(tunnel->PostPath(), TunnelForm(0, login)), 200);
    EXPECT_EQ(Post(tunnel->PostPath(), TunnelForm(2, ping)), 409);
    EXPECT_EQ(Post(tunnel->PostPath(), TunnelForm(1, ping)), 200);
    ASSERT_TRUE(tunnel->WaitForFrames(7, 1));
    EXPECT_EQ(tunnel->CountWithId(1), 1u);
    EXPECT_EQ(Applied, (std::vector<std::int32_t>{0, 1}));
}

// A request that is refused, built from the tunnel's POST path.
struct TRefusalCase
{
    const char *Name;
    std::function<std::string(const std::string &postPath)> Request;
    int Status;
};

void PrintTo(const TRefusalCase &row, std::ostream *out)
{
    *out << row.Name;
}

class HttpTunnelEndRefusal : public HttpTunnelEndTest, public ::testing::WithParamInterface<TRefusalCase>
{
};

TEST_P(HttpTunnelEndRefusal, IsAnsweredWithTheStatusAndAppliesNothing)
{
    StartServer();
    auto tunnel = OpenTunnel();
    TRawHttp http;
    ASSERT_TRUE(http.Connect(Server->HttpPort()));
    http.Send(GetParam().Request(tunnel->PostPath()));
    TRawResponse response;
    ASSERT_TRUE(http.Read(response));
    EXPECT_EQ(response.Status, GetParam().Status) << response.Head << response.Body;
    // A refusal ends the HTTP connection.
    EXPECT_NE(response.Head.find("Connection: close"), std::string::npos) << response.Head;
    EXPECT_TRUE(http.WaitForClose());
    EXPECT_TRUE(Applied.empty());

    // The tunnel itself is unharmed: sequence 0 is still the one expected.
    EXPECT_EQ(Post(tunnel->PostPath(), TunnelForm(0, Batch(LoginMessage(1, "trader", "pw")))), 200);
    EXPECT_TRUE(tunnel->WaitForFrames(1, 1));
}

INSTANTIATE_TEST_SUITE_P(
    Cases, HttpTunnelEndRefusal,
    ::testing::Values(
        TRefusalCase{
            "UnknownToken",
            [](const std::string &) { return PostRequest("/post/0123456789abcdef", TunnelForm(0, "x")); },
            404},
        TRefusalCase{"GetOnThePostUrl",
                     [](const std::string &path) { return "GET " + path + " HTTP/1.1\r\nHost: x\r\n\r\n"; },
                     405},
        TRefusalCase{"PutElsewhere",
                     [](const std::string &) {
                         return std::string("PUT /tunnel HTTP/1.1\r\nContent-Length: 0\r\n\r\n");
                     },
                     405},
        TRefusalCase{
            "BodyNotP64",
            [](const std::string &path) { return PostRequest(path, std::string("sequence=0&body=yw+J")); },
            400},
        TRefusalCase{"NoSequence",
                     [](const std::string &path) { return PostRequest(path, std::string("body=ywjJ")); },
                     400},
        TRefusalCase{"NoBody",
                     [](const std::string &path) { return PostRequest(path, std::string("sequence=0")); },
                     400},
        TRefusalCase{"SequenceTwice",
                     [](const std::string &path) {
                         return PostRequest(path, std::string("sequence=0&sequence=0&body=ywjJ"));
                     },
                     400},
        TRefusalCase{
            "NegativeSequence",
            [](const std::string &path) { return PostRequest(path, std::string("sequence=-1&body=ywjJ")); },
            400},
        TRefusalCase{
            "SequenceWithSign",
            [](const std::string &path) { return PostRequest(path, std::string("sequence=+0&body=ywjJ")); },
            400},
        TRefusalCase{"SequenceOutOfRange",
                     [](const std::string &path) {
                         return PostRequest(path, std::string("sequence=99999999999&body=ywjJ"));
                     },
                     400},
        TRefusalCase{"WrongContentType",
                     [](const std::string &path) {
                         const std::string form = TunnelForm(0, "x");
                         return "POST " + path + " HTTP/1.1\r\nContent-Type: text/plain\r\nContent-Length: " +
                                std::to_string(form.size()) + "\r\n\r\n" + form;
                     },
                     415},
        TRefusalCase{"BodyOverTheLimit",
                     [](const std::string &path) {
                         return "POST " + path + " HTTP/1.1\r\nContent-Length: 100000000\r\n\r\n";
                     },
                     413},
        TRefusalCase{"Garbage", [](const std::string &) { return std::string("\x16\x03\x01 hello\r\n\r\n"); },
                     400}),
    [](const auto &info) { return std::string(info.param.Name); });

TEST_F(HttpTunnelEndTest, AnAbsoluteUrlAsAProxyForwardsItIsAccepted)
{
    StartServer();
    auto tunnel = OpenTunnel();
    EXPECT_EQ(Post(tunnel->PostUrl, TunnelForm(0, Batch(LoginMessage(1, "trader", "pw")))), 200);
    EXPECT_TRUE(tunnel->WaitForFrames(1, 1));
}

TEST_F(HttpTunnelEndTest, AContinueIsSentBeforeTheBodyWhenAsked)
{
    StartServer();
    auto tunnel = OpenTunnel();
    const std::string form = TunnelForm(0, Batch(LoginMessage(1, "trader", "pw")));
    TRawHttp http;
    ASSERT_TRUE(http.Connect(Server->HttpPort()));
    const std::string request = PostRequest(tunnel->PostPath(), form, "Expect: 100-continue\r\n");
    http.Send(request.substr(0, request.size() - form.size()));
    TRawResponse interim;
    ASSERT_TRUE(http.Read(interim));
    EXPECT_EQ(interim.Status, 100);
    http.Send(form);
    TRawResponse response;
    ASSERT_TRUE(http.Read(response));
    EXPECT_EQ(response.Status, 200);
    EXPECT_TRUE(tunnel->WaitForFrames(1, 1));
}

TEST_F(HttpTunnelEndTest, AnHttp10PostIsAnsweredAndTheConnectionClosed)
{
    StartServer();
    auto tunnel = OpenTunnel();
    const std::string form = TunnelForm(0, Batch(LoginMessage(1, "trader", "pw")));
    TRawHttp http;
    ASSERT_TRUE(http.Connect(Server->HttpPort()));
    http.Send("POST " + tunnel->PostPath() + " HTTP/1.0\r\nContent-Length: " + std::to_string(form.size()) +
              "\r\n\r\n" + form);
    TRawResponse response;
    ASSERT_TRUE(http.Read(response));
    EXPECT_EQ(response.Status, 200);
    EXPECT_NE(response.Head.find("Connection: close"), std::string::npos) << response.Head;
    EXPECT_TRUE(http.WaitForClose());
}

TEST_F(HttpTunnelEndTest, ClosingTheGetEndsTheSession)
{
    StartServer();
    auto tunnel = OpenTunnel();
    const std::string path = tunnel->PostPath();
    EXPECT_EQ(Post(path, TunnelForm(0, Batch(LoginMessage(1, "trader", "pw")))), 200);
    ASSERT_TRUE(tunnel->WaitForFrames(1, 1));
    ASSERT_EQ(Server->ConnectionCount(), 1);
    tunnel.reset();
    EXPECT_TRUE(WaitFor([&] { return Server->ConnectionCount() == 0; }));
    EXPECT_EQ(Server->TunnelEnd()->TunnelCount(), 0);
    EXPECT_NE(Logs.find("disconnected by the client"), std::string::npos) << Logs;
    EXPECT_EQ(Post(path, TunnelForm(1, Batch(PingMessage(7)))), 404);
}

TEST_F(HttpTunnelEndTest, AProtocolErrorInAPostEndsTheGet)
{
    StartServer();
    auto tunnel = OpenTunnel();
    EXPECT_EQ(Post(tunnel->PostPath(), TunnelForm(0, "not the preamble\r\n")), 200);
    EXPECT_TRUE(WaitFor([&] { return tunnel->Closed(); }, 20000));
    EXPECT_NE(Logs.find("protocol error: unexpected preamble line 'not the preamble'"), std::string::npos)
        << Logs;
    EXPECT_TRUE(WaitFor([&] { return Server->ConnectionCount() == 0; }));
}

TEST_F(HttpTunnelEndTest, FaultOptionsApplyToTunnelsToo)
{
    Options.CorruptAfter = 0.2;
    StartServer();
    auto tunnel = OpenTunnel();
    EXPECT_EQ(Post(tunnel->PostPath(), TunnelForm(0, Batch(LoginMessage(1, "trader", "pw")))), 200);
    ASSERT_TRUE(WaitFor(
        [&] {
            tunnel->Pump();
            return !tunnel->StreamError.empty();
        },
        20000));
    EXPECT_EQ(tunnel->StreamError, "data error");
}

TEST_F(HttpTunnelEndTest, StopClosesTheHttpPortAndEveryTunnel)
{
    StartServer();
    const quint16 port = Server->HttpPort();
    auto tunnel = OpenTunnel();
    TRawHttp idle;
    ASSERT_TRUE(idle.Connect(port));
    ASSERT_TRUE(WaitFor([&] { return Server->TunnelEnd()->HttpConnectionCount() >= 1; }));
    Server->Stop();
    EXPECT_TRUE(WaitFor([&] { return tunnel->Closed(); }));
    EXPECT_TRUE(idle.WaitForClose());
    TRawHttp late;
    late.Socket().connectToHost(QHostAddress(QHostAddress::LocalHost), port);
    EXPECT_TRUE(WaitFor([&] { return late.Socket().state() == QAbstractSocket::UnconnectedState; }));
    EXPECT_EQ(late.Socket().error(), QAbstractSocket::ConnectionRefusedError);
}

TEST_F(HttpTunnelEndTest, AnHttpPortInUseFailsTheListen)
{
    QTcpServer holder;
    ASSERT_TRUE(holder.listen(QHostAddress(QHostAddress::LocalHost), 0));
    Options.Port = 0;
    Options.HttpPort = holder.serverPort();
    TDemoServer server(Options);
    EXPECT_FALSE(server.Listen());
    EXPECT_TRUE(server.ErrorText().startsWith(QStringLiteral("HTTP port ")))
        << server.ErrorText().toStdString();
}

} // namespace
