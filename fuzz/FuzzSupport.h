#pragma once

// What every fuzz target shares: the application object the units need, the
// event-loop turns they rely on, and failing loudly when an invariant breaks.

#include <string>

// A widgets application on the offscreen platform (created once, never
// destroyed), and an error display that ends the run: an exception reaching
// the application's default display is a finding, not a message box.
void FuzzInitializeApplication(int *argc, char ***argv);

// Delivers what the units posted to the event loop (wake-ups), as one or two
// turns of the loop would.
void FuzzDeliverPostedEvents();

// Flushes and empties the debug window, so the reports of millions of inputs
// do not pile up in its memo.
void FuzzDrainDebugWindow();

// Prints the text and aborts; libFuzzer keeps the input as a crash.
[[noreturn]] void FuzzFail(const std::string &text);

#define FUZZ_CHECK(condition, text)                                                                          \
    do {                                                                                                     \
        if (!(condition))                                                                                    \
            FuzzFail(std::string(text) + " (" #condition ")");                                               \
    } while (false)
