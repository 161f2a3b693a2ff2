// Chaos faults in the running server, over loopback.
#include "DemoServer.h"
#include "DemoTestClient.h"
#include "TunnelTestSupport.h"

#include <gtest/gtest.h>

#include <memory>
#include <sstream>
#include <vector>

namespace {

std::uint64_t SeedWhere(const std::function<bool(TChaosSchedule &)> &condition)
{
    for (std::uint64_t seed = 0;; ++seed) {
        TChaosSchedule schedule(seed, 1);
        if (condition(schedule))
            return seed;
    }
}

class DemoServerChaosTest : public ::testing::Test
{
protected:
    void StartServer(std::uint64_t seed, double scale)
    {
        Logs.clear();
        Options.Port = 0;
        Options.HttpPort = 0;
        Options.Rate = 100;
        Options.Chaos = true;
        Options.ChaosSeed = seed;
        Options.ChaosScale = scale;
        Server = std::make_unique<TDemoServer>(Options);
        Server->OnLog = [this](const std::string &line) { Logs += line + "\n"; };
        ASSERT_TRUE(Server->Listen()) << Server->ErrorText().toStdString();
    }

    // The chaos lines of one connection, in order.
    std::vector<std::string> ChaosLines(int connection) const
    {
        std::vector<std::string> lines;
        std::istringstream in(Logs);
        const std::string prefix = "chaos: #" + std::to_string(connection) + " ";
        for (std::string line; std::getline(in, line);)
            if (line.rfind(prefix, 0) == 0)
                lines.push_back(line);
        return lines;
    }

    // A client that logs in, subscribes and keeps pinging until its
    // connection has seen this many faults or its stream has ended.
    std::vector<std::string> RunClient(std::size_t faults)
    {
        TTestClient client;
        EXPECT_TRUE(client.Connect(Server->Port()));
        client.Send(LoginMessage(1, "trader", "pw") + SubscribeMessages(8));
        EXPECT_TRUE(WaitFor(
            [&] {
                client.Pump();
                if (!client.Closed() && client.StreamError.empty())
                    client.Send(PingMessage(7));
                return ChaosLines(1).size() >= faults || client.Closed() || !client.StreamError.empty();
            },
            60000))
            << Logs;
        // A stream error comes only from a corrupt fault, never from one of
        // the faults that a connection survives.
        if (!client.StreamError.empty()) {
            EXPECT_EQ(client.StreamError, "data error");
            EXPECT_NE(ChaosLines(1).back().find(" corrupt"), std::string::npos) << Logs;
        }
        std::vector<std::string> lines = ChaosLines(1);
        if (lines.size() > faults)
            lines.resize(faults);
        return lines;
    }

    TDemoServerOptions Options;
    std::unique_ptr<TDemoServer> Server;
    std::string Logs;
};

TEST_F(DemoServerChaosTest, TheSameSeedInjectsTheSameFaults)
{
    // A seed whose first connection meets at least three faults it survives.
    const std::uint64_t seed = SeedWhere([](TChaosSchedule &schedule) {
        for (int i = 0; i < 3; ++i) {
            const TChaosFault fault = schedule.Next().Fault;
            if (fault == TChaosFault::Drop || fault == TChaosFault::Corrupt)
                return false;
        }
        return !schedule.StopsLogins();
    });
    StartServer(seed, 0.01);
    const std::vector<std::string> first = RunClient(6);
    ASSERT_GE(first.size(), 3u) << Logs;
    std::uint64_t counted = 0;
    for (const std::uint64_t count : Server->ChaosCounters().Counts)
        counted += count;
    EXPECT_GE(counted, first.size());

    StartServer(seed, 0.01);
    const std::vector<std::string> second = RunClient(6);
    EXPECT_EQ(first, second) << Logs;
}

TEST_F(DemoServerChaosTest, ARareStopAnswersTheLogin)
{
    // A long time scale keeps every other fault away.
    StartServer(SeedWhere([](TChaosSchedule &schedule) { return schedule.StopsLogins(); }), 1000);
    TTestClient client;
    ASSERT_TRUE(client.Connect(Server->Port()));
    client.Send(LoginMessage(1, "trader", "pw") + SubscribeMessages(8));
    ASSERT_TRUE(client.WaitForFrames(1, 1));
    EXPECT_EQ(client.FramesWithId(1).front().Body, "STOP\r\nLogin refused by the demo server (chaos).\r\n");
    EXPECT_EQ(ChaosLines(1), std::vector<std::string>{"chaos: #1 stop-login"});
    EXPECT_EQ(Server->ChaosCounters()[TChaosFault::StopLogin], 1u);
}

TEST_F(DemoServerChaosTest, ADropEndsATunnelToo)
{
    StartServer(
        SeedWhere([](TChaosSchedule &schedule) { return schedule.Next().Fault == TChaosFault::Drop; }), 0.01);
    TTunnelGet tunnel;
    ASSERT_TRUE(tunnel.Open(Server->HttpPort()));
    EXPECT_TRUE(WaitFor([&] { return tunnel.Closed(); }, 30000));
    EXPECT_NE(Logs.find("dropped by the server (chaos)"), std::string::npos) << Logs;
    EXPECT_EQ(ChaosLines(1), std::vector<std::string>{"chaos: #1 drop"});
    EXPECT_EQ(Server->ChaosCounters()[TChaosFault::Drop], 1u);
}

} // namespace
