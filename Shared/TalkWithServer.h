#pragma once

#include "Exceptions.h"

#include <cstdint>
#include <functional>
#include <initializer_list>
#include <memory>
#include <string>
#include <variant>
#include <vector>

class TGenericServerConnection;
class TWakeMeSoon;
class TZLibCompressor;
class TZLibDecompressor;

// One name/value pair of a message; a pair whose name is empty is never sent.
struct TMessageField
{
    std::string Name;
    std::string Value;

    bool operator==(const TMessageField &) const = default;
};

// One message to the server, its pairs in sending order.
using TMessageToServer = std::vector<TMessageField>;

// Success is True for a reply from the server, False for a failure made up by
// the client (Body is then empty). Message is the request as it was given.
using TResponseCallback =
    std::function<void(bool Success, const std::string &Body, const TMessageToServer &Message)>;

// Returned by SendMessage; Id 0 and Stamp 0 when nothing was registered.
struct TRequestHandle
{
    std::int32_t Id = 0;
    std::int64_t Stamp = 0;
};

struct TPendingRequest
{
    TMessageToServer Message; // empty: a free slot
    std::int64_t Stamp = 0;
    TResponseCallback Callback;
    bool KeepAfterReply = false;
};

using TPendingRequests = std::vector<TPendingRequest>;

// Process-wide, shared by all conversations (one thread, no lock); advances
// by 1 for every registered request and never resets.
extern std::int64_t NextRequestStamp;

// Raised (and reported) when the server's reply stream breaks the framing.
CORVANE_DECLARE_EXCEPTION(EInvalidServerData, Exception);

// Largest reply body accepted; a longer or negative length ends the
// conversation as invalid data instead of waiting for it.
constexpr std::int32_t MaxReplyBodyLength = 16 * 1024 * 1024;

// Received bytes are inflated this many at a time, and complete frames are
// cut after each slice, so one read never sits inflated in memory whole: at
// zlib's best ratio (about 1000 to 1) a slice inflates to 4 MiB.
constexpr size_t InflateSliceSize = 4 * 1024;

// A server stream that has inflated to more than InflationBombSize bytes at
// more than MaxInflationRatio times the bytes received is a decompression
// bomb, not alerts: alert text compresses a few times over, zeros about a
// thousand times. It ends the conversation as invalid data.
constexpr std::uint64_t InflationBombSize = 64ull * 1024 * 1024;
constexpr std::uint64_t MaxInflationRatio = 500;

// The kinds of value MakeMessage accepts. Anything else does not compile.
using TMessageValue = std::variant<std::int32_t, std::int64_t, bool, char, double, std::string, const char *>;

// Builds a message from name, value, name, value, ...; an odd count is an
// assertion failure. Integers in decimal, Booleans as "1"/"0", a character as
// itself, floating point in general format with at most 15 significant digits
// and the user's decimal separator, strings unchanged.
TMessageToServer MakeMessage(std::initializer_list<TMessageValue> Values);

// ("name" --> "value", ...) for exception reports. The value of every pair
// whose name contains "password", in any letter case, is masked.
std::string MessageToDebugString(const TMessageToServer &Message);

// One conversation with the alert server: one transport connection from
// connect to close. Encodes and numbers requests, compresses everything sent
// into one zlib stream (one sync-flushed write per turn of the event loop),
// inflates what the server sends, cuts it into reply frames and hands each
// reply to the callback registered under its message id. Single use: once
// Closed it stays Closed; the owner destroys it and makes a new one.
class TTalkWithServer
{
public:
    enum TState : std::uint8_t { NotConnected, Connected, Closed };

    TTalkWithServer();
    // Fails every pending request (after OnDisconnected) unless already Closed,
    // then destroys the transport, which may raise OnDisconnected once more.
    ~TTalkWithServer();
    TTalkWithServer(const TTalkWithServer &) = delete;
    TTalkWithServer &operator=(const TTalkWithServer &) = delete;

    std::function<void()> OnConnected;
    std::function<void()> OnDisconnected;
    TResponseCallback OnResponse; // observer of every delivered response
    std::function<void(const std::string &Text)> OnDebugMessage;

    // Settings, read by Connect. SOCKS is used only with level 4 or 5.
    std::string SocksUsercode;
    std::string SocksPassword;
    std::string SocksServer;
    std::int32_t SocksLevel = 0;
    std::int32_t SocksPort = 0;
    std::string ProxyUsername;
    std::string ProxyPassword;
    std::string Proxy;
    std::int32_t ProxyPort = 0;
    std::int32_t SendTimeout = 0;
    std::int32_t UseHttpTunnel = 0;
    std::string TunnelUrl;
    std::string Address; // "host" (port 8888) or "host:port"

    // When assigned, Connect takes its transport from here instead of
    // choosing one from the settings (in-memory transports for tests and
    // benchmarks). The conversation owns what it returns.
    std::function<std::unique_ptr<TGenericServerConnection>()> TransportFactory;

    // Queues one message; allowed before Connect. Without a callback it goes
    // without a message id and nothing is registered.
    TRequestHandle SendMessage(const TMessageToServer &Message, bool KeepAfterReply,
                               TResponseCallback Callback);
    // The request's callback is not called any more; nothing is sent.
    void CancelCallback(const TRequestHandle &Handle);
    // Once, in NotConnected, while no transport exists.
    void Connect();
    // Ends the conversation on the client's side; does not close the transport.
    void CloseConversation();

    TState State() const { return FState; }
    const std::string &LastError() const { return FLastError; }

    // For inspection.
    TGenericServerConnection *ServerConnection() const { return FServerConnection.get(); }
    const std::string &PendingOutput() const { return FPendingOutput; }
    const TPendingRequests &PendingRequests() const { return FPendingRequests; }
    size_t BufferedInput() const;

private:
    std::unique_ptr<TGenericServerConnection> CreateTransport();
    void SendRaw(const std::string &Bytes);
    void SendInteger(std::int32_t Value);
    void SendString(const std::string &Text);
    void FlushOutput();
    void InflateReceived(TGenericServerConnection *Sender);
    void CheckInflationRatio();
    // Records, reports and closes on a stream that cannot be read on.
    void RejectInvalidData(const Exception &error, TGenericServerConnection *Sender);
    void ProcessInput();
    bool CheckFrameLength(std::int32_t Length);
    void SendGoodResponse(std::int32_t Id, const std::string &Body);
    void SendErrorResponse(const TMessageToServer &Message, bool KeepAfterReply,
                           const TResponseCallback &Callback);

    void ServerConnectionSessionClosed(TGenericServerConnection *Sender);
    void ServerConnectionSessionConnected(TGenericServerConnection *Sender);
    void ServerConnectionDataAvailable(TGenericServerConnection *Sender);
    void ServerConnectionDebugMessage(TGenericServerConnection *Sender, const std::string &Text);

    std::unique_ptr<TGenericServerConnection> FServerConnection;
    std::unique_ptr<TWakeMeSoon> FWakeMeSoon;
    std::string FPendingOutput;
    std::unique_ptr<TZLibCompressor> FCompressor;
    std::unique_ptr<TZLibDecompressor> FDecompressor;
    TState FState = NotConnected;
    std::string FLastError;
    TPendingRequests FPendingRequests;

    // Bytes of the decompressor's output already handed out as frames; the
    // prefix is erased once per ProcessInput, not once per frame.
    size_t FInputOffset = 0;
    int FProcessingDepth = 0;
    bool FInputRejected = false;
    // Received bytes not inflated yet, in arrival order; only the outermost
    // InflateReceived takes from it, so a nested read cannot jump the queue.
    std::string FReceived;
    size_t FReceivedOffset = 0;
    bool FInflating = false;
    std::uint64_t FBytesReceived = 0;
    std::uint64_t FBytesInflated = 0;
    // Expires when the conversation is destroyed, so code that called out
    // can tell whether a callback destroyed it.
    std::shared_ptr<bool> FAlive = std::make_shared<bool>(true);
};
