#pragma once

#include <cstdint>
#include <functional>
#include <string>

class TGenericServerConnection;

using TNotifyEvent = std::function<void(TGenericServerConnection *Sender)>;
using TDebugMessageEvent = std::function<void(TGenericServerConnection *Sender, const std::string &Text)>;

// The abstract transport: moves opaque bytes between a conversation and the
// server. Used for one connection: connected once, closed once, destroyed.
//
// Event order on one transport: OnSessionConnected at most once and never
// after OnSessionClosed; OnDataAvailable only while connected; OnSessionClosed
// ends the connection (remote close, failed attempt, Close, fatal error, or
// destruction of a transport not yet marked closed). Sender is always the
// transport itself. Events may be raised from inside Connect, Close and the
// destructor, so an owner that destroys its transport must tolerate that call.
class TGenericServerConnection
{
public:
    virtual ~TGenericServerConnection() = default;

    std::string SocksServer;
    std::string SocksPort;     // as text
    std::string SocksUsercode; // non-empty switches on user-name authentication
    std::string SocksPassword;
    std::string SocksLevel; // "4" or "5"; empty means no SOCKS
    std::string ProxyUsername;
    std::string ProxyPassword;
    std::string Proxy; // HTTP proxy host
    std::int32_t ProxyPort = 0;
    std::int32_t SendTimeout = 0; // milliseconds

    TNotifyEvent OnSessionClosed;
    TNotifyEvent OnSessionConnected;
    TNotifyEvent OnDataAvailable;
    TDebugMessageEvent OnDebugMessage;

    std::string ErrorText; // why Connect failed

    // True: the attempt is under way and ends in events. False: it failed at
    // once; ErrorText says why and OnSessionClosed has already been raised.
    virtual bool Connect() = 0;
    // Allowed only after OnSessionConnected (an assertion failure before);
    // after the connection closed the bytes are dropped.
    virtual void Send(const std::string &Data) = 0;
    // Raises OnSessionClosed before returning, unless already closed.
    virtual void Close() = 0;
    // Replaces Data with every byte received and not yet taken (maybe none).
    virtual void Receive(std::string &Data) = 0;

protected:
    TGenericServerConnection() = default;
    TGenericServerConnection(const TGenericServerConnection &) = delete;
    TGenericServerConnection &operator=(const TGenericServerConnection &) = delete;
};
