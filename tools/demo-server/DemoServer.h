#pragma once

#include "AlertGenerator.h"
#include "ClientConnection.h"
#include "DemoServerOptions.h"
#include "HttpTunnelEnd.h"
#include "SessionRegistry.h"

#include <QElapsedTimer>
#include <QHostAddress>
#include <QObject>
#include <QTcpServer>
#include <QTimer>

#include <functional>
#include <map>
#include <memory>
#include <string>

// The demo alert server: accepts any number of clients, each with its own
// session, and paces one simulated alert stream out to every client that is
// logged in and subscribed.
class TDemoServer : public QObject
{
public:
    // Alerts due are sent in one batch per tick.
    static constexpr int PaceIntervalMs = 20;

    explicit TDemoServer(const TDemoServerOptions &options);
    ~TDemoServer() override;

    // False when the address (or, with HttpPort set, the HTTP port) cannot
    // be listened on; ErrorText says why.
    bool Listen();
    QString ErrorText() const { return FErrorText; }
    quint16 Port() const { return FListener.serverPort(); }
    // "127.0.0.1:9339", "[::1]:9339".
    QString ListenText() const;
    // The HTTP tunnel end; none unless the options set HttpPort.
    THttpTunnelEnd *TunnelEnd() const { return FTunnelEnd.get(); }
    quint16 HttpPort() const { return FTunnelEnd ? FTunnelEnd->Port() : 0; }
    // Closes the listeners and drops every client.
    void Stop();

    int ConnectionCount() const { return static_cast<int>(FConnections.size()); }
    TAlertGenerator &Generator() { return FGenerator; }
    // Faults injected so far with chaos on.
    const TChaosCounters &ChaosCounters() const { return FChaosCounters; }

    std::function<void(const std::string &line)> OnLog;

private:
    void NewConnections();
    TClientConnection &AddConnection(std::unique_ptr<QTcpSocket> socket, TClientTransport transport);
    bool Posted(int number, const std::string &bytes);
    void ConnectionClosed(TClientConnection *connection);
    void Tick();
    void Log(const std::string &line);

    TDemoServerOptions FOptions;
    QTcpServer FListener;
    QTimer FPaceTimer;
    QElapsedTimer FPaceClock;
    bool FPacing = false;
    qint64 FPaceSent = 0;
    TAlertGenerator FGenerator;
    TSessionRegistry FSessions;
    TChaosCounters FChaosCounters;
    std::map<int, std::unique_ptr<TClientConnection>> FConnections;
    std::unique_ptr<THttpTunnelEnd> FTunnelEnd;
    int FNextNumber = 1;
    QString FErrorText;
};
