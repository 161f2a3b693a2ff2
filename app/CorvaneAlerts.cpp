// The program: the application object, the main form, the linking window and
// the message loop, in that order. Nothing connects until the user logs in.
#include "Application.h"
#include "CorvaneAlertsMain.h"
#include "ExternalLinkingUnit.h"

#include <QGuiApplication>
#include <QIcon>

int main(int argc, char **argv)
{
    TApplication application(argc, argv);
    Application->Initialize();
    Application->SetTitle("Corvane Trading Alerts");
    // Lets the desktop match the windows to the installed .desktop file and icon.
    QGuiApplication::setDesktopFileName(QStringLiteral("com.corvane.TradingAlerts"));
    QGuiApplication::setWindowIcon(QIcon(QStringLiteral(":/icons/com.corvane.TradingAlerts.png")));

    // The first form created is the main form; its FormCreate runs here.
    Application->CreateForm<TMainForm>();
    InstallExternalLinkingWindow(Application->CreateForm<TExternalLinkingWindow>());

    const int code = Application->Run();
    // The forms go now, while the Qt application still exists; the main
    // form's FormDestroy saves the layout.
    Application->DestroyForms();
    return code;
}
