// The whole client as the program starts it (the process-wide connection, the
// main form, the linking window), against the real demo server and the real
// follower program, on a message bus of the test's own.
#include "../connector/PrivateBus.h"
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
#include "PennoricGenericConnector2Proj1_TLB.h"

#include <QCoreApplication>
#include <QFileInfo>
#include <QKeyEvent>
#include <QMouseEvent>
#include <QProcess>
#include <QProcessEnvironment>
#include <QRegularExpression>
#include <QTabBar>
#include <QTimer>

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

// Generous: a slow machine must not fail the test, only make it wait.
constexpr int Patience = 60000;

QString BuildProgram(const char *relative)
{
    QByteArray dir = qgetenv("CORVANE_BUILD_DIR");
    const QString base = dir.isEmpty() ? QCoreApplication::applicationDirPath() + QStringLiteral("/..")
                                       : QString::fromLocal8Bit(dir);
    return base + QLatin1Char('/') + QLatin1String(relative);
}

// Types the text into the widget key by key, as the keyboard would.
void Type(QWidget *widget, const QString &text)
{
    for (const QChar c : text) {
        QKeyEvent press(QEvent::KeyPress, 0, Qt::NoModifier, QString(c));
        QCoreApplication::sendEvent(widget, &press);
        QKeyEvent release(QEvent::KeyRelease, 0, Qt::NoModifier, QString(c));
        QCoreApplication::sendEvent(widget, &release);
    }
}

void LeftClick(QWidget *widget, QPoint at)
{
    const QPointF local(at);
    const QPointF global(widget->mapToGlobal(at));
    QMouseEvent press(QEvent::MouseButtonPress, local, global, Qt::LeftButton, Qt::LeftButton,
                      Qt::NoModifier);
    QCoreApplication::sendEvent(widget, &press);
    QMouseEvent release(QEvent::MouseButtonRelease, local, global, Qt::LeftButton, Qt::NoButton,
                        Qt::NoModifier);
    QCoreApplication::sendEvent(widget, &release);
}

std::size_t RowsShown(const TAlertForm &window)
{
    if (const auto *grid = window.QuickStrikeGrid())
        return grid->Entries().size();
    if (const auto *grid = window.BollingerGrid())
        return grid->Entries().size();
    if (const auto *grid = window.SymbolOnlyGrid())
        return grid->Entries().size();
    return 0;
}

// A child program with its output collected as it comes.
class TChild
{
public:
    ~TChild()
    {
        if (FProcess.state() != QProcess::NotRunning) {
            FProcess.kill();
            FProcess.waitForFinished(-1);
        }
    }

    void Start(const QString &program, const QStringList &arguments, const QProcessEnvironment &environment)
    {
        FProcess.setProcessEnvironment(environment);
        FProcess.start(program, arguments);
    }

    // Waits until standard output (or error) holds the text; false when the
    // program ended first or the wait ran out.
    bool WaitForOutput(const QByteArray &text, bool onError = false)
    {
        return WaitFor(
                   [&] {
                       Collect();
                       return (onError ? Error : Output).contains(text) ||
                              FProcess.state() == QProcess::NotRunning;
                   },
                   Patience) &&
               (onError ? Error : Output).contains(text);
    }

    void Collect()
    {
        Output += FProcess.readAllStandardOutput();
        Error += FProcess.readAllStandardError();
    }

    QByteArray Output;
    QByteArray Error;

private:
    QProcess FProcess;
};

} // namespace

TEST(EndToEnd, LogInSeeAlertsInAllEightWindowsAndLinkAClickedSymbol)
{
    const QString serverProgram = BuildProgram("tools/demo-server/corvane-demo-server");
    const QString followerProgram = BuildProgram("tools/follow/corvane-follow");
    ASSERT_TRUE(QFileInfo(serverProgram).isExecutable()) << serverProgram.toStdString();
    ASSERT_TRUE(QFileInfo(followerProgram).isExecutable()) << followerProgram.toStdString();

    TTemporaryHome home;
    ASSERT_TRUE(home.IsValid());
    std::vector<std::string> errors;
    SetExceptionDisplayForTesting([&](const std::string &text) { errors.push_back(text); });
    TPrivateBus bus;
    ASSERT_FALSE(bus.Address().isEmpty()) << "dbus-daemon did not start";
    // The connector keeps its channel under the temporary config folder and talks on our bus.
    TLinkChannelConnector::SetDefaultSetupForTesting({QString(), bus.Address()});

    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert(QStringLiteral("DBUS_SESSION_BUS_ADDRESS"), bus.Address());
    TChild server;
    server.Start(
        serverProgram,
        {QStringLiteral("--port"), QStringLiteral("0"), QStringLiteral("--rate"), QStringLiteral("60")},
        environment);
    ASSERT_TRUE(server.WaitForOutput("\n")) << server.Error.toStdString();
    const QRegularExpressionMatch listening =
        QRegularExpression(QStringLiteral("^listening on 127\\.0\\.0\\.1:(\\d+)\n"))
            .match(QString::fromUtf8(server.Output));
    ASSERT_TRUE(listening.hasMatch()) << server.Output.toStdString();

    TChild follower;
    follower.Start(followerProgram, {QStringLiteral("--channel"), QStringLiteral("3")}, environment);
    ASSERT_TRUE(follower.WaitForOutput("following", true)) << follower.Error.toStdString();

    // The program's start, with the session pointed at the demo server first.
    MainConnection().SetAddressForTesting("127.0.0.1:" + listening.captured(1).toStdString());
    int argc = 1;
    char arg0[] = "corvane-alerts";
    char *argv[] = {arg0, nullptr};
    {
        TApplication application(argc, argv);
        application.Initialize();
        application.SetTitle("Corvane Trading Alerts");
        TMainForm *main = application.CreateForm<TMainForm>();
        auto *linking = application.CreateForm<TExternalLinkingWindow>();
        InstallExternalLinkingWindow(linking);
        linking->Connector->Control()->SetLinkedChannel(3);
        main->Show();

        const QString password = QStringLiteral("Pa55-e2e-not-stored");
        Type(main->UsernameEdit, QStringLiteral("e2e-trader"));
        Type(main->PasswordEdit, password);
        EXPECT_EQ(main->PasswordEdit->Text(), password.toStdString());
        main->LoginButton->click();

        // The first ping answer shows "Working:  " and the time.
        ASSERT_TRUE(
            WaitFor([&] { return main->StatusLabel->Caption().rfind("Working:  ", 0) == 0; }, Patience))
            << "status: " << main->StatusLabel->Caption() << "\nserver: " << server.Error.toStdString();
        EXPECT_TRUE(QRegularExpression(QStringLiteral("^Working:  \\S+"))
                        .match(QString::fromStdString(main->StatusLabel->Caption()))
                        .hasMatch());

        // The Windows tab, then every window's button.
        QTabBar *tabs = main->PageControl1->tabBar();
        LeftClick(tabs, tabs->tabRect(1).center());
        ASSERT_EQ(main->PageControl1->ActivePage(), main->Windows);
        for (int id = 1; id <= 8; ++id)
            main->findChild<TButton *>(QStringLiteral("Button%1").arg(id))->click();
        for (int id = 1; id <= 8; ++id) {
            SCOPED_TRACE(id);
            TAlertForm &window = *main->AlertForms[id - 1];
            EXPECT_TRUE(window.Visible());
            EXPECT_TRUE(WaitFor([&] { return RowsShown(window) > 0; }, Patience)) << window.Caption();
        }

        // A click on the first data row of "Quickstrike Down" reaches the follower.
        TQuickStrikeGrid *grid = main->AlertForms[0]->QuickStrikeGrid();
        ASSERT_NE(grid, nullptr);
        ASSERT_FALSE(grid->Entries().empty());
        const std::string symbol = grid->Entries()[0].Symbol;
        LeftClick(grid->viewport(), grid->CellRect(0, 1).center());
        ASSERT_TRUE(follower.WaitForOutput(QByteArray::fromStdString(symbol + "\n")))
            << "symbol " << symbol << ", follower: " << follower.Error.toStdString();
        EXPECT_EQ(follower.Output, QByteArray::fromStdString(symbol + "\n"));
        EXPECT_FALSE(linking->Visible()) << "a joined channel leaves the linking window alone";

        // Closing the main window ends the loop; shut-down saves the layout.
        QTimer::singleShot(0, main, [main] { main->close(); });
        EXPECT_EQ(application.Run(), 0);
        const TAlertForms windows = main->AlertForms;
        application.DestroyForms();
        KeepAlertWindows(windows);

        const QSettings::SettingsMap saved = TTemporaryHome::ReadSettings();
        EXPECT_EQ(saved.value(QStringLiteral("Main/User")), QVariant(QStringLiteral("e2e-trader")));
        for (int id = 1; id <= 8; ++id)
            EXPECT_EQ(saved.value(QStringLiteral("Window%1/Visible").arg(id)), QVariant(QStringLiteral("1")))
                << id;
        EXPECT_GT(home.FileCount(), 1) << "the layout and the link channel were saved";
        EXPECT_EQ(home.FilesContaining(password.toUtf8()), QStringList());
    }

    // The session stays with the process; leave it idle for whatever runs next.
    MainConnection().SetTimerEnabledForTesting(false);
    MainConnection().SetUsername("");
    MainConnection().SetPassword("");
    LinkSymbolHandler = nullptr;
    TLinkChannelConnector::SetDefaultSetupForTesting({});
    SetExceptionDisplayForTesting({});
    EXPECT_TRUE(errors.empty()) << errors.front();
}
