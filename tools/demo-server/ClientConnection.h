#pragma once

#include "ChaosInjector.h"
#include "ClientSession.h"

#include <QObject>
#include <QTcpSocket>
#include <QTimer>

#include <functional>
#include <memory>
#include <string>
#include <vector>

// How a client's bytes reach the server.
enum class TClientTransport {
    // Both directions over one TCP connection.
    Socket,
    // The server's stream goes out as the body of a long GET over the
    // socket; the client's bytes come in through POSTs (ReceivePosted).
    HttpTunnel,
};

// One client over a TCP socket: moves bytes between the socket and its
// session, and carries the connection's fault timers and, with --chaos, its
// chaos schedule.
class TClientConnection : public QObject
{
public:
    // Alerts are skipped for a client that lets this much pile up unsent.
    static constexpr qint64 MaxUnsentBytes = 16 << 20;

    // With chaos on, each injected fault is counted in chaosCounters.
    TClientConnection(int number, std::unique_ptr<QTcpSocket> socket, const TDemoServerOptions &options,
                      TSessionRegistry &sessions, std::function<void(const std::string &)> log,
                      TClientTransport transport = TClientTransport::Socket,
                      TChaosCounters *chaosCounters = nullptr);
    ~TClientConnection() override;

    int Number() const { return FNumber; }
    TClientTransport Transport() const { return FTransport; }
    TClientSession &Session() { return FSession; }
    bool WantsAlerts() const { return !FClosed && FSession.WantsAlerts(); }
    void PushAlerts(const std::vector<std::string> &alerts);
    // The client's next bytes over the HTTP tunnel, in order.
    void ReceivePosted(const std::string &bytes);
    // Drops the connection at once, without a goodbye.
    void Abort(const std::string &why);

    // Raised once when the connection is gone; the owner may destroy the
    // object only after this handler has returned.
    std::function<void(TClientConnection *)> OnClosed;

private:
    static TDemoServerOptions SessionOptions(const TDemoServerOptions &options, const TChaosInjector *chaos);
    void ReadyRead();
    void Input(const std::string &bytes);
    void Output(const std::string &bytes);
    void Write(const std::string &bytes, bool single);
    void Disconnected();
    void ChaosFault(TChaosFault fault, double seconds);
    void Log(const std::string &line);
    void Closed(const std::string &why);

    int FNumber;
    TClientTransport FTransport;
    std::string FPeer;
    std::unique_ptr<QTcpSocket> FSocket;
    // Before the session: it decides whether the session refuses logins.
    std::unique_ptr<TChaosInjector> FChaos;
    TChaosCounters *FChaosCounters;
    TClientSession FSession;
    std::function<void(const std::string &)> FLog;
    QTimer FDropTimer;
    QTimer FCorruptTimer;
    bool FClosed = false;
    bool FSkipping = false;
};
