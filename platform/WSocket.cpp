#include "WSocket.h"

#include "ErrorDisplay.h"

#include <QHostAddress>
#include <QHostInfo>
#include <QMetaObject>
#include <QNetworkProxy>
#include <QPointer>
#include <QTcpSocket>
#include <QUrl>

namespace {

constexpr int Socks4ReplySize = 8;
constexpr unsigned char Socks4Granted = 90;

// The resolver's own rules for a name it could look up: at most 253
// characters, labels of 1 to 63 letters, digits, '-' or '_', none starting
// or ending with '-'. A trailing dot (an absolute name) is allowed.
bool IsHostNameSyntax(const QByteArray &name)
{
    QByteArray body = name;
    if (body.endsWith('.'))
        body.chop(1);
    if (body.isEmpty() || body.size() > 253)
        return false;
    for (const QByteArray &label : body.split('.')) {
        if (label.isEmpty() || label.size() > 63)
            return false;
        if (label.startsWith('-') || label.endsWith('-'))
            return false;
        for (const char c : label) {
            const bool ok = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
                            c == '-' || c == '_';
            if (!ok)
                return false;
        }
    }
    return true;
}

bool ParsePort(const std::string &text, quint16 &port)
{
    if (text.empty() || text.size() > 5)
        return false;
    unsigned value = 0;
    for (const char c : text) {
        if (c < '0' || c > '9')
            return false;
        value = value * 10 + static_cast<unsigned>(c - '0');
    }
    if (value == 0 || value > 65535)
        return false;
    port = static_cast<quint16>(value);
    return true;
}

int ErrorCodeOf(QAbstractSocket::SocketError error)
{
    switch (error) {
    case QAbstractSocket::ConnectionRefusedError:
    case QAbstractSocket::ProxyConnectionRefusedError:
        return WSAECONNREFUSED;
    case QAbstractSocket::RemoteHostClosedError:
        return 0; // an orderly close by the peer
    case QAbstractSocket::HostNotFoundError:
    case QAbstractSocket::ProxyNotFoundError:
        return WSAHOST_NOT_FOUND;
    case QAbstractSocket::SocketTimeoutError:
    case QAbstractSocket::ProxyConnectionTimeoutError:
        return WSAETIMEDOUT;
    case QAbstractSocket::NetworkError:
        return WSAENETDOWN;
    case QAbstractSocket::ProxyConnectionClosedError:
        return WSAECONNABORTED;
    case QAbstractSocket::ProxyAuthenticationRequiredError:
    case QAbstractSocket::ProxyProtocolError:
        return SocksErrorBase;
    default:
        return WSAECONNRESET;
    }
}

} // namespace

bool IsAcceptableHostName(const std::string &host)
{
    if (host.empty())
        return false;
    const QString text = QString::fromStdString(host);
    QHostAddress literal;
    if (literal.setAddress(text))
        return true;
    const QByteArray ascii = QUrl::toAce(text);
    return !ascii.isEmpty() && IsHostNameSyntax(ascii);
}

// Counts the Qt signal handlers running on the stack, so that a handler of
// ours that destroys this component does not delete the Qt socket under its
// own signal; and tells the handler whether the component still exists.
class TWSocket::TSignalScope
{
public:
    explicit TSignalScope(TWSocket *owner) : FOwner(owner) { ++owner->FSignalDepth; }
    ~TSignalScope()
    {
        if (FOwner)
            --FOwner->FSignalDepth;
    }
    TSignalScope(const TSignalScope &) = delete;
    TSignalScope &operator=(const TSignalScope &) = delete;

private:
    QPointer<TWSocket> FOwner;
};

TWSocket::TWSocket() = default;

TWSocket::~TWSocket()
{
    FState = wsClosed;
    if (FLookupId >= 0)
        QHostInfo::abortHostLookup(FLookupId);
    DisposeSocket();
}

void TWSocket::DisposeSocket()
{
    if (!FSocket)
        return;
    QTcpSocket *socket = FSocket;
    FSocket = nullptr;
    QObject::disconnect(socket, nullptr, this, nullptr);
    socket->abort();
    // Inside one of its own signals the socket may not be deleted yet.
    if (FSignalDepth > 0)
        socket->deleteLater();
    else
        delete socket;
}

void TWSocket::Connect()
{
    if (FState != wsClosed)
        throw ESocketException("connect: socket already in use");
    if (!IsAcceptableHostName(Addr))
        throw ESocketException("connect: WSocketResolveHost: Cannot convert host address '" + Addr + "'");
    quint16 port = 0;
    if (!ParsePort(Port, port))
        throw ESocketException("connect: invalid port '" + Port + "'");

    int level = 0;
    quint16 socksPort = 1080;
    if (!SocksServer.empty()) {
        if (SocksLevel.empty() || SocksLevel == "5")
            level = 5;
        else if (SocksLevel == "4")
            level = 4;
        else
            throw ESocketException("connect: invalid SOCKS level '" + SocksLevel + "'");
        if (!IsAcceptableHostName(SocksServer))
            throw ESocketException("connect: WSocketResolveHost: Cannot convert host address '" +
                                   SocksServer + "'");
        if (!SocksPort.empty() && !ParsePort(SocksPort, socksPort))
            throw ESocketException("connect: invalid SOCKS port '" + SocksPort + "'");
    }

    DisposeSocket();
    ++FAttempt;
    FLastErrorCode = 0;
    FSocks4 = level == 4;
    FSocksHost = SocksServer;
    FSocksPortNumber = socksPort;
    FTargetPort = port;
    FSocks4Target = 0;
    FSocket = new QTcpSocket;
    connect(FSocket, &QTcpSocket::connected, this, &TWSocket::SocketConnected);
    connect(FSocket, &QTcpSocket::readyRead, this, &TWSocket::SocketReadyRead);
    connect(FSocket, &QTcpSocket::errorOccurred, this, &TWSocket::SocketError);
    connect(FSocket, &QTcpSocket::disconnected, this, &TWSocket::SocketDisconnected);
    FState = wsConnecting;

    // Qt may report an outcome from inside connectToHost; such reports are
    // delivered from the loop instead, so Connect itself never raises events.
    FInConnect = true;
    struct TLeave
    {
        bool &Flag;
        ~TLeave() { Flag = false; }
    } leave{FInConnect};

    if (level == 5) {
        QNetworkProxy proxy(QNetworkProxy::Socks5Proxy, QString::fromStdString(SocksServer), socksPort);
        if (SocksAuthentication == socksAuthenticateUsercode) {
            proxy.setUser(QString::fromStdString(SocksUsercode));
            proxy.setPassword(QString::fromStdString(SocksPassword));
        }
        FSocket->setProxy(proxy);
        StartTcpConnect(Addr, port);
        return;
    }
    FSocket->setProxy(QNetworkProxy::NoProxy);
    if (level == 0) {
        StartTcpConnect(Addr, port);
        return;
    }
    QHostAddress literal;
    if (literal.setAddress(QString::fromStdString(Addr)) &&
        literal.protocol() == QAbstractSocket::IPv4Protocol) {
        FSocks4Target = literal.toIPv4Address();
        StartTcpConnect(FSocksHost, FSocksPortNumber);
        return;
    }
    // A version 4 request carries an IPv4 address: look the name up first.
    FPhase = phResolvingForSocks4;
    FLookupId = QHostInfo::lookupHost(QString::fromStdString(Addr), this, [this](const QHostInfo &info) {
        FLookupId = -1;
        Socks4Resolved(info);
    });
}

void TWSocket::StartTcpConnect(const std::string &host, quint16 port)
{
    FPhase = phTcpConnecting;
    FSocket->connectToHost(QString::fromStdString(host), port);
}

void TWSocket::Deliver(std::function<void()> step)
{
    if (!FInConnect) {
        step();
        return;
    }
    const std::uint64_t attempt = FAttempt;
    QMetaObject::invokeMethod(
        this,
        [this, attempt, step = std::move(step)] {
            if (attempt == FAttempt)
                step();
        },
        Qt::QueuedConnection);
}

void TWSocket::Socks4Resolved(const QHostInfo &info)
{
    TSignalScope scope(this);
    if (FState != wsConnecting || FPhase != phResolvingForSocks4)
        return;
    for (const QHostAddress &address : info.addresses()) {
        if (address.protocol() == QAbstractSocket::IPv4Protocol) {
            FSocks4Target = address.toIPv4Address();
            StartTcpConnect(FSocksHost, FSocksPortNumber);
            return;
        }
    }
    FailAttempt(WSAHOST_NOT_FOUND);
}

void TWSocket::SocketConnected()
{
    TSignalScope scope(this);
    Deliver([this] {
        if (FState != wsConnecting || FPhase != phTcpConnecting)
            return;
        if (FSocks4)
            SendSocks4Request();
        else
            SessionUp();
    });
}

void TWSocket::SendSocks4Request()
{
    FPhase = phSocks4Reply;
    std::string request;
    request += '\x04'; // version
    request += '\x01'; // connect
    request += static_cast<char>(FTargetPort >> 8);
    request += static_cast<char>(FTargetPort & 0xFF);
    for (int shift = 24; shift >= 0; shift -= 8)
        request += static_cast<char>((FSocks4Target >> shift) & 0xFF);
    request += SocksUsercode;
    request += '\0';
    FSocket->write(request.data(), static_cast<qint64>(request.size()));
}

void TWSocket::SocketReadyRead()
{
    TSignalScope scope(this);
    Deliver([this] {
        if (FState == wsConnecting && FPhase == phSocks4Reply) {
            if (FSocket->bytesAvailable() < Socks4ReplySize)
                return;
            char reply[Socks4ReplySize];
            FSocket->read(reply, Socks4ReplySize);
            const auto code = static_cast<unsigned char>(reply[1]);
            if (code == Socks4Granted)
                SessionUp();
            else
                FailAttempt(SocksErrorBase + code);
            return;
        }
        if (FState == wsConnected)
            RaiseFromLoop(OnDataAvailable, 0);
    });
}

void TWSocket::SocketError(QAbstractSocket::SocketError error)
{
    TSignalScope scope(this);
    Deliver([this, error] {
        const int code = ErrorCodeOf(error);
        if (FState == wsConnecting) {
            FailAttempt(code == 0 ? WSAECONNRESET : code);
        } else if (FState == wsConnected) {
            FLastErrorCode = code;
            if (FSocket && FSocket->state() == QAbstractSocket::UnconnectedState)
                SessionEnded(code);
        }
    });
}

void TWSocket::SocketDisconnected()
{
    TSignalScope scope(this);
    Deliver([this] {
        if (FState == wsConnected)
            SessionEnded(FLastErrorCode);
        else if (FState == wsConnecting)
            FailAttempt(WSAECONNRESET); // the proxy hung up during its handshake
    });
}

void TWSocket::SessionUp()
{
    FState = wsConnected;
    FPhase = phIdle;
    QPointer<TWSocket> self(this);
    RaiseFromLoop(OnSessionConnected, 0);
    // Bytes that came right behind the proxy's reply are waiting already.
    if (self && FState == wsConnected && FSocket && FSocket->bytesAvailable() > 0)
        RaiseFromLoop(OnDataAvailable, 0);
}

void TWSocket::FailAttempt(int errCode)
{
    FState = wsClosed;
    FPhase = phIdle;
    const std::uint64_t attempt = FAttempt;
    QPointer<TWSocket> self(this);
    RaiseFromLoop(OnSessionConnected, errCode);
    // The handler may have destroyed the component or started a new attempt.
    if (!self || attempt != FAttempt)
        return;
    if (FSocket)
        FSocket->abort();
    RaiseFromLoop(OnSessionClosed, errCode);
}

void TWSocket::SessionEnded(int errCode)
{
    FState = wsClosed;
    FPhase = phIdle;
    RaiseFromLoop(OnSessionClosed, errCode);
}

void TWSocket::RaiseFromLoop(const std::function<void(int)> &event, int errCode)
{
    // A copy: the handler may reassign the event it is running from.
    const std::function<void(int)> handler = event;
    if (handler)
        CallGuiHandler([&] { handler(errCode); });
}

void TWSocket::Close()
{
    if (FState == wsClosed)
        return;
    FState = wsClosed;
    FPhase = phIdle;
    if (FLookupId >= 0) {
        QHostInfo::abortHostLookup(FLookupId);
        FLookupId = -1;
    }
    if (FSocket) {
        // A connected socket still sends what was queued before the close;
        // an attempt in progress is simply dropped.
        if (FSocket->state() == QAbstractSocket::ConnectedState)
            FSocket->disconnectFromHost();
        else
            FSocket->abort();
    }
    const std::function<void(int)> handler = OnSessionClosed;
    if (handler)
        handler(0);
}

int TWSocket::Receive(void *Buffer, int Size)
{
    if (!FSocket || !Buffer || Size <= 0 || FState == wsConnecting)
        return -1;
    return static_cast<int>(FSocket->read(static_cast<char *>(Buffer), Size));
}

int TWSocket::Send(const std::string &Data)
{
    if (!FSocket || FState != wsConnected)
        return -1;
    if (Data.empty())
        return 0;
    return static_cast<int>(FSocket->write(Data.data(), static_cast<qint64>(Data.size())));
}
