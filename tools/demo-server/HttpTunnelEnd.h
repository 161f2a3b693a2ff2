#pragma once

#include "HttpServerConnection.h"

#include <QHostAddress>
#include <QObject>
#include <QTcpServer>

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <string>

// The server's end of the HTTP tunnel. A GET opens a tunnel: its response
// body is a line that is ignored, a line with the URL for this tunnel's
// POSTs (each line ending in CR LF), and then the server's stream for the
// connection, unbuffered, until either side closes. Each POST carries the
// form fields "sequence" and "body" (P64 text of the client's next bytes);
// they are applied in sequence order, starting at 0. A sequence already
// applied is answered 200 again and not applied twice (a client repeats a
// POST whose answer it lost); a sequence from the future is refused with 409.
class THttpTunnelEnd : public QObject
{
public:
    static constexpr const char *PostPathPrefix = "/post/";
    // The ignored first line of every tunnel.
    static constexpr const char *GreetingLine = "corvane-demo-server tunnel";

    THttpTunnelEnd();
    ~THttpTunnelEnd() override;

    bool Listen(const QHostAddress &address, quint16 port);
    QString ErrorText() const { return FErrorText; }
    quint16 Port() const { return FListener.serverPort(); }
    // "127.0.0.1:8080", "[::1]:8080".
    QString ListenText() const;
    // Closes the listener and every HTTP connection not yet handed over.
    void Stop();

    // The client connection of a tunnel ended: its POSTs are refused from now on.
    void ConnectionClosed(int connection);
    int TunnelCount() const { return static_cast<int>(FTunnels.size()); }
    int HttpConnectionCount() const { return static_cast<int>(FHttp.size()); }

    // A GET opened a tunnel and its head and two lines are written: the owner
    // makes a client connection that writes to this socket and returns its
    // number.
    std::function<int(std::unique_ptr<QTcpSocket> socket)> OnOpenTunnel;
    // The next bytes of a connection's stream, in order, each byte once;
    // false when that connection is gone.
    std::function<bool(int connection, const std::string &bytes)> OnPosted;
    // Observes every POST that was applied (after OnPosted returned).
    std::function<void(int connection, std::int32_t sequence, const std::string &bytes)> OnApplied;
    std::function<void(const std::string &line)> OnLog;

private:
    struct TTunnel
    {
        int Connection = 0;
        // The sequence number the next new POST must carry.
        std::int64_t NextSequence = 0;
    };

    void NewConnections();
    void Request(THttpServerConnection &http, const THttpServerRequest &request);
    void OpenTunnel(THttpServerConnection &http, const THttpServerRequest &request);
    void Post(THttpServerConnection &http, const THttpServerRequest &request, const std::string &token);
    void Refuse(THttpServerConnection &http, int status, const std::string &why,
                const THttpHeaders &headers = {});
    void Log(const std::string &line);

    QTcpServer FListener;
    std::map<int, std::unique_ptr<THttpServerConnection>> FHttp;
    int FNextHttpNumber = 1;
    std::map<std::string, TTunnel> FTunnels;
    std::map<int, std::string> FTokens; // connection number to token
    QString FErrorText;
};
