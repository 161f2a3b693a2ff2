#pragma once

#include "GenericServerConnection.h"

#include <cstdint>
#include <memory>
#include <string>

class TWSocket;

enum TSocketConnectionState : std::uint8_t { scsConnecting = 0, scsConnected = 1, scsClosed = 2 };

// The direct transport: one TCP connection to the server, optionally through
// a SOCKS 4 or 5 proxy. No framing and no buffering of its own: bytes go to
// the socket as given, and are read from it when the owner asks.
class TSocketServerConnection : public TGenericServerConnection
{
public:
    TSocketServerConnection(const std::string &Host, const std::string &Port);
    ~TSocketServerConnection() override;

    bool Connect() override;
    void Send(const std::string &Data) override;
    void Close() override;
    void Receive(std::string &Data) override;

    std::unique_ptr<TWSocket> WSocket1; // none until Connect
    std::string Host;
    std::string Port; // text, not validated here
    TSocketConnectionState ConnectionState = scsConnecting;

private:
    void WSocket1SessionClosed(int ErrCode);
    void WSocket1SessionConnected(int ErrCode);
    void WSocket1DataAvailable(int ErrCode);
};
