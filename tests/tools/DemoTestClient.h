#pragma once

// A small client of the demo server over a real socket, for the loopback tests.

#include "DemoProtocol.h"
#include "EventLoop.h"

#include <QHostAddress>
#include <QTcpSocket>

#include <algorithm>
#include <string>
#include <vector>

class TTestClient
{
public:
    bool Connect(quint16 port)
    {
        FSocket.connectToHost(QHostAddress(QHostAddress::LocalHost), port);
        return WaitFor([this] { return FSocket.state() == QAbstractSocket::ConnectedState; }, 10000);
    }

    // The first batch carries the preamble in front of the zlib stream.
    void Send(const std::string &messages)
    {
        std::string bytes;
        if (!FPreambleSent)
            bytes = TestPreamble();
        FPreambleSent = true;
        bytes += FSender.Compress(messages);
        FSocket.write(bytes.data(), static_cast<qint64>(bytes.size()));
    }

    // Takes what arrived; a corrupt stream sets StreamError.
    void Pump()
    {
        const QByteArray bytes = FSocket.readAll();
        if (bytes.isEmpty() || !StreamError.empty())
            return;
        try {
            for (TTestFrame &frame : FReader.Feed(bytes.toStdString()))
                Frames.push_back(std::move(frame));
        } catch (const EZLibError &error) {
            StreamError = error.Message();
        }
    }

    bool Closed() const { return FSocket.state() == QAbstractSocket::UnconnectedState; }

    std::vector<TTestFrame> FramesWithId(int id) const
    {
        std::vector<TTestFrame> result;
        std::copy_if(Frames.begin(), Frames.end(), std::back_inserter(result),
                     [id](const TTestFrame &frame) { return frame.Id == id; });
        return result;
    }

    bool WaitForFrames(int id, std::size_t count, int timeoutMs = 20000)
    {
        return WaitFor(
            [&] {
                Pump();
                return FramesWithId(id).size() >= count;
            },
            timeoutMs);
    }

    bool WaitForClose(int timeoutMs = 20000)
    {
        return WaitFor(
            [&] {
                Pump();
                return Closed();
            },
            timeoutMs);
    }

    std::vector<TTestFrame> Frames;
    std::string StreamError;
    QTcpSocket &Socket() { return FSocket; }

private:
    QTcpSocket FSocket;
    TTestSender FSender;
    TTestFrameReader FReader;
    bool FPreambleSent = false;
};
