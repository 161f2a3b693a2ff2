// The built program with the tunnel and chaos options.
#include "DemoServerProgram.h"
#include "DemoTestClient.h"
#include "TunnelTestSupport.h"

#include <QCoreApplication>
#include <QFile>
#include <QProcess>
#include <QRegularExpression>

#include <gtest/gtest.h>

#include <csignal>

namespace {

using DemoServerTunnelProcess = TDemoServerProgramTest;

TEST_F(DemoServerTunnelProcess, PrintsTheHttpPortSecondAndServesTunnels)
{
    Process.start(ServerProgram(), Arguments({"--port", "0", "--http-port", "0"}));
    const quint16 port = ReadPort("listening on");
    const quint16 httpPort = ReadPort("http listening on");
    ASSERT_NE(port, 0);
    ASSERT_NE(httpPort, 0);
    EXPECT_NE(port, httpPort);

    TTunnelGet tunnel;
    ASSERT_TRUE(tunnel.Open(httpPort));
    TRawHttp http;
    ASSERT_TRUE(http.Connect(httpPort));
    TTestSender sender;
    http.Send(PostRequest(tunnel.PostPath(),
                          TunnelForm(0, TestPreamble() + sender.Compress(LoginMessage(1, "trader", "pw")))));
    TRawResponse response;
    ASSERT_TRUE(http.Read(response));
    EXPECT_EQ(response.Status, 200);
    EXPECT_TRUE(tunnel.WaitForFrames(1, 1));

    ::kill(static_cast<pid_t>(Process.processId()), SIGTERM);
    ASSERT_TRUE(WaitFor([&] { return Process.state() == QProcess::NotRunning; }, 30000));
    EXPECT_EQ(Process.exitCode(), 0);
    const std::string log = Process.readAllStandardError().toStdString();
    EXPECT_NE(log.find("connected through the HTTP tunnel"), std::string::npos) << log;
    // Chaos was off: no summary.
    EXPECT_EQ(log.find("chaos"), std::string::npos) << log;
}

TEST_F(DemoServerTunnelProcess, ChaosLogsEveryFaultAndCountsThemAtExit)
{
    Process.start(ServerProgram(), Arguments({"--port", "0", "--chaos", "5", "--chaos-scale", "0.01"}));
    const quint16 port = ReadPort("listening on");
    ASSERT_NE(port, 0);
    TTestClient client;
    ASSERT_TRUE(client.Connect(port));
    client.Send(LoginMessage(1, "trader", "pw") + SubscribeMessages(8));
    std::string log;
    ASSERT_TRUE(WaitFor(
        [&] {
            client.Pump();
            if (!client.Closed() && client.StreamError.empty())
                client.Send(PingMessage(7));
            log += Process.readAllStandardError().toStdString();
            return log.find("chaos: #1 ") != std::string::npos;
        },
        60000))
        << log;

    ::kill(static_cast<pid_t>(Process.processId()), SIGINT);
    ASSERT_TRUE(WaitFor([&] { return Process.state() == QProcess::NotRunning; }, 30000));
    EXPECT_EQ(Process.exitCode(), 0);
    log += Process.readAllStandardError().toStdString();
    EXPECT_NE(log.find("chaos on, seed 5, time scale 0.01"), std::string::npos) << log;
    const QRegularExpressionMatch summary =
        QRegularExpression(QStringLiteral("chaos faults injected: drop (\\d+), stall (\\d+), trickle (\\d+), "
                                          "delay (\\d+), corrupt (\\d+), stop-login (\\d+)"))
            .match(QString::fromStdString(log));
    ASSERT_TRUE(summary.hasMatch()) << log;
    int total = 0;
    for (int i = 1; i <= 6; ++i)
        total += summary.captured(i).toInt();
    int lines = 0;
    for (std::size_t at = log.find("chaos: #"); at != std::string::npos; at = log.find("chaos: #", at + 1))
        ++lines;
    EXPECT_EQ(total, lines) << log;
}

struct TBadCase
{
    const char *Name;
    QStringList Arguments;
    std::string ErrorPart;
};

void PrintTo(const TBadCase &row, std::ostream *out)
{
    *out << row.Name;
}

class DemoServerTunnelProcessBadOptions : public DemoServerTunnelProcess,
                                          public ::testing::WithParamInterface<TBadCase>
{
};

TEST_P(DemoServerTunnelProcessBadOptions, ExitWithStatusTwoAndAMessage)
{
    Process.start(ServerProgram(), GetParam().Arguments);
    ASSERT_TRUE(WaitFor([&] { return Process.state() == QProcess::NotRunning; }, 30000));
    EXPECT_EQ(Process.exitCode(), 2);
    const std::string error = Process.readAllStandardError().toStdString();
    EXPECT_NE(error.find("corvane-demo-server: " + GetParam().ErrorPart), std::string::npos) << error;
}

INSTANTIATE_TEST_SUITE_P(
    Cases, DemoServerTunnelProcessBadOptions,
    ::testing::Values(
        TBadCase{"HttpPortTooLarge", Arguments({"--http-port", "70000"}), "--http-port: '70000'"},
        TBadCase{"ChaosSeedNotANumber", Arguments({"--chaos", "many"}), "--chaos: 'many'"},
        TBadCase{"ChaosSeedNegative", Arguments({"--chaos", "-3"}), "--chaos: '-3'"},
        TBadCase{"ChaosScaleZero", Arguments({"--chaos", "1", "--chaos-scale", "0"}), "--chaos-scale: '0'"},
        TBadCase{"ChaosScaleWithoutChaos", Arguments({"--chaos-scale", "0.5"}),
                 "--chaos-scale needs --chaos"}),
    [](const auto &info) { return std::string(info.param.Name); });

} // namespace
