#pragma once

#include <QObject>
#include <QSocketNotifier>

#include <functional>
#include <memory>

// Turns SIGINT and SIGTERM into a call on the event loop. The signal handler
// only writes the signal number into a socket pair; the loop reads it, so
// the handler never runs anything that is unsafe inside a signal.
class TStopSignals : public QObject
{
public:
    TStopSignals();
    ~TStopSignals() override;
    TStopSignals(const TStopSignals &) = delete;
    TStopSignals &operator=(const TStopSignals &) = delete;

    // False when the socket pair or the handlers could not be set up.
    bool Installed() const { return FInstalled; }

    std::function<void(int signal)> OnSignal;

private:
    void Readable();

    bool FInstalled = false;
    std::unique_ptr<QSocketNotifier> FNotifier;
};
