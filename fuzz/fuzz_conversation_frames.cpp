// Well-formed reply frames (any ids and bodies, now and then a length no
// frame may have) compressed as the server does, into a real conversation
// over the in-memory transport, mixed with requests, cancellations, closes
// and callbacks that send, cancel, close or destroy the conversation.
//
// A model of the pending-request table says which request each frame must
// reach. Checked: every reply reaches the request the model names, with its
// body and message, and nobody else; a cancelled callback is never called
// again; OnResponse sees what the callbacks see; each pending request fails
// exactly once when the conversation ends, in table order; ids and stamps
// are handed out as the table's rules say; and what the conversation wrote
// decodes to exactly the messages it accepted, in order.

#include "Exceptions.h"
#include "FuzzSupport.h"
#include "MemoryServerConnection.h"
#include "TalkWithServer.h"
#include "ZLibEx.h"

#include <fuzzer/FuzzedDataProvider.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace {

const std::string Preamble = "command=set_output&mode=zlib\r\ncommand=set_input&mode=zlib\r\n";

enum TAction : int {
    acNothing,
    acSendRequest,
    acCancelOther,
    acCloseConversation,
    acDropConnection,
    acDestroyConversation,
    acThrow,
    acSendEmptyMessage,
    acCount
};

struct TRequest
{
    TMessageToServer Message;
    bool Keep = false;
    TAction Action = acNothing;
    size_t ActionTarget = 0;
    TRequestHandle Handle;
    bool Registered = false;
    bool Cancelled = false;
    int Successes = 0;
    int Failures = 0;
};

struct TObserved
{
    bool Success;
    std::string Body;
    TMessageToServer Message;
};

struct TFrame
{
    std::int32_t Id;
    std::string Body;
};

void AppendInt32(std::string &out, std::int32_t value)
{
    const auto bits = static_cast<std::uint32_t>(value);
    for (int i = 0; i < 4; ++i)
        out += static_cast<char>(bits >> (8 * i) & 0xFF);
}

std::int32_t ReadInt32(const std::string &bytes, size_t offset)
{
    std::uint32_t value = 0;
    for (int i = 3; i >= 0; --i)
        value = value << 8 | static_cast<unsigned char>(bytes[offset + static_cast<size_t>(i)]);
    return static_cast<std::int32_t>(value);
}

// The messages of an inflated client stream; fails on anything malformed.
std::vector<TMessageToServer> DecodeMessages(const std::string &plain)
{
    std::vector<TMessageToServer> messages;
    TMessageToServer current;
    size_t pos = 0;
    auto text = [&]() {
        FUZZ_CHECK(pos + 4 <= plain.size(), "client stream ends inside a length");
        const std::int32_t length = ReadInt32(plain, pos);
        pos += 4;
        FUZZ_CHECK(length >= 0 && pos + static_cast<size_t>(length) <= plain.size(), "client stream length");
        std::string result = plain.substr(pos, static_cast<size_t>(length));
        pos += static_cast<size_t>(length);
        return result;
    };
    while (pos < plain.size()) {
        std::string name = text();
        if (name.empty()) {
            messages.push_back(current);
            current.clear();
            continue;
        }
        current.push_back({name, text()});
    }
    FUZZ_CHECK(current.empty(), "client stream ends inside a message");
    return messages;
}

class THarness
{
public:
    explicit THarness(FuzzedDataProvider &fdp) : Fdp(fdp) {}

    void Run()
    {
        NewConversation();
        int steps = 0;
        while (Fdp.remaining_bytes() > 0 && ++steps < 200)
            Step();
        CheckWritten(true);
        DestroyConversation();
        FuzzDeliverPostedEvents();
        CheckEnd();
    }

private:
    // ---- the conversation and its transport ----

    void NewConversation()
    {
        Conversation = std::make_unique<TTalkWithServer>();
        Transport = nullptr;
        TransportAlive.reset();
        Slots.clear();
        ModelClosed = false;
        Written.clear();
        ServerStream = std::make_unique<TZLibCompressor>(clDefault);
        Conversation->TransportFactory = [this] {
            auto made = std::make_unique<TMemoryServerConnection>();
            made->FailConnect = FailNextConnect;
            Transport = made.get();
            TransportAlive = made->Alive;
            return made;
        };
        Conversation->OnDisconnected = [this] { Disconnected(); };
        Conversation->OnResponse = [this](bool success, const std::string &body,
                                          const TMessageToServer &message) {
            FUZZ_CHECK(!Observed, "OnResponse twice without a callback between");
            Observed = TObserved{success, body, message};
        };
    }

    void DestroyConversation()
    {
        // Cleared before the destructor runs, as an owner's unique_ptr does.
        std::unique_ptr<TTalkWithServer> gone = std::move(Conversation);
        gone.reset();
        FUZZ_CHECK(ModelClosed, "a conversation was destroyed without closing");
        FUZZ_CHECK(ExpectedFailures.empty(), "pending requests were not failed on destruction");
        FUZZ_CHECK(!TransportAlive || !*TransportAlive, "the transport outlived its conversation");
        Transport = nullptr;
    }

    bool TransportConnected() const
    {
        return Transport && TransportAlive && *TransportAlive &&
               Transport->State == TMemoryServerConnection::Connected;
    }

    void Disconnected()
    {
        FUZZ_CHECK(Conversation == nullptr || Conversation->State() == TTalkWithServer::Closed,
                   "OnDisconnected before the state is Closed");
        if (!ModelClosed) {
            ModelClosed = true;
            // Every pending callback fails, from index 0 up.
            for (TRequest *request : Slots)
                if (request && !request->Cancelled)
                    ExpectedFailures.push_back(request);
            Slots.clear();
        }
        FUZZ_CHECK(Slots.empty(), "a closed conversation registered a request");
        // A request sent from here fails at once.
        if (Fdp.remaining_bytes() > 0 && Fdp.ConsumeIntegralInRange<int>(0, 7) == 0 && Conversation)
            SendRequest(false, acNothing, 0, {{"command", "from OnDisconnected"}});
    }

    // ---- requests ----

    TRequest &NewRequest(bool keep, TAction action, size_t target, TMessageToServer message)
    {
        auto request = std::make_unique<TRequest>();
        request->Keep = keep;
        request->Action = action;
        request->ActionTarget = target;
        request->Message = std::move(message);
        Requests.push_back(std::move(request));
        return *Requests.back();
    }

    void SendRequest(bool keep, TAction action, size_t target, TMessageToServer message)
    {
        if (Requests.size() >= 120 || !Conversation)
            return;
        TRequest &request = NewRequest(keep, action, target, std::move(message));
        bool anyName = false;
        for (const TMessageField &field : request.Message)
            anyName = anyName || !field.Name.empty();
        const bool accepted = !ModelClosed && anyName;
        std::int32_t expectedId = 0;
        const std::int64_t stamp = NextRequestStamp;
        if (accepted) {
            // The free slot with the highest index, else the table grows.
            size_t index = Slots.size();
            for (size_t i = Slots.size(); i-- > 0;)
                if (!Slots[i]) {
                    index = i;
                    break;
                }
            if (index == Slots.size())
                Slots.resize(std::max<size_t>(8, Slots.size() * 2), nullptr);
            Slots[index] = &request;
            expectedId = static_cast<std::int32_t>(index + 1);
            request.Registered = true;
        } else {
            ImmediateFailure = &request;
        }
        TRequest *self = &request;
        request.Handle = Conversation->SendMessage(
            request.Message, keep,
            [this, self](bool success, const std::string &body, const TMessageToServer &message) {
                Called(*self, success, body, message);
            });
        FUZZ_CHECK(ImmediateFailure == nullptr, "a refused request did not fail at once");
        FUZZ_CHECK(request.Handle.Id == expectedId, "request got id " + std::to_string(request.Handle.Id) +
                                                        ", expected " + std::to_string(expectedId));
        if (accepted) {
            FUZZ_CHECK(request.Handle.Stamp == stamp && NextRequestStamp == stamp + 1, "request stamp");
            TMessageToServer sent = {{"message_id", std::to_string(expectedId)}};
            for (const TMessageField &field : request.Message)
                if (!field.Name.empty())
                    sent.push_back(field);
            Written.push_back(sent);
        } else {
            FUZZ_CHECK(request.Handle.Stamp == 0 && NextRequestStamp == stamp,
                       "a refused request took a stamp");
        }
    }

    void SendWithoutCallback(TMessageToServer message)
    {
        if (!Conversation)
            return;
        const std::int64_t stamp = NextRequestStamp;
        const TRequestHandle handle = Conversation->SendMessage(message, Fdp.ConsumeBool(), nullptr);
        FUZZ_CHECK(handle.Id == 0 && handle.Stamp == 0 && NextRequestStamp == stamp,
                   "a request without a callback was registered");
        bool anyName = false;
        TMessageToServer sent;
        for (const TMessageField &field : message)
            if (!field.Name.empty()) {
                anyName = true;
                sent.push_back(field);
            }
        if (anyName && !ModelClosed)
            Written.push_back(sent);
    }

    void Cancel(const TRequestHandle &handle)
    {
        if (!Conversation)
            return;
        if (handle.Id >= 1 && static_cast<size_t>(handle.Id) <= Slots.size()) {
            TRequest *holder = Slots[static_cast<size_t>(handle.Id - 1)];
            if (holder && holder->Handle.Stamp == handle.Stamp)
                holder->Cancelled = true;
        }
        Conversation->CancelCallback(handle);
    }

    // Where the next reply with this id goes, and what it releases.
    TRequest *Route(const TFrame &frame)
    {
        if (ModelClosed || frame.Id < 1 || static_cast<size_t>(frame.Id) > Slots.size())
            return nullptr;
        TRequest *holder = Slots[static_cast<size_t>(frame.Id - 1)];
        if (!holder)
            return nullptr;
        if (!holder->Keep)
            Slots[static_cast<size_t>(frame.Id - 1)] = nullptr;
        return holder->Cancelled ? nullptr : holder;
    }

    void Called(TRequest &request, bool success, const std::string &body, const TMessageToServer &message)
    {
        FUZZ_CHECK(!request.Cancelled, "a cancelled callback was called");
        FUZZ_CHECK(request.Failures == 0, "a callback was called after its failure");
        FUZZ_CHECK(message == request.Message, "a callback got another request's message");
        const bool observed = success || !request.Keep;
        if (observed) {
            FUZZ_CHECK(Observed && Observed->Success == success && Observed->Body == body &&
                           Observed->Message == message,
                       "OnResponse did not see this response first");
        } else {
            FUZZ_CHECK(!Observed, "OnResponse saw the failure of a kept request");
        }
        Observed.reset();

        if (!success) {
            FUZZ_CHECK(body.empty(), "a failure carries a body");
            ++request.Failures;
            if (ImmediateFailure == &request) {
                ImmediateFailure = nullptr;
                return;
            }
            FUZZ_CHECK(!ExpectedFailures.empty() && ExpectedFailures.front() == &request,
                       "a request failed out of turn");
            ExpectedFailures.pop_front();
            return;
        }

        // The next frame that reaches anyone must be this one.
        for (;;) {
            FUZZ_CHECK(!Frames.empty(), "a reply was delivered that the server did not send");
            const TFrame frame = Frames.front();
            Frames.pop_front();
            TRequest *target = Route(frame);
            if (!target)
                continue;
            FUZZ_CHECK(target == &request,
                       "reply with id " + std::to_string(frame.Id) + " reached the wrong request");
            FUZZ_CHECK(frame.Body == body, "reply body changed on the way");
            break;
        }
        ++request.Successes;
        if (!request.Keep)
            FUZZ_CHECK(request.Successes == 1, "a plain request got a second reply");

        if (Depth >= 2)
            return;
        ++Depth;
        struct TDepthGuard
        {
            int &Depth;
            ~TDepthGuard() { --Depth; }
        } guard{Depth};
        Act(request);
    }

    void Act(TRequest &request)
    {
        switch (request.Action) {
        case acNothing:
            break;
        case acSendRequest:
            SendRequest(request.ActionTarget % 2 == 0, static_cast<TAction>(request.ActionTarget % acCount),
                        request.ActionTarget / 3,
                        {{"command", "from a callback"}, {"n", std::to_string(Requests.size())}});
            break;
        case acCancelOther:
            if (!Requests.empty())
                Cancel(Requests[request.ActionTarget % Requests.size()]->Handle);
            break;
        case acCloseConversation:
            if (Conversation)
                Conversation->CloseConversation();
            break;
        case acDropConnection:
            if (TransportConnected())
                Transport->DropConnection();
            break;
        case acDestroyConversation:
            if (Conversation)
                DestroyConversation();
            break;
        case acThrow:
            throw Exception("callback failed");
        case acSendEmptyMessage:
            SendRequest(false, acNothing, 0, {{"", "nameless"}});
            break;
        default:
            break;
        }
    }

    // ---- the server's side ----

    void DeliverFrames()
    {
        if (!TransportConnected())
            return;
        std::string plain;
        const int count = Fdp.ConsumeIntegralInRange<int>(1, 6);
        std::vector<TFrame> frames;
        for (int i = 0; i < count; ++i) {
            TFrame frame;
            switch (Fdp.ConsumeIntegralInRange<int>(0, 5)) {
            case 0:
            case 1:
            case 2:
                frame.Id =
                    Requests.empty()
                        ? 1
                        : Requests[Fdp.ConsumeIntegralInRange<size_t>(0, Requests.size() - 1)]->Handle.Id;
                break;
            case 3:
                frame.Id = Fdp.ConsumeIntegralInRange<std::int32_t>(-2, 20);
                break;
            default:
                frame.Id = Fdp.ConsumeIntegral<std::int32_t>();
                break;
            }
            frame.Body = Fdp.ConsumeRandomLengthString(Fdp.ConsumeBool() ? 16 : 300);
            AppendInt32(plain, frame.Id);
            AppendInt32(plain, static_cast<std::int32_t>(frame.Body.size()));
            plain += frame.Body;
            frames.push_back(frame);
        }
        // Now and then a length no frame may have, after the good frames.
        bool badLength = false;
        if (Fdp.ConsumeIntegralInRange<int>(0, 19) == 0) {
            badLength = true;
            AppendInt32(plain, 1);
            AppendInt32(plain, Fdp.ConsumeBool() ? Fdp.ConsumeIntegralInRange<std::int32_t>(INT32_MIN, -1)
                                                 : Fdp.ConsumeIntegralInRange<std::int32_t>(
                                                       MaxReplyBodyLength + 1, INT32_MAX));
        }
        for (const TFrame &frame : frames)
            Frames.push_back(frame);

        ServerStream->Write(plain);
        ServerStream->Flush();
        std::string compressed = std::move(ServerStream->Output);
        ServerStream->Output.clear();
        // Cut into up to four received chunks.
        std::vector<size_t> cuts;
        const int pieces = Fdp.ConsumeIntegralInRange<int>(1, 4);
        for (int i = 1; i < pieces; ++i)
            cuts.push_back(Fdp.ConsumeIntegralInRange<size_t>(0, compressed.size()));
        cuts.push_back(compressed.size());
        std::sort(cuts.begin(), cuts.end());
        size_t from = 0;
        for (size_t to : cuts) {
            if (!TransportConnected())
                break;
            if (to > from)
                Transport->Deliver(compressed.substr(from, to - from));
            from = to;
        }
        // Every frame sent has been handed out by now.
        while (!Frames.empty()) {
            const TFrame frame = Frames.front();
            Frames.pop_front();
            FUZZ_CHECK(Route(frame) == nullptr,
                       "reply with id " + std::to_string(frame.Id) + " was not delivered to its request");
        }
        if (badLength && Conversation && from == compressed.size())
            FUZZ_CHECK(Conversation->State() == TTalkWithServer::Closed,
                       "a bad frame length did not end the conversation");
        if (Conversation && Conversation->State() != TTalkWithServer::Closed)
            FUZZ_CHECK(Conversation->BufferedInput() == 0, "complete frames were left in the buffer");
    }

    // What the conversation wrote decodes to the messages it accepted, in
    // order: all of them while it is connected and its output was flushed,
    // a prefix once it closed.
    void CheckWritten(bool flushFirst)
    {
        if (!Conversation || !TransportConnected())
            return;
        if (flushFirst)
            FuzzDeliverPostedEvents();
        const std::string all = Transport->AllSent();
        FUZZ_CHECK(all.compare(0, Preamble.size(), Preamble) == 0,
                   "the stream does not start with the preamble");
        TZLibDecompressor inflater;
        inflater.Decompress(all.substr(Preamble.size()));
        const std::vector<TMessageToServer> messages = DecodeMessages(inflater.Output);
        const bool complete = Conversation->State() == TTalkWithServer::Connected;
        FUZZ_CHECK(complete ? messages.size() == Written.size() : messages.size() <= Written.size(),
                   "the conversation wrote " + std::to_string(messages.size()) + " messages, accepted " +
                       std::to_string(Written.size()));
        for (size_t i = 0; i < messages.size(); ++i)
            FUZZ_CHECK(messages[i] == Written[i],
                       "message " + std::to_string(i) + " was written differently");
    }

    // ---- the steps ----

    TMessageToServer MakeFuzzMessage()
    {
        TMessageToServer message;
        const int pairs = Fdp.ConsumeIntegralInRange<int>(0, 3);
        for (int i = 0; i < pairs; ++i) {
            TMessageField field;
            field.Name = Fdp.ConsumeIntegralInRange<int>(0, 5) == 0 ? std::string()
                                                                    : "n" + Fdp.ConsumeRandomLengthString(6);
            field.Value = Fdp.ConsumeRandomLengthString(12);
            message.push_back(field);
        }
        return message;
    }

    void Step()
    {
        if (!Conversation) {
            NewConversation();
            return;
        }
        switch (Fdp.ConsumeIntegralInRange<int>(0, 15)) {
        case 0:
        case 1:
        case 2: {
            const bool keep = Fdp.ConsumeBool();
            const auto action = static_cast<TAction>(Fdp.ConsumeIntegralInRange<int>(0, acCount - 1));
            const size_t target = Fdp.ConsumeIntegral<std::uint16_t>();
            TMessageToServer message = MakeFuzzMessage();
            if (message.empty() && Fdp.ConsumeBool())
                message = {{"command", "ping"}};
            SendRequest(keep, action, target, message);
            break;
        }
        case 3:
            SendWithoutCallback(MakeFuzzMessage());
            break;
        case 4:
            if (!Requests.empty())
                Cancel(Requests[Fdp.ConsumeIntegralInRange<size_t>(0, Requests.size() - 1)]->Handle);
            break;
        case 5: {
            TRequestHandle handle;
            handle.Id = Fdp.ConsumeIntegralInRange<std::int32_t>(-1, 20);
            handle.Stamp = Fdp.ConsumeBool() && !Requests.empty() ? Requests.back()->Handle.Stamp
                                                                  : Fdp.ConsumeIntegral<std::int64_t>();
            Cancel(handle);
            break;
        }
        case 6:
        case 7:
        case 8:
        case 9:
            DeliverFrames();
            break;
        case 10:
            FuzzDeliverPostedEvents();
            CheckWritten(false);
            break;
        case 11:
            if (Conversation->State() == TTalkWithServer::NotConnected && !Conversation->ServerConnection()) {
                FailNextConnect = Fdp.ConsumeIntegralInRange<int>(0, 7) == 0;
                Conversation->Connect();
                if (TransportAlive && *TransportAlive &&
                    Transport->State == TMemoryServerConnection::Connecting && !FailNextConnect)
                    Transport->AcceptConnection();
            }
            break;
        case 12:
            if (TransportConnected())
                Transport->DropConnection();
            break;
        case 13:
            CheckWritten(true);
            Conversation->CloseConversation();
            break;
        case 14:
            CheckWritten(true);
            DestroyConversation();
            break;
        default:
            if (TransportConnected())
                Transport->RaiseDebugMessage(Fdp.ConsumeRandomLengthString(8));
            break;
        }
    }

    void CheckEnd()
    {
        FUZZ_CHECK(ExpectedFailures.empty(), "requests left without their failure");
        for (const auto &request : Requests) {
            FUZZ_CHECK(request->Failures <= 1, "a request failed more than once");
            if (request->Cancelled)
                continue;
            if (request->Keep || !request->Registered)
                FUZZ_CHECK(request->Failures == 1, "a request did not fail exactly once at the end");
            else
                FUZZ_CHECK(request->Successes + request->Failures == 1,
                           "a plain request did not end exactly once");
        }
    }

    FuzzedDataProvider &Fdp;
    std::unique_ptr<TTalkWithServer> Conversation;
    TMemoryServerConnection *Transport = nullptr;
    std::shared_ptr<bool> TransportAlive;
    bool FailNextConnect = false;
    std::unique_ptr<TZLibCompressor> ServerStream;

    std::vector<std::unique_ptr<TRequest>> Requests;
    std::vector<TRequest *> Slots; // the model of the pending-request table
    bool ModelClosed = false;
    std::deque<TFrame> Frames; // sent, not yet accounted for
    std::deque<TRequest *> ExpectedFailures;
    TRequest *ImmediateFailure = nullptr;
    std::optional<TObserved> Observed;
    std::vector<TMessageToServer> Written; // messages the conversation accepted, in order
    int Depth = 0;
};

} // namespace

extern "C" int LLVMFuzzerInitialize(int *argc, char ***argv)
{
    FuzzInitializeApplication(argc, argv);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    FuzzedDataProvider fdp(data, size);
    {
        THarness harness(fdp);
        harness.Run();
    }
    FuzzDrainDebugWindow();
    return 0;
}
