// The server's stream, raw bytes as received, into a real conversation over
// the in-memory transport. The input's first bytes say how the rest is cut
// into received chunks. Whatever arrives, the conversation never crashes,
// never buffers without bound, and every request ends with exactly one
// failure or (once, for a plain request) a reply.

#include "FuzzSupport.h"
#include "MemoryServerConnection.h"
#include "TalkWithServer.h"

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace {

struct TRecord
{
    bool Keep = false;
    int Successes = 0;
    int Failures = 0;
    bool CallAfterFailure = false;
};

} // namespace

extern "C" int LLVMFuzzerInitialize(int *argc, char ***argv)
{
    FuzzInitializeApplication(argc, argv);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    if (size == 0)
        return 0;
    // Byte 0: how many chunk sizes follow (low 3 bits). Each size byte gives
    // 1 to 256 bytes; the sizes repeat until the stream is used up.
    size_t pos = 0;
    const size_t sizeCount = data[pos++] & 7;
    std::vector<size_t> sizes;
    for (size_t i = 0; i < sizeCount && pos < size; ++i)
        sizes.push_back(static_cast<size_t>(data[pos++]) + 1);
    if (sizes.empty())
        sizes.push_back(size);
    const std::string stream(reinterpret_cast<const char *>(data) + pos, size - pos);

    std::vector<TRecord> records(5);
    records[1].Keep = true;
    records[3].Keep = true;
    {
        auto conversation = std::make_unique<TTalkWithServer>();
        TMemoryServerConnection *transport = nullptr;
        std::shared_ptr<bool> transportAlive;
        conversation->TransportFactory = [&] {
            auto made = std::make_unique<TMemoryServerConnection>();
            transport = made.get();
            transportAlive = made->Alive;
            return made;
        };
        // Ids 1, 8, 7, 6, 5: the ids a server's reply stream is most likely to name.
        for (size_t i = 0; i < records.size(); ++i) {
            TRecord &record = records[i];
            conversation->SendMessage(
                {{"command", "request " + std::to_string(i)}}, record.Keep,
                [&record](bool success, const std::string &body, const TMessageToServer &) {
                    if (record.Failures > 0)
                        record.CallAfterFailure = true;
                    if (success) {
                        ++record.Successes;
                    } else {
                        FUZZ_CHECK(body.empty(), "a failure carries a body");
                        ++record.Failures;
                    }
                });
        }
        conversation->Connect();
        transport->AcceptConnection();
        FuzzDeliverPostedEvents();

        size_t offset = 0;
        for (size_t chunk = 0; offset < stream.size(); ++chunk) {
            if (!*transportAlive || transport->State != TMemoryServerConnection::Connected)
                break;
            const size_t length = std::min(sizes[chunk % sizes.size()], stream.size() - offset);
            transport->Deliver(stream.substr(offset, length));
            offset += length;
            // Nothing waits for a body that can never be valid.
            FUZZ_CHECK(conversation->BufferedInput() < 8 + static_cast<size_t>(MaxReplyBodyLength),
                       "the conversation buffers more than one frame can hold");
        }
        if (conversation->State() == TTalkWithServer::Closed)
            FUZZ_CHECK(conversation->PendingRequests().empty(), "a closed conversation keeps requests");
    }
    for (const TRecord &record : records) {
        FUZZ_CHECK(!record.CallAfterFailure, "a callback was called after its failure");
        FUZZ_CHECK(record.Failures <= 1, "a request failed more than once");
        if (record.Keep)
            FUZZ_CHECK(record.Failures == 1, "a kept request did not fail exactly once at the end");
        else
            FUZZ_CHECK(record.Successes + record.Failures == 1, "a request did not end exactly once");
    }
    FuzzDrainDebugWindow();
    return 0;
}
