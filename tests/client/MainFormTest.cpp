#include "AlertWindowUnit.h"
#include "Application.h"
#include "CorvaneAlertsMain.h"
#include "ErrorDisplay.h"
#include "EventLoop.h"
#include "ExternalLinkingUnit.h"
#include "LinkChannelConnector.h"
#include "LinkTarget.h"
#include "MainConnectionUnit.h"
#include "MainFormTestSupport.h"
#include "RegistryIniFile.h"

#include <QAbstractButton>
#include <QCoreApplication>
#include <QFileInfo>
#include <QLabel>
#include <QLineEdit>
#include <QPointer>
#include <QTabWidget>
#include <QTcpServer>
#include <QTimer>

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

namespace {

// A main form on a connection of its own (timer off), with HOME and the config
// folder in a temporary place. Errors that reach the default error display are
// collected; none is expected unless a test says so.
class MainFormTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        ASSERT_TRUE(Home.IsValid());
        SetExceptionDisplayForTesting([this](const std::string &text) { Errors.push_back(text); });
        Connection = std::make_unique<TMainConnection>();
        Connection->SetTimerEnabledForTesting(false);
    }

    void TearDown() override
    {
        CloseForm();
        Connection.reset();
        SetExceptionDisplayForTesting({});
        EXPECT_TRUE(Errors.empty()) << Errors.front();
    }

    TMainForm &OpenForm()
    {
        Form = std::make_unique<TMainForm>(*Connection);
        return *Form;
    }

    // Destroys the form, which saves the layout; its alert windows live on.
    void CloseForm()
    {
        if (!Form)
            return;
        const TAlertForms windows = Form->AlertForms;
        Form.reset();
        KeepAlertWindows(windows);
    }

    TAlertForm &Window(int id) { return *Form->AlertForms.at(id - 1); }

    template <typename T> T *Control(const char *name)
    {
        return Form->findChild<T *>(QString::fromLatin1(name));
    }

    static void WriteSettings(const std::function<void(TRegistryIniFile &)> &write)
    {
        TRegistryIniFile store(TMainForm::SettingsKey);
        write(store);
    }

    TTemporaryHome Home;
    std::vector<std::string> Errors;
    std::unique_ptr<TMainConnection> Connection;
    std::unique_ptr<TMainForm> Form;
};

// --- the form as designed ---------------------------------------------------

struct TControlRow
{
    const char *Name;
    const char *Page;
    const char *Caption;
    int Tag;
    QRect Bounds; // an empty size: the control sizes itself
};

void PrintTo(const TControlRow &row, std::ostream *os)
{
    *os << row.Name;
}

class MainFormControls : public MainFormTest, public ::testing::WithParamInterface<TControlRow>
{
};

TEST_P(MainFormControls, SitsOnItsPageWithItsCaptionTagAndBounds)
{
    OpenForm();
    const TControlRow &row = GetParam();
    auto *control = Control<QWidget>(row.Name);
    ASSERT_NE(control, nullptr);
    EXPECT_EQ(control->parentWidget()->objectName(), QString::fromLatin1(row.Page));
    EXPECT_EQ(control->pos(), row.Bounds.topLeft());
    if (!row.Bounds.size().isEmpty()) {
        EXPECT_EQ(control->size(), row.Bounds.size());
    }
    if (auto *button = qobject_cast<TButton *>(control)) {
        EXPECT_EQ(button->Caption(), row.Caption);
        EXPECT_EQ(button->Tag, row.Tag);
    } else if (auto *label = qobject_cast<TLabel *>(control)) {
        EXPECT_EQ(label->Caption(), row.Caption);
    } else if (auto *edit = qobject_cast<TEdit *>(control)) {
        EXPECT_EQ(edit->Text(), row.Caption);
    }
}

INSTANTIATE_TEST_SUITE_P(
    Design, MainFormControls,
    ::testing::Values(
        TControlRow{"Label3", "Connection", "Status:", 0, QRect(8, 8, 0, 0)},
        TControlRow{"StatusLabel", "Connection", "", 0, QRect(48, 8, 0, 0)},
        TControlRow{"Label1", "Connection", "Username:", 0, QRect(8, 48, 0, 0)},
        TControlRow{"Label2", "Connection", "Password:", 0, QRect(144, 48, 0, 0)},
        TControlRow{"UsernameEdit", "Connection", "", 0, QRect(8, 64, 121, 21)},
        TControlRow{"PasswordEdit", "Connection", "", 0, QRect(144, 64, 121, 21)},
        TControlRow{"LoginButton", "Connection", "Login", 0, QRect(24, 96, 75, 25)},
        TControlRow{"ResetConnectionButton", "Connection", "Reset Connection", 0, QRect(120, 96, 121, 25)},
        TControlRow{"Button1", "Windows", "Quickstrike Down", 1, QRect(8, 8, 153, 25)},
        TControlRow{"Button2", "Windows", "Quickstrike Up", 2, QRect(168, 8, 153, 25)},
        TControlRow{"Button3", "Windows", "Bollinger Long (NASDAQ)", 3, QRect(8, 40, 153, 25)},
        TControlRow{"Button4", "Windows", "Bollinger Short (NASDAQ)", 4, QRect(168, 40, 153, 25)},
        TControlRow{"Button5", "Windows", "Bollinger Long (NYSE)", 5, QRect(8, 72, 153, 25)},
        TControlRow{"Button6", "Windows", "Bollinger Short (NYSE)", 6, QRect(168, 72, 153, 25)},
        TControlRow{"Button7", "Windows", "Break Lo 5", 7, QRect(8, 104, 153, 25)},
        TControlRow{"Button8", "Windows", "Break Hi 5", 8, QRect(168, 104, 153, 25)},
        TControlRow{"ConfigureExternalLinkingButton", "Windows", "Configure External Linking", 0,
                    QRect(88, 136, 153, 25)}),
    [](const auto &info) { return std::string(info.param.Name); });

// The widgets of one page in the order Tab visits them, starting at the first.
QStringList TabOrderOf(QWidget *page, QWidget *first)
{
    QStringList order;
    QWidget *widget = first;
    do {
        if (widget->parentWidget() == page && (widget->focusPolicy() & Qt::TabFocus))
            order << widget->objectName();
        widget = widget->nextInFocusChain();
    } while (widget != first);
    return order;
}

TEST_F(MainFormTest, FormHasItsCaptionPagesPasswordCharacterAndTabOrder)
{
    OpenForm();
    EXPECT_EQ(Form->Caption(), "Corvane Trading Alerts");
    EXPECT_EQ(Form->PageControl1->count(), 2);
    EXPECT_EQ(Form->PageControl1->ActivePage(), Form->Connection);
    EXPECT_EQ(Form->Connection->Caption(), "Connection");
    EXPECT_EQ(Form->Windows->Caption(), "Windows");
    EXPECT_EQ(Form->size(), QSize(345, 201));
    EXPECT_EQ(Form->PageControl1->geometry(), Form->rect()) << "fills the client area";

    EXPECT_EQ(Form->PasswordEdit->PasswordChar(), '~');
    EXPECT_EQ(Form->PasswordEdit->echoMode(), QLineEdit::Password);
    EXPECT_EQ(Form->UsernameEdit->echoMode(), QLineEdit::Normal);

    EXPECT_EQ(TabOrderOf(Form->Connection, Form->UsernameEdit),
              QStringList({QStringLiteral("UsernameEdit"), QStringLiteral("PasswordEdit"),
                           QStringLiteral("LoginButton"), QStringLiteral("ResetConnectionButton")}));
    QStringList windowsOrder;
    for (int i = 1; i <= 8; ++i)
        windowsOrder << QStringLiteral("Button%1").arg(i);
    windowsOrder << QStringLiteral("ConfigureExternalLinkingButton");
    EXPECT_EQ(TabOrderOf(Form->Windows, Form->Button1), windowsOrder);
}

// --- start-up and the saved layout ------------------------------------------

TEST_F(MainFormTest, FirstRunStartsEmptyAtTheDesignPlaceAndSavesEveryValue)
{
    ASSERT_FALSE(QFileInfo::exists(TTemporaryHome::SettingsFile()));
    OpenForm();
    EXPECT_EQ(Form->UsernameEdit->Text(), "");
    EXPECT_EQ(Form->Left(), 70);
    EXPECT_EQ(Form->Top(), 123);
    EXPECT_EQ(Form->StatusLabel->Caption(), "") << "the connection's status, not the design caption";
    ASSERT_EQ(Form->AlertForms.size(), 8u);
    for (int id = 1; id <= 8; ++id) {
        SCOPED_TRACE(id);
        EXPECT_EQ(Window(id).Tag, id);
        EXPECT_FALSE(Window(id).Visible());
        EXPECT_EQ(Window(id).WindowState(), wsNormal);
    }

    CloseForm();
    const QSettings::SettingsMap saved = TTemporaryHome::ReadSettings();
    EXPECT_EQ(saved.value(QStringLiteral("Main/User")), QVariant(QString()));
    EXPECT_EQ(saved.value(QStringLiteral("Main/Left")), QVariant(70));
    EXPECT_EQ(saved.value(QStringLiteral("Main/Top")), QVariant(123));
    for (int id = 1; id <= 8; ++id) {
        SCOPED_TRACE(id);
        const QString section = QStringLiteral("Window%1/").arg(id);
        for (const char *name : {"Width", "Height", "Left", "Top", "State"})
            EXPECT_EQ(saved.value(section + QLatin1String(name)).typeId(), QMetaType::Int) << name;
        EXPECT_EQ(saved.value(section + QStringLiteral("Width")), QVariant(401));
        EXPECT_EQ(saved.value(section + QStringLiteral("Height")), QVariant(480));
        EXPECT_EQ(saved.value(section + QStringLiteral("State")), QVariant(0));
        EXPECT_EQ(saved.value(section + QStringLiteral("Visible")), QVariant(QStringLiteral("0")));
    }
    EXPECT_EQ(saved.size(), 3 + 8 * 6) << "nothing else is written";
}

TEST_F(MainFormTest, LayoutAndUserNameComeBackAsSaved)
{
    OpenForm();
    Form->UsernameEdit->SetText("trader7");
    Form->SetLeft(200);
    Form->SetTop(150);
    Window(3).SetBounds(10, 20, 300, 200);
    Window(3).Show();
    Window(5).Show();
    ProcessPostedEvents();
    CloseForm();

    OpenForm();
    EXPECT_EQ(Form->UsernameEdit->Text(), "trader7");
    EXPECT_EQ(Form->Left(), 200);
    EXPECT_EQ(Form->Top(), 150);
    EXPECT_TRUE(Window(3).Visible());
    EXPECT_EQ(QRect(Window(3).Left(), Window(3).Top(), Window(3).Width(), Window(3).Height()),
              QRect(10, 20, 300, 200));
    EXPECT_TRUE(Window(5).Visible());
    for (int id : {1, 2, 4, 6, 7, 8})
        EXPECT_FALSE(Window(id).Visible()) << id;
}

TEST_F(MainFormTest, MaximisedWindowComesBackMaximisedAndRestoresToItsSavedRectangle)
{
    OpenForm();
    Window(4).SetBounds(30, 40, 320, 240);
    Window(4).Show();
    Window(4).SetWindowState(wsMaximized);
    ProcessPostedEvents();
    ASSERT_NE(Window(4).size(), QSize(320, 240)) << "the platform maximised it";
    CloseForm();
    const QSettings::SettingsMap saved = TTemporaryHome::ReadSettings();
    EXPECT_EQ(saved.value(QStringLiteral("Window4/Width")), QVariant(320))
        << "the restored size, not the maximised";
    EXPECT_EQ(saved.value(QStringLiteral("Window4/State")), QVariant(2));

    OpenForm();
    ProcessPostedEvents();
    EXPECT_TRUE(Window(4).Visible());
    EXPECT_EQ(Window(4).WindowState(), wsMaximized);
    Window(4).SetWindowState(wsNormal);
    ProcessPostedEvents();
    EXPECT_EQ(QRect(Window(4).Left(), Window(4).Top(), Window(4).Width(), Window(4).Height()),
              QRect(30, 40, 320, 240));
}

TEST_F(MainFormTest, MinimisedWindowComesBackMinimisedAndItsButtonRestoresIt)
{
    OpenForm();
    Window(7).SetBounds(50, 60, 280, 220);
    Window(7).Show();
    Window(7).SetWindowState(wsMinimized);
    ProcessPostedEvents();
    CloseForm();

    OpenForm();
    ProcessPostedEvents();
    EXPECT_TRUE(Window(7).Visible());
    EXPECT_EQ(Window(7).WindowState(), wsMinimized);

    Form->Button7->click();
    ProcessPostedEvents();
    EXPECT_TRUE(Window(7).Visible());
    EXPECT_EQ(Window(7).WindowState(), wsNormal);
    EXPECT_EQ(QRect(Window(7).Left(), Window(7).Top(), Window(7).Width(), Window(7).Height()),
              QRect(50, 60, 280, 220));
}

TEST_F(MainFormTest, ValuesStoredAsStringsAreReadAsNumbersAndWrittenBackAsStrings)
{
    WriteSettings([](TRegistryIniFile &store) {
        store.WriteString("Window2", "Width", "250");
        store.WriteString("Window2", "Left", "not a number");
        store.WriteInteger("Window2", "State", 7);
        store.WriteString("Window2", "Visible", "yes");
        store.WriteString("Main", "Top", "140");
    });

    OpenForm();
    EXPECT_EQ(Window(2).Width(), 250);
    const int designLeft = Window(1).Left();
    EXPECT_EQ(Window(2).Left(), designLeft) << "no integer: the window's current value";
    EXPECT_EQ(Window(2).WindowState(), wsNormal) << "a state the program never writes reads as normal";
    EXPECT_FALSE(Window(2).Visible());
    EXPECT_EQ(Form->Top(), 140);
    CloseForm();

    const QSettings::SettingsMap saved = TTemporaryHome::ReadSettings();
    EXPECT_EQ(saved.value(QStringLiteral("Window2/Width")), QVariant(QStringLiteral("250")));
    EXPECT_EQ(saved.value(QStringLiteral("Window2/Left")), QVariant(QString::number(designLeft)));
    EXPECT_EQ(saved.value(QStringLiteral("Window2/State")), QVariant(0));
    EXPECT_EQ(saved.value(QStringLiteral("Window2/Visible")), QVariant(QStringLiteral("0")));
    EXPECT_EQ(saved.value(QStringLiteral("Main/Top")), QVariant(QStringLiteral("140")));
    EXPECT_EQ(saved.value(QStringLiteral("Window3/Width")), QVariant(401)) << "new values are integers";
}

// --- the window buttons -----------------------------------------------------

TEST_F(MainFormTest, EachWindowButtonShowsTheWindowOfItsTag)
{
    OpenForm();
    for (int id = 1; id <= 8; ++id) {
        SCOPED_TRACE(id);
        auto *button = Control<TButton>(QStringLiteral("Button%1").arg(id).toLatin1().constData());
        ASSERT_NE(button, nullptr);
        button->click();
        EXPECT_TRUE(Window(id).Visible());
        EXPECT_EQ(Window(id).Caption(), button->Caption());
        for (int other = id + 1; other <= 8; ++other)
            EXPECT_FALSE(Window(other).Visible()) << other;
    }
}

struct TButtonRow
{
    const char *Name;
    bool Shown;
    TWindowState State;
    TWindowState StateAfterClick;
};

void PrintTo(const TButtonRow &row, std::ostream *os)
{
    *os << row.Name;
}

class WindowButtonStates : public MainFormTest, public ::testing::WithParamInterface<TButtonRow>
{
};

TEST_P(WindowButtonStates, ShowsTheWindowRestoringItOnlyWhenMinimised)
{
    OpenForm();
    const TButtonRow &row = GetParam();
    if (row.Shown)
        Window(6).Show();
    Window(6).SetWindowState(row.State);
    ProcessPostedEvents();

    Form->Button6->click();
    ProcessPostedEvents();
    EXPECT_TRUE(Window(6).Visible());
    EXPECT_EQ(Window(6).WindowState(), row.StateAfterClick);
}

INSTANTIATE_TEST_SUITE_P(StartStates, WindowButtonStates,
                         ::testing::Values(TButtonRow{"Hidden", false, wsNormal, wsNormal},
                                           TButtonRow{"ShownNormal", true, wsNormal, wsNormal},
                                           TButtonRow{"ShownMinimised", true, wsMinimized, wsNormal},
                                           TButtonRow{"ShownMaximised", true, wsMaximized, wsMaximized}),
                         [](const auto &info) { return std::string(info.param.Name); });

TEST_F(MainFormTest, ConfigureExternalLinkingShowsTheLinkingWindow)
{
    TLinkChannelConnector::SetDefaultSetupForTesting(
        {Home.Path() + QStringLiteral("/LinkChannels.ini"),
         QStringLiteral("unix:path=/nonexistent/corvane-test-bus")});
    {
        TExternalLinkingWindow linking;
        InstallExternalLinkingWindow(&linking);
        OpenForm();
        Form->ConfigureExternalLinkingButton->click();
        EXPECT_TRUE(linking.Visible());
    }
    LinkSymbolHandler = nullptr;
    TLinkChannelConnector::SetDefaultSetupForTesting({});
}

TEST_F(MainFormTest, ConfigureExternalLinkingWithoutTheWindowIsReportedNotFatal)
{
    ASSERT_EQ(ExternalLinkingWindow, nullptr);
    OpenForm();
    Form->ConfigureExternalLinkingButton->click();
    ASSERT_EQ(Errors.size(), 1u);
    EXPECT_EQ(Errors.front().rfind("Assertion failure", 0), 0u) << Errors.front();
    Errors.clear();
}

// --- the session ------------------------------------------------------------

TEST_F(MainFormTest, LoginHandsBothTextsToTheConnectionAndResetStartsAgain)
{
    QTcpServer server;
    ASSERT_TRUE(server.listen(QHostAddress::LocalHost, 0));
    Connection->SetAddressForTesting("127.0.0.1:" + std::to_string(server.serverPort()));
    int conversations = 0;
    Connection->OnConversationCreatedForTesting = [&](TTalkWithServer &) { ++conversations; };

    OpenForm();
    Form->UsernameEdit->setText(QStringLiteral("alice"));
    Form->PasswordEdit->setText(QStringLiteral("pw-Secret-42"));
    Form->LoginButton->click();
    EXPECT_EQ(Connection->Username(), "alice");
    ASSERT_TRUE(WaitFor([&] { return conversations == 1 && server.hasPendingConnections(); }));

    Form->ResetConnectionButton->click();
    ASSERT_TRUE(WaitFor([&] { return conversations == 2; }));
    EXPECT_EQ(Connection->Username(), "alice") << "a reset keeps the credentials";

    CloseForm();
    EXPECT_EQ(TTemporaryHome::ReadSettings().value(QStringLiteral("Main/User")),
              QVariant(QStringLiteral("alice")));
    EXPECT_GT(Home.FileCount(), 0);
    EXPECT_EQ(Home.FilesContaining("pw-Secret-42"), QStringList());
}

TEST_F(MainFormTest, DestroyedFormNoLongerHearsTheConnection)
{
    OpenForm();
    ASSERT_TRUE(static_cast<bool>(Connection->OnStatusChange));
    CloseForm();
    EXPECT_FALSE(static_cast<bool>(Connection->OnStatusChange));
}

// --- the application object -------------------------------------------------

class ApplicationTest : public MainFormTest
{
protected:
    void TearDown() override
    {
        QCoreApplication::setApplicationName(FOldName);
        MainFormTest::TearDown();
    }

    QString FOldName = QCoreApplication::applicationName();
    int FArgc = 1;
    char FArg0[5] = "test";
    char *FArgv[2] = {FArg0, nullptr};
};

TEST_F(ApplicationTest, ClosingTheMainFormEndsTheLoopAndShutDownSavesTheOpenWindows)
{
    TApplication application(FArgc, FArgv);
    EXPECT_EQ(Application, &application);
    application.Initialize();
    application.SetTitle("Corvane Trading Alerts");
    EXPECT_EQ(application.Title(), "Corvane Trading Alerts");
    TMainForm *main = application.CreateForm<TMainForm>(*Connection);
    QPointer<TForm> second = application.CreateForm<TForm>();
    EXPECT_EQ(application.MainForm(), main);
    main->AlertForms[2]->Show();

    bool shownInLoop = false;
    QTimer::singleShot(0, main, [&] {
        shownInLoop = main->Visible();
        main->close();
    });
    EXPECT_EQ(application.Run(), 0);
    EXPECT_TRUE(shownInLoop) << "Run shows the main form";
    EXPECT_TRUE(main->AlertForms[2]->Visible()) << "ending the loop closes no other window";

    const TAlertForms windows = main->AlertForms;
    application.DestroyForms();
    KeepAlertWindows(windows);
    EXPECT_TRUE(second.isNull());
    EXPECT_EQ(application.MainForm(), nullptr);
    const QSettings::SettingsMap saved = TTemporaryHome::ReadSettings();
    EXPECT_EQ(saved.value(QStringLiteral("Window3/Visible")), QVariant(QStringLiteral("1")));
    EXPECT_EQ(saved.value(QStringLiteral("Window1/Visible")), QVariant(QStringLiteral("0")));
}

TEST_F(ApplicationTest, OnlyAnAcceptedCloseOfTheMainFormEndsTheLoop)
{
    TApplication application(FArgc, FArgv);
    application.Initialize();
    TMainForm *main = application.CreateForm<TMainForm>(*Connection);
    main->OnClose = [](TCloseAction &action) { action = caNone; };
    TAlertForm *alerts = main->AlertForms[0];
    alerts->Show();

    bool runningAfterCloses = false;
    QTimer::singleShot(0, main, [&] {
        main->close();
        alerts->close();
        QTimer::singleShot(0, main, [&] {
            runningAfterCloses = !application.Terminated() && main->Visible() && !alerts->Visible();
            application.Terminate();
        });
    });
    EXPECT_EQ(application.Run(), 0);
    EXPECT_TRUE(runningAfterCloses);

    const TAlertForms windows = main->AlertForms;
    application.DestroyForms();
    KeepAlertWindows(windows);
}

TEST_F(ApplicationTest, TerminateBeforeTheLoopMakesRunReturnAtOnce)
{
    TApplication application(FArgc, FArgv);
    TMainForm *main = application.CreateForm<TMainForm>(*Connection);
    application.Terminate();
    EXPECT_EQ(application.Run(), 0);
    EXPECT_FALSE(main->Visible());
    const TAlertForms windows = main->AlertForms;
    application.DestroyForms();
    KeepAlertWindows(windows);
}

} // namespace
