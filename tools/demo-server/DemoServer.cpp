#include "DemoServer.h"

#include <QTime>

#include <cmath>
#include <vector>

TDemoServer::TDemoServer(const TDemoServerOptions &options) : FOptions(options), FGenerator(options.Seed)
{
    connect(&FListener, &QTcpServer::newConnection, this, &TDemoServer::NewConnections);
    FPaceTimer.setTimerType(Qt::PreciseTimer);
    FPaceTimer.setInterval(PaceIntervalMs);
    connect(&FPaceTimer, &QTimer::timeout, this, &TDemoServer::Tick);
    if (FOptions.HttpPort >= 0) {
        FTunnelEnd = std::make_unique<THttpTunnelEnd>();
        FTunnelEnd->OnOpenTunnel = [this](std::unique_ptr<QTcpSocket> socket) {
            return AddConnection(std::move(socket), TClientTransport::HttpTunnel).Number();
        };
        FTunnelEnd->OnPosted = [this](int number, const std::string &bytes) { return Posted(number, bytes); };
        FTunnelEnd->OnLog = [this](const std::string &line) { Log(line); };
    }
}

TDemoServer::~TDemoServer()
{
    FPaceTimer.stop();
    FTunnelEnd.reset();
    FConnections.clear();
}

bool TDemoServer::Listen()
{
    QHostAddress address;
    if (!address.setAddress(FOptions.BindAddress)) {
        FErrorText = QStringLiteral("'%1' is not an IP address").arg(FOptions.BindAddress);
        return false;
    }
    if (!FListener.listen(address, static_cast<quint16>(FOptions.Port))) {
        FErrorText = FListener.errorString();
        return false;
    }
    if (FTunnelEnd && !FTunnelEnd->Listen(address, static_cast<quint16>(FOptions.HttpPort))) {
        FErrorText = QStringLiteral("HTTP port %1: %2").arg(FOptions.HttpPort).arg(FTunnelEnd->ErrorText());
        FListener.close();
        return false;
    }
    FPaceTimer.start();
    return true;
}

QString TDemoServer::ListenText() const
{
    const QHostAddress address = FListener.serverAddress();
    const QString host = address.protocol() == QAbstractSocket::IPv6Protocol
                             ? QStringLiteral("[%1]").arg(address.toString())
                             : address.toString();
    return QStringLiteral("%1:%2").arg(host).arg(FListener.serverPort());
}

void TDemoServer::Stop()
{
    FListener.close();
    if (FTunnelEnd)
        FTunnelEnd->Stop();
    FPaceTimer.stop();
    for (auto &[number, connection] : FConnections)
        connection->Abort("dropped: server stopping");
    FConnections.clear();
}

void TDemoServer::NewConnections()
{
    while (QTcpSocket *accepted = FListener.nextPendingConnection()) {
        // Owned here from now on, not by the listener.
        accepted->setParent(nullptr);
        AddConnection(std::unique_ptr<QTcpSocket>(accepted), TClientTransport::Socket);
    }
}

TClientConnection &TDemoServer::AddConnection(std::unique_ptr<QTcpSocket> socket, TClientTransport transport)
{
    const int number = FNextNumber++;
    auto connection = std::make_unique<TClientConnection>(
        number, std::move(socket), FOptions, FSessions, [this](const std::string &line) { Log(line); },
        transport, &FChaosCounters);
    connection->OnClosed = [this](TClientConnection *closed) { ConnectionClosed(closed); };
    return *FConnections.emplace(number, std::move(connection)).first->second;
}

bool TDemoServer::Posted(int number, const std::string &bytes)
{
    const auto found = FConnections.find(number);
    if (found == FConnections.end() || found->second->Transport() != TClientTransport::HttpTunnel)
        return false;
    found->second->ReceivePosted(bytes);
    return true;
}

void TDemoServer::ConnectionClosed(TClientConnection *connection)
{
    // Called from inside the connection's own socket handlers: destroy it
    // on the next turn of the loop, not now.
    const int number = connection->Number();
    if (FTunnelEnd)
        FTunnelEnd->ConnectionClosed(number);
    QMetaObject::invokeMethod(
        this, [this, number] { FConnections.erase(number); }, Qt::QueuedConnection);
}

void TDemoServer::Tick()
{
    std::vector<TClientConnection *> listeners;
    for (auto &[number, connection] : FConnections)
        if (connection->WantsAlerts())
            listeners.push_back(connection.get());
    // The market stands still while nobody listens, so the first listener
    // gets the stream from its start and no burst of overdue alerts.
    if (listeners.empty() || FOptions.Rate <= 0) {
        FPacing = false;
        return;
    }
    if (!FPacing) {
        FPacing = true;
        FPaceClock.start();
        FPaceSent = 0;
    }
    const double elapsed = FPaceClock.nsecsElapsed() / 1e9;
    qint64 due = static_cast<qint64>(std::floor(FOptions.Rate * elapsed)) - FPaceSent;
    // After a stall (a suspended process, a slow machine) the backlog is
    // skipped rather than sent in one burst.
    const qint64 maxBatch = static_cast<qint64>(FOptions.Rate * 0.25) + 1;
    if (due > maxBatch) {
        FPaceSent += due - maxBatch;
        due = maxBatch;
    }
    if (due <= 0)
        return;
    FGenerator.SetTimeOfDay(QTime::currentTime().msecsSinceStartOfDay() / 1000);
    std::vector<std::string> alerts;
    alerts.reserve(static_cast<std::size_t>(due));
    for (qint64 i = 0; i < due; ++i)
        alerts.push_back(FGenerator.NextAlert());
    FPaceSent += due;
    for (TClientConnection *connection : listeners)
        connection->PushAlerts(alerts);
}

void TDemoServer::Log(const std::string &line)
{
    if (OnLog)
        OnLog(line);
}
