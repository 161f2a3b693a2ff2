#pragma once

// Helpers shared by the benchmarks: figures printed as "name: value", clocks,
// resident memory, the server's reply stream built from the demo generator.

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

class TAlertForm;
class TMainConnection;

// One figure on standard output, "name: value", flushed at once so a
// benchmark that dies later still leaves what it measured.
void PrintFigure(const std::string &name, double value, int decimals = 2);
void PrintNote(const std::string &text);

// Monotonic seconds.
double NowSeconds();
// User plus system CPU seconds of this process, and of the calling thread.
double CpuSeconds();
double ThreadCpuSeconds();
// Resident set size and its peak so far, in MiB (from /proc/self/status).
double ResidentMiB();
double PeakResidentMiB();

// One reply frame as the server writes it: id, body length, body (little-endian).
std::string EncodeReplyFrame(std::int32_t id, const std::string &body);

// The server's reply stream for `count` alerts of the demo generator: frames
// on `id`, compressed as one zlib stream with a sync flush after every
// `framesPerFlush` frames, as the demo server flushes each batch.
struct TAlertStream
{
    std::string Compressed;
    std::size_t Alerts = 0;
    std::size_t PlainBytes = 0;
};
TAlertStream BuildAlertStream(std::size_t count, std::uint64_t seed, std::int32_t id, int framesPerFlush);

// The received bytes cut as a socket would hand them over.
std::vector<std::string> CutIntoChunks(const std::string &bytes, std::size_t chunkSize);

// The eight alert windows as the main form makes them: created in order (so
// their listeners are called in window order), then given ids 1 to 8. They
// are never destroyed, like the program's.
std::vector<TAlertForm *> CreateAlertWindows(TMainConnection &connection);

// Qt's warnings that say nothing about the client (the offscreen platform
// cannot raise windows, ...) are dropped; the rest go to standard error.
void QuietPlatformWarnings();

// The median of the values (they are sorted in place).
double Median(std::vector<double> values);
