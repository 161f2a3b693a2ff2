#pragma once

#include "Exceptions.h"

#include <zlib.h>

#include <string>
#include <string_view>

CORVANE_DECLARE_EXCEPTION(EZLibError, Exception);
CORVANE_DECLARE_EXCEPTION(EZCompressionError, EZLibError);
CORVANE_DECLARE_EXCEPTION(EZDecompressionError, EZLibError);

enum TCompressionLevel { clNone = 0, clFastest = 1, clDefault = 2, clMax = 3 };

// zlib's standard text for a failing result code ("data error", ...).
std::string ZLibErrorText(int code);

// Deflates everything written into one never-ending zlib stream. The last
// piece written is held back, so the sync flush of a batch travels with real
// data and a batch costs exactly one sync-flush block.
class TZLibCompressor
{
public:
    explicit TZLibCompressor(TCompressionLevel level = clDefault);
    ~TZLibCompressor();
    TZLibCompressor(const TZLibCompressor &) = delete;
    TZLibCompressor &operator=(const TZLibCompressor &) = delete;

    void Write(const std::string &data);
    void Flush();

    // Compressed bytes not yet taken; the owner reads and empties it.
    std::string Output;
    const std::string &HeldBack() const { return FHeldBack; }

private:
    void DeflateChunk(const std::string &data, int flushMode);

    z_stream FStream;
    std::string FHeldBack;
};

// Inflates the server's zlib stream chunk by chunk, appending to Output.
class TZLibDecompressor
{
public:
    TZLibDecompressor();
    ~TZLibDecompressor();
    TZLibDecompressor(const TZLibDecompressor &) = delete;
    TZLibDecompressor &operator=(const TZLibDecompressor &) = delete;

    void Decompress(std::string_view data);

    // Inflated bytes not yet consumed; the owner removes what it used from the front.
    std::string Output;

private:
    z_stream FStream;
};
