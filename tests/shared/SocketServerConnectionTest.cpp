#include "EventLoop.h"
#include "SocketServerConnections.h"
#include "SocksProxies.h"
#include "TestAlertServer.h"
#include "WSocket.h"

#include <QHostAddress>
#include <QTcpServer>

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

namespace {

std::string ClosedPort()
{
    QTcpServer server;
    EXPECT_TRUE(server.listen(QHostAddress(QHostAddress::LocalHost), 0));
    const std::string port = std::to_string(server.serverPort());
    server.close();
    return port;
}

// A transport with its events recorded in order.
struct TRecordedTransport
{
    TRecordedTransport(const std::string &host, const std::string &port)
        : Transport(std::make_unique<TSocketServerConnection>(host, port))
    {
        Transport->OnSessionConnected = [this](TGenericServerConnection *sender) {
            EXPECT_EQ(sender, Transport.get());
            Events.push_back("connected");
        };
        Transport->OnSessionClosed = [this](TGenericServerConnection *) { Events.push_back("closed"); };
        Transport->OnDataAvailable = [this](TGenericServerConnection *sender) {
            std::string data;
            sender->Receive(data);
            Received += data;
            Events.push_back("data");
        };
    }
    // The transport may report from its destructor: it goes before the log.
    ~TRecordedTransport() { Transport.reset(); }
    int Count(const std::string &event) const
    {
        return static_cast<int>(std::count(Events.begin(), Events.end(), event));
    }

    std::unique_ptr<TSocketServerConnection> Transport;
    std::vector<std::string> Events;
    std::string Received;
};

} // namespace

class SocketServerConnectionDns : public ::testing::TestWithParam<const char *>
{
};

TEST_P(SocketServerConnectionDns, UnresolvableHostFailsAtOnceAndClosesAgainOnDestruction)
{
    TRecordedTransport t(GetParam(), "9339");
    EXPECT_FALSE(t.Transport->Connect());
    EXPECT_EQ(t.Transport->ErrorText, "DNS error");
    EXPECT_EQ(t.Events, std::vector<std::string>{"closed"}) << "raised before Connect returned";
    EXPECT_EQ(t.Transport->ConnectionState, scsConnecting);
    EXPECT_THROW(t.Transport->Send("x"), EAssertionFailed);
    ProcessPostedEvents();
    EXPECT_EQ(t.Events.size(), 1u);
    auto events = &t.Events;
    t.Transport.reset();
    EXPECT_EQ(*events, (std::vector<std::string>{"closed", "closed"}));
}

INSTANTIATE_TEST_SUITE_P(Hosts, SocketServerConnectionDns, ::testing::Values("", "no such host", "bad!host"),
                         [](const ::testing::TestParamInfo<const char *> &info) {
                             return std::string("Host") + std::to_string(info.index);
                         });

TEST(SocketServerConnection, OtherImmediateFailureNamesClassAndMessage)
{
    TRecordedTransport t("127.0.0.1", "not-a-port");
    EXPECT_FALSE(t.Transport->Connect());
    EXPECT_EQ(t.Transport->ErrorText,
              "TSocketServerConnection.Connect, ESocketException, connect: invalid port 'not-a-port'");
    EXPECT_EQ(t.Events, std::vector<std::string>{"closed"});
}

TEST(SocketServerConnection, SecondConnectIsAnAssertionFailure)
{
    TRecordedTransport t("no such host", "1");
    t.Transport->Connect();
    EXPECT_THROW(t.Transport->Connect(), EAssertionFailed);
}

TEST(SocketServerConnection, RefusedConnectionEndsInSessionClosedOnly)
{
    TRecordedTransport t("127.0.0.1", ClosedPort());
    EXPECT_TRUE(t.Transport->Connect());
    EXPECT_TRUE(t.Events.empty());
    ASSERT_TRUE(WaitFor([&] { return !t.Events.empty(); }));
    EXPECT_EQ(t.Events, std::vector<std::string>{"closed"});
    EXPECT_EQ(t.Transport->ConnectionState, scsClosed);
    t.Transport->Send("dropped");
    t.Transport->Close();
    t.Transport.reset();
    EXPECT_EQ(t.Events.size(), 1u) << "nothing more from Close or destruction";
}

class SocketServerConnectionSession : public ::testing::Test
{
protected:
    void Open()
    {
        T = std::make_unique<TRecordedTransport>("127.0.0.1", std::to_string(Server.Port()));
        ASSERT_TRUE(T->Transport->Connect());
        EXPECT_THROW(T->Transport->Send("too early"), EAssertionFailed);
        ASSERT_TRUE(WaitFor([&] { return T->Count("connected") == 1 && Server.ConnectionCount() == 1; }));
        EXPECT_EQ(T->Transport->ConnectionState, scsConnected);
    }

    TTestAlertServer Server;
    std::unique_ptr<TRecordedTransport> T;
};

TEST_F(SocketServerConnectionSession, ReceiveWithNothingWaitingYieldsEmpty)
{
    Open();
    std::string data = "stale";
    T->Transport->Receive(data);
    EXPECT_EQ(data, "");
}

TEST_F(SocketServerConnectionSession, SendGoesOutInOrder)
{
    Open();
    T->Transport->Send("one ");
    T->Transport->Send("two");
    ASSERT_TRUE(Server.Connection().WaitForRawBytes(7));
    EXPECT_EQ(Server.Connection().RawReceived(), "one two");
}

TEST_F(SocketServerConnectionSession, CloseRaisesSessionClosedInsideTheCallOnce)
{
    Open();
    T->Transport->Close();
    EXPECT_EQ(T->Events.back(), "closed");
    EXPECT_EQ(T->Transport->ConnectionState, scsClosed);
    T->Transport->Close();
    T->Transport->Send("dropped");
    EXPECT_EQ(T->Count("closed"), 1);
    ASSERT_TRUE(Server.Connection().WaitForDisconnect());
    EXPECT_EQ(Server.Connection().RawReceived(), "");
    auto events = &T->Events;
    T->Transport.reset();
    EXPECT_EQ(std::count(events->begin(), events->end(), "closed"), 1) << "destroying a closed one is silent";
}

TEST_F(SocketServerConnectionSession, CloseFromInsideDataAvailableReportsBeforeReturning)
{
    Open();
    std::vector<std::string> order;
    T->Transport->OnSessionClosed = [&](TGenericServerConnection *) { order.push_back("closed"); };
    T->Transport->OnDataAvailable = [&](TGenericServerConnection *sender) {
        sender->Close();
        order.push_back("close returned");
    };
    Server.Connection().SendRaw("x");
    ASSERT_TRUE(WaitFor([&] { return order.size() == 2; }));
    EXPECT_EQ(order, (std::vector<std::string>{"closed", "close returned"}));
}

TEST_F(SocketServerConnectionSession, RemoteCloseRaisesSessionClosedAndLaterSendsAreDropped)
{
    Open();
    Server.Connection().Close();
    ASSERT_TRUE(WaitFor([&] { return T->Count("closed") == 1; }));
    EXPECT_EQ(T->Transport->ConnectionState, scsClosed);
    T->Transport->Send("dropped");
    T->Transport.reset();
}

TEST_F(SocketServerConnectionSession, DestroyingAConnectedTransportRaisesSessionClosedOnce)
{
    Open();
    auto events = &T->Events;
    T->Transport.reset();
    EXPECT_EQ(std::count(events->begin(), events->end(), "closed"), 1);
    ASSERT_TRUE(Server.Connection().WaitForDisconnect());
}

class SocketServerConnectionReceive : public SocketServerConnectionSession,
                                      public ::testing::WithParamInterface<size_t>
{
};

TEST_P(SocketServerConnectionReceive, TakesEveryWaitingByte)
{
    Open();
    std::string sent;
    for (size_t i = 0; i < GetParam(); ++i)
        sent += static_cast<char>((i * 7) % 256);
    Server.Connection().SendRaw(sent);
    ASSERT_TRUE(WaitFor([&] { return T->Received.size() >= sent.size(); }));
    EXPECT_EQ(T->Received, sent);
}

INSTANTIATE_TEST_SUITE_P(Sizes, SocketServerConnectionReceive,
                         ::testing::Values(1, 4095, 4096, 4097, 8192, 100000, 3000000),
                         [](const ::testing::TestParamInfo<size_t> &info) {
                             return "Bytes" + std::to_string(info.param);
                         });

TEST(SocketServerConnection, SocksSettingsWithoutAPortConnectDirectly)
{
    TTestAlertServer server;
    TRecordedTransport t("127.0.0.1", std::to_string(server.Port()));
    t.Transport->SocksServer = "127.0.0.1";
    t.Transport->SocksLevel = "5";
    t.Transport->SocksPort = "";
    ASSERT_TRUE(t.Transport->Connect());
    ASSERT_TRUE(WaitFor([&] { return !t.Events.empty() && server.ConnectionCount() == 1; }));
    EXPECT_EQ(t.Events.front(), "connected");
    EXPECT_EQ(t.Transport->WSocket1->SocksServer, "");
}

TEST(SocketServerConnection, ThroughSocks5WithUsercode)
{
    TMicrosocks proxy("user", "password");
    std::string error;
    ASSERT_TRUE(proxy.Start(error)) << error;
    TTestAlertServer server;
    TRecordedTransport t("127.0.0.1", std::to_string(server.Port()));
    t.Transport->SocksServer = "127.0.0.1";
    t.Transport->SocksPort = std::to_string(proxy.Port());
    t.Transport->SocksLevel = "5";
    t.Transport->SocksUsercode = "user";
    t.Transport->SocksPassword = "password";
    ASSERT_TRUE(t.Transport->Connect());
    EXPECT_EQ(t.Transport->WSocket1->SocksAuthentication, socksAuthenticateUsercode);
    ASSERT_TRUE(WaitFor([&] { return !t.Events.empty() && server.ConnectionCount() == 1; }));
    ASSERT_EQ(t.Events.front(), "connected");
    t.Transport->Send("via proxy");
    ASSERT_TRUE(server.Connection().WaitForRawBytes(9));
    EXPECT_EQ(server.Connection().RawReceived(), "via proxy");
}

TEST(SocketServerConnection, ThroughSocks4)
{
    TSocks4Responder proxy;
    TTestAlertServer server;
    TRecordedTransport t("127.0.0.1", std::to_string(server.Port()));
    t.Transport->SocksServer = "127.0.0.1";
    t.Transport->SocksPort = std::to_string(proxy.Port());
    t.Transport->SocksLevel = "4";
    ASSERT_TRUE(t.Transport->Connect());
    ASSERT_TRUE(WaitFor([&] { return !t.Events.empty() && server.ConnectionCount() == 1; }));
    ASSERT_EQ(t.Events.front(), "connected");
    EXPECT_EQ(proxy.Requests().size(), 1u);
    server.Connection().SendRaw("hello");
    ASSERT_TRUE(WaitFor([&] { return t.Received == "hello"; }));
}
