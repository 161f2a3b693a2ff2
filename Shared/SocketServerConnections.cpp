#include "SocketServerConnections.h"

#include "Exceptions.h"
#include "WSocket.h"

namespace {

const std::string ResolveFailurePrefix = "connect: WSocketResolveHost: Cannot convert host address";

void Raise(const TNotifyEvent &event, TGenericServerConnection *sender)
{
    // A copy: the handler may reassign the event it is running from.
    const TNotifyEvent handler = event;
    if (handler)
        handler(sender);
}

} // namespace

TSocketServerConnection::TSocketServerConnection(const std::string &Host, const std::string &Port)
    : Host(Host), Port(Port)
{}

TSocketServerConnection::~TSocketServerConnection()
{
    if (ConnectionState != scsClosed && OnSessionClosed)
        Raise(OnSessionClosed, this);
    if (WSocket1) {
        WSocket1->OnDataAvailable = nullptr;
        WSocket1->OnSessionClosed = nullptr;
        WSocket1->OnSessionConnected = nullptr;
        WSocket1.reset();
    }
}

bool TSocketServerConnection::Connect()
{
    Assert(!WSocket1);
    WSocket1 = std::make_unique<TWSocket>();
    WSocket1->Addr = Host;
    WSocket1->Port = Port;
    if (!SocksServer.empty() && !SocksPort.empty() && !SocksLevel.empty()) {
        WSocket1->SocksServer = SocksServer;
        WSocket1->SocksPort = SocksPort;
        WSocket1->SocksUsercode = SocksUsercode;
        WSocket1->SocksPassword = SocksPassword;
        WSocket1->SocksLevel = SocksLevel;
        if (!SocksUsercode.empty())
            WSocket1->SocksAuthentication = socksAuthenticateUsercode;
    }
    WSocket1->OnSessionClosed = [this](int ErrCode) { WSocket1SessionClosed(ErrCode); };
    WSocket1->OnSessionConnected = [this](int ErrCode) { WSocket1SessionConnected(ErrCode); };
    WSocket1->OnDataAvailable = [this](int ErrCode) { WSocket1DataAvailable(ErrCode); };
    try {
        WSocket1->Connect();
    } catch (const Exception &e) {
        if (e.ClassName() == "ESocketException" &&
            e.Message().compare(0, ResolveFailurePrefix.size(), ResolveFailurePrefix) == 0)
            ErrorText = "DNS error";
        else
            ErrorText = "TSocketServerConnection.Connect, " + e.ClassName() + ", " + e.Message();
        // ConnectionState stays scsConnecting: the owner sees OnSessionClosed
        // here and once more when it destroys this transport.
        Raise(OnSessionClosed, this);
        return false;
    }
    return true;
}

void TSocketServerConnection::WSocket1SessionConnected(int ErrCode)
{
    // A failed attempt is reported by the session-closed event that follows.
    if (ErrCode == 0 && ConnectionState == scsConnecting) {
        ConnectionState = scsConnected;
        Raise(OnSessionConnected, this);
    }
}

void TSocketServerConnection::WSocket1SessionClosed(int)
{
    ConnectionState = scsClosed;
    Raise(OnSessionClosed, this);
}

void TSocketServerConnection::WSocket1DataAvailable(int)
{
    Raise(OnDataAvailable, this);
}

void TSocketServerConnection::Send(const std::string &Data)
{
    Assert(ConnectionState != scsConnecting);
    if (ConnectionState == scsConnected)
        WSocket1->Send(Data);
}

void TSocketServerConnection::Close()
{
    // The socket raises its session-closed event from inside this call.
    if (WSocket1 && ConnectionState != scsClosed)
        WSocket1->Close();
}

void TSocketServerConnection::Receive(std::string &Data)
{
    Data.resize(4096);
    size_t used = 0;
    if (WSocket1) {
        for (;;) {
            if (used == Data.size())
                Data.resize(Data.size() * 2);
            const int count = WSocket1->Receive(Data.data() + used, static_cast<int>(Data.size() - used));
            if (count <= 0)
                break;
            used += static_cast<size_t>(count);
        }
    }
    Data.resize(used);
}
