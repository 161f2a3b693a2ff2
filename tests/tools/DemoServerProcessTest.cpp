// Runs the built corvane-demo-server program itself.
#include "DemoServerProgram.h"
#include "DemoTestClient.h"

#include <QCoreApplication>
#include <QFile>
#include <QProcess>
#include <QRegularExpression>
#include <QTcpServer>

#include <gtest/gtest.h>

#include <csignal>

namespace {

class DemoServerProcess : public TDemoServerProgramTest
{
protected:
    // Runs the program to its end; false if it did not end.
    bool Run(const QStringList &arguments)
    {
        Process.start(ServerProgram(), arguments);
        return WaitFor([&] { return Process.state() == QProcess::NotRunning; }, 30000);
    }

    // Starts the program and reads the port from its first line.
    quint16 StartListening(const QStringList &arguments)
    {
        Process.start(ServerProgram(), arguments);
        return ReadPort("listening on");
    }

    std::string StandardError() { return QString::fromUtf8(Process.readAllStandardError()).toStdString(); }
};

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

class DemoServerProcessBadOptions : public DemoServerProcess, public ::testing::WithParamInterface<TBadCase>
{
};

TEST_P(DemoServerProcessBadOptions, ExitWithStatusTwoAndAMessage)
{
    ASSERT_TRUE(Run(GetParam().Arguments));
    EXPECT_EQ(Process.exitStatus(), QProcess::NormalExit);
    EXPECT_EQ(Process.exitCode(), 2);
    const std::string error = StandardError();
    EXPECT_NE(error.find("corvane-demo-server: " + GetParam().ErrorPart), std::string::npos) << error;
    EXPECT_NE(error.find("--help"), std::string::npos) << error;
    EXPECT_TRUE(Process.readAllStandardOutput().isEmpty());
}

INSTANTIATE_TEST_SUITE_P(
    Cases, DemoServerProcessBadOptions,
    ::testing::Values(TBadCase{"UnknownOption", Arguments({"--colour"}), "unknown option '--colour'"},
                      TBadCase{"BadPort", Arguments({"--port", "99999"}), "--port: '99999'"},
                      TBadCase{"MissingValue", Arguments({"--port", "0", "--rate"}), "--rate needs a value"},
                      TBadCase{"BadRate", Arguments({"--rate", "lots"}), "--rate: 'lots'"},
                      TBadCase{"BadUser", Arguments({"--user", "nopassword"}),
                               "--user: expected NAME:PASSWORD"}),
    [](const auto &info) { return std::string(info.param.Name); });

TEST_F(DemoServerProcess, HelpListsTheOptions)
{
    ASSERT_TRUE(Run(Arguments({"--help"})));
    EXPECT_EQ(Process.exitCode(), 0);
    const QString help = QString::fromUtf8(Process.readAllStandardOutput());
    EXPECT_TRUE(help.startsWith(QStringLiteral("Usage: corvane-demo-server")));
    for (const char *option : {"--port", "--bind", "--user", "--rate", "--seed", "--drop-after",
                               "--corrupt-after", "--no-ping-replies", "--stop-login"})
        EXPECT_TRUE(help.contains(QString::fromUtf8(option))) << option;
}

TEST_F(DemoServerProcess, PortInUseExitsWithAnError)
{
    QTcpServer holder;
    ASSERT_TRUE(holder.listen(QHostAddress(QHostAddress::LocalHost), 0));
    ASSERT_TRUE(Run({QStringLiteral("--port"), QString::number(holder.serverPort())}));
    EXPECT_EQ(Process.exitCode(), 1);
    EXPECT_NE(StandardError().find("cannot listen"), std::string::npos);
}

struct TSignalCase
{
    const char *Name;
    int Signal;
    std::string LogLine;
};

void PrintTo(const TSignalCase &row, std::ostream *out)
{
    *out << row.Name;
}

class DemoServerProcessStop : public DemoServerProcess, public ::testing::WithParamInterface<TSignalCase>
{
};

TEST_P(DemoServerProcessStop, ServesAClientThenExitsCleanlyOnTheSignal)
{
    const quint16 port =
        StartListening(Arguments({"--port", "0", "--rate", "100", "--user", "trader:s3cret"}));
    ASSERT_NE(port, 0);
    TTestClient client;
    ASSERT_TRUE(client.Connect(port));
    client.Send(LoginMessage(1, "trader", "s3cret") + SubscribeMessages(8) + PingMessage(7));
    ASSERT_TRUE(client.WaitForFrames(8, 5));
    ASSERT_EQ(client.FramesWithId(1).size(), 1u);
    EXPECT_EQ(client.FramesWithId(1).front().Body.rfind("SESSION ID\r\n", 0), 0u);
    EXPECT_EQ(client.FramesWithId(7).size(), 1u);
    for (const TTestFrame &frame : client.FramesWithId(8))
        EXPECT_EQ(CheckAlertText(frame.Body), "") << frame.Body;

    ::kill(static_cast<pid_t>(Process.processId()), GetParam().Signal);
    ASSERT_TRUE(WaitFor([&] { return Process.state() == QProcess::NotRunning; }, 30000));
    EXPECT_EQ(Process.exitStatus(), QProcess::NormalExit);
    EXPECT_EQ(Process.exitCode(), 0);
    EXPECT_TRUE(client.WaitForClose());

    const std::string log = StandardError();
    EXPECT_NE(log.find(" connected"), std::string::npos) << log;
    EXPECT_NE(log.find("login of 'trader' accepted"), std::string::npos) << log;
    EXPECT_NE(log.find(GetParam().LogLine), std::string::npos) << log;
    EXPECT_EQ(log.find("s3cret"), std::string::npos) << "password in the log: " << log;
}

INSTANTIATE_TEST_SUITE_P(Cases, DemoServerProcessStop,
                         ::testing::Values(TSignalCase{"Sigterm", SIGTERM, "stopping on SIGTERM"},
                                           TSignalCase{"Sigint", SIGINT, "stopping on SIGINT"}),
                         [](const auto &info) { return std::string(info.param.Name); });

} // namespace
