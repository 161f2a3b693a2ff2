#pragma once

#include <QString>
#include <QWidget>

#include <memory>

class QButtonGroup;
class QLabel;
class QPushButton;
class TLinkChannelBus;

// Where a connector keeps its choice and which bus it uses. Empty fields mean
// the user's own settings file and the desktop session bus.
struct TLinkChannelSetup
{
    QString SettingsFile;
    QString BusAddress;
};

// The outcome of NotifySymbol; a failure carries a text for the user.
struct TLinkResult
{
    bool Succeeded = true;
    QString ErrorText;
};

// Lets the user join one of eight link channels, or none, and broadcasts the
// symbol it is given to every program following the joined channel, over the
// desktop session bus (interface in connector/README.md). The chosen channel
// is remembered between runs in the connector's own settings file.
class TLinkChannelConnector : public QWidget
{
    Q_OBJECT
    Q_PROPERTY(bool Active READ Active WRITE SetActive)
    Q_PROPERTY(QString Symbol READ Symbol WRITE SetSymbol)
    Q_PROPERTY(int LinkedChannel READ LinkedChannel WRITE SetLinkedChannel NOTIFY LinkedChannelChanged)

public:
    explicit TLinkChannelConnector(QWidget *parent = nullptr);
    explicit TLinkChannelConnector(const TLinkChannelSetup &setup, QWidget *parent = nullptr);
    ~TLinkChannelConnector() override;

    // The setup that connectors made without one use; tests point it at a
    // temporary settings file or another bus. An empty setup restores the default.
    static void SetDefaultSetupForTesting(const TLinkChannelSetup &setup);

    // Set by the host once it is ready to pass symbols on. While false,
    // NotifySymbol sends nothing and succeeds; a new connector starts inactive.
    bool Active() const { return FActive; }
    void SetActive(bool active);

    // The symbol the next NotifySymbol sends; kept after it is sent.
    QString Symbol() const { return FSymbol; }
    void SetSymbol(const QString &symbol) { FSymbol = symbol; }

    // The joined channel, 1 to 8, or 0 for none. Setting it is what the
    // channel buttons do; the choice is saved at once.
    int LinkedChannel() const { return FLinkedChannel; }
    void SetLinkedChannel(int channel);

    // Broadcasts Symbol on the joined channel. Not linked, inactive or without
    // a session bus, nothing is sent and the call succeeds (the status line
    // says why); it fails only when a send to a reachable bus fails.
    TLinkResult NotifySymbol();

    // Whether a session bus was found when the connector was made.
    bool BusAvailable() const;
    QString StatusText() const;
    QString SettingsFile() const { return FSettingsFile; }

signals:
    void LinkedChannelChanged(int channel);

private:
    void BuildInterface();
    void ReadSettings();
    void WriteSettings() const;
    void ShowChoice();
    void SetStatus(const QString &text);
    QString ChoiceText() const;

    QString FSettingsFile;
    std::shared_ptr<TLinkChannelBus> FBus;
    bool FActive = false;
    QString FSymbol;
    int FLinkedChannel = 0;

    QButtonGroup *FButtons = nullptr;
    QLabel *FStatus = nullptr;
};
