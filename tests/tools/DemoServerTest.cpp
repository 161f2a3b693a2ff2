#include "DemoServer.h"
#include "DemoTestClient.h"

#include <gtest/gtest.h>

#include <memory>

namespace {

// The server in this process on a port chosen at run time, and test clients
// over loopback.
class DemoServerTest : public ::testing::Test
{
protected:
    void StartServer()
    {
        Options.Port = 0;
        Server = std::make_unique<TDemoServer>(Options);
        Server->OnLog = [this](const std::string &line) { Logs += line + "\n"; };
        ASSERT_TRUE(Server->Listen()) << Server->ErrorText().toStdString();
        ASSERT_NE(Server->Port(), 0);
    }

    std::unique_ptr<TTestClient> Connect()
    {
        auto client = std::make_unique<TTestClient>();
        EXPECT_TRUE(client->Connect(Server->Port()));
        return client;
    }

    // Logs in, subscribes and waits for the login reply; returns the reply body.
    std::string LogIn(TTestClient &client, const std::string &sessionId = "")
    {
        client.Send(LoginMessage(1, "trader", "pw", sessionId) + SubscribeMessages(8));
        if (!client.WaitForFrames(1, 1))
            return "<no reply>";
        return client.FramesWithId(1).front().Body;
    }

    static std::string SessionIdOf(const std::string &reply)
    {
        const std::string head = "SESSION ID\r\n";
        if (reply.rfind(head, 0) != 0 || reply.size() < head.size() + 2)
            return "";
        return reply.substr(head.size(), reply.size() - head.size() - 2);
    }

    TDemoServerOptions Options;
    std::unique_ptr<TDemoServer> Server;
    std::string Logs;
};

TEST_F(DemoServerTest, LoginPingAndAlertsOverLoopback)
{
    Options.Rate = 200;
    StartServer();
    auto client = Connect();
    client->Send(LoginMessage(1, "trader", "pw") + SubscribeMessages(8) + PingMessage(7));
    ASSERT_TRUE(client->WaitForFrames(8, 20));
    ASSERT_EQ(client->FramesWithId(1).size(), 1u);
    EXPECT_FALSE(SessionIdOf(client->FramesWithId(1).front().Body).empty());
    ASSERT_EQ(client->FramesWithId(7).size(), 1u);
    EXPECT_EQ(client->FramesWithId(7).front().Body, "pong");
    for (const TTestFrame &frame : client->Frames) {
        EXPECT_TRUE(frame.Id == 1 || frame.Id == 7 || frame.Id == 8) << frame.Id;
        if (frame.Id == 8) {
            EXPECT_EQ(CheckAlertText(frame.Body), "") << frame.Body;
        }
    }
    // The replies come before any alert.
    EXPECT_EQ(client->Frames[0].Id, 1);
    EXPECT_NE(Logs.find("login of 'trader' accepted"), std::string::npos) << Logs;
    EXPECT_EQ(Logs.find("pw"), std::string::npos) << Logs;
}

TEST_F(DemoServerTest, EachClientHasItsOwnSession)
{
    Options.Rate = 200;
    StartServer();
    auto first = Connect();
    auto second = Connect();
    const std::string firstId = SessionIdOf(LogIn(*first));
    const std::string secondId = SessionIdOf(LogIn(*second));
    ASSERT_FALSE(firstId.empty());
    ASSERT_FALSE(secondId.empty());
    EXPECT_NE(firstId, secondId);
    EXPECT_TRUE(first->WaitForFrames(8, 5));
    EXPECT_TRUE(second->WaitForFrames(8, 5));
    EXPECT_EQ(Server->ConnectionCount(), 2);
}

TEST_F(DemoServerTest, ANewConnectionResumesTheSession)
{
    StartServer();
    auto first = Connect();
    const std::string issued = SessionIdOf(LogIn(*first));
    ASSERT_FALSE(issued.empty());
    first.reset();

    auto second = Connect();
    EXPECT_EQ(SessionIdOf(LogIn(*second, issued)), issued);
    EXPECT_NE(Logs.find("resumed session " + issued), std::string::npos) << Logs;
}

TEST_F(DemoServerTest, AFastStreamStaysWellFormed)
{
    Options.Rate = 1000;
    StartServer();
    auto client = Connect();
    ASSERT_FALSE(SessionIdOf(LogIn(*client)).empty());
    // About two seconds of alerts at this rate.
    ASSERT_TRUE(client->WaitForFrames(8, 2000, 60000)) << client->FramesWithId(8).size();
    EXPECT_EQ(client->StreamError, "");
    std::size_t checked = 0;
    for (const TTestFrame &frame : client->FramesWithId(8)) {
        ASSERT_EQ(CheckAlertText(frame.Body), "") << frame.Body;
        ++checked;
    }
    EXPECT_GE(checked, 2000u);
}

TEST_F(DemoServerTest, ClosedClientsAreForgotten)
{
    StartServer();
    auto client = Connect();
    ASSERT_TRUE(WaitFor([&] { return Server->ConnectionCount() == 1; }));
    client.reset();
    EXPECT_TRUE(WaitFor([&] { return Server->ConnectionCount() == 0; }));
    EXPECT_NE(Logs.find("disconnected by the client"), std::string::npos) << Logs;
}

TEST_F(DemoServerTest, DropAfterDropsEveryConnection)
{
    Options.DropAfter = 0.2;
    StartServer();
    // Not waiting for "connected" on the client side: on a slow machine the
    // drop may come first.
    TTestClient first, second;
    first.Socket().connectToHost(QHostAddress(QHostAddress::LocalHost), Server->Port());
    second.Socket().connectToHost(QHostAddress(QHostAddress::LocalHost), Server->Port());
    EXPECT_TRUE(WaitFor([&] { return Logs.find("#2 ") != std::string::npos; }));
    EXPECT_TRUE(first.WaitForClose());
    EXPECT_TRUE(second.WaitForClose());
    EXPECT_TRUE(WaitFor([&] { return Server->ConnectionCount() == 0; }));
    EXPECT_NE(Logs.find("#1 127.0.0.1"), std::string::npos) << Logs;
    EXPECT_NE(Logs.find("dropped by the server (--drop-after)"), std::string::npos) << Logs;
    EXPECT_EQ(Logs.find("disconnected by the client"), std::string::npos) << Logs;
}

TEST_F(DemoServerTest, CorruptAfterBreaksTheStream)
{
    Options.CorruptAfter = 0.2;
    StartServer();
    auto client = Connect();
    client->Send(LoginMessage(1, "trader", "pw") + SubscribeMessages(8));
    ASSERT_TRUE(WaitFor(
        [&] {
            client->Pump();
            return !client->StreamError.empty();
        },
        20000));
    EXPECT_EQ(client->StreamError, "data error");
    // Whatever came before the garbage was intact.
    for (const TTestFrame &frame : client->FramesWithId(1))
        EXPECT_EQ(frame.Body.rfind("SESSION ID\r\n", 0), 0u);
    EXPECT_NE(Logs.find("--corrupt-after"), std::string::npos) << Logs;
}

TEST_F(DemoServerTest, NoPingRepliesAnswersTheLoginButNoPing)
{
    Options.NoPingReplies = true;
    StartServer();
    auto client = Connect();
    // The login is handled after the ping, so its reply shows the ping was read.
    client->Send(PingMessage(5) + LoginMessage(1, "trader", "pw"));
    ASSERT_TRUE(client->WaitForFrames(1, 1));
    client->Send(PingMessage(6) + PingMessage(7) + LoginMessage(2, "trader", "pw"));
    ASSERT_TRUE(client->WaitForFrames(2, 1));
    EXPECT_TRUE(client->FramesWithId(5).empty());
    EXPECT_TRUE(client->FramesWithId(6).empty());
    EXPECT_TRUE(client->FramesWithId(7).empty());
}

TEST_F(DemoServerTest, StopLoginAnswersWithTheMessage)
{
    Options.StopLogin = true;
    Options.StopLoginMessage = "Closed for maintenance";
    StartServer();
    auto client = Connect();
    EXPECT_EQ(LogIn(*client), "STOP\r\nClosed for maintenance\r\n");
}

TEST_F(DemoServerTest, ProtocolErrorDropsTheConnection)
{
    StartServer();
    auto client = Connect();
    const std::string request = "GET / HTTP/1.1\r\n\r\n";
    client->Socket().write(request.data(), static_cast<qint64>(request.size()));
    EXPECT_TRUE(client->WaitForClose());
    EXPECT_NE(Logs.find("protocol error: unexpected preamble line 'GET / HTTP/1.1'"), std::string::npos)
        << Logs;
}

TEST_F(DemoServerTest, StopDropsClientsAndClosesThePort)
{
    StartServer();
    const quint16 port = Server->Port();
    auto client = Connect();
    ASSERT_TRUE(WaitFor([&] { return Server->ConnectionCount() == 1; }));
    Server->Stop();
    EXPECT_TRUE(client->WaitForClose());
    EXPECT_EQ(Server->ConnectionCount(), 0);

    QTcpSocket late;
    late.connectToHost(QHostAddress(QHostAddress::LocalHost), port);
    EXPECT_TRUE(WaitFor([&] { return late.state() == QAbstractSocket::UnconnectedState; }));
    EXPECT_EQ(late.error(), QAbstractSocket::ConnectionRefusedError);
}

} // namespace
