#include "ExternalLinkingUnit.h"

#include "LinkTarget.h"
#include "PennoricGenericConnector2Proj1_TLB.h"

TExternalLinkingWindow *ExternalLinkingWindow = nullptr;

TExternalLinkingWindow::TExternalLinkingWindow(QWidget *owner) : TForm(owner)
{
    setObjectName(QStringLiteral("ExternalLinkingWindow"));
    SetCaption("External Linking Window");
    // Design size only: the window system chooses where the window goes.
    resize(443, 440);
    FormCreate(this);
}

TExternalLinkingWindow::~TExternalLinkingWindow()
{
    if (ExternalLinkingWindow == this)
        ExternalLinkingWindow = nullptr;
}

void TExternalLinkingWindow::FormCreate(QObject * /*Sender*/)
{
    Connector = new TPennoricGenericConnector2X(this);
    Connector->SetParent(this);
    Connector->SetActive(true);
    Connector->SetAlign(alClient);
}

void TExternalLinkingWindow::LinkSymbol(const std::string &symbol)
{
    const QString wide = QString::fromLocal8Bit(symbol.data(), static_cast<qsizetype>(symbol.size()));
    Connector->SetSymbol(wide);
    // A failure raises here: the window is then left as it is.
    Connector->NotifySymbol();
    if (Connector->LinkedChannel() == 0)
        ShowLinkingWindow();
}

void TExternalLinkingWindow::ShowLinkingWindow()
{
    Show();
    if (WindowState() == wsMinimized)
        SetWindowState(wsNormal);
}

void InstallExternalLinkingWindow(TExternalLinkingWindow *window)
{
    ExternalLinkingWindow = window;
    LinkSymbolHandler = [](const std::string &symbol) {
        // Without a linking window the program carries on, unlinked.
        if (ExternalLinkingWindow)
            ExternalLinkingWindow->LinkSymbol(symbol);
    };
}
