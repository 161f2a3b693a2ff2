#pragma once

#include <QApplication>

#include <exception>
#include <memory>
#include <string>
#include <type_traits>
#include <utility>
#include <vector>

class TForm;

// The program's Qt application. Besides delivering events it is the last
// guard for an exception of ours that escapes a handler not run through
// CallGuiHandler: the exception goes to the default error display instead of
// unwinding through Qt into std::terminate.
class TQtApplication : public QApplication
{
    Q_OBJECT
public:
    TQtApplication(int &argc, char **argv);
    bool notify(QObject *receiver, QEvent *event) override;
};

// The application object: its title, the forms it owns, the main form (the
// first form created), the message loop and the default error display.
// Closing the main form ends the loop; other windows only hide when closed.
// At shut-down it destroys the forms it owns, the last created first.
class TApplication
{
public:
    // Uses the running QApplication (tests have one), or creates a
    // TQtApplication when there is none.
    TApplication(int &argc, char **argv);
    ~TApplication();
    TApplication(const TApplication &) = delete;
    TApplication &operator=(const TApplication &) = delete;

    void Initialize();

    // Shown by the desktop for the application and in its message boxes.
    std::string Title() const;
    void SetTitle(const std::string &title);

    // Creates a form owned by the application; the first one becomes the main
    // form. The form's own create handler runs inside this call.
    template <typename T, typename... Args> T *CreateForm(Args &&...args)
    {
        static_assert(std::is_base_of_v<TForm, T>);
        auto form = std::make_unique<T>(std::forward<Args>(args)...);
        T *result = form.get();
        AddForm(std::move(form));
        return result;
    }

    TForm *MainForm() const { return FMainForm; }
    const std::vector<std::unique_ptr<TForm>> &Forms() const { return FForms; }

    // Shows the main form and runs the message loop until the main form is
    // closed or Terminate is called; returns the loop's exit code.
    int Run();
    void Terminate();
    bool Terminated() const { return FTerminated; }

    // Destroys the owned forms, the last created first; each runs its own
    // destroy handler. Also done by the destructor.
    void DestroyForms();

    // The default error display.
    void ShowException(const std::exception &e);

private:
    class TMainFormWatcher;

    void AddForm(std::unique_ptr<TForm> form);

    std::unique_ptr<QApplication> FOwnApplication;
    std::vector<std::unique_ptr<TForm>> FForms;
    TForm *FMainForm = nullptr;
    std::unique_ptr<TMainFormWatcher> FWatcher;
    bool FTerminated = false;
};

// The one application object while it lives, else null.
extern TApplication *Application;
