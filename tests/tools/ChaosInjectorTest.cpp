#include "ChaosInjector.h"
#include "EventLoop.h"

#include <gtest/gtest.h>

#include <memory>
#include <vector>

namespace {

// A seed whose connection 1 starts with the given fault.
std::uint64_t SeedStartingWith(TChaosFault fault)
{
    for (std::uint64_t seed = 0;; ++seed)
        if (TChaosSchedule(seed, 1).Next().Fault == fault)
            return seed;
}

struct TWrite
{
    std::string Bytes;
    bool Single;
};

// The injector between a pretend session and a pretend socket; every wait
// scaled down so a test runs in moments, and every check made on what
// happened, not on how long it took.
class ChaosInjectorTest : public ::testing::Test
{
protected:
    void Make(TChaosFault first)
    {
        Injector = std::make_unique<TChaosInjector>(SeedStartingWith(first), 1, Scale);
        Injector->OnWrite = [this](const std::string &bytes, bool single) {
            Writes.push_back({bytes, single});
        };
        Injector->OnDeliver = [this](const std::string &bytes) { Delivered += bytes; };
        Injector->OnDrop = [this] { ++Drops; };
        Injector->OnCorrupt = [this] { ++Corrupts; };
        Injector->OnFault = [this](TChaosFault fault, double seconds) {
            Faults.push_back(fault);
            Seconds.push_back(seconds);
            if (OnFault)
                OnFault(fault);
        };
    }

    std::string Written() const
    {
        std::string all;
        for (const TWrite &write : Writes)
            all += write.Bytes;
        return all;
    }

    double Scale = 0.01;
    std::unique_ptr<TChaosInjector> Injector;
    std::vector<TWrite> Writes;
    std::string Delivered;
    int Drops = 0;
    int Corrupts = 0;
    std::vector<TChaosFault> Faults;
    std::vector<double> Seconds;
    std::function<void(TChaosFault)> OnFault;
};

TEST_F(ChaosInjectorTest, BytesPassUntouchedBetweenFaults)
{
    Make(TChaosFault::Stall);
    Injector->Start();
    Injector->Output("out");
    Injector->Input("in");
    ASSERT_EQ(Writes.size(), 1u);
    EXPECT_EQ(Writes[0].Bytes, "out");
    EXPECT_FALSE(Writes[0].Single);
    EXPECT_EQ(Delivered, "in");
}

TEST_F(ChaosInjectorTest, AStallHoldsEveryByteAndThenSendsThemInOrder)
{
    Make(TChaosFault::Stall);
    std::size_t writesAtStall = 0;
    OnFault = [&](TChaosFault) {
        // Inside the fault's own handler the stall cannot have ended yet.
        writesAtStall = Writes.size();
        Injector->Output("pong");
        Injector->Output("alert");
        EXPECT_EQ(Writes.size(), writesAtStall);
        EXPECT_EQ(Injector->HeldOutput(), 9u);
    };
    Injector->Start();
    Injector->Output("before ");
    ASSERT_TRUE(WaitFor([&] { return !Faults.empty(); }, 30000));
    EXPECT_EQ(Faults.front(), TChaosFault::Stall);
    EXPECT_DOUBLE_EQ(Seconds.front(), TChaosSchedule::StallSeconds * Scale);
    ASSERT_TRUE(WaitFor([&] { return Written() == "before pongalert"; }, 30000)) << Written();
    EXPECT_EQ(Injector->HeldOutput(), 0u);
}

TEST_F(ChaosInjectorTest, ATrickleSendsSingleBytesInOrder)
{
    Make(TChaosFault::Trickle);
    OnFault = [&](TChaosFault) { Injector->Output("trickled"); };
    Injector->Start();
    ASSERT_TRUE(WaitFor([&] { return Written() == "trickled"; }, 30000)) << Written();
    ASSERT_EQ(Faults.front(), TChaosFault::Trickle);
    // The trickle's first byte goes long before the fault ends; whatever is
    // left at the end goes at once.
    ASSERT_FALSE(Writes.empty());
    EXPECT_EQ(Writes.front().Bytes, "t");
    EXPECT_TRUE(Writes.front().Single);
    for (const TWrite &write : Writes) {
        if (write.Single) {
            EXPECT_EQ(write.Bytes.size(), 1u);
        }
    }
}

TEST_F(ChaosInjectorTest, ADelayHoldsTheClientsNextBytesAndThenHandsThemOn)
{
    Make(TChaosFault::Delay);
    Injector->Start();
    // The delay takes hold of whatever the client sends once it is armed.
    std::string sent;
    std::size_t deliveredAtFault = 0;
    OnFault = [&](TChaosFault) { deliveredAtFault = Delivered.size(); };
    ASSERT_TRUE(WaitFor(
        [&] {
            const std::string ping = "ping" + std::to_string(sent.size()) + ";";
            sent += ping;
            Injector->Input(ping);
            return !Faults.empty();
        },
        30000));
    EXPECT_EQ(Faults.front(), TChaosFault::Delay);
    EXPECT_LT(deliveredAtFault, sent.size());
    Injector->Input("more;");
    sent += "more;";
    ASSERT_TRUE(WaitFor([&] { return Delivered == sent; }, 30000)) << Delivered;
    EXPECT_GE(Seconds.front(), TChaosSchedule::MinDelay * Scale);
    EXPECT_LT(Seconds.front(), TChaosSchedule::MaxDelay * Scale);
}

struct TEndingCase
{
    const char *Name;
    TChaosFault Fault;
};

void PrintTo(const TEndingCase &row, std::ostream *out)
{
    *out << row.Name;
}

class ChaosInjectorEnding : public ChaosInjectorTest, public ::testing::WithParamInterface<TEndingCase>
{
};

TEST_P(ChaosInjectorEnding, EndsTheScheduleAndLetsLaterBytesThrough)
{
    Make(GetParam().Fault);
    Injector->Start();
    ASSERT_TRUE(WaitFor([&] { return Drops + Corrupts > 0; }, 30000));
    EXPECT_EQ(Drops, GetParam().Fault == TChaosFault::Drop ? 1 : 0);
    EXPECT_EQ(Corrupts, GetParam().Fault == TChaosFault::Corrupt ? 1 : 0);
    EXPECT_EQ(Faults, std::vector<TChaosFault>{GetParam().Fault});
    // The corrupting garbage itself must get out.
    Injector->Output("garbage");
    EXPECT_EQ(Written(), "garbage");
}

INSTANTIATE_TEST_SUITE_P(Cases, ChaosInjectorEnding,
                         ::testing::Values(TEndingCase{"Drop", TChaosFault::Drop},
                                           TEndingCase{"Corrupt", TChaosFault::Corrupt}),
                         [](const auto &info) { return std::string(info.param.Name); });

TEST_F(ChaosInjectorTest, AFaultIsFollowedByTheNextOne)
{
    Make(TChaosFault::Stall);
    Injector->Start();
    // Input keeps a delay from waiting for ever.
    ASSERT_TRUE(WaitFor(
        [&] {
            Injector->Input("x");
            return Faults.size() >= 2 || Drops + Corrupts > 0;
        },
        30000));
    const std::vector<TChaosFault> seen = Faults;
    TChaosSchedule schedule(SeedStartingWith(TChaosFault::Stall), 1);
    for (const TChaosFault fault : seen)
        EXPECT_EQ(fault, schedule.Next().Fault);
}

TEST_F(ChaosInjectorTest, StopEndsEverythingAndDropsWhatWasHeld)
{
    Make(TChaosFault::Stall);
    OnFault = [&](TChaosFault) {
        Injector->Output("held");
        Injector->Stop();
    };
    Injector->Start();
    ASSERT_TRUE(WaitFor([&] { return !Faults.empty(); }, 30000));
    EXPECT_EQ(Injector->HeldOutput(), 0u);
    Injector->Output("after");
    Injector->Input("after");
    // Let the stall's end come and go: still nothing.
    ASSERT_FALSE(WaitFor([&] { return !Writes.empty() || !Delivered.empty(); }, 200));
}

} // namespace
