#include "ZLibEx.h"

#include <cstring>
#include <string_view>

namespace {

constexpr size_t PassSize = 4096;

int ZLibLevel(TCompressionLevel level)
{
    switch (level) {
    case clNone:
        return 0;
    case clFastest:
        return 1;
    case clMax:
        return 9;
    case clDefault:
    default:
        return Z_DEFAULT_COMPRESSION;
    }
}

// The loop shared by deflate and inflate: passes of at most 4096 bytes of
// output, while input remains or the previous pass filled its buffer.
template <typename ErrorClass, typename Call>
void RunPasses(z_stream &stream, std::string_view data, std::string &output, Call call)
{
    // A stream in which zlib recorded an error is dead: drop the data quietly.
    if (stream.msg || data.empty())
        return;
    stream.next_in = reinterpret_cast<Bytef *>(const_cast<char *>(data.data()));
    stream.avail_in = static_cast<uInt>(data.size());
    bool filled = false;
    char buffer[PassSize];
    while (stream.avail_in > 0 || filled) {
        const bool onlyBecauseFilled = stream.avail_in == 0;
        const uInt inBefore = stream.avail_in;
        stream.next_out = reinterpret_cast<Bytef *>(buffer);
        stream.avail_out = PassSize;
        const int result = call();
        const size_t produced = PassSize - stream.avail_out;
        if (result < 0 && !(result == Z_BUF_ERROR && onlyBecauseFilled))
            throw ErrorClass(ZLibErrorText(result));
        output.append(buffer, produced);
        filled = stream.avail_out == 0;
        // Input left but nothing consumed and nothing produced: the stream
        // cannot go on (it ended, or wants a preset dictionary). Never spin.
        // Recording the text in the stream makes it dead like any zlib
        // failure, so later input is dropped instead of raising again.
        if (!filled && produced == 0 && stream.avail_in > 0 && stream.avail_in == inBefore) {
            const char *text =
                result == Z_NEED_DICT ? "preset dictionary requested" : "data after end of stream";
            stream.msg = const_cast<char *>(text);
            throw ErrorClass(text);
        }
    }
}

} // namespace

std::string ZLibErrorText(int code)
{
    switch (code) {
    case Z_ERRNO:
        return "file error";
    case Z_STREAM_ERROR:
        return "stream error";
    case Z_DATA_ERROR:
        return "data error";
    case Z_MEM_ERROR:
        return "insufficient memory";
    case Z_BUF_ERROR:
        return "buffer error";
    case Z_VERSION_ERROR:
        return "incompatible version";
    default:
        return "";
    }
}

TZLibCompressor::TZLibCompressor(TCompressionLevel level)
{
    std::memset(&FStream, 0, sizeof FStream);
    const int result = deflateInit2(&FStream, ZLibLevel(level), Z_DEFLATED, 15, 8, Z_DEFAULT_STRATEGY);
    if (result < 0)
        throw EZCompressionError(ZLibErrorText(result));
}

TZLibCompressor::~TZLibCompressor()
{
    deflateEnd(&FStream);
}

void TZLibCompressor::Write(const std::string &data)
{
    if (data.empty())
        return;
    if (!FHeldBack.empty())
        DeflateChunk(FHeldBack, Z_NO_FLUSH);
    FHeldBack = data;
}

void TZLibCompressor::Flush()
{
    if (FHeldBack.empty())
        return;
    // Cleared even if deflate fails: a dead stream drops the piece anyway.
    const std::string piece = std::move(FHeldBack);
    FHeldBack.clear();
    DeflateChunk(piece, Z_SYNC_FLUSH);
}

void TZLibCompressor::DeflateChunk(const std::string &data, int flushMode)
{
    RunPasses<EZCompressionError>(FStream, data, Output, [&] { return deflate(&FStream, flushMode); });
}

TZLibDecompressor::TZLibDecompressor()
{
    std::memset(&FStream, 0, sizeof FStream);
    const int result = inflateInit2(&FStream, 15);
    if (result < 0)
        throw EZCompressionError(ZLibErrorText(result));
}

TZLibDecompressor::~TZLibDecompressor()
{
    inflateEnd(&FStream);
}

void TZLibDecompressor::Decompress(std::string_view data)
{
    RunPasses<EZDecompressionError>(FStream, data, Output, [&] { return inflate(&FStream, Z_SYNC_FLUSH); });
}
