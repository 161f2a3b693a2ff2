#pragma once

#include "DemoServerOptions.h"
#include "Exceptions.h"
#include "ZLibEx.h"

#include <cstdint>
#include <functional>
#include <set>
#include <string>
#include <utility>
#include <vector>

class TSessionRegistry;

CORVANE_DECLARE_EXCEPTION(EDemoProtocolError, Exception);

// The server's side of one client connection, apart from the transport: it
// takes the bytes the client sent, in order, and produces the bytes to send
// back through OnOutput. First comes the plain preamble; after it both
// directions are zlib streams. Client messages are length-prefixed name/value
// pairs ending in a zero length; replies are frames of message id, body length
// and body, sync-flushed after each batch.
class TClientSession
{
public:
    using TPairs = std::vector<std::pair<std::string, std::string>>;

    // Limits on what a client may make the server buffer; a length above them
    // ends the session the moment it is read.
    static constexpr std::int32_t MaxFieldLength = 1 << 20;
    static constexpr std::size_t MaxMessageLength = 2u << 20;
    static constexpr std::size_t MaxPreambleLine = 256;

    TClientSession(const TDemoServerOptions &options, TSessionRegistry &sessions);
    TClientSession(const TClientSession &) = delete;
    TClientSession &operator=(const TClientSession &) = delete;

    void Receive(const std::string &bytes);
    // Sends the alert texts as one batch of frames on the subscription's id;
    // does nothing unless WantsAlerts.
    void PushAlerts(const std::vector<std::string> &alerts);
    // Puts bytes into the server's stream that no inflater accepts; nothing is
    // sent on this session afterwards.
    void Corrupt();

    // Logged in, subscribed with a message id, and the alert category added.
    bool WantsAlerts() const;
    bool Ended() const { return FEnded; }
    bool LoggedIn() const { return FLoggedIn; }
    const std::string &UserName() const { return FUserName; }
    const std::string &SessionId() const { return FSessionId; }
    std::int32_t SubscriptionId() const { return FSubscriptionId; }

    // Bytes for the client, in order.
    std::function<void(const std::string &bytes)> OnOutput;
    // The client broke the protocol; the transport should drop the connection.
    std::function<void(const std::string &reason)> OnEnd;
    std::function<void(const std::string &line)> OnLog;

private:
    void ReceivePreamble(const std::string &bytes);
    void ReceiveStream(const std::string &bytes);
    bool TakeMessage();
    void Handle(const TPairs &pairs);
    void HandleLogin(std::int32_t id, const TPairs &pairs);
    void HandlePing(std::int32_t id);
    void HandleListen(std::int32_t id);
    void HandleCategory(const TPairs &pairs);
    std::string CheckCredentials(const std::string &user, const std::string &password) const;
    void Reply(std::int32_t id, const std::string &body);
    void AppendFrame(std::int32_t id, const std::string &body);
    void FlushOutput();
    void End(const std::string &reason);
    void Log(const std::string &line);

    TDemoServerOptions FOptions;
    TSessionRegistry &FSessions;
    TZLibCompressor FCompressor;
    TZLibDecompressor FDecompressor;
    bool FInPreamble = true;
    bool FSawSetOutput = false;
    bool FSawSetInput = false;
    std::string FPreambleLine;
    // Inflated client bytes; FRead marks where the next message starts.
    std::string FInput;
    std::size_t FRead = 0;
    // Uncompressed frames of the current batch.
    std::string FPending;
    bool FEnded = false;
    bool FCorrupted = false;
    bool FLoggedIn = false;
    bool FPingsIgnoredLogged = false;
    std::string FUserName;
    std::string FSessionId;
    std::int32_t FSubscriptionId = 0;
    std::set<std::string> FCategories;
};

// A byte string made safe for a log line: control and non-ASCII bytes become
// "?", long texts are cut.
std::string PrintableForLog(const std::string &text, std::size_t maxLength = 64);
