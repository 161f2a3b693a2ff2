// The session against servers that misbehave: peers that die in every way a
// connection can, timed on the injectable clock, and a long run against the
// demo server injecting random faults.
#include "AlertWindowUnit.h"
#include "ErrorDisplay.h"
#include "EventLoop.h"
#include "LocalClock.h"
#include "MainConnectionUnit.h"
#include "MiscDebugWindows.h"
#include "P64.h"
#include "RelayServerConnection.h"
#include "ResidentMemory.h"
#include "SocketServerConnections.h"
#include "TestAlertServer.h"

#include <QByteArray>
#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QDirIterator>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QFile>
#include <QPlainTextEdit>
#include <QProcess>
#include <QRandomGenerator>
#include <QRegularExpression>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QTimer>
#include <QUrl>

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <functional>
#include <map>
#include <memory>
#include <ostream>
#include <string>
#include <vector>

namespace {

std::string DebugWindowText()
{
    if (!MiscDebugWindow)
        return {};
    return MiscDebugWindow->Memo1->toPlainText().toStdString() + "\n" + MiscDebugWindow->PendingText();
}

void ClearDebugWindow()
{
    if (!MiscDebugWindow)
        return;
    MiscDebugWindow->Timer1Timer();
    MiscDebugWindow->Memo1->clear();
}

// The peer resets the connection (RST) instead of closing it in order.
void ResetConnection(TTestAlertConnection &connection)
{
    QTcpSocket *socket = connection.findChild<QTcpSocket *>();
    ASSERT_NE(socket, nullptr);
    const linger hard{1, 0};
    ASSERT_EQ(
        setsockopt(static_cast<int>(socket->socketDescriptor()), SOL_SOCKET, SO_LINGER, &hard, sizeof hard),
        0);
    socket->abort();
}

// --- Dead peers, tick by tick -------------------------------------------------
//
// Each row starts a session against the test alert server with the timer off;
// the test ticks by hand, half a second of the fake clock per tick, and after
// each tick lets the row act (make the server fail, end a lookup) and waits
// for what it did to arrive. The row names the tick at which the session
// creates its next conversation: the tick after a close, or the 25th tick
// without a ping callback.

class DeadPeerTiming;

struct TDeadPeerCase
{
    const char *Name;
    // Before the login.
    std::function<void(DeadPeerTiming &)> Prepare;
    // Before the first tick, after the first conversation was created.
    std::function<void(DeadPeerTiming &)> Start;
    // After each tick of the first conversation.
    std::function<void(DeadPeerTiming &, int tick)> AfterTick;
    // The tick that creates the second conversation; 0: none within 40 ticks.
    int NextConversationAt;
};

void PrintTo(const TDeadPeerCase &row, std::ostream *out)
{
    *out << row.Name;
}

class DeadPeerTiming : public ::testing::TestWithParam<TDeadPeerCase>
{
public:
    DeadPeerTiming() : Clock(46000.5)
    {
        Session.SetTimerEnabledForTesting(false);
        Session.SetAddressForTesting(Server.Address());
        Session.OnConversationCreatedForTesting = [this](TTalkWithServer &talk) {
            CreatedAt.push_back(CurrentTick);
            if (!HoldLookup || CreatedAt.size() > 1)
                return;
            talk.TransportFactory = [this] {
                auto relay = std::make_unique<TRelayServerConnection>(
                    std::make_unique<TSocketServerConnection>("127.0.0.1", std::to_string(Server.Port())));
                relay->HoldForLookup = true;
                Lookup = relay.get();
                relay->OnDestroy = [this](TRelayServerConnection &) { Lookup = nullptr; };
                return relay;
            };
        };
        Session.AddAlertListener([this](const std::string &alert) { Alerts.push_back(alert); });
    }

    void LogIn()
    {
        Session.SetUsername("alice");
        Session.SetPassword("secret");
    }

    // The server replies to logins and, when asked, to pings.
    void AnswerLoginsAndPings(bool pings)
    {
        Server.OnMessage = [pings](TTestAlertConnection &c, const TMessageToServer &m) {
            const std::string command = FieldValue(m, "command");
            if (command == "login")
                c.Reply(m, "SESSION ID\r\nS-1\r\n");
            else if (command == "ping" && pings)
                c.Reply(m, "pong");
        };
    }

    TTestAlertConnection &First()
    {
        EXPECT_TRUE(Server.WaitForConnection(1));
        return Server.Connection(0);
    }

    // The three messages of the login are at the server.
    void AwaitLogin()
    {
        TTestAlertConnection &c = First();
        EXPECT_TRUE(c.WaitForMessages(3));
    }

    const TMessageToServer *Subscription()
    {
        for (const TMessageToServer &m : First().Messages())
            if (FieldValue(m, "command") == "listen_for_alerts")
                return &m;
        return nullptr;
    }

    // The server sends the head of an alert frame and part of its body; the
    // test waits until the client holds those bytes.
    void SendHalfAFrame()
    {
        const TMessageToServer *subscription = Subscription();
        ASSERT_NE(subscription, nullptr);
        First().SendPlain(EncodeFrameHeader(MessageIdOf(*subscription), 100) + std::string(50, 'x'));
        ASSERT_TRUE(WaitFor(
            [this] { return Session.Conversation() && Session.Conversation()->BufferedInput() == 58; }));
    }

    bool AwaitClosed()
    {
        return WaitFor([this] {
            return Session.Conversation() && Session.Conversation()->State() == TTalkWithServer::Closed;
        });
    }

    void Tick()
    {
        ++CurrentTick;
        Clock.AdvanceSeconds(0.5);
        Session.TickForTesting();
        ProcessPostedEvents();
    }

    TFakeClock Clock;
    TTestAlertServer Server;
    TMainConnection Session;
    int CurrentTick = 0;
    std::vector<int> CreatedAt;
    std::vector<std::string> Alerts;
    bool HoldLookup = false;
    TRelayServerConnection *Lookup = nullptr;
};

TEST_P(DeadPeerTiming, NextConversationComesAtTheTickTheUnitsGive)
{
    const TDeadPeerCase &row = GetParam();
    row.Prepare(*this);
    LogIn();
    ASSERT_TRUE(WaitFor([this] { return !CreatedAt.empty(); }));
    row.Start(*this);
    if (HasFatalFailure())
        return;
    while (CurrentTick < 40 && CreatedAt.size() < 2) {
        Tick();
        if (CreatedAt.size() < 2)
            row.AfterTick(*this, CurrentTick);
        if (HasFatalFailure())
            return;
    }
    const int next = CreatedAt.size() >= 2 ? CreatedAt[1] : 0;
    EXPECT_EQ(next, row.NextConversationAt);
    // Nothing of a frame cut off by the end of its connection reaches a window.
    EXPECT_TRUE(std::none_of(Alerts.begin(), Alerts.end(),
                             [](const std::string &a) { return a.find("xxxxx") != std::string::npos; }));
}

const TDeadPeerCase DeadPeerCases[] = {
    {"SilentConnection", [](DeadPeerTiming &) {},
     [](DeadPeerTiming &t) {
         // Accepted and read, never a byte back: no login reply, no pong.
         t.AwaitLogin();
     },
     [](DeadPeerTiming &t, int tick) {
         if (tick == 10) {
             EXPECT_TRUE(t.First().WaitForMessages(4)) << "the ping went out";
         }
     },
     25},
    {"DataFlowingButNoPingReply", [](DeadPeerTiming &) {},
     [](DeadPeerTiming &t) {
         t.AnswerLoginsAndPings(false);
         t.AwaitLogin();
     },
     [](DeadPeerTiming &t, int tick) {
         // An alert every tick keeps bytes coming; only a ping callback counts.
         t.First().Reply(*t.Subscription(),
                         "CORVANE-main\r\nw_id=1&symbol=T" + std::to_string(tick) + "\r\n");
         EXPECT_TRUE(WaitFor([&] { return t.Alerts.size() == static_cast<size_t>(tick); }));
     },
     25},
    {"ResetInTheMiddleOfAFrame", [](DeadPeerTiming &) {},
     [](DeadPeerTiming &t) {
         t.AnswerLoginsAndPings(true);
         t.AwaitLogin();
     },
     [](DeadPeerTiming &t, int tick) {
         if (tick != 3)
             return;
         t.SendHalfAFrame();
         ResetConnection(t.First());
         ASSERT_TRUE(t.AwaitClosed());
         EXPECT_EQ(t.Session.Conversation()->LastError(), "Unexpected disconnect from server.");
     },
     4},
    {"OrderlyCloseInTheMiddleOfAFrame", [](DeadPeerTiming &) {},
     [](DeadPeerTiming &t) {
         t.AnswerLoginsAndPings(true);
         t.AwaitLogin();
     },
     [](DeadPeerTiming &t, int tick) {
         if (tick != 3)
             return;
         t.SendHalfAFrame();
         t.First().Close();
         ASSERT_TRUE(t.AwaitClosed());
         EXPECT_EQ(t.Session.Conversation()->LastError(), "Unexpected disconnect from server.");
     },
     4},
    {"RefusedConnection",
     [](DeadPeerTiming &t) {
         // Nobody listens at the address any more.
         QTcpServer gone;
         ASSERT_TRUE(gone.listen(QHostAddress(QHostAddress::LocalHost), 0));
         const quint16 port = gone.serverPort();
         gone.close();
         t.Session.SetAddressForTesting("127.0.0.1:" + std::to_string(port));
     },
     [](DeadPeerTiming &t) {
         ASSERT_TRUE(t.AwaitClosed());
         EXPECT_EQ(t.Session.Conversation()->LastError(), "Error in server connection.");
     },
     [](DeadPeerTiming &, int) {}, 1},
    {"NameLookupOfTenSecondsThatFindsTheHost", [](DeadPeerTiming &t) { t.HoldLookup = true; },
     [](DeadPeerTiming &t) {
         t.AnswerLoginsAndPings(true);
         ASSERT_NE(t.Lookup, nullptr);
     },
     [](DeadPeerTiming &t, int tick) {
         ASSERT_NE(t.Session.Conversation(), nullptr);
         if (tick < 20) {
             // Ticks, pings and the watchdog go on while the lookup runs.
             EXPECT_EQ(t.Session.Conversation()->State(), TTalkWithServer::NotConnected);
             EXPECT_EQ(t.Server.ConnectionCount(), 0u);
             EXPECT_EQ(t.Session.MissedTicks(), tick);
             return;
         }
         if (tick == 20) {
             t.Lookup->EndLookup(true);
             // Login, subscription, category and the two pings queued meanwhile.
             EXPECT_TRUE(t.First().WaitForMessages(5));
             EXPECT_TRUE(WaitFor([&] { return t.Session.MissedTicks() == 0; }))
                 << "the last ping is answered";
         }
     },
     0},
    {"NameLookupOfTenSecondsThatFails", [](DeadPeerTiming &t) { t.HoldLookup = true; },
     [](DeadPeerTiming &t) { ASSERT_NE(t.Lookup, nullptr); },
     [](DeadPeerTiming &t, int tick) {
         if (tick != 20)
             return;
         t.Lookup->EndLookup(false);
         ASSERT_TRUE(t.AwaitClosed());
         EXPECT_EQ(t.Server.ConnectionCount(), 0u);
     },
     21},
    {"NameLookupThatNeverEnds", [](DeadPeerTiming &t) { t.HoldLookup = true; },
     [](DeadPeerTiming &t) { ASSERT_NE(t.Lookup, nullptr); },
     [](DeadPeerTiming &t, int tick) {
         // The watchdog drops the lookup with its conversation at tick 25.
         EXPECT_NE(t.Lookup, nullptr) << "still looking up at tick " << tick;
     },
     25},
};

INSTANTIATE_TEST_SUITE_P(Peers, DeadPeerTiming, ::testing::ValuesIn(DeadPeerCases),
                         [](const auto &info) { return std::string(info.param.Name); });

// --- The chaos run ------------------------------------------------------------

QString DemoServerProgram()
{
    const QString buildDir = qEnvironmentVariable("CORVANE_BUILD_DIR");
    const QString base =
        buildDir.isEmpty() ? QCoreApplication::applicationDirPath() + QStringLiteral("/..") : buildDir;
    return base + QStringLiteral("/tools/demo-server/corvane-demo-server");
}

// Sends what the process writes to standard error into a file while it lives.
class TStandardErrorCapture
{
public:
    explicit TStandardErrorCapture(const QString &path)
    {
        std::fflush(stderr);
        FSaved = dup(2);
        const int fd = open(path.toLocal8Bit().constData(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        if (FSaved >= 0 && fd >= 0)
            dup2(fd, 2);
        if (fd >= 0)
            close(fd);
    }
    ~TStandardErrorCapture()
    {
        std::fflush(stderr);
        if (FSaved >= 0) {
            dup2(FSaved, 2);
            close(FSaved);
        }
    }
    TStandardErrorCapture(const TStandardErrorCapture &) = delete;
    TStandardErrorCapture &operator=(const TStandardErrorCapture &) = delete;

private:
    int FSaved = -1;
};

// Points the places where programs write per-user files at a directory.
class THomeRedirect
{
public:
    explicit THomeRedirect(const QString &home)
    {
        Set("HOME", home);
        Set("XDG_CONFIG_HOME", home + QStringLiteral("/.config"));
        Set("XDG_DATA_HOME", home + QStringLiteral("/.local/share"));
        Set("XDG_CACHE_HOME", home + QStringLiteral("/.cache"));
        Set("XDG_STATE_HOME", home + QStringLiteral("/.local/state"));
    }
    ~THomeRedirect()
    {
        for (const auto &[name, value] : FSaved) {
            if (value.isNull())
                qunsetenv(name.c_str());
            else
                qputenv(name.c_str(), value);
        }
    }
    THomeRedirect(const THomeRedirect &) = delete;
    THomeRedirect &operator=(const THomeRedirect &) = delete;

private:
    void Set(const char *name, const QString &value)
    {
        FSaved.emplace_back(name, qEnvironmentVariableIsSet(name) ? qgetenv(name) : QByteArray());
        qputenv(name, value.toLocal8Bit());
    }

    std::vector<std::pair<std::string, QByteArray>> FSaved;
};

// The forms in which a secret could leak into a text: plain, percent-encoded,
// base64 (both alphabets, at every alignment inside a longer text), P64, hex.
std::vector<QByteArray> LeakForms(const QByteArray &secret)
{
    std::vector<QByteArray> forms{secret, QUrl::toPercentEncoding(QString::fromLatin1(secret)),
                                  secret.toHex(), secret.toHex().toUpper()};
    for (int offset = 0; offset < 3; ++offset) {
        const QByteArray shifted = QByteArray(offset, 'x') + secret;
        for (QByteArray encoded :
             {shifted.toBase64(QByteArray::OmitTrailingEquals),
              shifted.toBase64(QByteArray::Base64UrlEncoding | QByteArray::OmitTrailingEquals),
              QByteArray::fromStdString(P64Encode(shifted.toStdString()))}) {
            // Characters that also depend on the neighbouring bytes are left out.
            const int skip = offset == 0 ? 0 : 4;
            forms.push_back(encoded.mid(skip, encoded.size() - skip - 4));
        }
    }
    return forms;
}

// The first form found in the text, or an empty text.
QByteArray FindLeak(const QByteArray &text, const std::vector<QByteArray> &forms)
{
    for (const QByteArray &form : forms)
        if (!form.isEmpty() && text.contains(form))
            return form;
    return {};
}

QByteArray ReadFile(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

// Like WaitFor, but the loop sleeps between checks instead of spinning, so a
// long run leaves the processors to the server and to the session's work.
bool RunUntil(const std::function<bool()> &condition, int timeoutMs)
{
    if (condition())
        return true;
    QDeadlineTimer deadline(timeoutMs);
    QEventLoop loop;
    QTimer check;
    check.setInterval(10);
    QObject::connect(&check, &QTimer::timeout, &loop, [&] {
        if (condition() || deadline.hasExpired())
            loop.quit();
    });
    check.start();
    loop.exec();
    return condition();
}

qint64 ThreadCpuMs()
{
    timespec now{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
    return static_cast<qint64>(now.tv_sec) * 1000 + now.tv_nsec / 1000000;
}

// One conversation of the session as the run saw it.
struct TConversationRecord
{
    TTalkWithServer *Talk = nullptr;
    TRelayServerConnection *Relay = nullptr;
    bool LoggedIn = false;
    bool StopAnswered = false;
    // Its transport is being destroyed, with it: Talk must not be used after.
    bool Gone = false;
    int Alerts = 0;
    // Failures of the probe kept after replies, and of the one that is not.
    int ProbeFailures[2] = {0, 0};
    int ProbeReplies = 0;
    int PingFailuresHeard = 0;
    std::string LastError;
};

// Server and client share the time scale: a chaos second of the server is
// Scale real seconds, and every tick of the session moves its fake clock by
// half a second, so ticks come every 500 * Scale real milliseconds.
constexpr double ChaosScale = 0.004;
constexpr int TickMs = 2;
constexpr int Cycles = 300;
constexpr int ProbeMs = 5;

// A password no other text contains, with bytes that percent-encoding changes.
QByteArray CanaryPassword()
{
    const char letters[] = "abcdefghijkmnpqrstuvwxyzABCDEFGHJKLMNPQRSTUVWXYZ23456789";
    QByteArray canary = "cv#";
    for (int i = 0; i < 20; ++i)
        canary += letters[QRandomGenerator::global()->bounded(static_cast<int>(sizeof letters - 1))];
    return canary + "&=+/";
}

// Errors that reach the default error display are collected while it lives.
class TErrorDisplayCapture
{
public:
    TErrorDisplayCapture()
    {
        SetExceptionDisplayForTesting([this](const std::string &text) { Texts.push_back(text); });
    }
    ~TErrorDisplayCapture() { SetExceptionDisplayForTesting({}); }
    TErrorDisplayCapture(const TErrorDisplayCapture &) = delete;
    TErrorDisplayCapture &operator=(const TErrorDisplayCapture &) = delete;

    std::vector<std::string> Texts;
};

TEST(ChaosRun, SessionSurvivesThreeHundredReconnectionsUnderRandomFaults)
{
    ASSERT_TRUE(QFile::exists(DemoServerProgram())) << DemoServerProgram().toStdString();
    QTemporaryDir scratch;
    ASSERT_TRUE(scratch.isValid());
    const QString home = scratch.filePath(QStringLiteral("home"));
    ASSERT_TRUE(QDir().mkpath(home));
    const QString serverLog = scratch.filePath(QStringLiteral("server.log"));
    const QString stderrLog = scratch.filePath(QStringLiteral("stderr.log"));

    const QByteArray canary = CanaryPassword();
    const std::vector<QByteArray> leakForms = LeakForms(canary);
    TFakeClock clock(46000.5);
    TErrorDisplayCapture errorDisplays;
    ClearDebugWindow();

    // The demo server, injecting faults from a fixed seed.
    QProcess server;
    server.setStandardErrorFile(serverLog);
    server.start(DemoServerProgram(),
                 {QStringLiteral("--port"), QStringLiteral("0"), QStringLiteral("--chaos"),
                  QStringLiteral("20250611"), QStringLiteral("--chaos-scale"), QString::number(ChaosScale),
                  QStringLiteral("--rate"), QStringLiteral("400"), QStringLiteral("--seed"),
                  QStringLiteral("7")});
    ASSERT_TRUE(server.waitForStarted());
    ASSERT_TRUE(WaitFor([&] { return server.canReadLine(); }, 10000));
    const QString listening = QString::fromUtf8(server.readLine()).trimmed();
    const QRegularExpressionMatch match =
        QRegularExpression(QStringLiteral("^listening on 127\\.0\\.0\\.1:(\\d+)$")).match(listening);
    ASSERT_TRUE(match.hasMatch()) << listening.toStdString();
    const std::string port = match.captured(1).toStdString();

    std::vector<TConversationRecord> records;
    int eventsFromOtherTransports = 0;
    int twoLoggedIn = 0;
    int attemptsAlongside = 0;
    int stopsAnswered = 0;
    int delivering = -1;
    std::uint64_t residentAt50 = 0;
    std::uint64_t residentAtEnd = 0;
    qint64 longestStall = 0;
    qint64 longestStallCpu = 0; // of the test's thread, during that stall
    qint64 ticks = 0;
    int watchdogRestarts = 0;

    {
        THomeRedirect homeRedirect(home);
        TStandardErrorCapture capture(stderrLog);
        auto session = std::make_unique<TMainConnection>();
        session->SetTimerEnabledForTesting(false);
        session->SetAddressForTesting("127.0.0.1:" + port);
        std::vector<std::unique_ptr<TAlertForm>> forms;
        for (int id = 1; id <= 8; ++id)
            forms.push_back(std::make_unique<TAlertForm>(*session));
        for (int id = 1; id <= 8; ++id)
            forms[id - 1]->SetUpWindow(id);

        // An alert reaches the windows only from the current conversation.
        session->AddAlertListener([&](const std::string &) {
            if (delivering >= 0)
                ++records[static_cast<size_t>(delivering)].Alerts;
        });

        session->OnConversationCreatedForTesting = [&](TTalkWithServer &talk) {
            const size_t index = records.size();
            records.push_back({});
            records[index].Talk = &talk;
            // Conversation k is the k-th reconnection.
            if (index == 50)
                residentAt50 = ResidentBytes();
            if (index == Cycles)
                residentAtEnd = ResidentBytes();

            talk.OnResponse = [&, index](bool success, const std::string &body,
                                         const TMessageToServer &message) {
                // The observer hears failures of requests not kept after a
                // reply, until the session lets the conversation go.
                if (!success && FieldValue(message, "command") == "ping")
                    ++records[index].PingFailuresHeard;
                if (!success || FieldValue(message, "command") != "login")
                    return;
                if (body.rfind("SESSION ID", 0) == 0) {
                    for (size_t other = 0; other < records.size(); ++other) {
                        const TConversationRecord &r = records[other];
                        if (other != index && r.LoggedIn && !r.Gone &&
                            r.Talk->State() != TTalkWithServer::Closed)
                            ++twoLoggedIn;
                    }
                    records[index].LoggedIn = true;
                } else if (body.rfind("STOP", 0) == 0) {
                    records[index].StopAnswered = true;
                }
            };

            // Created when the session connects, after the login was queued.
            talk.TransportFactory = [&, index] {
                for (const TConversationRecord &r : records)
                    if (r.Relay && !r.Gone)
                        ++attemptsAlongside;
                // Requests the server never answers: each must fail exactly
                // once, however the conversation ends.
                TConversationRecord &record = records[index];
                for (const int keep : {1, 0}) {
                    record.Talk->SendMessage(
                        {{"command", "chaos_probe"}}, keep == 1,
                        [&, index, keep](bool success, const std::string &, const TMessageToServer &) {
                            success ? ++records[index].ProbeReplies : ++records[index].ProbeFailures[keep];
                        });
                }
                auto relay = std::make_unique<TRelayServerConnection>(
                    std::make_unique<TSocketServerConnection>("127.0.0.1", port));
                record.Relay = relay.get();
                relay->OnEvent = [&, index](TRelayServerConnection &, const char *event) {
                    TConversationRecord &r = records[index];
                    const bool current = !r.Gone && session->Conversation() == r.Talk;
                    const bool closingAsItGoes = std::string(event) == "closed" && r.Gone;
                    if (!current && !closingAsItGoes)
                        ++eventsFromOtherTransports;
                    delivering = std::string(event) == "data" ? static_cast<int>(index) : -1;
                };
                relay->OnDestroy = [&, index](TRelayServerConnection &) {
                    TConversationRecord &r = records[index];
                    r.LastError = r.Talk->LastError();
                    r.Gone = true;
                };
                return relay;
            };
        };

        // The session's ticks, faster than real time by the server's scale.
        // Ticks late by the timer catch up, so the session's watchdog keeps
        // the server's pace even when the loop is slow.
        QTimer ticker;
        ticker.setTimerType(Qt::PreciseTimer);
        ticker.setInterval(TickMs);
        QElapsedTimer tickClock;
        QObject::connect(&ticker, &QTimer::timeout, &ticker, [&] {
            const qint64 due = tickClock.elapsed() / TickMs;
            for (int burst = 0; burst < 8 && ticks < due; ++burst) {
                ++ticks;
                const bool running = session->Conversation() && !session->Stopped();
                if (running && session->MissedTicks() == 24)
                    ++watchdogRestarts;
                clock.AdvanceSeconds(0.5);
                session->TickForTesting();
                // A user whose login was refused presses Reset Connection.
                if (session->Stopped()) {
                    ++stopsAnswered;
                    session->Reset();
                }
            }
        });
        // How long the event loop ever went without turning.
        QTimer probe;
        probe.setTimerType(Qt::PreciseTimer);
        probe.setInterval(ProbeMs);
        QElapsedTimer sinceProbe;
        qint64 cpuAtProbe = ThreadCpuMs();
        QObject::connect(&probe, &QTimer::timeout, &probe, [&] {
            const qint64 stall = sinceProbe.restart() - ProbeMs;
            const qint64 cpu = ThreadCpuMs();
            if (stall > longestStall) {
                longestStall = stall;
                longestStallCpu = cpu - cpuAtProbe;
            }
            cpuAtProbe = cpu;
        });

        session->SetUsername("chaos-user");
        session->SetPassword(canary.toStdString());
        sinceProbe.start();
        probe.start();
        tickClock.start();
        ticker.start();
        QElapsedTimer runTime;
        runTime.start();
        const bool finished = RunUntil([&] { return records.size() > static_cast<size_t>(Cycles); }, 280000);
        // Alerts flow again after the last recovery too.
        const bool flowing = finished && RunUntil(
                                             [&] {
                                                 for (size_t i = Cycles; i < records.size(); ++i)
                                                     if (records[i].Alerts > 0)
                                                         return true;
                                                 return false;
                                             },
                                             60000);
        const qint64 runMs = runTime.elapsed();
        ticker.stop();
        probe.stop();
        ASSERT_TRUE(finished) << records.size() << " conversations in " << runMs << " ms";
        EXPECT_TRUE(flowing) << "no alert after the last recovery";

        server.terminate();
        EXPECT_TRUE(server.waitForFinished(10000));
        // The end of the last conversation fails its probes too.
        session.reset();
        EXPECT_TRUE(errorDisplays.Texts.empty()) << errorDisplays.Texts.front();
        forms.clear(); // each reports the assertion that alert windows live for ever

        // --- What the run counted.
        int loggedIn = 0;
        int withAlerts = 0;
        int longestDryStreak = 0;
        int dryStreak = 0;
        int invalidData = 0;
        int probesFailedOnce = 0;
        int pingFailures = 0;
        long alerts = 0;
        for (size_t i = 0; i < records.size(); ++i) {
            const TConversationRecord &r = records[i];
            EXPECT_TRUE(r.Gone) << "conversation " << i;
            EXPECT_NE(r.Relay, nullptr) << "conversation " << i << " never connected";
            EXPECT_EQ(r.ProbeReplies, 0);
            EXPECT_LE(r.PingFailuresHeard, 1) << "one ping at a time is waiting for its reply";
            pingFailures += r.PingFailuresHeard;
            EXPECT_EQ(r.ProbeFailures[0], 1) << "conversation " << i << " ended with " << r.LastError;
            EXPECT_EQ(r.ProbeFailures[1], 1) << "conversation " << i << " ended with " << r.LastError;
            probesFailedOnce += (r.ProbeFailures[0] == 1) + (r.ProbeFailures[1] == 1);
            alerts += r.Alerts;
            if (r.LastError.rfind("Invalid data from server: ", 0) == 0)
                ++invalidData;
            if (!r.LoggedIn)
                continue;
            ++loggedIn;
            if (r.Alerts > 0) {
                ++withAlerts;
                dryStreak = 0;
            } else {
                longestDryStreak = std::max(longestDryStreak, ++dryStreak);
            }
        }
        EXPECT_EQ(eventsFromOtherTransports, 0);
        EXPECT_EQ(twoLoggedIn, 0);
        EXPECT_EQ(attemptsAlongside, 0);
        EXPECT_LT(longestStall, 2000) << "the event loop stood still";

        // One debug line per stream that broke, each the report of invalid data.
        const std::string debug = DebugWindowText();
        int debugLines = 0;
        size_t start = 0;
        while (start < debug.size()) {
            size_t end = debug.find_first_of("\r\n", start);
            if (end == std::string::npos)
                end = debug.size();
            const std::string line = debug.substr(start, end - start);
            start = end + 1;
            if (line.empty())
                continue;
            ++debugLines;
            EXPECT_EQ(line, "Class=EZDecompressionError, Message=data error, "
                            "Location=TalkWithServer, TTalkWithServer.ServerConnectionDataAvailable");
        }
        EXPECT_EQ(debugLines, invalidData);

        // Memory between the 50th and the last reconnection.
        ASSERT_GT(residentAt50, 0u);
        ASSERT_GT(residentAtEnd, 0u);
        const double growthMiB =
            (static_cast<double>(residentAtEnd) - static_cast<double>(residentAt50)) / 1048576.0;
        EXPECT_LT(growthMiB, 4.0);

        // The server's own count of what it injected.
        const QByteArray log = ReadFile(serverLog);
        std::map<std::string, int> faults;
        const QRegularExpression faultLine(QStringLiteral("chaos: #\\d+ ([a-z-]+)"));
        for (auto it = faultLine.globalMatch(QString::fromUtf8(log)); it.hasNext();)
            ++faults[it.next().captured(1).toStdString()];
        std::string faultText;
        for (const auto &[name, count] : faults)
            faultText += (faultText.empty() ? "" : ", ") + name + " " + std::to_string(count);
        EXPECT_LE(invalidData, faults["corrupt"]);

        std::printf("[ chaos    ] %zu conversations (%d reconnections) in %lld ms, %lld ticks, %d watchdog "
                    "restarts\n",
                    records.size(), Cycles, static_cast<long long>(runMs), static_cast<long long>(ticks),
                    watchdogRestarts);
        std::printf("[ chaos    ] faults injected: %s; STOP answered %d times\n", faultText.c_str(),
                    stopsAnswered);
        std::printf(
            "[ chaos    ] probe requests failed once: %d of %zu; ping failures heard while observed: %d; "
            "invalid data: %d; debug lines: %d\n",
            probesFailedOnce, 2 * records.size(), pingFailures, invalidData, debugLines);
        std::printf("[ chaos    ] logged in %d, with alerts %d, longest run without alerts %d, alerts %ld\n",
                    loggedIn, withAlerts, longestDryStreak, alerts);
        std::printf("[ chaos    ] resident at reconnection 50: %.1f MiB, at %d: %.1f MiB, growth %.2f MiB\n",
                    static_cast<double>(residentAt50) / 1048576.0, Cycles,
                    static_cast<double>(residentAtEnd) / 1048576.0, growthMiB);
        std::printf("[ chaos    ] longest event loop stall: %lld ms (%lld ms of it on the CPU)\n",
                    static_cast<long long>(longestStall), static_cast<long long>(longestStallCpu));
        std::fflush(stdout);
        EXPECT_LE(longestDryStreak, 10) << "alerts stopped coming after reconnections";
        EXPECT_GT(watchdogRestarts, 0) << "stalls outlast the watchdog";
    }

    // The password appears nowhere the run wrote, in any encoding.
    QDirIterator files(home, QDir::Files | QDir::Hidden, QDirIterator::Subdirectories);
    int filesWritten = 0;
    while (files.hasNext()) {
        const QString path = files.next();
        ++filesWritten;
        EXPECT_TRUE(FindLeak(ReadFile(path), leakForms).isEmpty()) << path.toStdString();
    }
    const QByteArray debug = QByteArray::fromStdString(DebugWindowText());
    EXPECT_TRUE(FindLeak(debug, leakForms).isEmpty()) << "in the debug window";
    const QByteArray standardError = ReadFile(stderrLog);
    EXPECT_TRUE(FindLeak(standardError, leakForms).isEmpty()) << "on standard error";
    const QByteArray log = ReadFile(serverLog);
    EXPECT_FALSE(log.isEmpty());
    EXPECT_TRUE(FindLeak(log, leakForms).isEmpty()) << "in the server's log";
    std::printf(
        "[ chaos    ] password searched in %zu forms: %d files under HOME, %lld bytes of standard error, "
        "%lld bytes of server log, %zu bytes of debug window\n",
        leakForms.size(), filesWritten, static_cast<long long>(standardError.size()),
        static_cast<long long>(log.size()), static_cast<size_t>(debug.size()));
    // The checks above would see it, wherever it sits in an encoded text.
    for (const QByteArray &around : {QByteArray("password="), QByteArray("p="), QByteArray("pw=")}) {
        const QByteArray text = around + canary + "&next=1";
        EXPECT_FALSE(FindLeak(text, leakForms).isEmpty());
        EXPECT_FALSE(FindLeak(text.toBase64(), leakForms).isEmpty());
        EXPECT_FALSE(FindLeak(text.toHex(), leakForms).isEmpty());
        EXPECT_FALSE(FindLeak(QUrl::toPercentEncoding(QString::fromLatin1(text)), leakForms).isEmpty());
        EXPECT_FALSE(FindLeak(QByteArray::fromStdString(P64Encode(text.toStdString())), leakForms).isEmpty());
    }
}

} // namespace
