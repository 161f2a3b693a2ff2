#pragma once

#include "ClientSession.h"

#include <QObject>
#include <QTcpSocket>
#include <QTimer>

#include <functional>
#include <memory>
#include <string>
#include <vector>

// One client over a TCP socket: moves bytes between the socket and its
// session, and carries the connection's fault timers.
class TClientConnection : public QObject
{
public:
    // Alerts are skipped for a client that lets this much pile up unsent.
    static constexpr qint64 MaxUnsentBytes = 16 << 20;

    TClientConnection(int number, std::unique_ptr<QTcpSocket> socket, const TDemoServerOptions &options,
                      TSessionRegistry &sessions, std::function<void(const std::string &)> log);
    ~TClientConnection() override;

    int Number() const { return FNumber; }
    TClientSession &Session() { return FSession; }
    bool WantsAlerts() const { return !FClosed && FSession.WantsAlerts(); }
    void PushAlerts(const std::vector<std::string> &alerts);
    // Drops the connection at once, without a goodbye.
    void Abort(const std::string &why);

    // Raised once when the connection is gone; the owner may destroy the
    // object only after this handler has returned.
    std::function<void(TClientConnection *)> OnClosed;

private:
    void ReadyRead();
    void Disconnected();
    void Log(const std::string &line);
    void Closed(const std::string &why);

    int FNumber;
    std::string FPeer;
    std::unique_ptr<QTcpSocket> FSocket;
    TClientSession FSession;
    std::function<void(const std::string &)> FLog;
    QTimer FDropTimer;
    QTimer FCorruptTimer;
    bool FClosed = false;
    bool FSkipping = false;
};
