#include "WSocket.h"
#include "ErrorDisplay.h"
#include "EventLoop.h"
#include "SocksProxies.h"

#include <QHostAddress>
#include <QTcpServer>
#include <QTcpSocket>

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

namespace {

const std::string ResolvePrefix = "connect: WSocketResolveHost: Cannot convert host address";

// The far end: accepts on 127.0.0.1 at a run-time port and keeps what it reads.
class TPeer : public QObject
{
public:
    TPeer()
    {
        connect(&Server, &QTcpServer::newConnection, this, [this] {
            while (QTcpSocket *socket = Server.nextPendingConnection()) {
                Sockets.push_back(socket);
                connect(socket, &QTcpSocket::readyRead, this,
                        [this, socket] { Received += socket->readAll().toStdString(); });
                connect(socket, &QTcpSocket::disconnected, this, [this] { ++Disconnects; });
            }
        });
        EXPECT_TRUE(Server.listen(QHostAddress(QHostAddress::LocalHost), 0));
    }

    std::string Port() const { return std::to_string(Server.serverPort()); }
    QTcpSocket *Last() const { return Sockets.empty() ? nullptr : Sockets.back(); }
    void Write(const std::string &bytes) { Last()->write(bytes.data(), static_cast<qint64>(bytes.size())); }

    QTcpServer Server;
    std::vector<QTcpSocket *> Sockets;
    std::string Received;
    int Disconnects = 0;
};

// Records the events in order, "connected:<code>", "closed:<code>", "data:<code>".
struct TEventLog
{
    explicit TEventLog(TWSocket &socket)
    {
        socket.OnSessionConnected = [this](int code) {
            Events.push_back("connected:" + std::to_string(code));
        };
        socket.OnSessionClosed = [this](int code) { Events.push_back("closed:" + std::to_string(code)); };
        socket.OnDataAvailable = [this](int code) { Events.push_back("data:" + std::to_string(code)); };
    }
    bool Has(const std::string &prefix) const
    {
        for (const std::string &event : Events)
            if (event.rfind(prefix, 0) == 0)
                return true;
        return false;
    }
    std::vector<std::string> Events;
};

std::string ReceiveAll(TWSocket &socket, int bufferSize = 4096)
{
    std::string all;
    std::string buffer(static_cast<size_t>(bufferSize), '\0');
    for (;;) {
        const int count = socket.Receive(buffer.data(), bufferSize);
        if (count <= 0)
            break;
        all.append(buffer, 0, static_cast<size_t>(count));
    }
    return all;
}

std::uint16_t ClosedPort()
{
    QTcpServer server;
    EXPECT_TRUE(server.listen(QHostAddress(QHostAddress::LocalHost), 0));
    const std::uint16_t port = server.serverPort();
    server.close();
    return port;
}

} // namespace

TEST(WSocket, ConnectsExchangesDataAndReportsRemoteClose)
{
    TPeer peer;
    TWSocket socket;
    TEventLog log(socket);
    socket.Addr = "127.0.0.1";
    socket.Port = peer.Port();
    socket.Connect();
    EXPECT_TRUE(log.Events.empty()) << "no event from inside Connect";
    EXPECT_EQ(socket.State(), wsConnecting);

    ASSERT_TRUE(WaitFor([&] { return log.Has("connected") && peer.Last(); }));
    EXPECT_EQ(log.Events.front(), "connected:0");
    EXPECT_EQ(socket.State(), wsConnected);

    peer.Write("hello");
    ASSERT_TRUE(WaitFor([&] { return log.Has("data"); }));
    EXPECT_EQ(ReceiveAll(socket), "hello");
    char byte;
    EXPECT_LE(socket.Receive(&byte, 1), 0) << "drained";

    EXPECT_EQ(socket.Send("ping"), 4);
    ASSERT_TRUE(WaitFor([&] { return peer.Received == "ping"; }));

    peer.Last()->disconnectFromHost();
    ASSERT_TRUE(WaitFor([&] { return log.Has("closed"); }));
    EXPECT_EQ(log.Events.back(), "closed:0");
    EXPECT_EQ(socket.State(), wsClosed);
    EXPECT_EQ(socket.Send("late"), -1);
}

TEST(WSocket, CloseRaisesSessionClosedInsideTheCallOnlyOnce)
{
    TPeer peer;
    TWSocket socket;
    TEventLog log(socket);
    socket.Addr = "127.0.0.1";
    socket.Port = peer.Port();
    socket.Connect();
    ASSERT_TRUE(WaitFor([&] { return socket.State() == wsConnected && peer.Last(); }));

    socket.Close();
    EXPECT_EQ(log.Events, (std::vector<std::string>{"connected:0", "closed:0"}));
    socket.Close();
    EXPECT_EQ(log.Events.size(), 2u);
    ASSERT_TRUE(WaitFor([&] { return peer.Disconnects == 1; }));
    ProcessPostedEvents();
    EXPECT_EQ(log.Events.size(), 2u) << "the socket's own late signals are not events";
}

TEST(WSocket, BytesSentJustBeforeCloseStillArrive)
{
    TPeer peer;
    TWSocket socket;
    TEventLog log(socket);
    socket.Addr = "127.0.0.1";
    socket.Port = peer.Port();
    socket.Connect();
    ASSERT_TRUE(WaitFor([&] { return socket.State() == wsConnected && peer.Last(); }));
    const std::string big(1 << 20, 'x');
    socket.Send(big);
    socket.Close();
    ASSERT_TRUE(WaitFor([&] { return peer.Received.size() == big.size() || peer.Disconnects > 0; }));
    ASSERT_TRUE(WaitFor([&] { return peer.Disconnects > 0; }));
    EXPECT_EQ(peer.Received.size(), big.size());
}

TEST(WSocket, CloseWhileConnectingEndsTheAttemptQuietly)
{
    TPeer peer;
    TWSocket socket;
    TEventLog log(socket);
    socket.Addr = "127.0.0.1";
    socket.Port = peer.Port();
    socket.Connect();
    socket.Close();
    EXPECT_EQ(log.Events, (std::vector<std::string>{"closed:0"}));
    // Give the network every chance to report the finished handshake.
    ASSERT_TRUE(WaitFor([&] { return !peer.Sockets.empty(); }));
    ProcessPostedEvents();
    EXPECT_EQ(log.Events, (std::vector<std::string>{"closed:0"}));
}

TEST(WSocket, RefusedConnectionIsAFailedAttemptReportedLater)
{
    TWSocket socket;
    TEventLog log(socket);
    socket.Addr = "127.0.0.1";
    socket.Port = std::to_string(ClosedPort());
    socket.Connect();
    EXPECT_TRUE(log.Events.empty());
    ASSERT_TRUE(WaitFor([&] { return log.Has("closed"); }));
    EXPECT_EQ(log.Events, (std::vector<std::string>{"connected:" + std::to_string(WSAECONNREFUSED),
                                                    "closed:" + std::to_string(WSAECONNREFUSED)}));
    EXPECT_EQ(socket.State(), wsClosed);
}

TEST(WSocket, LookupThatFailsLaterIsAFailedAttempt)
{
    TWSocket socket;
    TEventLog log(socket);
    socket.Addr = "corvane-no-such-host.invalid";
    socket.Port = "9339";
    socket.Connect();
    EXPECT_TRUE(log.Events.empty());
    ASSERT_TRUE(WaitFor([&] { return log.Has("closed"); }, 60000));
    ASSERT_EQ(log.Events.size(), 2u);
    EXPECT_EQ(log.Events[0], "connected:" + std::to_string(WSAHOST_NOT_FOUND));
    EXPECT_EQ(log.Events[1], "closed:" + std::to_string(WSAHOST_NOT_FOUND));
}

struct THostCase
{
    const char *Name;
    std::string Host;
    bool Acceptable;
};

class WSocketHostName : public ::testing::TestWithParam<THostCase>
{
};

TEST_P(WSocketHostName, IsRejectedAtOnceOnlyWhenNoLookupCouldSucceed)
{
    const THostCase &row = GetParam();
    EXPECT_EQ(IsAcceptableHostName(row.Host), row.Acceptable);
    if (row.Acceptable)
        return;
    TWSocket socket;
    TEventLog log(socket);
    socket.Addr = row.Host;
    socket.Port = "9339";
    try {
        socket.Connect();
        FAIL() << "no exception";
    } catch (const ESocketException &e) {
        EXPECT_EQ(e.ClassName(), "ESocketException");
        EXPECT_EQ(e.Message().substr(0, ResolvePrefix.size()), ResolvePrefix);
    }
    EXPECT_EQ(socket.State(), wsClosed);
    ProcessPostedEvents();
    EXPECT_TRUE(log.Events.empty());
}

INSTANTIATE_TEST_SUITE_P(
    Table, WSocketHostName,
    ::testing::Values(
        THostCase{"Empty", "", false}, THostCase{"Blank", " ", false},
        THostCase{"Spaces", "no such host", false}, THostCase{"Punctuation", "host!", false},
        THostCase{"EmptyLabel", "a..b", false}, THostCase{"LeadingHyphen", "-a.example", false},
        THostCase{"TrailingHyphen", "a-.example", false},
        THostCase{"LabelOf64", std::string(64, 'a') + ".example", false},
        THostCase{"NameOf254",
                  std::string(50, 'a') + "." + std::string(50, 'b') + "." + std::string(50, 'c') + "." +
                      std::string(50, 'd') + "." + std::string(51, 'e'),
                  false},
        THostCase{"OnlyDot", ".", false}, THostCase{"Colon", "host:1", false},
        THostCase{"IPv4", "127.0.0.1", true}, THostCase{"IPv6", "::1", true},
        THostCase{"Localhost", "localhost", true}, THostCase{"Dotted", "alerts.example.com", true},
        THostCase{"Underscore", "my_host.local", true}, THostCase{"AbsoluteName", "example.com.", true},
        THostCase{"LabelOf63", std::string(63, 'a') + ".example", true},
        THostCase{"International",
                  "b\xc3\xbc"
                  "cher.example",
                  true}),
    [](const ::testing::TestParamInfo<THostCase> &info) { return std::string(info.param.Name); });

struct TBadSettingCase
{
    const char *Name;
    std::string Port;
    std::string SocksServer;
    std::string SocksPort;
    std::string SocksLevel;
};

class WSocketBadSetting : public ::testing::TestWithParam<TBadSettingCase>
{
};

TEST_P(WSocketBadSetting, RaisesAnExceptionThatIsNotAResolveFailure)
{
    const TBadSettingCase &row = GetParam();
    TWSocket socket;
    TEventLog log(socket);
    socket.Addr = "127.0.0.1";
    socket.Port = row.Port;
    socket.SocksServer = row.SocksServer;
    socket.SocksPort = row.SocksPort;
    socket.SocksLevel = row.SocksLevel;
    try {
        socket.Connect();
        FAIL() << "no exception";
    } catch (const ESocketException &e) {
        EXPECT_NE(e.Message().substr(0, ResolvePrefix.size()), ResolvePrefix) << e.Message();
        EXPECT_FALSE(e.Message().empty());
    }
    EXPECT_EQ(socket.State(), wsClosed);
    EXPECT_TRUE(log.Events.empty());
}

INSTANTIATE_TEST_SUITE_P(Table, WSocketBadSetting,
                         ::testing::Values(TBadSettingCase{"EmptyPort", "", "", "", ""},
                                           TBadSettingCase{"TextPort", "http", "", "", ""},
                                           TBadSettingCase{"PortZero", "0", "", "", ""},
                                           TBadSettingCase{"PortTooBig", "65536", "", "", ""},
                                           TBadSettingCase{"NegativePort", "-1", "", "", ""},
                                           TBadSettingCase{"SocksLevel3", "80", "127.0.0.1", "1080", "3"},
                                           TBadSettingCase{"SocksPortText", "80", "127.0.0.1", "socks", "5"}),
                         [](const ::testing::TestParamInfo<TBadSettingCase> &info) {
                             return std::string(info.param.Name);
                         });

TEST(WSocket, ConnectWhileInUseRaises)
{
    TPeer peer;
    TWSocket socket;
    socket.Addr = "127.0.0.1";
    socket.Port = peer.Port();
    socket.Connect();
    EXPECT_THROW(socket.Connect(), ESocketException);
    EXPECT_EQ(socket.State(), wsConnecting);
}

TEST(WSocket, ReceiveHandsOutWaitingBytesInPieces)
{
    TPeer peer;
    TWSocket socket;
    std::string received;
    socket.OnDataAvailable = [&](int) { received += ReceiveAll(socket, 100); };
    socket.Addr = "127.0.0.1";
    socket.Port = peer.Port();
    socket.Connect();
    ASSERT_TRUE(WaitFor([&] { return socket.State() == wsConnected && peer.Last(); }));
    std::string sent;
    for (int i = 0; i < 10000; ++i)
        sent += static_cast<char>(i % 251);
    peer.Write(sent);
    ASSERT_TRUE(WaitFor([&] { return received.size() >= sent.size(); }));
    EXPECT_EQ(received, sent);
    char buffer[4];
    EXPECT_LE(socket.Receive(buffer, 0), 0);
    EXPECT_LE(socket.Receive(nullptr, 4), 0);
}

TEST(WSocket, DestructionClosesTheSocketWithoutEvents)
{
    TPeer peer;
    std::vector<std::string> events;
    {
        TWSocket socket;
        TEventLog log(socket);
        socket.Addr = "127.0.0.1";
        socket.Port = peer.Port();
        socket.Connect();
        ASSERT_TRUE(WaitFor([&] { return socket.State() == wsConnected && peer.Last(); }));
        log.Events.clear();
        socket.OnSessionClosed = [&](int) { events.push_back("closed"); };
    }
    EXPECT_TRUE(events.empty());
    ASSERT_TRUE(WaitFor([&] { return peer.Disconnects == 1; }));
}

TEST(WSocket, MayBeDestroyedFromInsideItsOwnEvent)
{
    TPeer peer;
    auto socket = std::make_unique<TWSocket>();
    socket->OnDataAvailable = [&](int) { socket.reset(); };
    socket->Addr = "127.0.0.1";
    socket->Port = peer.Port();
    socket->Connect();
    ASSERT_TRUE(WaitFor([&] { return socket->State() == wsConnected && peer.Last(); }));
    peer.Write("bye");
    ASSERT_TRUE(WaitFor([&] { return !socket; }));
    ASSERT_TRUE(WaitFor([&] { return peer.Disconnects == 1; }));
}

TEST(WSocket, ExceptionFromAHandlerGoesToTheErrorDisplay)
{
    std::vector<std::string> shown;
    SetExceptionDisplayForTesting([&](const std::string &text) { shown.push_back(text); });
    TWSocket socket;
    socket.OnSessionClosed = [](int) { throw Exception("handler failed"); };
    socket.Addr = "127.0.0.1";
    socket.Port = std::to_string(ClosedPort());
    socket.Connect();
    ASSERT_TRUE(WaitFor([&] { return !shown.empty(); }));
    SetExceptionDisplayForTesting(nullptr);
    EXPECT_EQ(shown, std::vector<std::string>{"handler failed"});
}

// Through a real SOCKS 5 proxy (microsocks) and the in-test SOCKS 4 responder.
class WSocketSocks : public ::testing::Test
{
protected:
    void ConnectThrough(TWSocket &socket, std::uint16_t proxyPort, const std::string &level)
    {
        socket.Addr = "127.0.0.1";
        socket.Port = Peer.Port();
        socket.SocksServer = "127.0.0.1";
        socket.SocksPort = std::to_string(proxyPort);
        socket.SocksLevel = level;
        socket.Connect();
    }

    void ExpectWorkingSession(TWSocket &socket, TEventLog &log)
    {
        ASSERT_TRUE(WaitFor([&] { return log.Has("closed") || (log.Has("connected") && Peer.Last()); }));
        ASSERT_EQ(log.Events.front(), "connected:0");
        socket.Send("through");
        ASSERT_TRUE(WaitFor([&] { return Peer.Received == "through"; }));
        Peer.Write("back");
        ASSERT_TRUE(WaitFor([&] { return log.Has("data"); }));
        std::string received = ReceiveAll(socket);
        if (received != "back") {
            ASSERT_TRUE(WaitFor([&] { return (received += ReceiveAll(socket)) == "back"; }));
        }
    }

    TPeer Peer;
};

TEST_F(WSocketSocks, Socks5WithUsercodeAuthentication)
{
    TMicrosocks proxy("user", "password");
    std::string error;
    ASSERT_TRUE(proxy.Start(error)) << error;
    TWSocket socket;
    TEventLog log(socket);
    socket.SocksUsercode = "user";
    socket.SocksPassword = "password";
    socket.SocksAuthentication = socksAuthenticateUsercode;
    ConnectThrough(socket, proxy.Port(), "5");
    ExpectWorkingSession(socket, log);
}

TEST_F(WSocketSocks, Socks5WithoutAuthentication)
{
    TMicrosocks proxy;
    std::string error;
    ASSERT_TRUE(proxy.Start(error)) << error;
    TWSocket socket;
    TEventLog log(socket);
    ConnectThrough(socket, proxy.Port(), "5");
    ExpectWorkingSession(socket, log);
}

TEST_F(WSocketSocks, Socks5WrongPasswordIsAFailedAttempt)
{
    TMicrosocks proxy("user", "password");
    std::string error;
    ASSERT_TRUE(proxy.Start(error)) << error;
    TWSocket socket;
    TEventLog log(socket);
    socket.SocksUsercode = "user";
    socket.SocksPassword = "wrong";
    socket.SocksAuthentication = socksAuthenticateUsercode;
    ConnectThrough(socket, proxy.Port(), "5");
    ASSERT_TRUE(WaitFor([&] { return log.Has("closed"); }));
    ASSERT_EQ(log.Events.size(), 2u);
    EXPECT_NE(log.Events[0], "connected:0");
    EXPECT_TRUE(Peer.Sockets.empty());
}

TEST_F(WSocketSocks, Socks5ProxyThatRequiresAuthenticationRefusesAnonymous)
{
    TMicrosocks proxy("user", "password");
    std::string error;
    ASSERT_TRUE(proxy.Start(error)) << error;
    TWSocket socket;
    TEventLog log(socket);
    ConnectThrough(socket, proxy.Port(), "5");
    ASSERT_TRUE(WaitFor([&] { return log.Has("closed"); }));
    EXPECT_FALSE(log.Has("connected:0"));
}

TEST_F(WSocketSocks, Socks4ReportsConnectedOnlyAfterTheGrant)
{
    TSocks4Responder proxy;
    TWSocket socket;
    TEventLog log(socket);
    socket.SocksUsercode = "trader";
    ConnectThrough(socket, proxy.Port(), "4");
    ExpectWorkingSession(socket, log);
    ASSERT_EQ(proxy.Requests().size(), 1u);
    const auto &request = proxy.Requests()[0];
    EXPECT_EQ(request.Version, 4);
    EXPECT_EQ(request.Command, 1);
    EXPECT_EQ(std::to_string(request.Port), Peer.Port());
    EXPECT_EQ(request.Address, 0x7F000001u);
    EXPECT_EQ(request.UserId, "trader");
}

TEST_F(WSocketSocks, Socks4ResolvesAHostNameItself)
{
    TSocks4Responder proxy;
    TWSocket socket;
    TEventLog log(socket);
    socket.Addr = "localhost";
    socket.Port = Peer.Port();
    socket.SocksServer = "127.0.0.1";
    socket.SocksPort = std::to_string(proxy.Port());
    socket.SocksLevel = "4";
    socket.Connect();
    ASSERT_TRUE(WaitFor([&] { return log.Has("closed") || (log.Has("connected") && Peer.Last()); }));
    EXPECT_EQ(log.Events.front(), "connected:0");
    ASSERT_EQ(proxy.Requests().size(), 1u);
    EXPECT_EQ(proxy.Requests()[0].Address, 0x7F000001u);
}

TEST_F(WSocketSocks, Socks4RefusalIsAFailedAttempt)
{
    TSocks4Responder proxy;
    proxy.ReplyCode = 91;
    TWSocket socket;
    TEventLog log(socket);
    ConnectThrough(socket, proxy.Port(), "4");
    ASSERT_TRUE(WaitFor([&] { return log.Has("closed"); }));
    EXPECT_EQ(log.Events, (std::vector<std::string>{"connected:" + std::to_string(SocksErrorBase + 91),
                                                    "closed:" + std::to_string(SocksErrorBase + 91)}));
    EXPECT_TRUE(Peer.Sockets.empty());
}
