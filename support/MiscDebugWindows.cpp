#include "MiscDebugWindows.h"

#include "Exceptions.h"

#include <QFont>
#include <QPlainTextEdit>
#include <QVBoxLayout>

TMiscDebugWindow *MiscDebugWindow = nullptr;

TMiscDebugWindow::TMiscDebugWindow(QWidget *owner) : TForm(owner), Timer1(std::make_unique<TTimer>())
{
    setObjectName(QStringLiteral("MiscDebugWindow"));
    SetCaption("Pennoric Debug Window");
    SetBounds(192, 114, 1142, 656);

    Memo1 = new QPlainTextEdit(this);
    Memo1->setObjectName(QStringLiteral("Memo1"));
    Memo1->setLineWrapMode(QPlainTextEdit::NoWrap);
    Memo1->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
    Memo1->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
    auto *layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->addWidget(Memo1);

    Timer1->SetEnabled(false);
    Timer1->SetInterval(250);
    Timer1->OnTimer = [this] { Timer1Timer(); };
    OnClose = [this](TCloseAction &action) { FormClose(action); };
}

TMiscDebugWindow::~TMiscDebugWindow() = default;

void TMiscDebugWindow::AddText(const std::string &text)
{
    if (!FFlushScheduled) {
        FFlushScheduled = true;
        Timer1->SetEnabled(true);
    }
    if (FPendingText.empty())
        FPendingText = text;
    else
        FPendingText += "\r\n" + text;
    // A window already on screen stays where it is, not brought to the front.
    if (!isVisible())
        show();
}

void TMiscDebugWindow::Timer1Timer()
{
    FFlushScheduled = false;
    Timer1->SetEnabled(false);
    // One addition; the CR LF separators make it several lines.
    QString text = QString::fromStdString(FPendingText);
    text.replace(QStringLiteral("\r\n"), QStringLiteral("\n"));
    Memo1->appendPlainText(text);
    FPendingText.clear();
}

void TMiscDebugWindow::FormClose(TCloseAction &action)
{
    // Later reports show the window again, but minimised, not over other work.
    SetWindowState(wsMinimized);
    action = caHide;
}

void DebugOutputTo(TMiscDebugWindow *&window, const std::string &text, QWidget *owner)
{
    if (!window)
        window = new TMiscDebugWindow(owner);
    window->AddText(text);
}

void DebugOutput(const std::string &text)
{
    DebugOutputTo(MiscDebugWindow, text, nullptr);
}

void ReportException(const std::exception &e, const std::string &location)
{
    try {
        std::string className = "Exception";
        std::string message = e.what();
        if (const auto *own = dynamic_cast<const Exception *>(&e)) {
            className = own->ClassName();
            message = own->Message();
        }
        DebugOutput("Class=" + className + ", Message=" + message + ", Location=" + location);
    } catch (...) {
        // Reporting never raises.
    }
}
