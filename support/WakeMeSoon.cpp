#include "WakeMeSoon.h"

#include "Exceptions.h"
#include "MiscDebugWindows.h"
#include "PostedWakeUp.h"

TWakeMeSoon::TWakeMeSoon() : FWindow(std::make_unique<TPostedWakeUp>())
{
    FWindow->OnDelivered = [this] { WndPrc(); };
}

// Deleting the receiver drops an undelivered wake-up: no call after destruction.
TWakeMeSoon::~TWakeMeSoon() = default;

void TWakeMeSoon::RequestWakeUp()
{
    if (FPending)
        return;
    FPending = true;
    FWindow->Post();
}

void TWakeMeSoon::WndPrc()
{
    // Cleared first, so a request made by the callback posts a new wake-up.
    FPending = false;
    try {
        if (OnWakeUp)
            OnWakeUp();
    } catch (const Exception &e) {
        ReportException(e, "WakeMeSoon, TWakeMeSoon.WndPrc");
    }
}
