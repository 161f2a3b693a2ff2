#pragma once

#include <array>
#include <cstdint>
#include <string>

// The faults the demo server injects with --chaos.
enum class TChaosFault : int {
    Drop,      // the connection is reset
    Stall,     // nothing is sent, not even ping replies, for longer than the client's watchdog
    Trickle,   // the server's stream goes out one byte per write
    Delay,     // the client's next message (a ping, a login) is answered late
    Corrupt,   // bytes no inflater accepts go into the server's stream
    StopLogin, // every login on the connection is answered with STOP
};

inline constexpr int ChaosFaultCount = 6;

// "drop", "stall", "trickle", "delay", "corrupt", "stop-login".
const char *ChaosFaultName(TChaosFault fault);

// One fault of a connection's schedule. Seconds are before --chaos-scale.
struct TChaosStep
{
    // Normal service before the fault starts (after the previous one ended).
    double Gap = 0;
    TChaosFault Fault = TChaosFault::Drop;
    // How long the fault lasts; 0 for drop and corrupt, which end the stream.
    double Duration = 0;
};

// The faults of one connection, drawn from a generator seeded with the chaos
// seed and the connection's number: the same seed gives every connection the
// same faults on every run, whatever else happens. Pure arithmetic, no
// timers; the connection plays the steps out.
class TChaosSchedule
{
public:
    static constexpr double MinGap = 5;
    static constexpr double MaxGap = 30;
    // Longer than the client's watchdog (25 ticks of 500 ms).
    static constexpr double StallSeconds = 15;
    static constexpr double MinTrickle = 1;
    static constexpr double MaxTrickle = 4;
    static constexpr double MinDelay = 1;
    static constexpr double MaxDelay = 3;
    // One connection in this many answers its logins with STOP.
    static constexpr std::uint64_t StopLoginOneIn = 25;

    TChaosSchedule(std::uint64_t seed, int connection);

    // Decided once, before any step.
    bool StopsLogins() const { return FStopsLogins; }
    // Stall, trickle and delay are followed by more steps; drop and corrupt
    // end the connection's stream, so the owner asks for nothing after them.
    TChaosStep Next();

private:
    std::uint64_t NextRandom();
    // Uniform in [low, high).
    double Uniform(double low, double high);

    std::uint64_t FState;
    bool FStopsLogins;
};

// How many faults of each kind were injected, for the summary at exit.
struct TChaosCounters
{
    std::array<std::uint64_t, ChaosFaultCount> Counts{};

    void Add(TChaosFault fault) { ++Counts[static_cast<int>(fault)]; }
    std::uint64_t operator[](TChaosFault fault) const { return Counts[static_cast<int>(fault)]; }
    // "drop 2, stall 0, trickle 5, delay 3, corrupt 1, stop-login 0".
    std::string Summary() const;
};
