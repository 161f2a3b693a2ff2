#include "Application.h"

#include "ErrorDisplay.h"
#include "Exceptions.h"
#include "Forms.h"

#include <QCloseEvent>

TApplication *Application = nullptr;

TQtApplication::TQtApplication(int &argc, char **argv) : QApplication(argc, argv) {}

bool TQtApplication::notify(QObject *receiver, QEvent *event)
{
    try {
        return QApplication::notify(receiver, event);
    } catch (const Exception &e) {
        if (Application)
            Application->ShowException(e);
        else
            ::ShowException(e);
        return false;
    }
}

// Ends the message loop once the main form has agreed to close. The form's own
// close handler decides first: a form that refuses to close keeps the loop going.
class TApplication::TMainFormWatcher : public QObject
{
public:
    TMainFormWatcher(TApplication &application, TForm *form) : FApplication(application), FForm(form)
    {
        FForm->installEventFilter(this);
    }

protected:
    bool eventFilter(QObject *watched, QEvent *event) override
    {
        if (watched != FForm || event->type() != QEvent::Close)
            return false;
        static_cast<QObject *>(FForm)->event(event);
        if (event->isAccepted())
            FApplication.Terminate();
        return true;
    }

private:
    TApplication &FApplication;
    TForm *FForm;
};

TApplication::TApplication(int &argc, char **argv)
{
    Assert(Application == nullptr);
    if (!QCoreApplication::instance())
        FOwnApplication = std::make_unique<TQtApplication>(argc, argv);
    Assert(qobject_cast<QApplication *>(QCoreApplication::instance()) != nullptr);
    Application = this;
}

TApplication::~TApplication()
{
    DestroyForms();
    Application = nullptr;
    // The Qt application goes last: the forms' destroy handlers still use it.
    FOwnApplication.reset();
}

void TApplication::Initialize()
{
    // Alert windows may stay open without the main form; only closing the
    // main form (or Terminate) ends the program.
    QApplication::setQuitOnLastWindowClosed(false);
}

std::string TApplication::Title() const
{
    return QCoreApplication::applicationName().toStdString();
}

void TApplication::SetTitle(const std::string &title)
{
    QCoreApplication::setApplicationName(QString::fromStdString(title));
}

void TApplication::AddForm(std::unique_ptr<TForm> form)
{
    if (!FMainForm) {
        FMainForm = form.get();
        FWatcher = std::make_unique<TMainFormWatcher>(*this, FMainForm);
    }
    FForms.push_back(std::move(form));
}

int TApplication::Run()
{
    if (FTerminated)
        return 0;
    QApplication::setQuitOnLastWindowClosed(false);
    if (FMainForm)
        FMainForm->Show();
    const int code = QCoreApplication::exec();
    FTerminated = true;
    return code;
}

void TApplication::Terminate()
{
    FTerminated = true;
    // exit(), not quit(): quit() would first close every window, and the
    // layout saved at shut-down would then record all alert windows as hidden.
    QCoreApplication::exit(0);
}

void TApplication::DestroyForms()
{
    while (!FForms.empty()) {
        std::unique_ptr<TForm> form = std::move(FForms.back());
        FForms.pop_back();
        if (form.get() == FMainForm) {
            FWatcher.reset();
            FMainForm = nullptr;
        }
        form.reset();
    }
}

void TApplication::ShowException(const std::exception &e)
{
    ::ShowException(e);
}
