#include "HttpServerConnection.h"

#include "AddressText.h"

THttpServerConnection::THttpServerConnection(int number, std::unique_ptr<QTcpSocket> socket)
    : FNumber(number), FSocket(std::move(socket))
{
    FPeer = AddressText(FSocket->peerAddress()) + ":" + std::to_string(FSocket->peerPort());
    connect(FSocket.get(), &QTcpSocket::readyRead, this, &THttpServerConnection::ReadyRead);
    connect(FSocket.get(), &QTcpSocket::disconnected, this, &THttpServerConnection::Finish);
    FIdleTimer.setSingleShot(true);
    connect(&FIdleTimer, &QTimer::timeout, this, [this] {
        Log("idle for " + std::to_string(IdleTimeoutMs / 1000) + " s, closed");
        Abort();
    });
    FIdleTimer.start(IdleTimeoutMs);
    if (FSocket->bytesAvailable() > 0)
        QMetaObject::invokeMethod(this, &THttpServerConnection::ReadyRead, Qt::QueuedConnection);
}

THttpServerConnection::~THttpServerConnection()
{
    if (FSocket) {
        FSocket->disconnect(this);
        FSocket->abort();
    }
}

QHostAddress THttpServerConnection::LocalAddress() const
{
    return FSocket ? FSocket->localAddress() : QHostAddress();
}

quint16 THttpServerConnection::LocalPort() const
{
    return FSocket ? FSocket->localPort() : 0;
}

void THttpServerConnection::ReadyRead()
{
    if (FFinished || FClosing || !FSocket)
        return;
    const QByteArray bytes = FSocket->readAll();
    if (bytes.isEmpty())
        return;
    FParser.Feed(bytes.toStdString());
    Process();
}

void THttpServerConnection::Process()
{
    // A handler that writes may make the socket signal again; requests are
    // taken in one loop here, never from inside a handler.
    if (FProcessing)
        return;
    FProcessing = true;
    while (!FFinished && !FClosing && FSocket) {
        const THttpRequestParser::TResult result = FParser.Next();
        if (result == THttpRequestParser::NeedMore) {
            if (FParser.TakeContinue())
                FSocket->write("HTTP/1.1 100 Continue\r\n\r\n");
            break;
        }
        if (result == THttpRequestParser::Failed) {
            Log(std::to_string(FParser.ErrorStatus()) + " " + HttpReasonPhrase(FParser.ErrorStatus()) + ": " +
                FParser.ErrorText());
            WriteResponse(FParser.ErrorStatus(), FParser.ErrorText() + "\n", {}, false);
            break;
        }
        FIdleTimer.start(IdleTimeoutMs);
        const THttpServerRequest request = FParser.Request();
        FAnswering = true;
        FAnswered = false;
        FKeepAlive = request.KeepAlive;
        if (OnRequest)
            OnRequest(*this, request);
        FAnswering = false;
        if (!FAnswered && !FFinished && FSocket)
            WriteResponse(500, "request not handled\n", {}, false);
    }
    FProcessing = false;
}

void THttpServerConnection::Respond(int status, const std::string &body, const THttpHeaders &headers)
{
    if (!FAnswering || FAnswered || !FSocket)
        return;
    FAnswered = true;
    WriteResponse(status, body, headers, FKeepAlive && status < 400);
}

void THttpServerConnection::WriteResponse(int status, const std::string &body, const THttpHeaders &headers,
                                          bool keepAlive)
{
    std::string head = "HTTP/1.1 " + std::to_string(status) + " " + HttpReasonPhrase(status) + "\r\n";
    if (!body.empty())
        head += "Content-Type: text/plain; charset=utf-8\r\n";
    head += "Content-Length: " + std::to_string(body.size()) + "\r\n";
    head += keepAlive ? "Connection: keep-alive\r\n" : "Connection: close\r\n";
    head += "Cache-Control: no-store\r\n";
    for (const auto &[name, value] : headers)
        head += name + ": " + value + "\r\n";
    head += "\r\n";
    const std::string bytes = head + body;
    FSocket->write(bytes.data(), static_cast<qint64>(bytes.size()));
    if (!keepAlive)
        CloseAfterWriting();
}

std::unique_ptr<QTcpSocket> THttpServerConnection::BeginStream(const THttpHeaders &headers)
{
    if (!FAnswering || FAnswered || !FSocket)
        return nullptr;
    FAnswered = true;
    // Neither a length nor chunks: every HTTP client reads such a body
    // piece by piece until the server closes, which is what a stream needs.
    std::string head = "HTTP/1.1 200 OK\r\nConnection: close\r\nCache-Control: no-store\r\n";
    for (const auto &[name, value] : headers)
        head += name + ": " + value + "\r\n";
    head += "\r\n";
    FSocket->write(head.data(), static_cast<qint64>(head.size()));
    FIdleTimer.stop();
    FSocket->disconnect(this);
    std::unique_ptr<QTcpSocket> socket = std::move(FSocket);
    Finish();
    return socket;
}

void THttpServerConnection::CloseAfterWriting()
{
    FClosing = true;
    FIdleTimer.stop();
    // Sends what is queued, then closes; "disconnected" finishes this object.
    FSocket->disconnectFromHost();
}

void THttpServerConnection::Abort()
{
    if (FFinished)
        return;
    if (FSocket) {
        FSocket->disconnect(this);
        FSocket->abort();
    }
    Finish();
}

void THttpServerConnection::Finish()
{
    if (FFinished)
        return;
    FFinished = true;
    FIdleTimer.stop();
    if (OnFinished)
        OnFinished(this);
}

void THttpServerConnection::Log(const std::string &line)
{
    if (OnLog)
        OnLog("http " + FPeer + " " + line);
}
