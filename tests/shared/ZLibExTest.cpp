#include "ZLibEx.h"

#include <gtest/gtest.h>
#include <zlib.h>

#include <cstring>
#include <functional>
#include <ostream>
#include <random>
#include <string>
#include <vector>

namespace {

using namespace std::string_literals;

std::string RandomBytes(size_t n, unsigned seed)
{
    std::mt19937 random(seed);
    std::string data(n, '\0');
    for (char &c : data)
        c = static_cast<char>(random() % 256);
    return data;
}

// A whole zlib stream made directly with zlib, finished with Z_FINISH and
// optionally using a preset dictionary.
std::string FinishedStream(const std::string &data, const std::string &dictionary = {})
{
    z_stream s;
    std::memset(&s, 0, sizeof s);
    EXPECT_EQ(deflateInit(&s, Z_DEFAULT_COMPRESSION), Z_OK);
    if (!dictionary.empty()) {
        EXPECT_EQ(deflateSetDictionary(&s, reinterpret_cast<const Bytef *>(dictionary.data()),
                                       static_cast<uInt>(dictionary.size())),
                  Z_OK);
    }
    std::string out(deflateBound(&s, data.size()), '\0');
    s.next_in = reinterpret_cast<Bytef *>(const_cast<char *>(data.data()));
    s.avail_in = static_cast<uInt>(data.size());
    s.next_out = reinterpret_cast<Bytef *>(out.data());
    s.avail_out = static_cast<uInt>(out.size());
    EXPECT_EQ(deflate(&s, Z_FINISH), Z_STREAM_END);
    out.resize(s.total_out);
    deflateEnd(&s);
    return out;
}

// Feeds the decompressor the data cut into the given chunk sizes (cycled).
void FeedInChunks(TZLibDecompressor &decompressor, const std::string &data, const std::vector<size_t> &cuts)
{
    size_t at = 0;
    for (size_t i = 0; at < data.size(); ++i) {
        const size_t size = cuts.empty() ? data.size() : cuts[i % cuts.size()];
        decompressor.Decompress(data.substr(at, size));
        at += size;
    }
}

// ---- Round trip: batches written in pieces, each batch flushed, the stream
// fed to the decompressor in chunks cut at arbitrary points ----

struct RoundTripCase
{
    const char *name;
    std::vector<std::vector<std::string>> batches; // pieces of each batch
    std::vector<size_t> cuts;                      // chunk sizes, cycled; empty: whole batch at once
};

void PrintTo(const RoundTripCase &c, std::ostream *os)
{
    *os << c.name;
}

class ZLibRoundTrip : public ::testing::TestWithParam<RoundTripCase>
{
};

TEST_P(ZLibRoundTrip, EachFlushedBatchDecodesCompletely)
{
    const RoundTripCase &c = GetParam();
    TZLibCompressor compressor(clDefault);
    TZLibDecompressor decompressor;
    std::string sent;
    for (const auto &batch : c.batches) {
        for (const auto &piece : batch) {
            compressor.Write(piece);
            sent += piece;
        }
        compressor.Flush();
        const std::string compressed = std::move(compressor.Output);
        compressor.Output.clear();
        // The sync flush makes everything written so far decodable now.
        FeedInChunks(decompressor, compressed, c.cuts);
        ASSERT_EQ(decompressor.Output.size(), sent.size());
        ASSERT_EQ(decompressor.Output, sent);
    }
}

std::vector<std::string> Pieces(const std::string &data, size_t pieceSize)
{
    std::vector<std::string> pieces;
    for (size_t at = 0; at < data.size(); at += pieceSize)
        pieces.push_back(data.substr(at, pieceSize));
    return pieces;
}

const std::string Text = "login\x00\x05\x00\x00\x00user1password\x00\x03\x00\x00\x00"
                         "abc"s;

INSTANTIATE_TEST_SUITE_P(
    Batches, ZLibRoundTrip,
    ::testing::Values(
        RoundTripCase{"ThreePiecesWhole", {{"first", "second", "third"}}, {}},
        RoundTripCase{"ThreePiecesByteByByte", {{"first", "second", "third"}}, {1}},
        RoundTripCase{
            "SeveralBatchesOddCuts", {{Text, Text}, {"x"}, {Text, "", Text, Text}, {"end"}}, {3, 1, 7}},
        RoundTripCase{"SingleByteBatches", {{"a"}, {"\0"s}, {"\xff"}, {"b"}}, {1}},
        RoundTripCase{"EmptyPiecesIgnored", {{"", "abc", ""}, {"", "def"}}, {2}},
        RoundTripCase{"LargeIncompressibleBatch", {Pieces(RandomBytes(100000, 1), 9000)}, {}},
        RoundTripCase{"LargeIncompressibleCutsMidBlock",
                      {Pieces(RandomBytes(30000, 2), 7000), {"tail"}},
                      {4095, 1, 4097, 13}},
        RoundTripCase{
            "CompressibleBatchesCut", {{std::string(50000, 'a')}, {std::string(70000, 'b'), "c"}}, {5, 2}},
        RoundTripCase{"ManySmallBatches",
                      {{"1"}, {"22"}, {"333"}, {"4444"}, {"55555"}, {"666666"}, {"7777777"}, {"88888888"}},
                      {2, 3}}),
    [](const auto &info) { return std::string(info.param.name); });

// ---- The held-back piece ----

TEST(ZLibCompressor, LastPieceIsHeldBackUntilTheFlush)
{
    TZLibCompressor compressor(clDefault);
    // A large incompressible third piece would show in Output if it had
    // reached zlib before the flush.
    const std::string third = RandomBytes(60000, 3);
    compressor.Write("first ");
    compressor.Write("second ");
    compressor.Write(third);
    EXPECT_EQ(compressor.HeldBack(), third);
    EXPECT_LT(compressor.Output.size(), 100u);

    TZLibDecompressor early;
    early.Decompress(compressor.Output);
    EXPECT_EQ(std::string("first second ").compare(0, early.Output.size(), early.Output), 0)
        << "before the flush only a prefix of the first two pieces can be decoded";

    compressor.Flush();
    EXPECT_TRUE(compressor.HeldBack().empty());
    TZLibDecompressor decompressor;
    decompressor.Decompress(compressor.Output);
    EXPECT_EQ(decompressor.Output, "first second " + third);
}

TEST(ZLibCompressor, FlushWithNothingWrittenProducesNothing)
{
    TZLibCompressor compressor(clDefault);
    compressor.Flush();
    EXPECT_TRUE(compressor.Output.empty());
    compressor.Write("");
    compressor.Flush();
    EXPECT_TRUE(compressor.Output.empty());

    compressor.Write("data");
    compressor.Flush();
    const std::string afterOne = compressor.Output;
    compressor.Flush();
    EXPECT_EQ(compressor.Output, afterOne) << "a second flush adds no empty sync-flush block";
}

TEST(ZLibCompressor, BatchEndsWithTheSyncFlushMarker)
{
    TZLibCompressor compressor(clDefault);
    compressor.Write("piece one");
    compressor.Write("piece two");
    compressor.Flush();
    const std::string &out = compressor.Output;
    ASSERT_GE(out.size(), 4u);
    EXPECT_EQ(out.substr(out.size() - 4), "\x00\x00\xff\xff"s);
    EXPECT_EQ(out.find("\x00\x00\xff\xff"s), out.size() - 4) << "exactly one sync-flush block per batch";
}

struct LevelCase
{
    const char *name;
    TCompressionLevel level;
    std::string header;
};

void PrintTo(const LevelCase &c, std::ostream *os)
{
    *os << c.name;
}

class ZLibCompressorLevel : public ::testing::TestWithParam<LevelCase>
{
};

TEST_P(ZLibCompressorLevel, StartsWithTheZlibHeaderOfTheLevel)
{
    TZLibCompressor compressor(GetParam().level);
    const std::string data = "abcabcabc" + RandomBytes(5000, 4) + std::string(5000, 'z');
    compressor.Write(data);
    compressor.Flush();
    ASSERT_GE(compressor.Output.size(), 2u);
    EXPECT_EQ(compressor.Output.substr(0, 2), GetParam().header);
    TZLibDecompressor decompressor;
    decompressor.Decompress(compressor.Output);
    EXPECT_EQ(decompressor.Output, data);
}

INSTANTIATE_TEST_SUITE_P(Levels, ZLibCompressorLevel,
                         ::testing::Values(LevelCase{"Default", clDefault, "\x78\x9c"},
                                           LevelCase{"None", clNone, "\x78\x01"},
                                           LevelCase{"Fastest", clFastest, "\x78\x01"},
                                           LevelCase{"Max", clMax, "\x78\xda"}),
                         [](const auto &info) { return std::string(info.param.name); });

// ---- More than one pass of 4096 bytes in one call ----

TEST(ZLibCompressor, OneCallProducingMoreThan4096BytesIsCollectedWhole)
{
    TZLibCompressor compressor(clDefault);
    const std::string data = RandomBytes(50000, 5);
    compressor.Write(data);
    compressor.Flush();
    EXPECT_GT(compressor.Output.size(), 4096u * 3);
    TZLibDecompressor decompressor;
    decompressor.Decompress(compressor.Output);
    EXPECT_EQ(decompressor.Output, data);
}

struct InflateSizeCase
{
    const char *name;
    std::string data;
};

void PrintTo(const InflateSizeCase &c, std::ostream *os)
{
    *os << c.name;
}

class ZLibDecompressorLargeOutput : public ::testing::TestWithParam<InflateSizeCase>
{
};

TEST_P(ZLibDecompressorLargeOutput, OneCallCollectsEveryPass)
{
    TZLibCompressor compressor(clDefault);
    compressor.Write(GetParam().data);
    compressor.Flush();
    TZLibDecompressor decompressor;
    decompressor.Decompress(compressor.Output);
    EXPECT_EQ(decompressor.Output.size(), GetParam().data.size());
    EXPECT_EQ(decompressor.Output, GetParam().data);
}

// A multiple of 4096 makes the last pass fill its buffer exactly, so one more
// pass runs with nothing left to produce (zlib's buffer error, accepted).
INSTANTIATE_TEST_SUITE_P(
    Sizes, ZLibDecompressorLargeOutput,
    ::testing::Values(InflateSizeCase{"ExactlyOnePass", std::string(4096, 'q')},
                      InflateSizeCase{"ExactMultipleOfPasses", std::string(1 << 20, '\0')},
                      InflateSizeCase{"OneByteOverAPass", std::string(4097, 'q')},
                      InflateSizeCase{"ManyPassesFromSmallInput", std::string(300001, 'r')}),
    [](const auto &info) { return std::string(info.param.name); });

// ---- Corrupt input and dead streams ----

struct BadStreamCase
{
    const char *name;
    std::function<std::vector<std::string>()> chunks; // the last chunk raises
    std::string message;
    std::string goodOutput; // what the chunks before the failing one yield
};

void PrintTo(const BadStreamCase &c, std::ostream *os)
{
    *os << c.name;
}

class ZLibDecompressorBadStream : public ::testing::TestWithParam<BadStreamCase>
{
};

TEST_P(ZLibDecompressorBadStream, RaisesOnceThenDropsEverything)
{
    const BadStreamCase &c = GetParam();
    TZLibDecompressor decompressor;
    const std::vector<std::string> chunks = c.chunks();
    for (size_t i = 0; i + 1 < chunks.size(); ++i)
        decompressor.Decompress(chunks[i]);
    try {
        decompressor.Decompress(chunks.back());
        FAIL() << "no exception";
    } catch (const EZDecompressionError &e) {
        EXPECT_EQ(e.Message(), c.message);
        EXPECT_EQ(e.ClassName(), "EZDecompressionError");
    }
    EXPECT_EQ(decompressor.Output.substr(0, c.goodOutput.size()), c.goodOutput);
    const std::string before = decompressor.Output;

    // The stream is dead: later input is dropped and nothing is raised.
    TZLibCompressor compressor(clDefault);
    compressor.Write("valid data");
    compressor.Flush();
    EXPECT_NO_THROW(decompressor.Decompress(compressor.Output));
    EXPECT_NO_THROW(decompressor.Decompress("more garbage"));
    EXPECT_EQ(decompressor.Output, before);
}

std::string SyncFlushed(const std::string &data)
{
    TZLibCompressor compressor(clDefault);
    compressor.Write(data);
    compressor.Flush();
    return compressor.Output;
}

INSTANTIATE_TEST_SUITE_P(
    Streams, ZLibDecompressorBadStream,
    ::testing::Values(
        BadStreamCase{"GarbageBadHeader", [] { return std::vector<std::string>{"this is not zlib"}; },
                      "data error", ""},
        BadStreamCase{"ReservedBlockType", [] { return std::vector<std::string>{"\x78\x9c\x07\x00"s}; },
                      "data error", ""},
        BadStreamCase{"GarbageAfterGoodChunk",
                      [] {
                          return std::vector<std::string>{SyncFlushed("good part"), "\xff\xff\xff\xff"};
                      },
                      "data error", "good part"},
        // Decided: a finished stream followed by more bytes is invalid data.
        BadStreamCase{"BytesAfterStreamEndSameChunk",
                      [] { return std::vector<std::string>{FinishedStream("abc") + "extra"}; },
                      "data after end of stream", "abc"},
        BadStreamCase{"BytesAfterStreamEndLaterChunk",
                      [] {
                          return std::vector<std::string>{FinishedStream("abc"), "x"};
                      },
                      "data after end of stream", "abc"},
        BadStreamCase{"SecondStreamAfterTheFirst",
                      [] {
                          const std::string s = FinishedStream(std::string(10000, 'w'));
                          return std::vector<std::string>{s + s};
                      },
                      "data after end of stream", std::string(10000, 'w')},
        // Decided: a stream asking for a preset dictionary is invalid data.
        BadStreamCase{"PresetDictionary",
                      [] { return std::vector<std::string>{FinishedStream("abcabc", "abc")}; },
                      "preset dictionary requested", ""},
        BadStreamCase{"PresetDictionaryHeaderAlone",
                      [] {
                          const std::string s = FinishedStream("abcabc", "abc");
                          return std::vector<std::string>{s.substr(0, 6), s.substr(6)};
                      },
                      "preset dictionary requested", ""}),
    [](const auto &info) { return std::string(info.param.name); });

TEST(ZLibDecompressor, FinishedStreamEndingAtTheChunkEndIsNotAnError)
{
    TZLibDecompressor decompressor;
    const std::string stream = FinishedStream("whole message");
    FeedInChunks(decompressor, stream, {4});
    EXPECT_EQ(decompressor.Output, "whole message");
    EXPECT_NO_THROW(decompressor.Decompress(""));
}

TEST(ZLibDecompressor, PartialChunkYieldsWhatCanBeInflatedNow)
{
    const std::string data = RandomBytes(20000, 6);
    const std::string stream = SyncFlushed(data);
    TZLibDecompressor decompressor;
    decompressor.Decompress(stream.substr(0, stream.size() / 2));
    EXPECT_GT(decompressor.Output.size(), 0u);
    EXPECT_LT(decompressor.Output.size(), data.size());
    EXPECT_EQ(data.compare(0, decompressor.Output.size(), decompressor.Output), 0);
    decompressor.Decompress(stream.substr(stream.size() / 2));
    EXPECT_EQ(decompressor.Output, data);
}

} // namespace
