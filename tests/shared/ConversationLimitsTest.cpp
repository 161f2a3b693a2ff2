// What a hostile server can make one conversation hold: an impossible frame
// length, a stream that inflates to a gibibyte, and the guard against the
// latter, which must leave ordinary traffic alone.
#include "EventLoop.h"
#include "MemoryServerConnection.h"
#include "MiscDebugWindows.h"
#include "ResidentMemory.h"
#include "TalkWithServer.h"
#include "TestAlertServer.h"

#include <QPlainTextEdit>

#include <gtest/gtest.h>
#include <zlib.h>

#include <cstdint>
#include <cstdio>
#include <functional>
#include <memory>
#include <ostream>
#include <random>
#include <stdexcept>
#include <string>
#include <vector>

namespace {

constexpr std::uint64_t MiB = 1024 * 1024;
// What hostile input may add to the resident size while it is handled.
constexpr std::uint64_t MemoryAllowance = 64 * MiB;

// Builds the server's zlib stream piece by piece without ever holding the
// inflated content, so a gibibyte of zeros costs one mebibyte here.
class TServerStreamBuilder
{
public:
    TServerStreamBuilder()
    {
        FStream = {};
        if (deflateInit2(&FStream, Z_DEFAULT_COMPRESSION, Z_DEFLATED, 15, 8, Z_DEFAULT_STRATEGY) != Z_OK)
            throw std::runtime_error("deflateInit2 failed");
    }
    ~TServerStreamBuilder() { deflateEnd(&FStream); }
    TServerStreamBuilder(const TServerStreamBuilder &) = delete;
    TServerStreamBuilder &operator=(const TServerStreamBuilder &) = delete;

    void Add(const std::string &plain) { Deflate(plain.data(), plain.size(), Z_NO_FLUSH); }

    void AddZeros(std::uint64_t count)
    {
        const std::string zeros(MiB, '\0');
        while (count > 0) {
            const std::uint64_t piece = count < MiB ? count : MiB;
            Deflate(zeros.data(), static_cast<size_t>(piece), Z_NO_FLUSH);
            count -= piece;
        }
    }

    // Everything added, sync-flushed, so the client can inflate all of it.
    std::string Take()
    {
        Deflate("", 0, Z_SYNC_FLUSH);
        return std::move(FOutput);
    }

private:
    void Deflate(const char *data, size_t size, int flush)
    {
        FStream.next_in = reinterpret_cast<Bytef *>(const_cast<char *>(data));
        FStream.avail_in = static_cast<uInt>(size);
        char buffer[64 * 1024];
        do {
            FStream.next_out = reinterpret_cast<Bytef *>(buffer);
            FStream.avail_out = sizeof buffer;
            const int result = deflate(&FStream, flush);
            if (result != Z_OK && result != Z_BUF_ERROR)
                throw std::runtime_error("deflate failed");
            FOutput.append(buffer, sizeof buffer - FStream.avail_out);
        } while (FStream.avail_in > 0 || FStream.avail_out == 0);
    }

    z_stream FStream;
    std::string FOutput;
};

std::string DebugText()
{
    if (!MiscDebugWindow)
        return {};
    return MiscDebugWindow->Memo1->toPlainText().toStdString() + "\n" + MiscDebugWindow->PendingText();
}

void ClearDebugText()
{
    if (!MiscDebugWindow)
        return;
    MiscDebugWindow->Timer1Timer();
    MiscDebugWindow->Memo1->clear();
}

const std::string InvalidData = "Invalid data from server: ";
const std::string DataAvailableLocation =
    "Location=TalkWithServer, TTalkWithServer.ServerConnectionDataAvailable";

// A conversation over the in-memory transport, connected, with one request
// that keeps receiving (id 1) and one that expects a single reply (id 8).
class ConversationUnderLoad
{
public:
    ConversationUnderLoad()
    {
        ClearDebugText();
        Talk = std::make_unique<TTalkWithServer>();
        Talk->TransportFactory = [this] {
            auto transport = std::make_unique<TMemoryServerConnection>();
            Transport = transport.get();
            return transport;
        };
        Talk->Connect();
        Transport->AcceptConnection();
        Talk->SendMessage({{"command", "listen_for_alerts"}}, true,
                          [this](bool success, const std::string &body, const TMessageToServer &) {
                              if (!success) {
                                  ++Failures;
                                  return;
                              }
                              ++Replies;
                              BodyBytes += body.size();
                              if (OnReply)
                                  OnReply(body);
                          });
        Talk->SendMessage({{"command", "ping"}}, false,
                          [this](bool success, const std::string &, const TMessageToServer &) {
                              success ? ++PingReplies : ++Failures;
                          });
        ProcessPostedEvents();
    }

    // Hands the stream over in reads of the given size (0: one read).
    void Deliver(const std::string &stream, size_t readSize)
    {
        if (readSize == 0)
            readSize = stream.size();
        for (size_t at = 0; at < stream.size() && Transport->State == TMemoryServerConnection::Connected;
             at += readSize)
            Transport->Deliver(stream.substr(at, readSize));
    }

    std::unique_ptr<TTalkWithServer> Talk;
    TMemoryServerConnection *Transport = nullptr;
    int Replies = 0;
    int PingReplies = 0;
    int Failures = 0;
    std::uint64_t BodyBytes = 0;
    std::function<void(const std::string &)> OnReply;
};

// --- Hostile streams: the conversation ends with a clear reason and the
// memory it held stays bounded, whichever way the bytes arrive.

struct THostileStream
{
    const char *Name;
    std::function<std::string()> Make;
    std::string Reason; // what follows "Invalid data from server: "
};

void PrintTo(const THostileStream &stream, std::ostream *out)
{
    *out << stream.Name;
}

enum class TArrival { OneRead, Reads4K, Loopback };

std::string ArrivalName(TArrival arrival)
{
    switch (arrival) {
    case TArrival::OneRead:
        return "OneRead";
    case TArrival::Reads4K:
        return "Reads4K";
    case TArrival::Loopback:
        return "Loopback";
    }
    return "";
}

std::string MaxLengthFrame()
{
    TServerStreamBuilder builder;
    builder.Add(EncodeFrameHeader(1, 0x7FFFFFFF) + std::string(4096, 'x'));
    return builder.Take();
}

// Made once: deflating a gibibyte takes a few seconds.
const std::string &GibibyteOfZeros()
{
    static const std::string stream = [] {
        TServerStreamBuilder builder;
        builder.AddZeros(1024 * MiB);
        return builder.Take();
    }();
    return stream;
}

const THostileStream HostileStreams[] = {
    {"FrameLengthOfTwoToThe31MinusOne", MaxLengthFrame,
     "reply frame length 2147483647 outside 0 to 16777216"},
    {"GibibyteOfZeros", GibibyteOfZeros, "decompression bomb: the stream inflated to "},
};

class HostileStreamLimits : public ::testing::TestWithParam<std::tuple<THostileStream, TArrival>>
{
};

TEST_P(HostileStreamLimits, EndTheConversationAsInvalidDataWithBoundedMemory)
{
    const THostileStream &hostile = std::get<0>(GetParam());
    const TArrival arrival = std::get<1>(GetParam());
    const std::string stream = hostile.Make();

    TResidentPeak peak;
    std::string lastError;
    std::vector<std::string> failed;
    if (arrival == TArrival::Loopback) {
        ClearDebugText();
        TTestAlertServer server;
        TTalkWithServer talk;
        talk.Address = server.Address();
        talk.SendMessage({{"command", "listen_for_alerts"}}, true,
                         [&](bool success, const std::string &, const TMessageToServer &) {
                             if (!success)
                                 failed.push_back("listen");
                         });
        talk.Connect();
        ASSERT_TRUE(server.WaitForConnection());
        ASSERT_TRUE(WaitFor([&] { return talk.State() == TTalkWithServer::Connected; }));
        peak.Start();
        server.Connection().SendRaw(stream);
        ASSERT_TRUE(WaitFor([&] { return talk.State() == TTalkWithServer::Closed; }, 60000));
        lastError = talk.LastError();
    } else {
        ConversationUnderLoad c;
        peak.Start();
        c.Deliver(stream, arrival == TArrival::OneRead ? 0 : 4096);
        EXPECT_EQ(c.Talk->State(), TTalkWithServer::Closed);
        EXPECT_EQ(c.Transport->State, TMemoryServerConnection::Closed) << "the transport is told to close";
        EXPECT_EQ(c.Replies, 0);
        EXPECT_EQ(c.Failures, 2) << "both pending requests fail once";
        lastError = c.Talk->LastError();
    }
    const std::uint64_t growth = peak.Growth();

    EXPECT_EQ(lastError.rfind(InvalidData + hostile.Reason, 0), 0u) << lastError;
    EXPECT_LT(growth, MemoryAllowance) << "resident memory grew by " << growth / MiB << " MiB";
    if (arrival == TArrival::Loopback) {
        EXPECT_EQ(failed, std::vector<std::string>{"listen"});
    }
    // One report, at the place where received data is taken in.
    const std::string debug = DebugText();
    const size_t line = debug.find("Class=EInvalidServerData, Message=" + hostile.Reason);
    EXPECT_NE(line, std::string::npos) << debug;
    RecordProperty("ResidentGrowthMiB", std::to_string(growth / MiB));
    std::printf("[ limits   ] %s over %s: %llu MiB above idle, %s\n", hostile.Name,
                ArrivalName(arrival).c_str(), static_cast<unsigned long long>(growth / MiB),
                lastError.c_str());
}

INSTANTIATE_TEST_SUITE_P(Streams, HostileStreamLimits,
                         ::testing::Combine(::testing::ValuesIn(HostileStreams),
                                            ::testing::Values(TArrival::OneRead, TArrival::Reads4K,
                                                              TArrival::Loopback)),
                         [](const auto &info) {
                             return std::string(std::get<0>(info.param).Name) + "_" +
                                    ArrivalName(std::get<1>(info.param));
                         });

TEST(ConversationLimits, BombIsReportedWhereReceivedDataIsTakenIn)
{
    ConversationUnderLoad c;
    c.Deliver(GibibyteOfZeros(), 0);
    const std::string debug = DebugText();
    EXPECT_NE(debug.find("Class=EInvalidServerData, Message=decompression bomb: "), std::string::npos)
        << debug;
    EXPECT_NE(debug.find(DataAvailableLocation), std::string::npos) << debug;
    EXPECT_EQ(c.Talk->BufferedInput(), 0u) << "nothing of the bomb is kept";
}

// --- The guard: where a stream stops being alerts.

struct TInflationCase
{
    const char *Name;
    std::function<std::string(int &frames)> Make; // sets the number of frames in the stream
    bool Rejected;
};

// Frames of 1 MiB for the keeping request, each all zeros except for the
// given number of random bytes, which lower the ratio.
std::string MebibyteFrames(int count, size_t randomBytes, int &frames)
{
    std::mt19937 random(7);
    TServerStreamBuilder builder;
    for (int i = 0; i < count; ++i) {
        std::string body(MiB, '\0');
        for (size_t k = 0; k < randomBytes; ++k)
            body[k] = static_cast<char>(random());
        builder.Add(EncodeFrame(1, body));
    }
    frames = count;
    return builder.Take();
}

// Alert-like text: varied symbols, prices and times, as the alert windows get it.
std::string AlertTraffic(std::uint64_t bytes, int &frames)
{
    std::mt19937 random(11);
    TServerStreamBuilder builder;
    std::uint64_t total = 0;
    frames = 0;
    std::string batch;
    while (total < bytes) {
        std::string symbol;
        for (int k = 0; k < 4; ++k)
            symbol += static_cast<char>('A' + random() % 26);
        const std::string body = "CORVANE-main\r\nw_id=" + std::to_string(1 + random() % 8) +
                                 "&symbol=" + symbol + "&price=" + std::to_string(random() % 50000 / 100.0) +
                                 "&volume=" + std::to_string(random() % 1000000) +
                                 "&time=" + std::to_string(34200 + random() % 23400) +
                                 "&distance=" + std::to_string(static_cast<int>(random() % 2000) - 1000) +
                                 "\r\n";
        batch += EncodeFrame(1, body);
        total += 8 + body.size();
        ++frames;
        if (batch.size() > 256 * 1024) {
            builder.Add(batch);
            batch.clear();
        }
    }
    builder.Add(batch);
    return builder.Take();
}

const TInflationCase InflationCases[] = {
    {"ZerosUpTo60MiB", [](int &frames) { return MebibyteFrames(60, 0, frames); }, false},
    {"ZerosPast64MiB", [](int &frames) { return MebibyteFrames(72, 0, frames); }, true},
    {"About300To1Over100MiB", [](int &frames) { return MebibyteFrames(100, 2048, frames); }, false},
    {"AlertTextOver72MiB", [](int &frames) { return AlertTraffic(72 * MiB, frames); }, false},
};

void PrintTo(const TInflationCase &row, std::ostream *out)
{
    *out << row.Name;
}

class InflationGuard : public ::testing::TestWithParam<TInflationCase>
{
};

TEST_P(InflationGuard, StopsOnlyABombPast64MiB)
{
    int frames = 0;
    const std::string stream = GetParam().Make(frames);
    ConversationUnderLoad c;
    c.Deliver(stream, 64 * 1024);
    std::printf("[ guard    ] %s: %d frames, %llu bytes inflated from %zu, %d delivered\n", GetParam().Name,
                frames, static_cast<unsigned long long>(c.BodyBytes + 8ull * c.Replies), stream.size(),
                c.Replies);
    if (GetParam().Rejected) {
        EXPECT_EQ(c.Talk->State(), TTalkWithServer::Closed);
        EXPECT_EQ(c.Talk->LastError().rfind(InvalidData + "decompression bomb: ", 0), 0u)
            << c.Talk->LastError();
        EXPECT_GE(c.Replies, 60) << "frames before the limit are delivered";
        EXPECT_LT(c.Replies, frames);
    } else {
        EXPECT_EQ(c.Talk->State(), TTalkWithServer::Connected) << c.Talk->LastError();
        EXPECT_EQ(c.Replies, frames);
        EXPECT_EQ(c.Failures, 0);
        EXPECT_EQ(c.Talk->BufferedInput(), 0u);
    }
}

INSTANTIATE_TEST_SUITE_P(Streams, InflationGuard, ::testing::ValuesIn(InflationCases),
                         [](const auto &info) { return std::string(info.param.Name); });

// --- Slicing keeps the order of delivery.

// Bodies that do not compress, so one read spans many slices.
std::string NoiseBody(std::mt19937 &random, size_t size)
{
    std::string body(size, '\0');
    for (char &c : body)
        c = static_cast<char>(random());
    return body;
}

TEST(ConversationLimits, OneLargeReadDeliversEveryFrameInOrderAcrossSlices)
{
    std::mt19937 random(3);
    std::vector<std::string> bodies;
    std::string plain;
    // Sizes around the slice size, so frames start and end at many offsets.
    for (const size_t size : {0ul, 1ul, 100ul, InflateSliceSize - 9, InflateSliceSize, InflateSliceSize + 7,
                              3 * InflateSliceSize + 5, 13ul, 70000ul, 2ul}) {
        bodies.push_back(NoiseBody(random, size));
        plain += EncodeFrame(1, bodies.back());
    }
    ConversationUnderLoad c;
    std::vector<std::string> got;
    c.OnReply = [&](const std::string &body) { got.push_back(body); };
    c.Deliver(TReplyStream().Compress(plain), 0);
    EXPECT_EQ(got, bodies);
    EXPECT_EQ(c.Talk->State(), TTalkWithServer::Connected);
}

TEST(ConversationLimits, BytesArrivingInsideACallbackQueueBehindTheCurrentRead)
{
    // A callback that runs a nested event loop can bring the next read while
    // the current one is only partly inflated; its bytes belong after it.
    std::mt19937 random(5);
    TReplyStream server;
    std::vector<std::string> first;
    std::string plainFirst;
    for (int i = 0; i < 6; ++i) {
        first.push_back(NoiseBody(random, InflateSliceSize / 2 + static_cast<size_t>(i)));
        plainFirst += EncodeFrame(1, first.back());
    }
    const std::string readOne = server.Compress(plainFirst);
    const std::string readTwo = server.Compress(EncodeFrame(1, "second read") + EncodeFrame(8, "pong"));
    ASSERT_GT(readOne.size(), 2 * InflateSliceSize);

    ConversationUnderLoad c;
    std::vector<std::string> got;
    bool nested = false;
    c.OnReply = [&](const std::string &body) {
        got.push_back(body);
        if (!nested) {
            nested = true;
            c.Transport->Deliver(readTwo);
        }
    };
    c.Deliver(readOne, 0);
    std::vector<std::string> expected = first;
    expected.push_back("second read");
    EXPECT_EQ(got, expected);
    EXPECT_EQ(c.PingReplies, 1);
    EXPECT_EQ(c.Talk->State(), TTalkWithServer::Connected) << c.Talk->LastError();
}

TEST(ConversationLimits, CorruptBytesEndTheConversationAfterTheFramesOfEarlierSlices)
{
    std::mt19937 random(9);
    TReplyStream server;
    const std::string good = server.Compress(EncodeFrame(1, NoiseBody(random, 3 * InflateSliceSize)) +
                                             EncodeFrame(1, NoiseBody(random, 3 * InflateSliceSize)));
    ASSERT_NE(good.size() % InflateSliceSize, 0u)
        << "the corrupt bytes share a slice with the second frame's end";
    ConversationUnderLoad c;
    c.Deliver(good + std::string(64, '\xFF'), 0);
    // The first frame was complete slices before the corrupt bytes; the
    // second completes in their slice and is dropped with its request.
    EXPECT_EQ(c.Replies, 1);
    EXPECT_EQ(c.Talk->State(), TTalkWithServer::Closed);
    EXPECT_EQ(c.Talk->LastError(), InvalidData + "data error");
    EXPECT_EQ(c.Failures, 2);
    const std::string debug = DebugText();
    EXPECT_NE(debug.find("Class=EZDecompressionError, Message=data error, " + DataAvailableLocation),
              std::string::npos)
        << debug;
}

} // namespace
