#include "ClientSession.h"

#include "AlertGenerator.h"
#include "SessionRegistry.h"

#include <algorithm>
#include <charconv>
#include <cstring>

namespace {

// Inflating in slices bounds what one read can make the server hold.
constexpr std::size_t InflateSlice = 4096;

const char SetOutputLine[] = "command=set_output&mode=zlib";
const char SetInputLine[] = "command=set_input&mode=zlib";
const char InvalidCredentials[] = "Invalid user name or password.";

// Starts with a deflate block header of the reserved type 3, which every
// inflater rejects as "invalid block type".
const char Garbage[] = "\xFF\xFF\xFF\xFFgarbage from the demo server\xFF";

std::int32_t ReadInt32(const std::string &bytes, std::size_t at)
{
    std::uint32_t value = 0;
    for (int i = 3; i >= 0; --i)
        value = (value << 8) | static_cast<unsigned char>(bytes[at + i]);
    return static_cast<std::int32_t>(value);
}

void AppendInt32(std::string &bytes, std::int32_t value)
{
    const std::uint32_t bits = static_cast<std::uint32_t>(value);
    for (int i = 0; i < 4; ++i)
        bytes += static_cast<char>((bits >> (8 * i)) & 0xFF);
}

const std::string &Field(const TClientSession::TPairs &pairs, const char *name)
{
    static const std::string empty;
    for (const auto &pair : pairs)
        if (pair.first == name)
            return pair.second;
    return empty;
}

// A message id is decimal digits for a positive 32-bit value; anything else
// cannot be answered.
std::int32_t ParseMessageId(const std::string &text)
{
    std::int32_t value = 0;
    const char *end = text.data() + text.size();
    const auto [stop, error] = std::from_chars(text.data(), end, value);
    if (text.empty() || error != std::errc() || stop != end || value < 1)
        return -1;
    return value;
}

} // namespace

std::string PrintableForLog(const std::string &text, std::size_t maxLength)
{
    std::string result;
    for (const char c : text.substr(0, maxLength))
        result += (c >= 0x20 && c < 0x7F) ? c : '?';
    if (text.size() > maxLength)
        result += "...";
    return result;
}

TClientSession::TClientSession(const TDemoServerOptions &options, TSessionRegistry &sessions)
    : FOptions(options), FSessions(sessions), FCompressor(clDefault)
{}

void TClientSession::Receive(const std::string &bytes)
{
    if (FEnded || bytes.empty())
        return;
    try {
        if (FInPreamble)
            ReceivePreamble(bytes);
        else
            ReceiveStream(bytes);
    } catch (const Exception &error) {
        End(error.Message());
    }
    FlushOutput();
}

void TClientSession::ReceivePreamble(const std::string &bytes)
{
    std::size_t at = 0;
    while (FInPreamble && at < bytes.size()) {
        const std::size_t newline = bytes.find('\n', at);
        const std::size_t end = newline == std::string::npos ? bytes.size() : newline;
        FPreambleLine.append(bytes, at, end - at);
        if (FPreambleLine.size() > MaxPreambleLine)
            throw EDemoProtocolError("preamble line too long");
        if (newline == std::string::npos)
            return;
        at = newline + 1;
        std::string line = std::move(FPreambleLine);
        FPreambleLine.clear();
        if (!line.empty() && line.back() == '\r')
            line.pop_back();
        if (line == SetOutputLine)
            FSawSetOutput = true;
        else if (line == SetInputLine)
            FSawSetInput = true;
        else
            throw EDemoProtocolError("unexpected preamble line '" + PrintableForLog(line) + "'");
        FInPreamble = !(FSawSetOutput && FSawSetInput);
    }
    // The zlib stream starts right behind the preamble, possibly in the same read.
    if (!FInPreamble && at < bytes.size())
        ReceiveStream(bytes.substr(at));
}

void TClientSession::ReceiveStream(const std::string &bytes)
{
    for (std::size_t at = 0; at < bytes.size() && !FEnded; at += InflateSlice) {
        try {
            FDecompressor.Decompress(bytes.substr(at, InflateSlice));
        } catch (const EZLibError &error) {
            throw EDemoProtocolError("invalid data from client: " + error.Message());
        }
        FInput += FDecompressor.Output;
        FDecompressor.Output.clear();
        while (!FEnded && TakeMessage()) {
        }
        FInput.erase(0, FRead);
        FRead = 0;
    }
}

// Takes one whole message from FInput and handles it; false when the message
// is not complete yet.
bool TClientSession::TakeMessage()
{
    TPairs pairs;
    std::size_t at = FRead;
    auto readLength = [&](const char *what) {
        if (FInput.size() - at < 4)
            return -1;
        const std::int32_t length = ReadInt32(FInput, at);
        if (length < 0 || length > MaxFieldLength)
            throw EDemoProtocolError(std::string("bad ") + what + " length " + std::to_string(length));
        at += 4;
        return length;
    };
    for (;;) {
        const std::int32_t nameLength = readLength("name");
        if (nameLength < 0)
            return false;
        if (nameLength == 0)
            break;
        if (FInput.size() - at < static_cast<std::size_t>(nameLength))
            return false;
        std::string name = FInput.substr(at, nameLength);
        at += nameLength;
        const std::int32_t valueLength = readLength("value");
        if (valueLength < 0)
            return false;
        if (FInput.size() - at < static_cast<std::size_t>(valueLength))
            return false;
        pairs.emplace_back(std::move(name), FInput.substr(at, valueLength));
        at += valueLength;
        if (at - FRead > MaxMessageLength)
            throw EDemoProtocolError("message too long");
    }
    FRead = at;
    Handle(pairs);
    return true;
}

void TClientSession::Handle(const TPairs &pairs)
{
    std::int32_t id = 0;
    if (!pairs.empty() && pairs.front().first == "message_id") {
        id = ParseMessageId(pairs.front().second);
        if (id < 0) {
            Log("bad message_id '" + PrintableForLog(pairs.front().second) + "', message ignored");
            return;
        }
    }
    const std::string &command = Field(pairs, "command");
    if (command == "login")
        HandleLogin(id, pairs);
    else if (command == "ping")
        HandlePing(id);
    else if (command == "listen_for_alerts")
        HandleListen(id);
    else if (command == "add_alert_category")
        HandleCategory(pairs);
    else
        Log("unknown command '" + PrintableForLog(command) + "' ignored");
}

std::string TClientSession::CheckCredentials(const std::string &user, const std::string &password) const
{
    if (user.empty() || password.empty())
        return "empty user name or password";
    if (FOptions.Users.empty())
        return "";
    for (const TDemoUser &known : FOptions.Users)
        if (known.Name == user)
            return known.Password == password ? "" : "wrong password";
    return "unknown user";
}

void TClientSession::HandleLogin(std::int32_t id, const TPairs &pairs)
{
    const std::string &user = Field(pairs, "username");
    const std::string &password = Field(pairs, "password");
    const std::string &sessionId = Field(pairs, "session_id");
    const std::string who = "login of '" + PrintableForLog(user) + "'";
    const std::string noReply = id > 0 ? "" : " (no message_id, no reply)";

    if (FOptions.StopLogin) {
        FLoggedIn = false;
        Log(who + " answered with STOP (--stop-login)" + noReply);
        Reply(id, "STOP\r\n" + FOptions.StopLoginMessage + "\r\n");
        return;
    }
    const std::string refusal = CheckCredentials(user, password);
    if (!refusal.empty()) {
        FLoggedIn = false;
        Log(who + " refused: " + refusal + noReply);
        Reply(id, std::string("STOP\r\n") + InvalidCredentials + "\r\n");
        return;
    }
    if (!sessionId.empty() && FSessions.Resumes(sessionId, user)) {
        FSessionId = sessionId;
        Log(who + " resumed session " + FSessionId + noReply);
    } else {
        FSessionId = FSessions.Issue(user);
        Log(who + " accepted, new session " + FSessionId +
            (sessionId.empty()
                 ? ""
                 : " (session id '" + PrintableForLog(sessionId) + "' not known for this user)") +
            noReply);
    }
    FLoggedIn = true;
    FUserName = user;
    Reply(id, "SESSION ID\r\n" + FSessionId + "\r\n");
}

void TClientSession::HandlePing(std::int32_t id)
{
    if (id <= 0)
        return;
    if (FOptions.NoPingReplies) {
        if (!FPingsIgnoredLogged)
            Log("not answering pings (--no-ping-replies)");
        FPingsIgnoredLogged = true;
        return;
    }
    Reply(id, "pong");
}

void TClientSession::HandleListen(std::int32_t id)
{
    if (id <= 0) {
        Log("listen_for_alerts without message_id ignored: alerts could not be addressed");
        return;
    }
    FSubscriptionId = id;
    Log("listening for alerts on message id " + std::to_string(id));
}

void TClientSession::HandleCategory(const TPairs &pairs)
{
    const std::string &category = Field(pairs, "category");
    if (category.empty())
        return;
    FCategories.insert(category);
    if (category != TAlertGenerator::Category)
        Log("category '" + PrintableForLog(category) + "' added; this server has no alerts in it");
}

bool TClientSession::WantsAlerts() const
{
    return !FEnded && !FCorrupted && FLoggedIn && FSubscriptionId > 0 &&
           FCategories.count(TAlertGenerator::Category) > 0;
}

void TClientSession::PushAlerts(const std::vector<std::string> &alerts)
{
    if (!WantsAlerts() || alerts.empty())
        return;
    for (const std::string &alert : alerts)
        AppendFrame(FSubscriptionId, alert);
    FlushOutput();
}

void TClientSession::Corrupt()
{
    if (FEnded || FCorrupted)
        return;
    FlushOutput();
    FCorrupted = true;
    Log("sending garbage into the stream (--corrupt-after)");
    if (OnOutput)
        OnOutput(std::string(Garbage, sizeof Garbage - 1));
}

void TClientSession::Reply(std::int32_t id, const std::string &body)
{
    if (id > 0)
        AppendFrame(id, body);
}

void TClientSession::AppendFrame(std::int32_t id, const std::string &body)
{
    AppendInt32(FPending, id);
    AppendInt32(FPending, static_cast<std::int32_t>(body.size()));
    FPending += body;
}

void TClientSession::FlushOutput()
{
    if (FPending.empty())
        return;
    std::string batch = std::move(FPending);
    FPending.clear();
    // After garbage went out the client cannot read the stream any more.
    if (FEnded || FCorrupted)
        return;
    try {
        FCompressor.Write(batch);
        FCompressor.Flush();
    } catch (const EZLibError &error) {
        End("compression failed: " + error.Message());
        return;
    }
    std::string output = std::move(FCompressor.Output);
    FCompressor.Output.clear();
    if (OnOutput && !output.empty())
        OnOutput(output);
}

void TClientSession::End(const std::string &reason)
{
    if (FEnded)
        return;
    // Replies to the messages before the fault still go out.
    FlushOutput();
    FEnded = true;
    if (OnEnd)
        OnEnd(reason);
}

void TClientSession::Log(const std::string &line)
{
    if (OnLog)
        OnLog(line);
}
