// The client as the program builds it (its main form with the main
// connection and the eight alert windows, all shown on the offscreen
// platform, the grids painting) against the real demo server over loopback: first logged in to a server
// that sends nothing, to measure the idle client, then flooded by a second
// server at a high alert rate.
//
// Lost alerts are found without help from the server: the demo stream is
// deterministic for its seed, so the client knows which alert must come next
// and counts every one that never arrived. When the window ends the server is
// frozen (SIGSTOP) and the client reads what is still in flight, so an alert
// that was sent is either received or counted as lost.

#include "Benchmarks.h"

#include "AlertGenerator.h"
#include "AlertWindowUnit.h"
#include "BenchSupport.h"
#include "CorvaneAlertsMain.h"
#include "ErrorDisplay.h"
#include "MainConnectionUnit.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QProcess>
#include <QTimer>

#include <signal.h>

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <stdexcept>

namespace {

constexpr std::uint64_t ServerSeed = 7;

// The demo server as a child process, on a port it picks itself.
class TServerProcess
{
public:
    TServerProcess(const std::string &program, double rate)
    {
        FProcess.setProgram(QString::fromStdString(program));
        FProcess.setArguments({QStringLiteral("--port"), QStringLiteral("0"), QStringLiteral("--rate"),
                               QString::number(rate), QStringLiteral("--seed"), QString::number(ServerSeed)});
        FProcess.setProcessChannelMode(QProcess::SeparateChannels);
        FProcess.start();
        if (!FProcess.waitForStarted(10000))
            throw std::runtime_error("cannot start " + program);
        while (!FProcess.canReadLine()) {
            if (!FProcess.waitForReadyRead(10000))
                throw std::runtime_error("the demo server did not say where it listens");
        }
        const std::string line = FProcess.readLine().trimmed().toStdString();
        const std::string prefix = "listening on ";
        if (line.compare(0, prefix.size(), prefix) != 0)
            throw std::runtime_error("unexpected first line from the demo server: " + line);
        Address = line.substr(prefix.size());
    }

    ~TServerProcess()
    {
        Resume();
        FProcess.terminate();
        if (!FProcess.waitForFinished(5000))
            FProcess.kill();
        FProcess.waitForFinished(5000);
    }

    void Freeze()
    {
        if (FProcess.processId() > 0)
            ::kill(static_cast<pid_t>(FProcess.processId()), SIGSTOP);
        FFrozen = true;
    }

    void Resume()
    {
        if (FFrozen && FProcess.processId() > 0)
            ::kill(static_cast<pid_t>(FProcess.processId()), SIGCONT);
        FFrozen = false;
    }

    // The server's log lines so far (standard error).
    std::string Log() { return FProcess.readAllStandardError().toStdString(); }

    std::string Address;

private:
    QProcess FProcess;
    bool FFrozen = false;
};

// The payload line without its "time" pair: the server writes its own clock
// there, everything else follows from the seed.
std::uint64_t AlertFingerprint(const std::string &alert)
{
    std::size_t end = alert.size();
    const std::size_t time = alert.find("&time=");
    if (time != std::string::npos)
        end = time;
    // FNV-1a
    std::uint64_t hash = 1469598103934665603ULL;
    for (std::size_t i = 0; i < end; ++i) {
        hash ^= static_cast<unsigned char>(alert[i]);
        hash *= 1099511628211ULL;
    }
    return hash;
}

// Knows which alert must come next and counts the ones that never came.
class TSequenceCheck
{
public:
    explicit TSequenceCheck(std::size_t expected)
    {
        TAlertGenerator generator(ServerSeed);
        FExpected.reserve(expected);
        for (std::size_t i = 0; i < expected; ++i)
            FExpected.push_back(AlertFingerprint(generator.NextAlert()));
    }

    void Received(const std::string &alert)
    {
        ++Count;
        const std::uint64_t print = AlertFingerprint(alert);
        if (FNext < FExpected.size() && FExpected[FNext] == print) {
            ++FNext;
            return;
        }
        // A gap: find where the stream picks up again.
        for (std::size_t at = FNext; at < FExpected.size(); ++at) {
            if (FExpected[at] == print) {
                Lost += at - FNext;
                FNext = at + 1;
                return;
            }
        }
        ++Unknown;
    }

    std::size_t Count = 0;
    std::size_t Lost = 0;
    std::size_t Unknown = 0; // not in the expected stream at all

private:
    std::vector<std::uint64_t> FExpected;
    std::size_t FNext = 0;
};

void RunLoopFor(double seconds)
{
    QEventLoop loop;
    // Precise: a coarse timer may end a window of seconds a few percent early.
    QTimer::singleShot(static_cast<int>(seconds * 1000), Qt::PreciseTimer, &loop, &QEventLoop::quit);
    loop.exec();
}

bool RunLoopUntil(const std::function<bool()> &done, double timeoutSeconds)
{
    const double deadline = NowSeconds() + timeoutSeconds;
    while (!done()) {
        if (NowSeconds() > deadline)
            return false;
        QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
    }
    return true;
}

std::uint64_t PaintsOf(const std::vector<TAlertForm *> &windows, std::vector<std::uint64_t> &each)
{
    each.clear();
    std::uint64_t total = 0;
    for (TAlertForm *window : windows) {
        each.push_back(window->Grid()->PaintCount);
        total += each.back();
    }
    return total;
}

// The kernel's peak resident size starts again from the current size.
void ResetPeakResident()
{
    std::ofstream("/proc/self/clear_refs") << "5";
}

struct TFloodResult
{
    double IdleMiB = 0;
    double PeakMiB = 0;
    double MaxStallMs = 0;
    double MaxStallAtSeconds = 0;
    // The same gap counted in this thread's CPU time: what the client itself
    // spent, without the time another process had the core.
    double MaxStallCpuMs = 0;
    double MaxPaintsPerWindowPerSecond = 0;
    double MeanPaintsPerWindowPerSecond = 0;
    std::size_t Received = 0;
    std::size_t Lost = 0;
    std::size_t Unknown = 0;
    double CpuSecondsPer1000 = 0;
    double DrainMs = 0;
    double Seconds = 0;
    // Resident size sampled once a second from the first alert on.
    std::vector<double> ResidentBySecond;
    std::string ServerLog;
};

TFloodResult Flood(const TFloodOptions &options, double rate, double seconds)
{
    TFloodResult result;
    // Hidden by the test seam: a modal message box would stop the benchmark.
    SetExceptionDisplayForTesting(
        [](const std::string &text) { std::fprintf(stderr, "error: %s\n", text.c_str()); });

    const std::size_t expected = static_cast<std::size_t>(rate * (seconds + 30)) + 1000;
    TSequenceCheck sequence(expected);

    // The client as the program builds it: the main form makes the eight
    // alert windows; its buttons show them and log in. Everything lives until
    // the process ends, as in the program.
    auto *connection = new TMainConnection();
    auto *form = new TMainForm(*connection);
    form->Show();
    const std::vector<TAlertForm *> windows(form->AlertForms.begin(), form->AlertForms.end());
    if (windows.size() != 8)
        throw std::runtime_error("the main form did not make eight alert windows");
    connection->AddAlertListener([&sequence](const std::string &alert) { sequence.Received(alert); });
    for (TButton *button : {form->Button1, form->Button2, form->Button3, form->Button4, form->Button5,
                            form->Button6, form->Button7, form->Button8})
        button->click();
    for (TAlertForm *window : windows)
        if (!window->isVisible())
            throw std::runtime_error("an alert window did not come up");

    // Logged in and idle.
    TServerProcess idleServer(options.ServerProgram, 0);
    connection->SetAddressForTesting(idleServer.Address);
    form->UsernameEdit->SetText("bench");
    form->PasswordEdit->SetText("bench");
    form->LoginButton->click();
    if (!RunLoopUntil([&] { return !connection->SessionId().empty(); }, 20))
        throw std::runtime_error("no login at the idle server");
    RunLoopFor(1.0);
    result.IdleMiB = ResidentMiB();

    // The flood.
    TServerProcess floodServer(options.ServerProgram, rate);
    connection->SetAddressForTesting(floodServer.Address);
    form->ResetConnectionButton->click();
    if (!RunLoopUntil([&] { return sequence.Count > 0; }, 20))
        throw std::runtime_error("no alert from the flood server");

    ResetPeakResident();
    double peak = ResidentMiB();
    std::vector<std::uint64_t> paintsBefore, paintsAfter;
    const std::uint64_t paintStart = PaintsOf(windows, paintsBefore);
    const double cpuStart = CpuSeconds();
    const std::size_t receivedStart = sequence.Count;

    QElapsedTimer clock;
    clock.start();
    qint64 lastProbe = clock.nsecsElapsed();
    double lastProbeCpu = ThreadCpuSeconds();
    qint64 maxGap = 0;
    double maxGapCpu = 0;
    QTimer probe;
    probe.setTimerType(Qt::PreciseTimer);
    probe.setInterval(1);
    QObject::connect(&probe, &QTimer::timeout, &probe, [&] {
        const qint64 now = clock.nsecsElapsed();
        const double nowCpu = ThreadCpuSeconds();
        if (now - lastProbe > maxGap) {
            maxGap = now - lastProbe;
            result.MaxStallAtSeconds = now / 1e9;
        }
        maxGapCpu = std::max(maxGapCpu, nowCpu - lastProbeCpu);
        lastProbe = now;
        lastProbeCpu = nowCpu;
    });
    QTimer sampler;
    sampler.setInterval(10);
    int samples = 0;
    QObject::connect(&sampler, &QTimer::timeout, &sampler, [&] {
        const double rss = ResidentMiB();
        peak = std::max(peak, rss);
        if (++samples % 100 == 0)
            result.ResidentBySecond.push_back(rss);
    });
    probe.start();
    sampler.start();
    RunLoopFor(seconds);
    const double windowSeconds = clock.nsecsElapsed() / 1e9;
    probe.stop();
    const std::uint64_t paintEnd = PaintsOf(windows, paintsAfter);

    // What was sent is received or lost: freeze the server, read the rest.
    floodServer.Freeze();
    const double drainStart = NowSeconds();
    double lastArrival = drainStart;
    std::size_t seen = sequence.Count;
    while (NowSeconds() - lastArrival < 1.0) {
        QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
        if (sequence.Count != seen) {
            seen = sequence.Count;
            lastArrival = NowSeconds();
        }
    }
    sampler.stop();
    const double cpu = CpuSeconds() - cpuStart;
    peak = std::max({peak, PeakResidentMiB(), ResidentMiB()});

    result.Seconds = windowSeconds;
    result.PeakMiB = peak;
    result.MaxStallMs = std::max<qint64>(maxGap - 1000000, 0) / 1e6;
    result.MaxStallCpuMs = std::max(maxGapCpu * 1000 - 1, 0.0);
    double maxPaints = 0;
    for (std::size_t i = 0; i < windows.size(); ++i)
        maxPaints = std::max(maxPaints, static_cast<double>(paintsAfter[i] - paintsBefore[i]));
    result.MaxPaintsPerWindowPerSecond = maxPaints / windowSeconds;
    result.MeanPaintsPerWindowPerSecond = (paintEnd - paintStart) / 8.0 / windowSeconds;
    result.Received = sequence.Count;
    result.Lost = sequence.Lost;
    result.Unknown = sequence.Unknown;
    const std::size_t inWindow = sequence.Count - receivedStart;
    result.CpuSecondsPer1000 = inWindow ? cpu / inWindow * 1000 : 0;
    result.DrainMs = (lastArrival - drainStart) * 1000;
    floodServer.Resume();
    result.ServerLog = floodServer.Log();
    return result;
}

bool ServerSkipped(const std::string &log)
{
    return log.find("skipping alerts") != std::string::npos;
}

} // namespace

void RunFloodBench(const TFloodOptions &options)
{
    const TFloodResult r = Flood(options, options.Rate, options.Seconds);
    PrintNote("flood: " + std::to_string(static_cast<long long>(options.Rate)) + " alerts/s for " +
              std::to_string(r.Seconds).substr(0, 5) + " s, " + std::to_string(r.Received) +
              " alerts received, in-flight drained in " + std::to_string(static_cast<long long>(r.DrainMs)) +
              " ms after the server stopped" +
              (ServerSkipped(r.ServerLog) ? "; the server skipped alerts" : ""));
    PrintFigure("flood_max_stall_ms", r.MaxStallMs, 1);
    PrintFigure("flood_max_stall_cpu_ms", r.MaxStallCpuMs, 1);
    PrintNote("flood: longest stall " + std::to_string(r.MaxStallMs).substr(0, 5) + " ms at " +
              std::to_string(r.MaxStallAtSeconds).substr(0, 5) + " s into the window");
    PrintFigure("flood_paints_per_window_per_s", r.MaxPaintsPerWindowPerSecond, 1);
    PrintFigure("flood_paints_per_window_per_s_mean", r.MeanPaintsPerWindowPerSecond, 1);
    PrintFigure("flood_lost_alerts", static_cast<double>(r.Lost + r.Unknown), 0);
    PrintFigure("flood_received_alerts", static_cast<double>(r.Received), 0);
    PrintFigure("flood_alerts_per_s", r.Received / (r.Seconds + r.DrainMs / 1000), 0);
    PrintFigure("flood_cpu_s_per_1000_alerts", r.CpuSecondsPer1000, 4);
    PrintFigure("memory_idle_mib", r.IdleMiB, 1);
    PrintFigure("memory_flood_peak_mib", r.PeakMiB - r.IdleMiB, 1);
}

void RunMemoryBench(const TFloodOptions &options)
{
    const TFloodResult r = Flood(options, options.Rate, options.Seconds);
    const std::size_t settle = static_cast<std::size_t>(options.SettleSeconds);
    if (r.ResidentBySecond.size() <= settle)
        throw std::runtime_error("memory run too short to measure growth");
    const double atSettle = r.ResidentBySecond[settle - 1];
    const double last = r.ResidentBySecond.back();
    const double highest =
        *std::max_element(r.ResidentBySecond.begin() + settle - 1, r.ResidentBySecond.end());
    PrintNote("memory: " + std::to_string(static_cast<long long>(options.Rate)) + " alerts/s for " +
              std::to_string(static_cast<long long>(options.Seconds)) +
              " s, growth measured after the first " + std::to_string(settle) + " s; resident " +
              std::to_string(atSettle).substr(0, 6) + " -> " + std::to_string(last).substr(0, 6) +
              " MiB (highest " + std::to_string(highest).substr(0, 6) + "), " + std::to_string(r.Received) +
              " alerts, " + std::to_string(r.Lost + r.Unknown) + " lost");
    PrintFigure("memory_growth_mib", last - atSettle, 2);
}
