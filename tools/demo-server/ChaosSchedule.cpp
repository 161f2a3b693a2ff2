#include "ChaosSchedule.h"

namespace {

// SplitMix64: fully specified, so a seed means the same faults with every
// compiler and library.
std::uint64_t Mix(std::uint64_t &state)
{
    std::uint64_t z = (state += 0x9E3779B97F4A7C15ull);
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
    return z ^ (z >> 31);
}

struct TWeight
{
    TChaosFault Fault;
    unsigned Weight;
};

// Harmless faults come more often than those that end the connection.
constexpr TWeight Weights[] = {
    {TChaosFault::Drop, 2},  {TChaosFault::Stall, 1},   {TChaosFault::Trickle, 3},
    {TChaosFault::Delay, 3}, {TChaosFault::Corrupt, 1},
};

} // namespace

const char *ChaosFaultName(TChaosFault fault)
{
    switch (fault) {
    case TChaosFault::Drop:
        return "drop";
    case TChaosFault::Stall:
        return "stall";
    case TChaosFault::Trickle:
        return "trickle";
    case TChaosFault::Delay:
        return "delay";
    case TChaosFault::Corrupt:
        return "corrupt";
    case TChaosFault::StopLogin:
        return "stop-login";
    }
    return "unknown";
}

TChaosSchedule::TChaosSchedule(std::uint64_t seed, int connection)
{
    // Seed and connection number are mixed so that neighbouring seeds or
    // connections do not give related sequences.
    std::uint64_t mixer = seed;
    const std::uint64_t seedHash = Mix(mixer);
    mixer = seedHash ^ static_cast<std::uint64_t>(static_cast<std::uint32_t>(connection));
    FState = Mix(mixer);
    FStopsLogins = NextRandom() % StopLoginOneIn == 0;
}

std::uint64_t TChaosSchedule::NextRandom()
{
    return Mix(FState);
}

double TChaosSchedule::Uniform(double low, double high)
{
    // The top 53 bits make a double in [0, 1).
    const double unit = static_cast<double>(NextRandom() >> 11) * 0x1.0p-53;
    return low + (high - low) * unit;
}

TChaosStep TChaosSchedule::Next()
{
    TChaosStep step;
    step.Gap = Uniform(MinGap, MaxGap);
    unsigned total = 0;
    for (const TWeight &weight : Weights)
        total += weight.Weight;
    unsigned pick = static_cast<unsigned>(NextRandom() % total);
    for (const TWeight &weight : Weights) {
        if (pick < weight.Weight) {
            step.Fault = weight.Fault;
            break;
        }
        pick -= weight.Weight;
    }
    switch (step.Fault) {
    case TChaosFault::Stall:
        step.Duration = StallSeconds;
        break;
    case TChaosFault::Trickle:
        step.Duration = Uniform(MinTrickle, MaxTrickle);
        break;
    case TChaosFault::Delay:
        step.Duration = Uniform(MinDelay, MaxDelay);
        break;
    default:
        step.Duration = 0;
        break;
    }
    return step;
}

std::string TChaosCounters::Summary() const
{
    std::string text;
    for (int i = 0; i < ChaosFaultCount; ++i) {
        if (i > 0)
            text += ", ";
        text += std::string(ChaosFaultName(static_cast<TChaosFault>(i))) + " " + std::to_string(Counts[i]);
    }
    return text;
}
