#include "CorvaneAlertsMain.h"

#include "ErrorDisplay.h"
#include "Exceptions.h"
#include "ExternalLinkingUnit.h"
#include "MainConnectionUnit.h"
#include "RegistryIniFile.h"

#include <QVBoxLayout>

namespace {

struct TWindowButton
{
    const char *Name;
    const char *Caption;
    int Tag;
    int Left;
    int Top;
};

// Tag = the window id of the alert window the button brings up; the captions
// are the windows' own.
const TWindowButton WindowButtons[] = {
    {"Button1", "Quickstrike Down", 1, 8, 8},
    {"Button2", "Quickstrike Up", 2, 168, 8},
    {"Button3", "Bollinger Long (NASDAQ)", 3, 8, 40},
    {"Button4", "Bollinger Short (NASDAQ)", 4, 168, 40},
    {"Button5", "Bollinger Long (NYSE)", 5, 8, 72},
    {"Button6", "Bollinger Short (NYSE)", 6, 168, 72},
    {"Button7", "Break Lo 5", 7, 8, 104},
    {"Button8", "Break Hi 5", 8, 168, 104},
};

std::string WindowSection(const TAlertForm &form)
{
    return "Window" + std::to_string(form.Tag);
}

} // namespace

TMainForm::TMainForm()
{
    CreateComponents();
    CallGuiHandler([this] { FormCreate(this); });
}

TMainForm::TMainForm(TMainConnection &connection) : FConnection(&connection)
{
    CreateComponents();
    CallGuiHandler([this] { FormCreate(this); });
}

TMainForm::~TMainForm()
{
    CallGuiHandler([this] { FormDestroy(this); });
    // The connection lives on after the form; it must not call into it.
    MainConnectionOfForm().OnStatusChange = nullptr;
}

TMainConnection &TMainForm::MainConnectionOfForm()
{
    return FConnection ? *FConnection : MainConnection();
}

TAlertForm *TMainForm::NewAlertForm()
{
    // No owner: the window outlives the main form, to the end of the process.
    // Kept in a list that is never freed, so it stays reachable after the
    // main form that made it is gone.
    static auto *const liveAlertForms = new std::vector<TAlertForm *>();
    TAlertForm *form = FConnection ? new TAlertForm(*FConnection) : new TAlertForm();
    liveAlertForms->push_back(form);
    return form;
}

void TMainForm::CreateComponents()
{
    setObjectName(QStringLiteral("MainForm"));
    SetCaption("Corvane Trading Alerts");
    // The design font is 11 pixels high; the family is the desktop's own.
    QFont designFont = font();
    designFont.setPixelSize(11);
    setFont(designFont);
    resize(345, 201);
    move(70, 123);

    auto *layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    PageControl1 = new TPageControl("PageControl1", this);
    PageControl1->SetBounds(0, 0, 345, 201);
    layout->addWidget(PageControl1);

    Connection = new TTabSheet("Connection", PageControl1, "Connection");
    Label3 = new TLabel("Label3", Connection, "Status:");
    Label3->SetPosition(8, 8);
    StatusLabel = new TLabel("StatusLabel", Connection, "StatusLabel");
    StatusLabel->SetPosition(48, 8);
    Label1 = new TLabel("Label1", Connection, "Username:");
    Label1->SetPosition(8, 48);
    Label2 = new TLabel("Label2", Connection, "Password:");
    Label2->SetPosition(144, 48);
    UsernameEdit = new TEdit("UsernameEdit", Connection);
    UsernameEdit->SetBounds(8, 64, 121, 21);
    UsernameEdit->SetTabOrder(0);
    PasswordEdit = new TEdit("PasswordEdit", Connection);
    PasswordEdit->SetBounds(144, 64, 121, 21);
    PasswordEdit->SetPasswordChar('~');
    PasswordEdit->SetTabOrder(1);
    LoginButton = new TButton("LoginButton", Connection, "Login");
    LoginButton->SetBounds(24, 96, 75, 25);
    LoginButton->SetTabOrder(2);
    LoginButton->OnClick = [this](QObject *sender) { LoginButtonClick(sender); };
    ResetConnectionButton = new TButton("ResetConnectionButton", Connection, "Reset Connection");
    ResetConnectionButton->SetBounds(120, 96, 121, 25);
    ResetConnectionButton->SetTabOrder(3);
    ResetConnectionButton->OnClick = [this](QObject *sender) { ResetConnectionButtonClick(sender); };
    ApplyTabOrder(Connection);

    Windows = new TTabSheet("Windows", PageControl1, "Windows");
    TButton **buttons[] = {&Button1, &Button2, &Button3, &Button4, &Button5, &Button6, &Button7, &Button8};
    for (int i = 0; i < 8; ++i) {
        const TWindowButton &design = WindowButtons[i];
        TButton *button = new TButton(design.Name, Windows, design.Caption);
        button->Tag = design.Tag;
        button->SetBounds(design.Left, design.Top, 153, 25);
        button->SetTabOrder(i);
        button->OnClick = [this](QObject *sender) { ShowAlertWindow(sender); };
        *buttons[i] = button;
    }
    ConfigureExternalLinkingButton =
        new TButton("ConfigureExternalLinkingButton", Windows, "Configure External Linking");
    ConfigureExternalLinkingButton->Tag = 0;
    ConfigureExternalLinkingButton->SetBounds(88, 136, 153, 25);
    ConfigureExternalLinkingButton->SetTabOrder(8);
    ConfigureExternalLinkingButton->OnClick = [this](QObject *sender) {
        ConfigureExternalLinkingButtonClick(sender);
    };
    ApplyTabOrder(Windows);

    PageControl1->SetActivePage(Connection);
}

void TMainForm::FormCreate(QObject * /*Sender*/)
{
    TMainConnection &connection = MainConnectionOfForm();
    connection.OnStatusChange = [this] { ConnectionStatusChanged(); };
    ConnectionStatusChanged();

    // Each window subscribes to the alerts as it is created, so the listeners
    // run in window order.
    AlertForms.assign(8, nullptr);
    for (TAlertForm *&form : AlertForms)
        form = NewAlertForm();
    for (std::size_t i = 0; i < AlertForms.size(); ++i)
        AlertForms[i]->SetUpWindow(static_cast<int>(i) + 1);

    Settings = std::make_unique<TRegistryIniFile>(SettingsKey);
    UsernameEdit->SetText(Settings->ReadString("Main", "User", ""));
    SetLeft(Settings->ReadInteger("Main", "Left", Left()));
    SetTop(Settings->ReadInteger("Main", "Top", Top()));
    for (TAlertForm *form : AlertForms)
        RestoreWindow(*form);
}

void TMainForm::RestoreWindow(TAlertForm &form)
{
    const std::string section = WindowSection(form);
    form.SetWidth(Settings->ReadInteger(section, "Width", form.Width()));
    form.SetHeight(Settings->ReadInteger(section, "Height", form.Height()));
    form.SetLeft(Settings->ReadInteger(section, "Left", form.Left()));
    form.SetTop(Settings->ReadInteger(section, "Top", form.Top()));
    // Visible before State: a window saved as shown is shown now, then takes its state.
    form.SetVisible(Settings->ReadBool(section, "Visible", form.Visible()));
    const int state = Settings->ReadInteger(section, "State", form.WindowState());
    form.SetWindowState(state == wsMinimized || state == wsMaximized ? static_cast<TWindowState>(state)
                                                                     : wsNormal);
}

void TMainForm::FormShow(QObject * /*Sender*/) {}

void TMainForm::showEvent(QShowEvent *event)
{
    TForm::showEvent(event);
    CallGuiHandler([this] { FormShow(this); });
}

void TMainForm::FormDestroy(QObject * /*Sender*/)
{
    // The store is freed even when a write fails; the error then goes on.
    struct TFreeSettings
    {
        std::unique_ptr<TRegistryIniFile> &Store;
        ~TFreeSettings() { Store.reset(); }
    } freeSettings{Settings};
    if (!Settings)
        return;

    for (TAlertForm *form : AlertForms) {
        if (form)
            SaveWindow(*form);
    }
    Settings->WriteString("Main", "User", UsernameEdit->Text());
    Settings->WriteInteger("Main", "Left", Left());
    Settings->WriteInteger("Main", "Top", Top());
}

void TMainForm::SaveWindow(TAlertForm &form)
{
    // The restored rectangle: a maximised or minimised window comes back with
    // the bounds it had before.
    const QRect normal = form.NormalBounds();
    const std::string section = WindowSection(form);
    Settings->WriteInteger(section, "Width", normal.width());
    Settings->WriteInteger(section, "Height", normal.height());
    Settings->WriteInteger(section, "Left", normal.left());
    Settings->WriteInteger(section, "Top", normal.top());
    Settings->WriteInteger(section, "State", form.WindowState());
    Settings->WriteBool(section, "Visible", form.Visible());
}

void TMainForm::LoginButtonClick(QObject * /*Sender*/)
{
    TMainConnection &connection = MainConnectionOfForm();
    connection.SetUsername(UsernameEdit->Text());
    connection.SetPassword(PasswordEdit->Text());
}

void TMainForm::ResetConnectionButtonClick(QObject * /*Sender*/)
{
    MainConnectionOfForm().Reset();
}

void TMainForm::ShowAlertWindow(QObject *Sender)
{
    const auto *button = qobject_cast<const TButton *>(Sender);
    Assert(button != nullptr);
    Assert(button->Tag >= 1 && button->Tag <= static_cast<int>(AlertForms.size()));
    TAlertForm *form = AlertForms[button->Tag - 1];
    if (form->WindowState() == wsMinimized)
        form->SetWindowState(wsNormal);
    form->Show();
}

void TMainForm::ConfigureExternalLinkingButtonClick(QObject * /*Sender*/)
{
    Assert(ExternalLinkingWindow != nullptr);
    ExternalLinkingWindow->ShowLinkingWindow();
}

void TMainForm::ConnectionStatusChanged()
{
    StatusLabel->SetCaption(MainConnectionOfForm().Status());
}
