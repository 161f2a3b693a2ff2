#pragma once

#include <exception>
#include <functional>
#include <string>

// Where an exception that escapes a GUI handler ends up: the application's
// default error display, never std::terminate. The stand-ins that call our
// handlers from Qt (timers, posted events, sockets, widgets) run them through
// CallGuiHandler.

// Shows the exception's message in a message box (and on standard error).
void ShowException(const std::exception &e);

// Tests replace the message box; an empty function restores it.
void SetExceptionDisplayForTesting(std::function<void(const std::string &text)> display);

template <typename F>
void CallGuiHandler(F &&handler)
{
    try {
        handler();
    } catch (const std::exception &e) {
        ShowException(e);
    }
}
