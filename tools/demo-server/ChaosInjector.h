#pragma once

#include "ChaosSchedule.h"

#include <QObject>
#include <QTimer>

#include <cstddef>
#include <functional>
#include <string>

// Plays one connection's chaos schedule out between its session and its
// socket: it sees every byte going either way and holds, slows or breaks the
// stream as the schedule says. The order of the bytes never changes, so a
// connection that survives a fault carries on with an intact stream.
// Only connections of a server started with --chaos have one.
class TChaosInjector : public QObject
{
public:
    // During a trickle, one byte goes out per this many seconds (scaled).
    static constexpr double TrickleByteSeconds = 0.001;
    // A delay that would hold more client bytes than this ends early.
    static constexpr std::size_t MaxHeldInput = 1 << 20;

    // Scale multiplies every wait and duration of the schedule (for tests).
    TChaosInjector(std::uint64_t seed, int connection, double scale);

    bool StopsLogins() const { return FSchedule.StopsLogins(); }
    // Starts the wait for the first fault.
    void Start();
    // The connection is gone: nothing more happens, nothing more is written.
    void Stop();

    // Bytes from the session for the client.
    void Output(const std::string &bytes);
    // Bytes from the client for the session.
    void Input(const std::string &bytes);
    // Output held back by a stall or a trickle.
    std::size_t HeldOutput() const { return FHeldOutput.size(); }

    // Write to the client; Single asks for the byte to leave on its own.
    std::function<void(const std::string &bytes, bool single)> OnWrite;
    std::function<void(const std::string &bytes)> OnDeliver;
    std::function<void()> OnDrop;
    std::function<void()> OnCorrupt;
    // One call per injected fault, with how long it lasts in real seconds.
    std::function<void(TChaosFault fault, double seconds)> OnFault;

private:
    // Done: the schedule ended (drop, corrupt) and bytes pass untouched; Over:
    // the connection is gone.
    enum class TPhase { Idle, Waiting, Stalled, Trickling, DelayArmed, Delaying, Done, Over };

    void ScheduleNext();
    void TimerFired();
    void Fire();
    void EndFault();
    void TrickleOne();
    int Milliseconds(double seconds) const;
    void Report(TChaosFault fault, double seconds);

    TChaosSchedule FSchedule;
    double FScale;
    TChaosStep FStep;
    TPhase FPhase = TPhase::Idle;
    QTimer FTimer;
    QTimer FTrickleTimer;
    std::string FHeldOutput;
    std::string FHeldInput;
};
