#include "Timer.h"

#include "ErrorDisplay.h"

TTimer::TTimer() : FTimer(std::make_unique<QTimer>())
{
    QObject::connect(FTimer.get(), &QTimer::timeout, FTimer.get(), [this] {
        if (OnTimer)
            CallGuiHandler(OnTimer);
    });
    Update();
}

TTimer::~TTimer() = default;

void TTimer::SetInterval(int milliseconds)
{
    FInterval = milliseconds;
    Update();
}

void TTimer::SetEnabled(bool enabled)
{
    FEnabled = enabled;
    Update();
}

void TTimer::Update()
{
    // Like the original, changing the interval or re-enabling restarts the count.
    FTimer->stop();
    if (FEnabled && FInterval > 0)
        FTimer->start(FInterval);
}
