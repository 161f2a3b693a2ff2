#include "FuzzSupport.h"

#include "ErrorDisplay.h"
#include "MiscDebugWindows.h"

#include <QApplication>
#include <QPlainTextEdit>

#include <cstdio>
#include <cstdlib>

namespace {

// Reachable for the whole run: the units expect the application to outlive them.
QApplication *Application = nullptr;

} // namespace

void FuzzInitializeApplication(int *argc, char ***argv)
{
    if (Application)
        return;
    setenv("QT_QPA_PLATFORM", "offscreen", 1);
    Application = new QApplication(*argc, *argv);
    SetExceptionDisplayForTesting(
        [](const std::string &text) { FuzzFail("exception reached the error display: " + text); });
}

void FuzzDeliverPostedEvents()
{
    // A wake-up delivered here may post the next one.
    for (int turn = 0; turn < 3; ++turn)
        QCoreApplication::sendPostedEvents();
}

void FuzzDrainDebugWindow()
{
    if (!MiscDebugWindow)
        return;
    if (MiscDebugWindow->FlushScheduled())
        MiscDebugWindow->Timer1Timer();
    MiscDebugWindow->Memo1->clear();
}

void FuzzFail(const std::string &text)
{
    std::fprintf(stderr, "FUZZ CHECK FAILED: %s\n", text.c_str());
    std::fflush(stderr);
    std::abort();
}
