// The client's own HTTP tunnel against the demo server's tunnel end: a whole
// conversation, through a real HTTP proxy, and through a proxy that loses
// the answers to POSTs.
#include "CuttingHttpProxy.h"
#include "DemoServer.h"
#include "HttpProxies.h"
#include "HttpTunnels.h"
#include "TalkWithServer.h"
#include "TunnelTestSupport.h"

#include <gtest/gtest.h>

#include <memory>

namespace {

class HttpTunnelClientTest : public ::testing::Test
{
protected:
    void StartServer()
    {
        Options.Port = 0;
        Options.HttpPort = 0;
        Options.Rate = 100;
        Server = std::make_unique<TDemoServer>(Options);
        Server->OnLog = [this](const std::string &line) { Logs += line + "\n"; };
        ASSERT_TRUE(Server->Listen()) << Server->ErrorText().toStdString();
        Server->TunnelEnd()->OnApplied = [this](int, std::int32_t sequence, const std::string &bytes) {
            Applied.push_back(sequence);
            AppliedBytes += bytes;
        };
    }

    std::string TunnelUrl() const
    {
        return "http://127.0.0.1:" + std::to_string(Server->HttpPort()) + "/tunnel";
    }

    TDemoServerOptions Options;
    std::unique_ptr<TDemoServer> Server;
    std::string Logs;
    std::vector<std::int32_t> Applied;
    std::string AppliedBytes;
};

// A conversation over the tunnel as the application would run one: login,
// subscription, category, then pings.
class TTunnelConversation
{
public:
    TTunnelConversation(const std::string &url, const std::string &proxy = "", int proxyPort = 0)
    {
        Talk.UseHttpTunnel = 1;
        Talk.TunnelUrl = url;
        Talk.Proxy = proxy;
        Talk.ProxyPort = proxyPort;
        Talk.SendTimeout = 30000;
        Talk.OnDebugMessage = [this](const std::string &text) { Debug += text + "\n"; };
        Talk.SendMessage(
            MakeMessage({"command", "login", "username", "trader", "password", "pw", "session_id", ""}),
            false, [this](bool success, const std::string &body, const TMessageToServer &) {
                LoginReply = success ? body : "<failed>";
            });
        Talk.SendMessage(MakeMessage({"command", "listen_for_alerts"}), true,
                         [this](bool success, const std::string &body, const TMessageToServer &) {
                             if (success)
                                 Alerts.push_back(body);
                         });
        Talk.SendMessage(MakeMessage({"command", "add_alert_category", "category", "CORVANE-main"}), false,
                         nullptr);
        Talk.Connect();
    }

    void Ping()
    {
        Talk.SendMessage(MakeMessage({"command", "ping", "response", "1"}), false,
                         [this](bool success, const std::string &body, const TMessageToServer &) {
                             if (success && body == "pong")
                                 ++Pongs;
                             else
                                 ++FailedPings;
                         });
    }

    TTalkWithServer Talk;
    std::string LoginReply;
    std::vector<std::string> Alerts;
    int Pongs = 0;
    int FailedPings = 0;
    std::string Debug;
};

TEST_F(HttpTunnelClientTest, AWholeConversationRunsOverTheTunnel)
{
    StartServer();
    TTunnelConversation conversation(TunnelUrl());
    ASSERT_TRUE(WaitFor([&] { return !conversation.LoginReply.empty(); }, 30000)) << Logs;
    EXPECT_EQ(conversation.LoginReply.rfind("SESSION ID\r\n", 0), 0u) << conversation.LoginReply;
    ASSERT_TRUE(WaitFor([&] { return conversation.Alerts.size() >= 20; }, 30000)) << Logs;
    for (const std::string &alert : conversation.Alerts)
        EXPECT_EQ(CheckAlertText(alert), "") << alert;
    for (int i = 1; i <= 5; ++i) {
        conversation.Ping();
        ASSERT_TRUE(WaitFor([&] { return conversation.Pongs == i; }, 30000)) << i;
    }
    EXPECT_EQ(conversation.Talk.State(), TTalkWithServer::Connected);
    EXPECT_EQ(conversation.Debug, "");
    EXPECT_NE(Logs.find("connected through the HTTP tunnel"), std::string::npos) << Logs;
}

TEST_F(HttpTunnelClientTest, ServerSideCloseEndsTheClientsConversation)
{
    StartServer();
    TTunnelConversation conversation(TunnelUrl());
    ASSERT_TRUE(WaitFor([&] { return !conversation.LoginReply.empty(); }, 30000)) << Logs;
    Server->Stop();
    EXPECT_TRUE(WaitFor([&] { return conversation.Talk.State() == TTalkWithServer::Closed; }, 30000));
}

TEST_F(HttpTunnelClientTest, AConversationRunsThroughARealHttpProxy)
{
    StartServer();
    TTinyproxy proxy;
    std::string error;
    ASSERT_TRUE(proxy.Start(error)) << error;
    TTunnelConversation conversation(TunnelUrl(), "127.0.0.1", proxy.Port());
    ASSERT_TRUE(WaitFor([&] { return !conversation.LoginReply.empty(); }, 30000)) << Logs;
    EXPECT_EQ(conversation.LoginReply.rfind("SESSION ID\r\n", 0), 0u) << conversation.LoginReply;
    ASSERT_TRUE(WaitFor([&] { return conversation.Alerts.size() >= 10; }, 30000)) << Logs;
    conversation.Ping();
    EXPECT_TRUE(WaitFor([&] { return conversation.Pongs == 1; }, 30000));
}

TEST_F(HttpTunnelClientTest, AConversationGoesOnWhenPostAnswersAreLost)
{
    StartServer();
    TCuttingHttpProxy proxy(Server->HttpPort());
    proxy.CutLimit = 20;
    ASSERT_TRUE(proxy.Listen());
    TTunnelConversation conversation(TunnelUrl(), "127.0.0.1", proxy.Port());
    ASSERT_TRUE(WaitFor([&] { return !conversation.LoginReply.empty(); }, 30000)) << Logs;
    EXPECT_EQ(conversation.LoginReply.rfind("SESSION ID\r\n", 0), 0u) << conversation.LoginReply;
    for (int i = 1; proxy.Cuts() < proxy.CutLimit && i <= 100; ++i) {
        conversation.Ping();
        ASSERT_TRUE(WaitFor([&] { return conversation.Pongs == i; }, 30000)) << i << "\n" << Logs;
    }
    EXPECT_EQ(proxy.Cuts(), proxy.CutLimit);
    const std::size_t alerts = conversation.Alerts.size();
    EXPECT_TRUE(WaitFor([&] { return conversation.Alerts.size() > alerts; }, 30000));
    EXPECT_EQ(conversation.FailedPings, 0);
    EXPECT_EQ(conversation.Talk.State(), TTalkWithServer::Connected);
    // Every POST was applied once, in order.
    for (std::size_t i = 0; i < Applied.size(); ++i)
        ASSERT_EQ(Applied[i], static_cast<std::int32_t>(i));
    EXPECT_EQ(Logs.find("protocol error"), std::string::npos) << Logs;
}

// The tunnel transport alone, so the test knows every byte the client sent
// and can compare it with what the server applied.
TEST_F(HttpTunnelClientTest, TwoHundredLostAnswersLeaveTheStreamExactlyOnceAndInOrder)
{
    StartServer();
    TCuttingHttpProxy proxy(Server->HttpPort());
    proxy.CutLimit = 200;
    ASSERT_TRUE(proxy.Listen());

    THttpTunnel tunnel(TunnelUrl());
    tunnel.Proxy = "127.0.0.1";
    tunnel.ProxyPort = proxy.Port();
    tunnel.SendTimeout = 30000;
    bool connected = false;
    bool closed = false;
    TTestFrameReader reader;
    std::vector<TTestFrame> frames;
    std::string streamError;
    tunnel.OnSessionConnected = [&](TGenericServerConnection *) { connected = true; };
    tunnel.OnSessionClosed = [&](TGenericServerConnection *) { closed = true; };
    tunnel.OnDataAvailable = [&](TGenericServerConnection *) {
        std::string data;
        tunnel.Receive(data);
        try {
            for (TTestFrame &frame : reader.Feed(data))
                frames.push_back(std::move(frame));
        } catch (const EZLibError &error) {
            streamError = error.Message();
        }
    };
    auto count = [&](int id) {
        return std::count_if(frames.begin(), frames.end(), [id](const TTestFrame &f) { return f.Id == id; });
    };
    ASSERT_TRUE(tunnel.Connect());
    ASSERT_TRUE(WaitFor([&] { return connected || closed; }, 30000));
    ASSERT_TRUE(connected);

    TTestSender sender;
    std::string sent;
    auto send = [&](const std::string &bytes) {
        sent += bytes;
        tunnel.Send(bytes);
    };
    send(TestPreamble() + sender.Compress(LoginMessage(1, "trader", "pw") + SubscribeMessages(8)));
    ASSERT_TRUE(WaitFor([&] { return count(1) == 1; }, 30000)) << Logs;

    // One ping per POST, each answered before the next goes out.
    int pings = 0;
    while (proxy.Cuts() < proxy.CutLimit && pings < 2 * proxy.CutLimit) {
        send(sender.Compress(PingMessage(7)));
        ++pings;
        ASSERT_TRUE(WaitFor([&] { return count(7) == pings || closed; }, 30000)) << pings;
        ASSERT_FALSE(closed) << pings << "\n" << Logs;
    }
    EXPECT_EQ(proxy.Cuts(), 200);
    // The last POST's repeat is answered before the stream is compared.
    ASSERT_TRUE(WaitFor([&] { return tunnel.SendState == hssIdle && tunnel.SendBuffer.empty(); }, 30000));
    // Every cut POST came again (from the HTTP client itself or from the
    // tunnel's retry) and was answered without being applied.
    std::size_t repeats = 0;
    for (std::size_t at = Logs.find("was applied before"); at != std::string::npos;
         at = Logs.find("was applied before", at + 1))
        ++repeats;
    EXPECT_EQ(repeats, 200u);

    EXPECT_EQ(AppliedBytes, sent);
    ASSERT_EQ(Applied.size(), static_cast<std::size_t>(tunnel.Sequence));
    for (std::size_t i = 0; i < Applied.size(); ++i)
        ASSERT_EQ(Applied[i], static_cast<std::int32_t>(i));
    EXPECT_EQ(proxy.Posts(), static_cast<int>(Applied.size()) + 200);
    EXPECT_EQ(count(1), 1);
    EXPECT_EQ(count(7), pings);
    EXPECT_EQ(streamError, "");
    // The session goes on: alerts keep coming.
    const auto alerts = count(8);
    EXPECT_TRUE(WaitFor([&] { return count(8) > alerts; }, 30000));
    EXPECT_FALSE(closed);
    EXPECT_EQ(Logs.find("protocol error"), std::string::npos) << Logs;
}

} // namespace
