#pragma once

#include "GenericServerConnection.h"
#include "HttpCli.h"
#include "LocalClock.h"

#include <cstdint>
#include <memory>
#include <sstream>
#include <string>

class TTimer;
class TWakeMeSoon;

enum THttpTunnelState : std::uint8_t { htsIdle = 0, htsConnecting = 1, htsConnected = 2, htsClosed = 3 };

enum THttpSendState : std::uint8_t { hssIdle = 0, hssRetry = 1, hssPosting = 2, hssStopped = 3 };

// Bytes of the server's stream are taken in chunks of this size for one POST.
constexpr size_t TunnelChunkSize = 6000;

// The two leading lines of the GET body must arrive within this many bytes;
// a server that sends more without them is not a tunnel end.
constexpr size_t MaxTunnelHeaderSize = 64 * 1024;

// Carries the conversation's byte stream over plain HTTP. Downstream: one long
// GET whose body starts with two lines (the second is the URL for the POSTs)
// and then carries the server's stream, handed on as it arrives. Upstream:
// one POST at a time, "sequence=<n>&body=<P64 of up to 6000 bytes>"; a failed
// POST is repeated with the same number and body, and the fourth failure not
// balanced by successes ends the tunnel.
class THttpTunnel : public TGenericServerConnection
{
public:
    explicit THttpTunnel(const std::string &Url);
    // Close (raising OnSessionClosed unless closed already), then the owned
    // objects go.
    ~THttpTunnel() override;

    bool Connect() override;
    void Send(const std::string &Data) override;
    void Close() override;
    void Receive(std::string &Data) override;

    // Starts the next POST when one is due; runs from the event loop.
    void CheckForSend();

    THttpTunnelState TunnelState = htsIdle;
    std::string ReceiveBuffer; // while connecting, also the unparsed start of the GET body
    std::string SendBuffer;    // not yet moved into a POST body
    std::int32_t Sequence = 0; // sent with the next new POST
    THttpSendState SendState = hssIdle;
    std::unique_ptr<TWakeMeSoon> SendWakeUp;
    std::unique_ptr<TTimer> SendTimer;
    TDateTime SendDeadline = 0; // when the outstanding POST is aborted
    std::unique_ptr<THttpCli> GetClient;
    std::unique_ptr<THttpCli> PostClient;
    std::string Url;
    std::unique_ptr<std::stringstream> PostBody; // the last POST started or to be repeated
    std::int32_t FailureCount = 0;               // failed POSTs minus successful ones, never below 0

private:
    void SetUpProxy(THttpCli &Client);
    void GetClientDocData(THttpCli *Sender, const char *Buffer, int Len);
    void GetClientRequestDone(THttpCli *Sender, THttpRequest RqType, int ErrCode);
    void PostClientRequestDone(THttpCli *Sender, THttpRequest RqType, int ErrCode);
    void SendTimerTimer();
    void DebugMessage(const std::string &Text);
};
