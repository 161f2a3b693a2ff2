#pragma once

// Plain-socket HTTP for the tests of the demo server's tunnel end: a GET that
// opens a tunnel and reads the server's stream, and POSTs written by hand.

#include "DemoProtocol.h"
#include "EventLoop.h"
#include "P64.h"

#include <QHostAddress>
#include <QRegularExpression>
#include <QTcpSocket>

#include <string>
#include <vector>

struct TRawResponse
{
    int Status = 0;
    std::string Head;
    std::string Body;
};

// One HTTP connection; requests are written as given, responses read whole
// (head and a Content-Length body).
class TRawHttp
{
public:
    bool Connect(quint16 port)
    {
        FSocket.connectToHost(QHostAddress(QHostAddress::LocalHost), port);
        return WaitFor([this] { return FSocket.state() == QAbstractSocket::ConnectedState; }, 10000);
    }

    void Send(const std::string &bytes) { FSocket.write(bytes.data(), static_cast<qint64>(bytes.size())); }

    // False when no whole response came.
    bool Read(TRawResponse &response, int timeoutMs = 20000)
    {
        bool done = false;
        WaitFor(
            [&] {
                Received += FSocket.readAll().toStdString();
                done = Take(response);
                return done || FSocket.state() == QAbstractSocket::UnconnectedState;
            },
            timeoutMs);
        if (!done) {
            Received += FSocket.readAll().toStdString();
            done = Take(response);
        }
        return done;
    }

    bool WaitForClose(int timeoutMs = 20000)
    {
        return WaitFor(
            [&] {
                Received += FSocket.readAll().toStdString();
                return FSocket.state() == QAbstractSocket::UnconnectedState;
            },
            timeoutMs);
    }

    QTcpSocket &Socket() { return FSocket; }
    std::string Received;

private:
    bool Take(TRawResponse &response)
    {
        const std::size_t headEnd = Received.find("\r\n\r\n");
        if (headEnd == std::string::npos)
            return false;
        const std::string head = Received.substr(0, headEnd + 4);
        const QRegularExpressionMatch length =
            QRegularExpression(QStringLiteral("\\r\\nContent-Length: (\\d+)\\r\\n"),
                               QRegularExpression::CaseInsensitiveOption)
                .match(QString::fromStdString(head));
        const std::size_t bodyLength = length.hasMatch() ? length.captured(1).toULongLong() : 0;
        if (Received.size() < head.size() + bodyLength)
            return false;
        response.Head = head;
        response.Status = std::stoi(head.substr(9, 3));
        response.Body = Received.substr(head.size(), bodyLength);
        Received.erase(0, head.size() + bodyLength);
        return true;
    }

    QTcpSocket FSocket;
};

// "sequence=<n>&body=<P64 of the bytes>", the body of one tunnel POST.
inline std::string TunnelForm(int sequence, const std::string &bytes)
{
    return "sequence=" + std::to_string(sequence) + "&body=" + P64Encode(bytes);
}

inline std::string PostRequest(const std::string &target, const std::string &form,
                               const std::string &extraHeaders = "")
{
    return "POST " + target + " HTTP/1.1\r\nHost: 127.0.0.1\r\n" +
           "Content-Type: application/x-www-form-urlencoded\r\n" + extraHeaders +
           "Content-Length: " + std::to_string(form.size()) + "\r\n\r\n" + form;
}

// The GET that opens a tunnel: reads the response head and the two lines,
// then cuts the server's stream into frames.
class TTunnelGet
{
public:
    bool Open(quint16 port, const std::string &target = "/tunnel")
    {
        if (!Http.Connect(port))
            return false;
        Http.Send("GET " + target + " HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n");
        return WaitFor(
            [&] {
                Http.Received += Http.Socket().readAll().toStdString();
                return ParsePreamble();
            },
            20000);
    }

    // The path part of the POST URL ("/post/<token>").
    std::string PostPath() const
    {
        const std::size_t slash = PostUrl.find('/', 7);
        return slash == std::string::npos ? "" : PostUrl.substr(slash);
    }

    void Pump()
    {
        Http.Received += Http.Socket().readAll().toStdString();
        if (Http.Received.empty() || !StreamError.empty())
            return;
        const std::string bytes = std::move(Http.Received);
        Http.Received.clear();
        try {
            for (TTestFrame &frame : FReader.Feed(bytes))
                Frames.push_back(std::move(frame));
        } catch (const EZLibError &error) {
            StreamError = error.Message();
        }
    }

    std::size_t CountWithId(int id) const
    {
        std::size_t count = 0;
        for (const TTestFrame &frame : Frames)
            count += frame.Id == id;
        return count;
    }

    bool WaitForFrames(int id, std::size_t count, int timeoutMs = 20000)
    {
        return WaitFor(
            [&] {
                Pump();
                return CountWithId(id) >= count;
            },
            timeoutMs);
    }

    bool Closed() { return Http.Socket().state() == QAbstractSocket::UnconnectedState; }

    TRawHttp Http;
    std::string ResponseHead;
    std::string FirstLine;
    std::string PostUrl;
    std::vector<TTestFrame> Frames;
    std::string StreamError;

private:
    bool ParsePreamble()
    {
        const std::size_t headEnd = Http.Received.find("\r\n\r\n");
        if (headEnd == std::string::npos)
            return false;
        const std::size_t first = Http.Received.find("\r\n", headEnd + 4);
        if (first == std::string::npos)
            return false;
        const std::size_t second = Http.Received.find("\r\n", first + 2);
        if (second == std::string::npos)
            return false;
        ResponseHead = Http.Received.substr(0, headEnd + 4);
        FirstLine = Http.Received.substr(headEnd + 4, first - headEnd - 4);
        PostUrl = Http.Received.substr(first + 2, second - first - 2);
        Http.Received.erase(0, second + 2);
        return true;
    }

    TTestFrameReader FReader;
};
