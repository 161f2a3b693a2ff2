#include "ChaosSchedule.h"

#include <gtest/gtest.h>

#include <set>
#include <vector>

namespace {

std::vector<TChaosStep> Steps(std::uint64_t seed, int connection, int count)
{
    TChaosSchedule schedule(seed, connection);
    std::vector<TChaosStep> steps;
    for (int i = 0; i < count; ++i)
        steps.push_back(schedule.Next());
    return steps;
}

bool Same(const std::vector<TChaosStep> &a, const std::vector<TChaosStep> &b)
{
    if (a.size() != b.size())
        return false;
    for (std::size_t i = 0; i < a.size(); ++i)
        if (a[i].Gap != b[i].Gap || a[i].Fault != b[i].Fault || a[i].Duration != b[i].Duration)
            return false;
    return true;
}

TEST(ChaosSchedule, TheSameSeedAndConnectionGiveTheSameFaults)
{
    for (const std::uint64_t seed : {0ull, 1ull, 42ull, 18446744073709551615ull})
        for (const int connection : {1, 2, 1000}) {
            EXPECT_TRUE(Same(Steps(seed, connection, 200), Steps(seed, connection, 200)))
                << seed << " " << connection;
            EXPECT_EQ(TChaosSchedule(seed, connection).StopsLogins(),
                      TChaosSchedule(seed, connection).StopsLogins());
        }
}

TEST(ChaosSchedule, AnotherSeedOrConnectionGivesOtherFaults)
{
    const std::vector<TChaosStep> base = Steps(7, 1, 50);
    EXPECT_FALSE(Same(base, Steps(8, 1, 50)));
    EXPECT_FALSE(Same(base, Steps(7, 2, 50)));
    // Seed and connection are not simply added together.
    EXPECT_FALSE(Same(Steps(7, 2, 50), Steps(8, 1, 50)));
}

TEST(ChaosSchedule, EveryFaultKindHappens)
{
    std::set<TChaosFault> seen;
    int stopping = 0;
    const int connections = 1000;
    for (int connection = 1; connection <= connections; ++connection) {
        TChaosSchedule schedule(3, connection);
        stopping += schedule.StopsLogins();
        // A connection's schedule ends with its first drop or corrupt.
        for (int i = 0; i < 50; ++i) {
            const TChaosStep step = schedule.Next();
            seen.insert(step.Fault);
            if (step.Fault == TChaosFault::Drop || step.Fault == TChaosFault::Corrupt)
                break;
        }
    }
    for (const TChaosFault fault : {TChaosFault::Drop, TChaosFault::Stall, TChaosFault::Trickle,
                                    TChaosFault::Delay, TChaosFault::Corrupt})
        EXPECT_EQ(seen.count(fault), 1u) << ChaosFaultName(fault);
    // STOP replies are rare, but they do come.
    EXPECT_GT(stopping, 0);
    EXPECT_LT(stopping, connections / 10);
}

TEST(ChaosSchedule, GapsAndDurationsStayInTheirRanges)
{
    for (int connection = 1; connection <= 100; ++connection) {
        for (const TChaosStep &step : Steps(11, connection, 100)) {
            EXPECT_GE(step.Gap, TChaosSchedule::MinGap);
            EXPECT_LT(step.Gap, TChaosSchedule::MaxGap);
            switch (step.Fault) {
            case TChaosFault::Stall:
                // Past the client's watchdog of 25 ticks of 500 ms.
                EXPECT_GT(step.Duration, 12.5);
                break;
            case TChaosFault::Trickle:
                EXPECT_GE(step.Duration, TChaosSchedule::MinTrickle);
                EXPECT_LT(step.Duration, TChaosSchedule::MaxTrickle);
                break;
            case TChaosFault::Delay:
                EXPECT_GE(step.Duration, 1.0);
                EXPECT_LT(step.Duration, 3.0);
                break;
            default:
                EXPECT_EQ(step.Duration, 0.0) << ChaosFaultName(step.Fault);
                break;
            }
        }
    }
}

TEST(ChaosCounters, SummaryNamesEveryFault)
{
    TChaosCounters counters;
    counters.Add(TChaosFault::Drop);
    counters.Add(TChaosFault::Drop);
    counters.Add(TChaosFault::StopLogin);
    EXPECT_EQ(counters[TChaosFault::Drop], 2u);
    EXPECT_EQ(counters.Summary(), "drop 2, stall 0, trickle 0, delay 0, corrupt 0, stop-login 1");
}

} // namespace
