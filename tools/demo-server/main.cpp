// corvane-demo-server: a demo alert server with simulated market data.
#include "DemoServer.h"
#include "DemoServerOptions.h"
#include "StopSignals.h"

#include <QCoreApplication>
#include <QTime>

#include <csignal>
#include <cstdio>
#include <cstring>

namespace {

void LogLine(const std::string &line)
{
    const std::string stamp = QTime::currentTime().toString(QStringLiteral("HH:mm:ss.zzz")).toStdString();
    std::fprintf(stderr, "%s %s\n", stamp.c_str(), line.c_str());
    std::fflush(stderr);
}

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    QStringList arguments = QCoreApplication::arguments();
    arguments.removeFirst();
    const TDemoServerOptionsResult parsed = ParseDemoServerOptions(arguments);
    if (!parsed.Ok()) {
        std::fprintf(stderr, "corvane-demo-server: %s\nTry 'corvane-demo-server --help'.\n",
                     parsed.Error.c_str());
        return 2;
    }
    const TDemoServerOptions &options = parsed.Options;
    if (options.Help) {
        std::fputs(DemoServerUsage().c_str(), stdout);
        return 0;
    }

    TDemoServer server(options);
    server.OnLog = LogLine;
    TStopSignals stopSignals;
    if (!stopSignals.Installed())
        LogLine("warning: SIGINT and SIGTERM will not stop the server cleanly");
    stopSignals.OnSignal = [&server](int signal) {
        LogLine(std::string("stopping on ") + (signal == SIGINT ? "SIGINT" : "SIGTERM"));
        server.Stop();
        QCoreApplication::quit();
    };

    if (!server.Listen()) {
        std::fprintf(stderr, "corvane-demo-server: cannot listen on %s port %d: %s\n",
                     options.BindAddress.toStdString().c_str(), options.Port,
                     server.ErrorText().toStdString().c_str());
        return 1;
    }
    // Tests read the first line to learn the port, the second for the tunnel's.
    std::printf("listening on %s\n", server.ListenText().toStdString().c_str());
    if (server.TunnelEnd())
        std::printf("http listening on %s\n", server.TunnelEnd()->ListenText().toStdString().c_str());
    std::fflush(stdout);
    LogLine(
        "listening on " + server.ListenText().toStdString() + ", " +
        QString::number(options.Rate).toStdString() + " alerts per second, seed " +
        std::to_string(options.Seed) +
        (options.Users.empty() ? ", any user" : ", " + std::to_string(options.Users.size()) + " user(s)"));
    if (server.TunnelEnd())
        LogLine("HTTP tunnel on " + server.TunnelEnd()->ListenText().toStdString());
    if (options.Chaos)
        LogLine("chaos on, seed " + std::to_string(options.ChaosSeed) + ", time scale " +
                QString::number(options.ChaosScale).toStdString());
    const int status = QCoreApplication::exec();
    if (options.Chaos)
        LogLine("chaos faults injected: " + server.ChaosCounters().Summary());
    return status;
}
