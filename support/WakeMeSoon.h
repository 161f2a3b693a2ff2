#pragma once

#include <functional>
#include <memory>

class TPostedWakeUp;

// Runs OnWakeUp once "soon": from the message loop, after the current event.
// Any number of requests before the call merge into one.
class TWakeMeSoon
{
public:
    TWakeMeSoon();
    ~TWakeMeSoon();
    TWakeMeSoon(const TWakeMeSoon &) = delete;
    TWakeMeSoon &operator=(const TWakeMeSoon &) = delete;

    std::function<void()> OnWakeUp;

    void RequestWakeUp();
    bool Pending() const { return FPending; }

private:
    void WndPrc();

    std::unique_ptr<TPostedWakeUp> FWindow;
    bool FPending = false;
};
