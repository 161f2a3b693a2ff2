#pragma once

#include "AlertWindowUnit.h"
#include "Forms.h"
#include "StdCtrls.h"

#include <memory>
#include <string>

class TMainConnection;
class TRegistryIniFile;

// The main window: the user name and password for the session, its status,
// and the buttons that bring up the eight alert windows and the linking
// window. It creates the alert windows, restores their layout and the last
// user name at start-up and saves them when it is destroyed. The password is
// handed to the connection only, never stored.
class TMainForm : public TForm
{
    Q_OBJECT
public:
    // Uses the process-wide main connection.
    TMainForm();
    // Uses the given connection instead, also for its alert windows (tests).
    explicit TMainForm(TMainConnection &connection);
    ~TMainForm() override;

    // Where the layout and the last user name are kept.
    static constexpr const char *SettingsKey = "\\Software\\Pennoric\\Corvane Alerts";

    TPageControl *PageControl1 = nullptr;
    TTabSheet *Connection = nullptr;
    TLabel *Label3 = nullptr;
    TLabel *StatusLabel = nullptr;
    TLabel *Label1 = nullptr;
    TLabel *Label2 = nullptr;
    TEdit *UsernameEdit = nullptr;
    TEdit *PasswordEdit = nullptr;
    TButton *LoginButton = nullptr;
    TButton *ResetConnectionButton = nullptr;
    TTabSheet *Windows = nullptr;
    TButton *Button1 = nullptr;
    TButton *Button2 = nullptr;
    TButton *Button3 = nullptr;
    TButton *Button4 = nullptr;
    TButton *Button5 = nullptr;
    TButton *Button6 = nullptr;
    TButton *Button7 = nullptr;
    TButton *Button8 = nullptr;
    TButton *ConfigureExternalLinkingButton = nullptr;

    // Entry i is the alert window with window id i + 1. The windows have no
    // owner and are never freed: the connection calls them until the end.
    TAlertForms AlertForms;
    // Open from the end of FormCreate until the end of FormDestroy.
    std::unique_ptr<TRegistryIniFile> Settings;

    void FormCreate(QObject *Sender);
    void FormShow(QObject *Sender);
    void FormDestroy(QObject *Sender);
    void LoginButtonClick(QObject *Sender);
    void ResetConnectionButtonClick(QObject *Sender);
    void ShowAlertWindow(QObject *Sender);
    void ConfigureExternalLinkingButtonClick(QObject *Sender);

    void ConnectionStatusChanged();

protected:
    void showEvent(QShowEvent *event) override;

private:
    void CreateComponents();
    TMainConnection &MainConnectionOfForm();
    TAlertForm *NewAlertForm();
    void RestoreWindow(TAlertForm &form);
    void SaveWindow(TAlertForm &form);

    // Null: the process-wide connection.
    TMainConnection *FConnection = nullptr;
};
