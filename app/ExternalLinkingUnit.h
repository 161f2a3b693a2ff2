#pragma once

#include "Forms.h"

#include <string>

class TPennoricGenericConnector2X;

// The window that holds the connector control. It is created hidden at
// start-up; the user configures linking inside it, and it comes up by itself
// when a symbol is linked while no channel is joined.
class TExternalLinkingWindow : public TForm
{
    Q_OBJECT
public:
    explicit TExternalLinkingWindow(QWidget *owner = nullptr);
    ~TExternalLinkingWindow() override;

    // Owned by the window (Qt parent), destroyed with it.
    TPennoricGenericConnector2X *Connector = nullptr;

    void FormCreate(QObject *Sender);

    // Hands a symbol (bytes in the system's code page) to the connector.
    void LinkSymbol(const std::string &symbol);

    void ShowLinkingWindow();
};

// The application's one linking window; null until start-up sets it and after
// the window is destroyed.
extern TExternalLinkingWindow *ExternalLinkingWindow;

// Makes the window the application's linking window and routes the symbols the
// alert grids link to it.
void InstallExternalLinkingWindow(TExternalLinkingWindow *window);
