#include "ClientConnection.h"

#include <QHostAddress>

namespace {

int Milliseconds(double seconds)
{
    return static_cast<int>(seconds * 1000 + 0.5);
}

} // namespace

TClientConnection::TClientConnection(int number, std::unique_ptr<QTcpSocket> socket,
                                     const TDemoServerOptions &options, TSessionRegistry &sessions,
                                     std::function<void(const std::string &)> log)
    : FNumber(number), FSocket(std::move(socket)), FSession(options, sessions), FLog(std::move(log))
{
    const QHostAddress address = FSocket->peerAddress();
    FPeer =
        (address.protocol() == QAbstractSocket::IPv6Protocol ? QStringLiteral("[%1]").arg(address.toString())
                                                             : address.toString())
            .toStdString() +
        ":" + std::to_string(FSocket->peerPort());

    FSession.OnOutput = [this](const std::string &bytes) {
        if (!FClosed)
            FSocket->write(bytes.data(), static_cast<qint64>(bytes.size()));
    };
    FSession.OnEnd = [this](const std::string &reason) { Abort("protocol error: " + reason); };
    FSession.OnLog = [this](const std::string &line) { Log(line); };

    connect(FSocket.get(), &QTcpSocket::readyRead, this, &TClientConnection::ReadyRead);
    connect(FSocket.get(), &QTcpSocket::disconnected, this, &TClientConnection::Disconnected);

    if (options.DropAfter > 0) {
        FDropTimer.setSingleShot(true);
        connect(&FDropTimer, &QTimer::timeout, this,
                [this] { Abort("dropped by the server (--drop-after)"); });
        FDropTimer.start(Milliseconds(options.DropAfter));
    }
    if (options.CorruptAfter > 0) {
        FCorruptTimer.setSingleShot(true);
        connect(&FCorruptTimer, &QTimer::timeout, this, [this] { FSession.Corrupt(); });
        FCorruptTimer.start(Milliseconds(options.CorruptAfter));
    }
    Log("connected");
    // Bytes may have arrived before the signals were connected.
    if (FSocket->bytesAvailable() > 0)
        QMetaObject::invokeMethod(this, &TClientConnection::ReadyRead, Qt::QueuedConnection);
}

TClientConnection::~TClientConnection()
{
    // The socket outlives this object's own destructor body; its last
    // signals must not reach a half-destroyed connection.
    FSocket->disconnect(this);
    FSocket->abort();
}

void TClientConnection::ReadyRead()
{
    if (FClosed)
        return;
    const QByteArray bytes = FSocket->readAll();
    if (!bytes.isEmpty())
        FSession.Receive(bytes.toStdString());
}

void TClientConnection::PushAlerts(const std::vector<std::string> &alerts)
{
    if (!WantsAlerts())
        return;
    // A client that does not read would make the server buffer without end.
    if (FSocket->bytesToWrite() > MaxUnsentBytes) {
        if (!FSkipping)
            Log("client is not reading; skipping alerts until it catches up");
        FSkipping = true;
        return;
    }
    if (FSkipping)
        Log("client caught up; sending alerts again");
    FSkipping = false;
    FSession.PushAlerts(alerts);
}

void TClientConnection::Abort(const std::string &why)
{
    if (FClosed)
        return;
    Closed(why);
    FSocket->abort();
}

void TClientConnection::Disconnected()
{
    Closed("disconnected by the client");
}

void TClientConnection::Closed(const std::string &why)
{
    if (FClosed)
        return;
    FClosed = true;
    FDropTimer.stop();
    FCorruptTimer.stop();
    Log(why);
    if (OnClosed)
        OnClosed(this);
}

void TClientConnection::Log(const std::string &line)
{
    if (FLog)
        FLog("#" + std::to_string(FNumber) + " " + FPeer + " " + line);
}
