#pragma once

#include "Forms.h"
#include "Timer.h"

#include <exception>
#include <memory>
#include <string>

class QPlainTextEdit;

// A plain text window that shows itself whenever something is written to it.
// Texts are queued and reach the memo at most every 250 ms, joined by CR LF.
class TMiscDebugWindow : public TForm
{
    Q_OBJECT
public:
    explicit TMiscDebugWindow(QWidget *owner = nullptr);
    ~TMiscDebugWindow() override;

    void AddText(const std::string &text);
    void Timer1Timer();
    void FormClose(TCloseAction &action);

    QPlainTextEdit *Memo1 = nullptr;
    std::unique_ptr<TTimer> Timer1;

    bool FlushScheduled() const { return FFlushScheduled; }
    const std::string &PendingText() const { return FPendingText; }

private:
    bool FFlushScheduled = false;
    std::string FPendingText;
};

// The shared window, created by the first text written.
extern TMiscDebugWindow *MiscDebugWindow;

void DebugOutputTo(TMiscDebugWindow *&window, const std::string &text, QWidget *owner);
void DebugOutput(const std::string &text);

// Writes "Class=<class>, Message=<message>, Location=<location>". Never raises.
void ReportException(const std::exception &e, const std::string &location);
