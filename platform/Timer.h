#pragma once

#include <QTimer>

#include <functional>
#include <memory>

// The form library's timer: an interval, an enabled flag and a tick handler.
// Enabled from construction, like the original, with a 1000 ms interval.
class TTimer
{
public:
    TTimer();
    ~TTimer();
    TTimer(const TTimer &) = delete;
    TTimer &operator=(const TTimer &) = delete;

    std::function<void()> OnTimer;

    int Interval() const { return FInterval; }
    void SetInterval(int milliseconds);
    bool Enabled() const { return FEnabled; }
    void SetEnabled(bool enabled);

private:
    void Update();

    std::unique_ptr<QTimer> FTimer;
    int FInterval = 1000;
    bool FEnabled = true;
};
