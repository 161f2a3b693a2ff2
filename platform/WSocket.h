#pragma once

#include "Exceptions.h"

#include <QAbstractSocket>
#include <QObject>

#include <cstdint>
#include <functional>
#include <string>

class QHostInfo;
class QTcpSocket;

CORVANE_DECLARE_EXCEPTION(ESocketException, Exception);

enum TSocksAuthentication { socksNoAuthentication, socksAuthenticateUsercode };

enum TSocketState { wsClosed, wsConnecting, wsConnected };

// Error codes passed to the events. 0 means success; the others follow the
// numbering of the socket library the callers were written against.
constexpr int WSAENETDOWN = 10050;
constexpr int WSAECONNABORTED = 10053;
constexpr int WSAECONNRESET = 10054;
constexpr int WSAETIMEDOUT = 10060;
constexpr int WSAECONNREFUSED = 10061;
constexpr int WSAHOST_NOT_FOUND = 11001;
constexpr int SocksErrorBase = 20000; // + the proxy's reply code

// The asynchronous TCP socket component: connect, send and receive without
// ever blocking the GUI thread; the outcome of everything arrives as events
// from the message loop. Optionally through a SOCKS 4 or 5 proxy; the session
// is reported connected only after the proxy handshake.
//
// Events:
//   OnSessionConnected(ErrCode): once per attempt; 0 means connected. After a
//       failed attempt (non-zero code) the socket is closed and
//       OnSessionClosed(ErrCode) follows at once.
//   OnSessionClosed(ErrCode): the connection ended (remote close, error, a
//       failed attempt, or Close while a socket was open).
//   OnDataAvailable(ErrCode): received bytes are waiting for Receive.
// Connect never raises an event from inside the call. Destruction raises none.
class TWSocket : public QObject
{
    Q_OBJECT
public:
    TWSocket();
    ~TWSocket() override;
    TWSocket(const TWSocket &) = delete;
    TWSocket &operator=(const TWSocket &) = delete;

    std::string Addr;
    std::string Port;
    std::string SocksServer; // non-empty switches SOCKS on
    std::string SocksPort;   // empty means 1080
    std::string SocksUsercode;
    std::string SocksPassword;
    std::string SocksLevel; // "4" or "5"; empty means 5
    TSocksAuthentication SocksAuthentication = socksNoAuthentication;

    std::function<void(int ErrCode)> OnSessionConnected;
    std::function<void(int ErrCode)> OnSessionClosed;
    std::function<void(int ErrCode)> OnDataAvailable;

    // Starts connecting. Raises ESocketException at once for settings that can
    // be rejected without asking the network: a host that is empty or not a
    // valid host name ("connect: WSocketResolveHost: Cannot convert host
    // address ..."), a bad port, a bad SOCKS setting, or a socket in use.
    void Connect();
    // Closes the socket; raises OnSessionClosed(0) before returning when a
    // socket was open or connecting. Bytes already given to Send still go out.
    void Close();
    // Copies up to Size received bytes; returns the count, or 0 or a negative
    // value when nothing can be read now.
    int Receive(void *Buffer, int Size);
    // Queues the bytes in order; what the network cannot take yet is buffered.
    // Returns the count queued, or -1 when not connected.
    int Send(const std::string &Data);

    TSocketState State() const { return FState; }

private:
    enum TPhase { phIdle, phResolvingForSocks4, phTcpConnecting, phSocks4Reply };

    class TSignalScope;

    void DisposeSocket();
    void StartTcpConnect(const std::string &host, quint16 port);
    void Socks4Resolved(const QHostInfo &info);
    void SocketConnected();
    void SocketReadyRead();
    void SocketError(QAbstractSocket::SocketError error);
    void SocketDisconnected();
    void SendSocks4Request();
    void SessionUp();
    void FailAttempt(int errCode);
    void SessionEnded(int errCode);
    void Deliver(std::function<void()> step);
    void RaiseFromLoop(const std::function<void(int)> &event, int errCode);

    QTcpSocket *FSocket = nullptr;
    TSocketState FState = wsClosed;
    TPhase FPhase = phIdle;
    int FLookupId = -1;
    int FSignalDepth = 0;
    bool FInConnect = false;
    bool FSocks4 = false;
    std::string FSocksHost;
    quint16 FSocksPortNumber = 0;
    quint16 FTargetPort = 0;
    quint32 FSocks4Target = 0;
    int FLastErrorCode = 0;
    std::uint64_t FAttempt = 0;
};

// True when the text can be a host: an address literal, or a name made of
// labels of letters, digits, '-' and '_' (an international name in its ASCII
// form). Rejecting the rest needs no network query.
bool IsAcceptableHostName(const std::string &host);
