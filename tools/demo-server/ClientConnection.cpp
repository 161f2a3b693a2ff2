#include "ClientConnection.h"

#include <QHostAddress>
#include <QString>

namespace {

int Milliseconds(double seconds)
{
    return static_cast<int>(seconds * 1000 + 0.5);
}

const char ChaosStopMessage[] = "Login refused by the demo server (chaos).";

} // namespace

TDemoServerOptions TClientConnection::SessionOptions(const TDemoServerOptions &options,
                                                     const TChaosInjector *chaos)
{
    TDemoServerOptions sessionOptions = options;
    if (chaos && chaos->StopsLogins() && !options.StopLogin) {
        sessionOptions.StopLogin = true;
        sessionOptions.StopLoginMessage = ChaosStopMessage;
    }
    return sessionOptions;
}

TClientConnection::TClientConnection(int number, std::unique_ptr<QTcpSocket> socket,
                                     const TDemoServerOptions &options, TSessionRegistry &sessions,
                                     std::function<void(const std::string &)> log, TClientTransport transport,
                                     TChaosCounters *chaosCounters)
    : FNumber(number), FTransport(transport), FSocket(std::move(socket)),
      FChaos(options.Chaos ? std::make_unique<TChaosInjector>(options.ChaosSeed, number, options.ChaosScale)
                           : nullptr),
      FChaosCounters(chaosCounters), FSession(SessionOptions(options, FChaos.get()), sessions),
      FLog(std::move(log))
{
    const QHostAddress address = FSocket->peerAddress();
    FPeer =
        (address.protocol() == QAbstractSocket::IPv6Protocol ? QStringLiteral("[%1]").arg(address.toString())
                                                             : address.toString())
            .toStdString() +
        ":" + std::to_string(FSocket->peerPort());

    FSession.OnOutput = [this](const std::string &bytes) { Output(bytes); };
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
    Log(FTransport == TClientTransport::HttpTunnel ? "connected through the HTTP tunnel" : "connected");
    if (FChaos) {
        FChaos->OnWrite = [this](const std::string &bytes, bool single) { Write(bytes, single); };
        FChaos->OnDeliver = [this](const std::string &bytes) { FSession.Receive(bytes); };
        FChaos->OnDrop = [this] { Abort("dropped by the server (chaos)"); };
        FChaos->OnCorrupt = [this] { FSession.Corrupt(); };
        FChaos->OnFault = [this](TChaosFault fault, double seconds) { ChaosFault(fault, seconds); };
        // Single bytes must leave as single segments, not wait for company.
        FSocket->setSocketOption(QAbstractSocket::LowDelayOption, 1);
        if (FChaos->StopsLogins() && !options.StopLogin)
            ChaosFault(TChaosFault::StopLogin, 0);
        FChaos->Start();
    }
    // Bytes may have arrived before the signals were connected.
    if (FSocket->bytesAvailable() > 0)
        QMetaObject::invokeMethod(this, &TClientConnection::ReadyRead, Qt::QueuedConnection);
}

TClientConnection::~TClientConnection()
{
    if (FChaos)
        FChaos->Stop();
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
    // Over the tunnel the socket only carries the server's stream; anything
    // the client writes on it is no part of the conversation.
    if (bytes.isEmpty() || FTransport == TClientTransport::HttpTunnel)
        return;
    Input(bytes.toStdString());
}

void TClientConnection::ReceivePosted(const std::string &bytes)
{
    if (!FClosed)
        Input(bytes);
}

void TClientConnection::Input(const std::string &bytes)
{
    if (FChaos)
        FChaos->Input(bytes);
    else
        FSession.Receive(bytes);
}

void TClientConnection::Output(const std::string &bytes)
{
    if (FClosed)
        return;
    if (FChaos)
        FChaos->Output(bytes);
    else
        Write(bytes, false);
}

void TClientConnection::Write(const std::string &bytes, bool single)
{
    if (FClosed)
        return;
    FSocket->write(bytes.data(), static_cast<qint64>(bytes.size()));
    if (single)
        FSocket->flush();
}

void TClientConnection::PushAlerts(const std::vector<std::string> &alerts)
{
    if (!WantsAlerts())
        return;
    // A client that does not read would make the server buffer without end.
    const qint64 unsent = FSocket->bytesToWrite() + (FChaos ? static_cast<qint64>(FChaos->HeldOutput()) : 0);
    if (unsent > MaxUnsentBytes) {
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
    if (FChaos)
        FChaos->Stop();
    Log(why);
    if (OnClosed)
        OnClosed(this);
}

void TClientConnection::ChaosFault(TChaosFault fault, double seconds)
{
    if (FChaosCounters)
        FChaosCounters->Add(fault);
    std::string line = std::string("chaos: #") + std::to_string(FNumber) + " " + ChaosFaultName(fault);
    if (seconds > 0)
        line += " " + QString::number(seconds, 'f', 2).toStdString() + " s";
    if (FLog)
        FLog(line);
}

void TClientConnection::Log(const std::string &line)
{
    if (FLog)
        FLog("#" + std::to_string(FNumber) + " " + FPeer + " " + line);
}
