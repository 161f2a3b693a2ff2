// corvane-bench: runs one benchmark and prints its figures, one per line, as
// "name: value". scripts/bench runs them all.
//
//   corvane-bench pipeline [--alerts N] [--rounds N]
//   corvane-bench frames [--rounds N]
//   corvane-bench flood [--server PATH] [--rate N] [--seconds S]
//   corvane-bench memory [--server PATH] [--rate N] [--seconds S] [--settle S]
//   corvane-bench startup --client PATH [--baseline PATH] [--rounds N]

#include "BenchSupport.h"
#include "Benchmarks.h"

#include <QApplication>
#include <QDir>

#include <cstdio>
#include <cstdlib>
#include <exception>
#include <map>
#include <optional>
#include <string>

#ifndef CORVANE_DEMO_SERVER_PROGRAM
#define CORVANE_DEMO_SERVER_PROGRAM "corvane-demo-server"
#endif
#ifndef CORVANE_BASELINE_PROGRAM
#define CORVANE_BASELINE_PROGRAM "corvane-bench-minimal-window"
#endif

namespace {

int Usage()
{
    std::fputs("usage: corvane-bench pipeline|frames|flood|memory|startup [--option value]...\n", stderr);
    return 2;
}

} // namespace

int main(int argc, char **argv)
{
    if (argc < 2)
        return Usage();
    const std::string which = argv[1];
    std::map<std::string, std::string> args;
    for (int i = 2; i + 1 < argc; i += 2)
        args[argv[i]] = argv[i + 1];
    auto text = [&](const char *name, const std::string &fallback) {
        const auto it = args.find(name);
        return it == args.end() ? fallback : it->second;
    };
    auto number = [&](const char *name, double fallback) {
        const auto it = args.find(name);
        return it == args.end() ? fallback : std::atof(it->second.c_str());
    };

    // The GUI benchmarks need no display: the offscreen platform renders into memory.
    if (which != "startup" && !std::getenv("QT_QPA_PLATFORM"))
        setenv("QT_QPA_PLATFORM", "offscreen", 1);
    // The main form reads and writes its layout: never the user's own.
    char configHome[] = "/tmp/corvane-bench-config-XXXXXX";
    if (which != "startup" && mkdtemp(configHome))
        setenv("XDG_CONFIG_HOME", configHome, 1);
    // The start-up benchmark only watches other programs' windows.
    std::optional<QApplication> app;
    if (which != "startup")
        app.emplace(argc, argv);
    QuietPlatformWarnings();
    try {
        if (which == "pipeline") {
            TPipelineOptions options;
            options.Alerts =
                static_cast<std::size_t>(number("--alerts", static_cast<double>(options.Alerts)));
            options.Rounds = static_cast<int>(number("--rounds", options.Rounds));
            RunPipelineBench(options);
        } else if (which == "frames") {
            TFramesOptions options;
            options.Rounds = static_cast<int>(number("--rounds", options.Rounds));
            RunFramesLinearBench(options);
        } else if (which == "flood" || which == "memory") {
            TFloodOptions options;
            options.ServerProgram = text("--server", CORVANE_DEMO_SERVER_PROGRAM);
            if (which == "memory") {
                options.Rate = 2000;
                options.Seconds = 300;
            }
            options.Rate = number("--rate", options.Rate);
            options.Seconds = number("--seconds", options.Seconds);
            options.SettleSeconds = number("--settle", options.SettleSeconds);
            if (which == "flood")
                RunFloodBench(options);
            else
                RunMemoryBench(options);
        } else if (which == "startup") {
            TStartupOptions options;
            options.ClientProgram = text("--client", "");
            options.BaselineProgram = text("--baseline", CORVANE_BASELINE_PROGRAM);
            options.Rounds = static_cast<int>(number("--rounds", options.Rounds));
            RunStartupBench(options);
        } else {
            return Usage();
        }
    } catch (const std::exception &e) {
        std::fprintf(stderr, "corvane-bench %s: %s\n", which.c_str(), e.what());
        std::fflush(stdout);
        std::_Exit(1);
    }
    std::fflush(stdout);
    if (which != "startup")
        QDir(QString::fromLocal8Bit(configHome)).removeRecursively();
    // The alert windows and the main connection live until the process ends,
    // as in the program: leave without tearing them down.
    std::_Exit(0);
}
