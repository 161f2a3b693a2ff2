#pragma once

#include "HttpRequestParser.h"

#include <QHostAddress>
#include <QObject>
#include <QTcpSocket>
#include <QTimer>

#include <functional>
#include <memory>
#include <string>
#include <utility>
#include <vector>

using THttpHeaders = std::vector<std::pair<std::string, std::string>>;

// One HTTP connection to the demo server: reads requests one after the other
// (kept alive as the client asks), hands each to OnRequest, and writes the
// answer given through Respond. A request may instead take the socket over
// with BeginStream, for a response whose body runs until the connection
// closes.
class THttpServerConnection : public QObject
{
public:
    // A connection that completes no request for this long is closed.
    static constexpr int IdleTimeoutMs = 60000;

    THttpServerConnection(int number, std::unique_ptr<QTcpSocket> socket);
    ~THttpServerConnection() override;

    int Number() const { return FNumber; }
    // "127.0.0.1:54321".
    const std::string &Peer() const { return FPeer; }
    // Where the client reached this server (for URLs that point back here).
    QHostAddress LocalAddress() const;
    quint16 LocalPort() const;

    // Answers the request being handled; the connection stays open for the
    // next one when the request asked for that and the status is below 400.
    void Respond(int status, const std::string &body = "", const THttpHeaders &headers = {});
    // Writes the head of a 200 response without a length (the body ends
    // when the connection closes) and hands the socket over; this object is
    // finished afterwards.
    std::unique_ptr<QTcpSocket> BeginStream(const THttpHeaders &headers);
    // Drops the connection at once.
    void Abort();

    // Called for every complete request; the handler calls Respond or
    // BeginStream before it returns (else the answer is a 500).
    std::function<void(THttpServerConnection &connection, const THttpServerRequest &request)> OnRequest;
    // Once, when the socket is gone or handed over; the owner may destroy
    // the object only after this handler returned.
    std::function<void(THttpServerConnection *connection)> OnFinished;
    std::function<void(const std::string &line)> OnLog;

private:
    void ReadyRead();
    void Process();
    void WriteResponse(int status, const std::string &body, const THttpHeaders &headers, bool keepAlive);
    void CloseAfterWriting();
    void Finish();
    void Log(const std::string &line);

    int FNumber;
    std::unique_ptr<QTcpSocket> FSocket;
    std::string FPeer;
    THttpRequestParser FParser;
    QTimer FIdleTimer;
    // Set while OnRequest runs for a request that is not answered yet.
    bool FAnswering = false;
    bool FAnswered = false;
    bool FKeepAlive = false;
    bool FClosing = false;
    bool FFinished = false;
    bool FProcessing = false;
};
