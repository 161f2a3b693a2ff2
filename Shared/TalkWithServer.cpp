#include "TalkWithServer.h"

#include "GenericServerConnection.h"
#include "HttpTunnels.h"
#include "MiscDebugWindows.h"
#include "SocketServerConnections.h"
#include "WakeMeSoon.h"
#include "ZLibEx.h"

#include <QLocale>

#include <algorithm>
#include <cctype>
#include <charconv>
#include <deque>

std::int64_t NextRequestStamp = 0;

namespace {

// A copy of a request's message for the length of one callback, which may
// cancel or replace the request. The copies stay, one per nesting level, and
// are assigned over: the replies of a kept request, such as every alert of the
// subscription, then cost no allocation for it.
class TDeliveredMessage
{
public:
    explicit TDeliveredMessage(const TMessageToServer &message)
    {
        std::deque<TMessageToServer> &levels = Levels();
        if (Depth == levels.size())
            levels.emplace_back();
        FCopy = &levels[Depth];
        *FCopy = message;
        ++Depth;
    }
    ~TDeliveredMessage() { --Depth; }
    TDeliveredMessage(const TDeliveredMessage &) = delete;
    TDeliveredMessage &operator=(const TDeliveredMessage &) = delete;

    const TMessageToServer &Message() const { return *FCopy; }

private:
    static std::deque<TMessageToServer> &Levels()
    {
        static thread_local std::deque<TMessageToServer> levels;
        return levels;
    }
    static inline thread_local std::size_t Depth = 0;
    TMessageToServer *FCopy = nullptr;
};

// Plain text ahead of the client's zlib stream; the server switches both
// directions to zlib on it. Any change breaks every server.
const std::string Preamble = "command=set_output&mode=zlib\r\ncommand=set_input&mode=zlib\r\n";

const std::string DefaultPort = "8888";

template <class... Ts> struct TOverloaded : Ts...
{
    using Ts::operator()...;
};
template <class... Ts> TOverloaded(Ts...) -> TOverloaded<Ts...>;

std::string FloatToText(double value)
{
    char buffer[64];
    const auto result = std::to_chars(buffer, buffer + sizeof buffer, value, std::chars_format::general, 15);
    std::string text(buffer, result.ptr);
    const std::string point = QLocale::system().decimalPoint().toStdString();
    if (const auto dot = text.find('.'); dot != std::string::npos && point != ".")
        text.replace(dot, 1, point);
    return text;
}

std::string ValueToText(const TMessageValue &value)
{
    AssertMsg(!value.valueless_by_exception(), "Unknown field type.");
    return std::visit(TOverloaded{
                          [](std::int32_t v) { return std::to_string(v); },
                          [](std::int64_t v) { return std::to_string(v); },
                          [](bool v) { return std::string(v ? "1" : "0"); },
                          [](char v) { return std::string(1, v); },
                          [](double v) { return FloatToText(v); },
                          [](const std::string &v) { return v; },
                          [](const char *v) { return std::string(v ? v : ""); },
                      },
                      value);
}

bool IsPasswordName(const std::string &name)
{
    std::string lower = name;
    std::transform(lower.begin(), lower.end(), lower.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return lower.find("password") != std::string::npos;
}

// Reply frames are little-endian whatever the host.
std::int32_t ReadInt32(const std::string &bytes, size_t offset)
{
    std::uint32_t value = 0;
    for (int i = 3; i >= 0; --i)
        value = (value << 8) | static_cast<unsigned char>(bytes[offset + static_cast<size_t>(i)]);
    return static_cast<std::int32_t>(value);
}

} // namespace

TMessageToServer MakeMessage(std::initializer_list<TMessageValue> Values)
{
    Assert(Values.size() % 2 == 0);
    TMessageToServer result;
    result.reserve(Values.size() / 2);
    for (auto it = Values.begin(); it != Values.end(); it += 2)
        result.push_back({ValueToText(*it), ValueToText(*(it + 1))});
    return result;
}

std::string MessageToDebugString(const TMessageToServer &Message)
{
    std::string result = "(";
    bool first = true;
    for (const TMessageField &field : Message) {
        if (!first)
            result += ", ";
        first = false;
        // A password must never reach the debug window, whoever formats it.
        const std::string &value = IsPasswordName(field.Name) ? std::string("********") : field.Value;
        result += "\"" + field.Name + "\" --> \"" + value + "\"";
    }
    return result + ")";
}

TTalkWithServer::TTalkWithServer()
    : FWakeMeSoon(std::make_unique<TWakeMeSoon>()), FCompressor(std::make_unique<TZLibCompressor>(clDefault)),
      FDecompressor(std::make_unique<TZLibDecompressor>())
{
    FWakeMeSoon->OnWakeUp = [this] { FlushOutput(); };
    FLastError = "Unable to connect to server.";
    SendRaw(Preamble);
}

TTalkWithServer::~TTalkWithServer()
{
    if (FState != Closed)
        CloseConversation();
    // Not closed first: a transport that has not reported its end raises
    // OnSessionClosed from its destructor, which closes the conversation again.
    FServerConnection.reset();
    FWakeMeSoon.reset();
    FCompressor.reset();
    FDecompressor.reset();
}

size_t TTalkWithServer::BufferedInput() const
{
    return FDecompressor ? FDecompressor->Output.size() - FInputOffset : 0;
}

TRequestHandle TTalkWithServer::SendMessage(const TMessageToServer &Message, bool KeepAfterReply,
                                            TResponseCallback Callback)
{
    const bool anyName =
        std::any_of(Message.begin(), Message.end(), [](const TMessageField &f) { return !f.Name.empty(); });
    if (FState == Closed || !anyName) {
        if (Callback)
            SendErrorResponse(Message, KeepAfterReply, Callback);
        return {};
    }

    TRequestHandle handle;
    if (Callback) {
        // The free slot with the highest index, or a new one at the end.
        size_t index = FPendingRequests.size();
        for (size_t i = FPendingRequests.size(); i-- > 0;) {
            if (FPendingRequests[i].Message.empty()) {
                index = i;
                break;
            }
        }
        if (index == FPendingRequests.size())
            FPendingRequests.resize(std::max<size_t>(8, FPendingRequests.size() * 2));
        TPendingRequest &entry = FPendingRequests[index];
        entry.Message = Message;
        entry.Callback = std::move(Callback);
        entry.KeepAfterReply = KeepAfterReply;
        handle.Id = static_cast<std::int32_t>(index + 1);
        entry.Stamp = NextRequestStamp;
        handle.Stamp = NextRequestStamp;
        ++NextRequestStamp;
    }

    if (handle.Id > 0) {
        SendString("message_id");
        SendString(std::to_string(handle.Id));
    }
    for (const TMessageField &field : Message) {
        if (field.Name.empty())
            continue;
        SendString(field.Name);
        SendString(field.Value);
    }
    SendInteger(0);
    return handle;
}

void TTalkWithServer::CancelCallback(const TRequestHandle &Handle)
{
    if (Handle.Id < 1 || static_cast<size_t>(Handle.Id) > FPendingRequests.size())
        return;
    TPendingRequest &entry = FPendingRequests[static_cast<size_t>(Handle.Id - 1)];
    // A stale handle: the slot now belongs to a newer request.
    if (entry.Stamp == Handle.Stamp)
        entry.Callback = nullptr;
}

std::unique_ptr<TGenericServerConnection> TTalkWithServer::CreateTransport()
{
    if (TransportFactory) {
        std::unique_ptr<TGenericServerConnection> transport = TransportFactory();
        Assert(transport != nullptr);
        return transport;
    }
    if (UseHttpTunnel != 0)
        return std::make_unique<THttpTunnel>(TunnelUrl);
    const size_t colon = Address.find(':');
    if (colon == std::string::npos)
        return std::make_unique<TSocketServerConnection>(Address, DefaultPort);
    return std::make_unique<TSocketServerConnection>(Address.substr(0, colon), Address.substr(colon + 1));
}

void TTalkWithServer::Connect()
{
    Assert(FState == NotConnected && !FServerConnection);
    FServerConnection = CreateTransport();
    TGenericServerConnection &transport = *FServerConnection;
    transport.OnSessionClosed = [this](TGenericServerConnection *sender) {
        ServerConnectionSessionClosed(sender);
    };
    transport.OnSessionConnected = [this](TGenericServerConnection *sender) {
        ServerConnectionSessionConnected(sender);
    };
    transport.OnDataAvailable = [this](TGenericServerConnection *sender) {
        ServerConnectionDataAvailable(sender);
    };
    transport.OnDebugMessage = [this](TGenericServerConnection *sender, const std::string &text) {
        ServerConnectionDebugMessage(sender, text);
    };
    if (SocksLevel == 4 || SocksLevel == 5) {
        transport.SocksServer = SocksServer;
        transport.SocksPort = std::to_string(SocksPort);
        transport.SocksUsercode = SocksUsercode;
        transport.SocksPassword = SocksPassword;
        transport.SocksLevel = std::to_string(SocksLevel);
    }
    transport.ProxyUsername = ProxyUsername;
    transport.ProxyPassword = ProxyPassword;
    transport.Proxy = Proxy;
    transport.ProxyPort = ProxyPort;
    transport.SendTimeout = SendTimeout;
    FLastError.clear();

    const std::weak_ptr<bool> alive = FAlive;
    const bool started = transport.Connect();
    if (alive.expired())
        return;
    // A transport that failed at once has closed the conversation already.
    FLastError = started ? "Error in server connection." : transport.ErrorText;
}

void TTalkWithServer::SendRaw(const std::string &Bytes)
{
    if (Bytes.empty())
        return;
    switch (FState) {
    case NotConnected:
        FPendingOutput += Bytes;
        break;
    case Connected:
        FServerConnection->Send(Bytes);
        break;
    case Closed:
        break;
    }
}

void TTalkWithServer::SendInteger(std::int32_t Value)
{
    const auto bits = static_cast<std::uint32_t>(Value);
    std::string bytes(4, '\0');
    for (size_t i = 0; i < 4; ++i)
        bytes[i] = static_cast<char>((bits >> (8 * i)) & 0xFF);
    FCompressor->Write(bytes);
    FWakeMeSoon->RequestWakeUp();
}

void TTalkWithServer::SendString(const std::string &Text)
{
    SendInteger(static_cast<std::int32_t>(Text.size()));
    FCompressor->Write(Text);
    FWakeMeSoon->RequestWakeUp();
}

void TTalkWithServer::FlushOutput()
{
    // Everything queued during one turn of the loop leaves as one batch.
    FCompressor->Flush();
    std::string batch = std::move(FCompressor->Output);
    FCompressor->Output.clear();
    SendRaw(batch);
}

void TTalkWithServer::ServerConnectionSessionConnected(TGenericServerConnection *)
{
    // Closed is final, even if the transport finishes connecting afterwards.
    if (FState == Closed)
        return;
    FLastError = "Unexpected disconnect from server.";
    FState = Connected;
    std::string pending = std::move(FPendingOutput);
    FPendingOutput.clear();
    FServerConnection->Send(pending);
    if (const auto handler = OnConnected)
        handler();
}

void TTalkWithServer::ServerConnectionSessionClosed(TGenericServerConnection *)
{
    CloseConversation();
}

void TTalkWithServer::ServerConnectionDataAvailable(TGenericServerConnection *Sender)
{
    if (!FServerConnection)
        return;
    try {
        std::string received;
        FServerConnection->Receive(received);
        if (FInputRejected)
            return; // the stream is broken; what follows means nothing
        FReceived += received;
    } catch (const Exception &e) {
        RejectInvalidData(e, Sender);
        return;
    }
    // A callback that runs a nested event loop may bring more data: it waits
    // behind the bytes already received, for the pass below.
    if (FInflating)
        return;
    InflateReceived(Sender);
}

void TTalkWithServer::InflateReceived(TGenericServerConnection *Sender)
{
    const std::weak_ptr<bool> alive = FAlive;
    FInflating = true;
    while (FReceivedOffset < FReceived.size()) {
        const size_t size = std::min(InflateSliceSize, FReceived.size() - FReceivedOffset);
        try {
            const size_t before = FDecompressor->Output.size();
            FDecompressor->Decompress(std::string_view(FReceived).substr(FReceivedOffset, size));
            FReceivedOffset += size;
            FBytesReceived += size;
            FBytesInflated += FDecompressor->Output.size() - before;
            CheckInflationRatio();
        } catch (const Exception &e) {
            FReceived.clear();
            FReceivedOffset = 0;
            FInflating = false;
            RejectInvalidData(e, Sender);
            return;
        }
        // Frames are cut slice by slice, so the inflated bytes held stay small.
        ProcessInput();
        if (alive.expired())
            return;
        if (FInputRejected)
            break;
    }
    FReceived.clear();
    FReceivedOffset = 0;
    FInflating = false;
}

void TTalkWithServer::RejectInvalidData(const Exception &error, TGenericServerConnection *Sender)
{
    const std::weak_ptr<bool> alive = FAlive;
    FLastError = "Invalid data from server: " + error.Message();
    ReportException(error, "TalkWithServer, TTalkWithServer.ServerConnectionDataAvailable");
    Sender->Close();
    if (alive.expired())
        return;
    // Frames inflated before the error are still cut; their requests are gone.
    ProcessInput();
}

void TTalkWithServer::CheckInflationRatio()
{
    if (FBytesInflated <= InflationBombSize || FBytesInflated <= MaxInflationRatio * FBytesReceived)
        return;
    FInputRejected = true;
    FDecompressor->Output.clear();
    FInputOffset = 0;
    throw EInvalidServerData("decompression bomb: the stream inflated to " + std::to_string(FBytesInflated) +
                             " bytes from " + std::to_string(FBytesReceived) + " received, more than " +
                             std::to_string(MaxInflationRatio) + " to 1 beyond " +
                             std::to_string(InflationBombSize / (1024 * 1024)) + " MiB");
}

void TTalkWithServer::ServerConnectionDebugMessage(TGenericServerConnection *, const std::string &Text)
{
    if (const auto handler = OnDebugMessage)
        handler(Text);
}

bool TTalkWithServer::CheckFrameLength(std::int32_t Length)
{
    if (Length >= 0 && Length <= MaxReplyBodyLength)
        return true;
    // Checked as soon as the header is there: never wait for, nor buffer, a
    // body that cannot be valid.
    FInputRejected = true;
    FDecompressor->Output.clear();
    FInputOffset = 0;
    const EInvalidServerData error("reply frame length " + std::to_string(Length) + " outside 0 to " +
                                   std::to_string(MaxReplyBodyLength));
    FLastError = "Invalid data from server: " + error.Message();
    ReportException(error, "TalkWithServer, TTalkWithServer.ProcessInput");
    return false;
}

void TTalkWithServer::ProcessInput()
{
    // A callback that runs a nested event loop may bring more data; the
    // outer pass reads the buffer again for every frame and delivers it.
    if (FProcessingDepth > 0 || FInputRejected)
        return;
    ++FProcessingDepth;
    const std::weak_ptr<bool> alive = FAlive;
    bool rejected = false;
    // One buffer for the pass: a frame's body is copied over the last one's.
    std::string body;
    for (;;) {
        const std::string &input = FDecompressor->Output;
        const size_t available = input.size() - FInputOffset;
        if (available < 8)
            break;
        const std::int32_t length = ReadInt32(input, FInputOffset + 4);
        if (!CheckFrameLength(length)) {
            rejected = true;
            break;
        }
        if (available - 8 < static_cast<size_t>(length))
            break;
        const std::int32_t id = ReadInt32(input, FInputOffset);
        body.assign(input, FInputOffset + 8, static_cast<size_t>(length));
        SendGoodResponse(id, body);
        if (alive.expired())
            return;
        // The frame leaves the buffer only now that its callback returned.
        FInputOffset += 8 + static_cast<size_t>(length);
    }
    // One erase per pass keeps this linear in the bytes received.
    FDecompressor->Output.erase(0, FInputOffset);
    FInputOffset = 0;
    --FProcessingDepth;
    if (rejected && FServerConnection)
        FServerConnection->Close();
}

void TTalkWithServer::SendGoodResponse(std::int32_t Id, const std::string &Body)
{
    if (Id < 1 || static_cast<size_t>(Id) > FPendingRequests.size())
        return;
    TPendingRequest &entry = FPendingRequests[static_cast<size_t>(Id - 1)];
    const TResponseCallback callback = entry.Callback;
    const TDeliveredMessage delivered(entry.Message);
    const TMessageToServer &message = delivered.Message();
    // Released before the call, so the callback may send a request that
    // gets the same id.
    if (!entry.KeepAfterReply) {
        entry.Callback = nullptr;
        entry.Message.clear();
    }
    if (!callback)
        return;
    try {
        if (const auto observer = OnResponse)
            observer(true, Body, message);
        callback(true, Body, message);
    } catch (const Exception &e) {
        ReportException(e, "TTalkWithServer.SendGoodResponse, " + MessageToDebugString(message));
    }
}

void TTalkWithServer::SendErrorResponse(const TMessageToServer &Message, bool KeepAfterReply,
                                        const TResponseCallback &Callback)
{
    try {
        if (!KeepAfterReply) {
            if (const auto observer = OnResponse)
                observer(false, "", Message);
        }
        Callback(false, "", Message);
    } catch (const Exception &e) {
        ReportException(e, "TTalkWithServer.SendErrorResponse, " + MessageToDebugString(Message));
    }
}

void TTalkWithServer::CloseConversation()
{
    const std::weak_ptr<bool> alive = FAlive;
    // Closed first, so requests sent from the calls below fail at once.
    FState = Closed;
    FPendingOutput.clear();
    if (FCompressor)
        FCompressor->Output.clear();
    if (const auto handler = OnDisconnected) {
        handler();
        if (alive.expired())
            return;
    }
    for (size_t i = 0; i < FPendingRequests.size(); ++i) {
        TPendingRequest &entry = FPendingRequests[i];
        if (!entry.Callback)
            continue;
        const TResponseCallback callback = std::move(entry.Callback);
        entry.Callback = nullptr; // failed once, even if a callback closes again
        const TMessageToServer message = entry.Message;
        SendErrorResponse(message, entry.KeepAfterReply, callback);
        if (alive.expired())
            return;
    }
    FPendingRequests.clear();
}
