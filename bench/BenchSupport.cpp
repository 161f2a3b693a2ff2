#include "BenchSupport.h"

#include "AlertGenerator.h"
#include "AlertWindowUnit.h"
#include "MainConnectionUnit.h"
#include "ZLibEx.h"

#include <QString>
#include <QtGlobal>

#include <sys/resource.h>
#include <time.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <sstream>

void PrintFigure(const std::string &name, double value, int decimals)
{
    std::printf("%s: %.*f\n", name.c_str(), decimals, value);
    std::fflush(stdout);
}

void PrintNote(const std::string &text)
{
    std::printf("note: %s\n", text.c_str());
    std::fflush(stdout);
}

double NowSeconds()
{
    using namespace std::chrono;
    return duration<double>(steady_clock::now().time_since_epoch()).count();
}

double CpuSeconds()
{
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    auto seconds = [](const timeval &t) { return t.tv_sec + t.tv_usec / 1e6; };
    return seconds(usage.ru_utime) + seconds(usage.ru_stime);
}

double ThreadCpuSeconds()
{
    timespec now{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
    return now.tv_sec + now.tv_nsec / 1e9;
}

void QuietPlatformWarnings()
{
    qInstallMessageHandler([](QtMsgType type, const QMessageLogContext &, const QString &message) {
        if (type == QtWarningMsg && message.startsWith(QStringLiteral("This plugin does not support")))
            return;
        std::fprintf(stderr, "%s\n", message.toLocal8Bit().constData());
    });
}

namespace {

double StatusFieldMiB(const char *field)
{
    std::ifstream status("/proc/self/status");
    std::string line;
    const std::string prefix = std::string(field) + ":";
    while (std::getline(status, line)) {
        if (line.compare(0, prefix.size(), prefix) == 0) {
            std::istringstream in(line.substr(prefix.size()));
            double kib = 0;
            in >> kib;
            return kib / 1024.0;
        }
    }
    return 0;
}

void AppendInt32(std::string &out, std::int32_t value)
{
    const auto bits = static_cast<std::uint32_t>(value);
    for (int i = 0; i < 4; ++i)
        out += static_cast<char>((bits >> (8 * i)) & 0xFF);
}

} // namespace

double ResidentMiB()
{
    return StatusFieldMiB("VmRSS");
}

double PeakResidentMiB()
{
    return StatusFieldMiB("VmHWM");
}

std::string EncodeReplyFrame(std::int32_t id, const std::string &body)
{
    std::string frame;
    frame.reserve(8 + body.size());
    AppendInt32(frame, id);
    AppendInt32(frame, static_cast<std::int32_t>(body.size()));
    frame += body;
    return frame;
}

TAlertStream BuildAlertStream(std::size_t count, std::uint64_t seed, std::int32_t id, int framesPerFlush)
{
    TAlertStream stream;
    TAlertGenerator generator(seed);
    TZLibCompressor compressor(clDefault);
    std::string batch;
    auto flush = [&] {
        if (batch.empty())
            return;
        compressor.Write(batch);
        compressor.Flush();
        stream.Compressed += compressor.Output;
        compressor.Output.clear();
        batch.clear();
    };
    for (std::size_t i = 0; i < count; ++i) {
        const std::string frame = EncodeReplyFrame(id, generator.NextAlert());
        stream.PlainBytes += frame.size();
        batch += frame;
        if ((i + 1) % static_cast<std::size_t>(framesPerFlush) == 0)
            flush();
    }
    flush();
    stream.Alerts = count;
    return stream;
}

std::vector<std::string> CutIntoChunks(const std::string &bytes, std::size_t chunkSize)
{
    std::vector<std::string> chunks;
    chunks.reserve(bytes.size() / chunkSize + 1);
    for (std::size_t at = 0; at < bytes.size(); at += chunkSize)
        chunks.push_back(bytes.substr(at, chunkSize));
    return chunks;
}

std::vector<TAlertForm *> CreateAlertWindows(TMainConnection &connection)
{
    std::vector<TAlertForm *> windows;
    for (int i = 0; i < 8; ++i)
        windows.push_back(new TAlertForm(connection));
    for (int i = 0; i < 8; ++i)
        windows[i]->SetUpWindow(i + 1);
    return windows;
}

double Median(std::vector<double> values)
{
    if (values.empty())
        return 0;
    std::sort(values.begin(), values.end());
    const std::size_t middle = values.size() / 2;
    return values.size() % 2 ? values[middle] : (values[middle - 1] + values[middle]) / 2;
}
