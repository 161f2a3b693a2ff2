#include "EventLoop.h"
#include "LinkChannelBus.h"
#include "LinkChannelConnector.h"
#include "LinkChannels.h"
#include "PrivateBus.h"

#include <QCoreApplication>
#include <QDBusMessage>
#include <QFileInfo>
#include <QProcess>
#include <QProcessEnvironment>
#include <QTemporaryDir>

#include <gtest/gtest.h>

namespace {

QString FollowerProgram()
{
    const QByteArray buildDir = qgetenv("CORVANE_BUILD_DIR");
    if (!buildDir.isEmpty())
        return QString::fromLocal8Bit(buildDir) + QStringLiteral("/tools/follow/corvane-follow");
    return QCoreApplication::applicationDirPath() + QStringLiteral("/../tools/follow/corvane-follow");
}

// corvane-follow run against a bus of the test's own, so that only this test's
// broadcasts reach it.
class FollowTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        ASSERT_TRUE(QFileInfo(FollowerProgram()).isExecutable()) << FollowerProgram().toStdString();
        ASSERT_FALSE(FBus.Address().isEmpty()) << "dbus-daemon did not start";
    }

    void TearDown() override
    {
        if (FFollower.state() != QProcess::NotRunning) {
            FFollower.kill();
            FFollower.waitForFinished(-1);
        }
    }

    // Starts the follower and waits until it says it follows.
    void StartFollower(const QStringList &arguments)
    {
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        environment.insert(QStringLiteral("DBUS_SESSION_BUS_ADDRESS"), FBus.Address());
        FFollower.setProcessEnvironment(environment);
        FFollower.start(FollowerProgram(), arguments);
        ASSERT_TRUE(WaitFor(
            [&] {
                FErrors += FFollower.readAllStandardError();
                return FErrors.contains("following") || FFollower.state() == QProcess::NotRunning;
            },
            60000));
        ASSERT_TRUE(FErrors.contains("following")) << FErrors.toStdString();
    }

    std::unique_ptr<TLinkChannelConnector> Connector(int channel)
    {
        auto connector = std::make_unique<TLinkChannelConnector>(TLinkChannelSetup{
            FDir.filePath(QStringLiteral("LinkChannels%1.ini").arg(channel)), FBus.Address()});
        connector->SetActive(true);
        connector->SetLinkedChannel(channel);
        return connector;
    }

    static void Send(TLinkChannelConnector &connector, const QString &symbol)
    {
        connector.SetSymbol(symbol);
        ASSERT_TRUE(connector.NotifySymbol().Succeeded);
    }

    // Waits for this many complete lines on standard output.
    QStringList Lines(int count)
    {
        WaitFor(
            [&] {
                FOutput += FFollower.readAllStandardOutput();
                return FOutput.count('\n') >= count || FFollower.state() == QProcess::NotRunning;
            },
            60000);
        QStringList lines = QString::fromUtf8(FOutput).split(QLatin1Char('\n'));
        lines.removeLast(); // after the last newline
        return lines;
    }

    TPrivateBus FBus;
    QTemporaryDir FDir;
    QProcess FFollower;
    QByteArray FOutput;
    QByteArray FErrors;
};

TEST_F(FollowTest, PrintsEachBroadcastOnItsChannelOnce)
{
    StartFollower({});
    auto red = Connector(1);
    auto orange = Connector(2);
    Send(*red, QStringLiteral("MSFT"));
    Send(*orange, QStringLiteral("IBM"));
    Send(*red, QStringLiteral("MSFT"));
    Send(*red, QStringLiteral("AAPL"));

    // Lines come in order: once AAPL is there, a duplicate would be too.
    QStringList lines = Lines(3);
    ASSERT_EQ(lines.size(), 3) << FErrors.toStdString();
    Send(*red, QStringLiteral("END"));
    lines = Lines(4);
    EXPECT_EQ(lines, (QStringList{QStringLiteral("MSFT"), QStringLiteral("MSFT"), QStringLiteral("AAPL"),
                                  QStringLiteral("END")}));
}

TEST_F(FollowTest, ChannelOptionChoosesTheChannel)
{
    StartFollower({QStringLiteral("--channel"), QStringLiteral("8")});
    auto red = Connector(1);
    auto purple = Connector(8);
    Send(*red, QStringLiteral("MSFT"));
    Send(*purple, QStringLiteral("NVDA"));
    EXPECT_EQ(Lines(1), QStringList{QStringLiteral("NVDA")});
}

TEST_F(FollowTest, AllPrintsEveryChannelWithItsNumber)
{
    StartFollower({QStringLiteral("--all")});
    auto red = Connector(1);
    auto cyan = Connector(5);
    Send(*red, QStringLiteral("MSFT"));
    Send(*cyan, QStringLiteral("IBM"));
    EXPECT_EQ(Lines(2), (QStringList{QStringLiteral("1 MSFT"), QStringLiteral("5 IBM")}));
}

TEST_F(FollowTest, OneSymbolIsAlwaysOneLine)
{
    StartFollower({});
    auto red = Connector(1);
    Send(*red, QStringLiteral("A\nB\rC"));
    Send(*red, QString());
    Send(*red, QString::fromUtf8("\xC3\x84RZ"));
    EXPECT_EQ(Lines(3), (QStringList{QStringLiteral("A?B?C"), QString(), QString::fromUtf8("\xC3\x84RZ")}));
}

TEST_F(FollowTest, IgnoresContextsOfOtherKinds)
{
    StartFollower({});
    auto red = Connector(1);
    QDBusConnection connection = TLinkChannelBus::Attach(FBus.Address())->Connection();
    for (const QString &context : {QStringLiteral("{\"type\":\"fdc3.contact\",\"id\":{\"email\":\"a@b\"}}"),
                                   QStringLiteral("not json")}) {
        QDBusMessage signal = QDBusMessage::createSignal(LinkBusPath, LinkBusInterface, LinkBusSignal);
        signal << 1 << context;
        ASSERT_TRUE(connection.send(signal));
    }
    Send(*red, QStringLiteral("MSFT"));
    EXPECT_EQ(Lines(1), QStringList{QStringLiteral("MSFT")});
}

TEST_F(FollowTest, EndsWithAMessageWhenTheBusGoesAway)
{
    StartFollower({});
    FBus.Stop();
    ASSERT_TRUE(WaitFor([&] { return FFollower.state() == QProcess::NotRunning; }, 60000));
    EXPECT_EQ(FFollower.exitStatus(), QProcess::NormalExit);
    EXPECT_EQ(FFollower.exitCode(), 1);
    EXPECT_TRUE((FErrors + FFollower.readAllStandardError()).contains("went away"));
}

// --- options and the missing bus ----------------------------------------------

struct TRunRow
{
    const char *Name;
    QStringList Arguments;
    bool WithBus;
    int ExitCode;
    const char *Output; // expected in standard output and error together
};

void PrintTo(const TRunRow &row, std::ostream *os)
{
    *os << row.Name;
}

class FollowRunTest : public ::testing::TestWithParam<TRunRow>
{
};

TEST_P(FollowRunTest, ExitsWithAClearMessage)
{
    const TRunRow row = GetParam();
    QProcess follower;
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    if (!row.WithBus)
        environment.insert(QStringLiteral("DBUS_SESSION_BUS_ADDRESS"),
                           QStringLiteral("unix:path=/nonexistent/corvane-test-bus"));
    follower.setProcessEnvironment(environment);
    follower.start(FollowerProgram(), row.Arguments);
    ASSERT_TRUE(WaitFor([&] { return follower.state() == QProcess::NotRunning; }, 60000));
    EXPECT_EQ(follower.exitStatus(), QProcess::NormalExit);
    EXPECT_EQ(follower.exitCode(), row.ExitCode);
    const QByteArray output = follower.readAllStandardOutput() + follower.readAllStandardError();
    EXPECT_TRUE(output.contains(row.Output)) << output.toStdString();
}

INSTANTIATE_TEST_SUITE_P(
    Runs, FollowRunTest,
    ::testing::Values(
        TRunRow{"Help", {QStringLiteral("--help")}, true, 0, "Usage: corvane-follow"},
        TRunRow{"ChannelTooHigh",
                {QStringLiteral("--channel"), QStringLiteral("9")},
                true,
                2,
                "from 1 to 8, not '9'"},
        TRunRow{"ChannelZero", {QStringLiteral("--channel=0")}, true, 2, "from 1 to 8, not '0'"},
        TRunRow{
            "ChannelNotANumber", {QStringLiteral("--channel"), QStringLiteral("red")}, true, 2, "not 'red'"},
        TRunRow{"ChannelMissing", {QStringLiteral("--channel")}, true, 2, "--channel needs a number"},
        TRunRow{"UnknownOption", {QStringLiteral("--follow")}, true, 2, "unknown option '--follow'"},
        TRunRow{"AllAndChannel",
                {QStringLiteral("--all"), QStringLiteral("--channel"), QStringLiteral("2")},
                true,
                2,
                "cannot be used together"},
        TRunRow{"NoSessionBus", {}, false, 1, "no desktop session bus"}),
    [](const auto &info) { return std::string(info.param.Name); });

} // namespace
