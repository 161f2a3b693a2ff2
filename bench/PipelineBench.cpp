// The receiving path without sockets: the server's compressed reply stream,
// cut into 4096-byte chunks, goes through an in-memory transport into a real
// conversation, the main connection's alert delivery and the eight alert
// windows (hidden, so lists and grids are updated but nothing is painted).
// Measured against inflating the same chunks alone, in the same process.

#include "Benchmarks.h"

#include "AlertWindowUnit.h"
#include "BenchSupport.h"
#include "MainConnectionUnit.h"
#include "MemoryServerConnection.h"
#include "TalkWithServer.h"
#include "ZLibEx.h"

#include <QCoreApplication>

#include <cstdio>
#include <memory>
#include <stdexcept>

namespace {

constexpr std::uint64_t StreamSeed = 20240611;
// The subscription's id in a new conversation: the login takes 1, the
// subscription the highest free slot of the first eight.
constexpr std::int32_t SubscriptionId = 8;
constexpr int FramesPerFlush = 8;
constexpr std::size_t ChunkSize = 4096;

// The client's pieces as the program wires them, with the transport swapped
// for an in-memory one that the benchmark plays the network on.
class TPipelineRig
{
public:
    TPipelineRig()
    {
        Connection.SetTimerEnabledForTesting(false); // no pings, no watchdog
        Connection.OnConversationCreatedForTesting = [this](TTalkWithServer &conversation) {
            conversation.TransportFactory = [this]() -> std::unique_ptr<TGenericServerConnection> {
                auto transport = std::make_unique<TMemoryServerConnection>();
                Transport = transport.get();
                return transport;
            };
        };
        Windows = CreateAlertWindows(Connection);
        // Counts what reached the end of the listener list.
        Connection.AddAlertListener([this](const std::string &) { ++Received; });
        Connection.SetUsername("bench");
        Connection.SetPassword("bench");
    }

    // A fresh conversation, logged in and connected: its reply stream starts anew.
    void Reconnect()
    {
        Transport = nullptr;
        Connection.Reset();
        for (int turn = 0;
             turn < 100 && !(Transport && Transport->State == TMemoryServerConnection::Connecting); ++turn) {
            QCoreApplication::sendPostedEvents();
            QCoreApplication::processEvents();
        }
        if (!Transport)
            throw std::runtime_error("the main connection did not connect its conversation");
        Transport->AcceptConnection();
        const TPendingRequests &pending = Connection.Conversation()->PendingRequests();
        if (pending.size() < SubscriptionId || pending[SubscriptionId - 1].Message.empty() ||
            pending[SubscriptionId - 1].Message[0].Value != "listen_for_alerts")
            throw std::runtime_error("the subscription does not hold id 8");
    }

    double Feed(const std::vector<std::string> &chunks)
    {
        const std::size_t before = Received;
        const double start = NowSeconds();
        for (const std::string &chunk : chunks)
            Transport->Deliver(chunk);
        const double elapsed = NowSeconds() - start;
        LastDelivered = Received - before;
        return elapsed;
    }

    TMainConnection Connection;
    std::vector<TAlertForm *> Windows;
    TMemoryServerConnection *Transport = nullptr;
    std::size_t Received = 0;
    std::size_t LastDelivered = 0;
};

double InflateOnly(const std::vector<std::string> &chunks)
{
    TZLibDecompressor decompressor;
    const double start = NowSeconds();
    for (const std::string &chunk : chunks) {
        decompressor.Decompress(chunk);
        decompressor.Output.clear();
    }
    return NowSeconds() - start;
}

} // namespace

void RunPipelineBench(const TPipelineOptions &options)
{
    const TAlertStream stream = BuildAlertStream(options.Alerts, StreamSeed, SubscriptionId, FramesPerFlush);
    const std::vector<std::string> chunks = CutIntoChunks(stream.Compressed, ChunkSize);
    PrintNote("pipeline stream: " + std::to_string(stream.Alerts) + " alerts, " +
              std::to_string(stream.PlainBytes) + " bytes inflated, " +
              std::to_string(stream.Compressed.size()) + " compressed, " + std::to_string(chunks.size()) +
              " chunks of " + std::to_string(ChunkSize));

    TPipelineRig rig;
    // One pass to fill the lists, so every timed pass sees full windows.
    rig.Reconnect();
    rig.Feed(chunks);
    if (rig.LastDelivered != stream.Alerts)
        throw std::runtime_error("pipeline delivered " + std::to_string(rig.LastDelivered) + " of " +
                                 std::to_string(stream.Alerts) + " alerts");

    // Interleaved, so both see the same machine load; medians of the rounds.
    std::vector<double> pipelineTimes, inflateTimes;
    for (int round = 0; round < options.Rounds; ++round) {
        rig.Reconnect();
        pipelineTimes.push_back(rig.Feed(chunks));
        if (rig.LastDelivered != stream.Alerts)
            throw std::runtime_error("pipeline lost alerts");
        inflateTimes.push_back(InflateOnly(chunks));
    }
    const double pipelineRate = stream.Alerts / Median(pipelineTimes);
    const double inflateRate = stream.Alerts / Median(inflateTimes);
    PrintFigure("pipeline_alerts_per_s", pipelineRate, 0);
    PrintFigure("inflate_alerts_per_s", inflateRate, 0);
    PrintFigure("pipeline_ratio", pipelineRate / inflateRate, 3);
}

// ---------------------------------------------------------------- frames_linear

namespace {

// A conversation on an in-memory transport with one request that keeps
// receiving replies, as the subscription does.
class TFrameRig
{
public:
    TFrameRig()
    {
        Conversation.TransportFactory = [this]() -> std::unique_ptr<TGenericServerConnection> {
            auto transport = std::make_unique<TMemoryServerConnection>();
            Transport = transport.get();
            return transport;
        };
        const TRequestHandle handle =
            Conversation.SendMessage(MakeMessage({"command", "listen_for_alerts"}), true,
                                     [this](bool success, const std::string &body, const TMessageToServer &) {
                                         if (success)
                                             BodyBytes += body.size() + 1;
                                     });
        Id = handle.Id;
        Conversation.Connect();
        Transport->AcceptConnection();
    }

    TTalkWithServer Conversation;
    TMemoryServerConnection *Transport = nullptr;
    std::int32_t Id = 0;
    std::size_t BodyBytes = 0;
};

// Chunks of `framesPerChunk` small frames each, `chunks` of them, continuing
// one zlib stream, each chunk ending in a sync flush.
std::vector<std::string> SmallFrameChunks(std::int32_t id, int framesPerChunk, int chunks)
{
    TZLibCompressor compressor(clDefault);
    std::vector<std::string> result;
    int serial = 0;
    for (int c = 0; c < chunks; ++c) {
        std::string plain;
        for (int f = 0; f < framesPerChunk; ++f)
            plain += EncodeReplyFrame(id, "tick " + std::to_string(serial++));
        compressor.Write(plain);
        compressor.Flush();
        result.push_back(std::move(compressor.Output));
        compressor.Output.clear();
    }
    return result;
}

// Seconds to deliver the chunks through a fresh conversation.
double DeliverAll(const std::vector<std::string> &input)
{
    TFrameRig rig;
    const double start = NowSeconds();
    for (const std::string &chunk : input)
        rig.Transport->Deliver(chunk);
    const double elapsed = NowSeconds() - start;
    if (rig.Conversation.BufferedInput() != 0 || rig.BodyBytes == 0)
        throw std::runtime_error("frames were not all delivered");
    return elapsed;
}

} // namespace

void RunFramesLinearBench(const TFramesOptions &options)
{
    // The same number of frames either way: many small chunks, or one big one.
    const int total = options.LargeChunk;
    const int smallChunks = total / options.SmallChunk;
    // A new conversation's one registered request gets id 1.
    const std::vector<std::string> smallInput = SmallFrameChunks(1, options.SmallChunk, smallChunks);
    const std::vector<std::string> largeInput = SmallFrameChunks(1, total, 1);
    std::vector<double> smallTimes, largeTimes;
    for (int round = 0; round < options.Rounds; ++round) {
        smallTimes.push_back(DeliverAll(smallInput));
        largeTimes.push_back(DeliverAll(largeInput));
    }
    const double small = Median(smallTimes) / total;
    const double large = Median(largeTimes) / total;
    PrintFigure("frames_ns_per_frame_" + std::to_string(options.SmallChunk), small * 1e9, 1);
    PrintFigure("frames_ns_per_frame_" + std::to_string(options.LargeChunk), large * 1e9, 1);
    PrintFigure("frames_linear_cost_ratio", large / small, 3);
}
