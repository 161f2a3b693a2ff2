#include "ChaosInjector.h"

#include <algorithm>
#include <cmath>
#include <limits>

TChaosInjector::TChaosInjector(std::uint64_t seed, int connection, double scale)
    : FSchedule(seed, connection), FScale(scale)
{
    FTimer.setSingleShot(true);
    connect(&FTimer, &QTimer::timeout, this, &TChaosInjector::TimerFired);
    connect(&FTrickleTimer, &QTimer::timeout, this, &TChaosInjector::TrickleOne);
}

int TChaosInjector::Milliseconds(double seconds) const
{
    const double ms = std::round(seconds * FScale * 1000);
    return static_cast<int>(std::clamp(ms, 0.0, static_cast<double>(std::numeric_limits<int>::max())));
}

void TChaosInjector::Report(TChaosFault fault, double seconds)
{
    if (OnFault)
        OnFault(fault, seconds * FScale);
}

void TChaosInjector::Start()
{
    if (FPhase == TPhase::Idle)
        ScheduleNext();
}

void TChaosInjector::Stop()
{
    FPhase = TPhase::Over;
    FTimer.stop();
    FTrickleTimer.stop();
    FHeldOutput.clear();
    FHeldInput.clear();
}

void TChaosInjector::ScheduleNext()
{
    if (FPhase == TPhase::Over || FPhase == TPhase::Done)
        return;
    FStep = FSchedule.Next();
    FPhase = TPhase::Waiting;
    FTimer.start(Milliseconds(FStep.Gap));
}

void TChaosInjector::TimerFired()
{
    switch (FPhase) {
    case TPhase::Waiting:
        Fire();
        break;
    case TPhase::Stalled:
    case TPhase::Trickling:
    case TPhase::Delaying:
        EndFault();
        break;
    default:
        break;
    }
}

void TChaosInjector::Fire()
{
    switch (FStep.Fault) {
    case TChaosFault::Drop:
        FPhase = TPhase::Done;
        Report(FStep.Fault, 0);
        if (OnDrop)
            OnDrop();
        break;
    case TChaosFault::Corrupt:
        // The garbage goes out behind everything sent so far; the stream
        // is dead afterwards, so nothing else is scheduled.
        FPhase = TPhase::Done;
        Report(FStep.Fault, 0);
        if (OnCorrupt)
            OnCorrupt();
        break;
    case TChaosFault::Stall:
        FPhase = TPhase::Stalled;
        Report(FStep.Fault, FStep.Duration);
        FTimer.start(Milliseconds(FStep.Duration));
        break;
    case TChaosFault::Trickle:
        FPhase = TPhase::Trickling;
        Report(FStep.Fault, FStep.Duration);
        FTrickleTimer.start(Milliseconds(TrickleByteSeconds));
        FTimer.start(Milliseconds(FStep.Duration));
        break;
    case TChaosFault::Delay:
        // Takes effect on the client's next bytes; until they come the
        // schedule waits.
        FPhase = TPhase::DelayArmed;
        break;
    case TChaosFault::StopLogin:
        // Not a step of the schedule: decided when the connection starts.
        ScheduleNext();
        break;
    }
}

void TChaosInjector::EndFault()
{
    const TPhase phase = FPhase;
    FTrickleTimer.stop();
    FPhase = TPhase::Waiting;
    if (phase == TPhase::Delaying) {
        std::string input = std::move(FHeldInput);
        FHeldInput.clear();
        if (OnDeliver && !input.empty())
            OnDeliver(input);
    } else {
        std::string output = std::move(FHeldOutput);
        FHeldOutput.clear();
        if (OnWrite && !output.empty())
            OnWrite(output, false);
    }
    // The connection may have ended in a handler.
    if (FPhase != TPhase::Over)
        ScheduleNext();
}

void TChaosInjector::TrickleOne()
{
    if (FPhase != TPhase::Trickling || FHeldOutput.empty())
        return;
    const std::string byte = FHeldOutput.substr(0, 1);
    FHeldOutput.erase(0, 1);
    if (OnWrite)
        OnWrite(byte, true);
}

void TChaosInjector::Output(const std::string &bytes)
{
    if (FPhase == TPhase::Over || bytes.empty())
        return;
    if (FPhase == TPhase::Stalled || FPhase == TPhase::Trickling) {
        FHeldOutput += bytes;
        return;
    }
    if (OnWrite)
        OnWrite(bytes, false);
}

void TChaosInjector::Input(const std::string &bytes)
{
    if (FPhase == TPhase::Over || bytes.empty())
        return;
    if (FPhase == TPhase::DelayArmed) {
        FPhase = TPhase::Delaying;
        FHeldInput = bytes;
        Report(FStep.Fault, FStep.Duration);
        FTimer.start(Milliseconds(FStep.Duration));
        return;
    }
    if (FPhase == TPhase::Delaying) {
        FHeldInput += bytes;
        if (FHeldInput.size() > MaxHeldInput)
            EndFault();
        return;
    }
    if (OnDeliver)
        OnDeliver(bytes);
}
