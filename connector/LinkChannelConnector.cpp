#include "LinkChannelConnector.h"

#include "Exceptions.h"
#include "LinkChannelBus.h"
#include "LinkChannels.h"

#include <QButtonGroup>
#include <QGridLayout>
#include <QLabel>
#include <QPushButton>
#include <QSettings>
#include <QVBoxLayout>

namespace {

const QString ChannelKey = QStringLiteral("Linking/Channel");

TLinkChannelSetup &DefaultSetup()
{
    static TLinkChannelSetup setup;
    return setup;
}

std::unique_ptr<QSettings> OpenSettings(const QString &file)
{
    if (file.isEmpty())
        return std::make_unique<QSettings>(QSettings::IniFormat, QSettings::UserScope,
                                           QStringLiteral("Corvane"), QStringLiteral("LinkChannels"));
    return std::make_unique<QSettings>(file, QSettings::IniFormat);
}

QString ButtonStyle(int channel)
{
    const QColor colour = LinkChannelColor(channel);
    // Dark text on bright colours, light text on dark ones, so every number reads.
    const double luminance = 0.299 * colour.red() + 0.587 * colour.green() + 0.114 * colour.blue();
    const bool light = luminance > 140;
    return QStringLiteral("QPushButton { background-color: %1; color: %2; border: 1px solid #5a5a5a;"
                          " border-radius: 4px; padding: 6px; }"
                          " QPushButton:checked { border: 3px solid black; font-weight: bold; }")
        .arg(colour.name(), light ? QStringLiteral("black") : QStringLiteral("white"));
}

QString ButtonText(int channel, bool joined)
{
    const QString mark = joined ? QStringLiteral("\u2713 ") : QString();
    if (channel == 0)
        return mark + QStringLiteral("None");
    return mark + QStringLiteral("%1  %2").arg(channel).arg(LinkChannelName(channel));
}

} // namespace

TLinkChannelConnector::TLinkChannelConnector(QWidget *parent) : TLinkChannelConnector(DefaultSetup(), parent)
{}

TLinkChannelConnector::TLinkChannelConnector(const TLinkChannelSetup &setup, QWidget *parent)
    : QWidget(parent), FBus(TLinkChannelBus::Attach(setup.BusAddress))
{
    setObjectName(QStringLiteral("LinkChannelConnector"));
    FSettingsFile = OpenSettings(setup.SettingsFile)->fileName();
    ReadSettings();
    BuildInterface();
    ShowChoice();
}

TLinkChannelConnector::~TLinkChannelConnector() = default;

void TLinkChannelConnector::SetDefaultSetupForTesting(const TLinkChannelSetup &setup)
{
    DefaultSetup() = setup;
}

void TLinkChannelConnector::BuildInterface()
{
    auto *layout = new QVBoxLayout(this);

    auto *heading = new QLabel(QStringLiteral("Link channel"), this);
    QFont bold = heading->font();
    bold.setBold(true);
    heading->setFont(bold);
    layout->addWidget(heading);

    auto *explanation = new QLabel(
        QStringLiteral(
            "Symbols you click go to every program on this desktop that follows the same channel."),
        this);
    explanation->setWordWrap(true);
    layout->addWidget(explanation);

    FButtons = new QButtonGroup(this);
    FButtons->setExclusive(true);
    auto *grid = new QGridLayout();
    for (int channel = 1; channel <= LinkChannelCount; ++channel) {
        auto *button = new QPushButton(this);
        button->setObjectName(QStringLiteral("Channel%1").arg(channel));
        button->setCheckable(true);
        button->setMinimumHeight(40);
        button->setStyleSheet(ButtonStyle(channel));
        button->setToolTip(QStringLiteral("Join %1").arg(LinkChannelDescription(channel)));
        FButtons->addButton(button, channel);
        grid->addWidget(button, (channel - 1) / 4, (channel - 1) % 4);
    }
    layout->addLayout(grid);

    auto *none = new QPushButton(this);
    none->setObjectName(QStringLiteral("ChannelNone"));
    none->setCheckable(true);
    none->setToolTip(QStringLiteral("Leave every channel"));
    FButtons->addButton(none, 0);
    layout->addWidget(none);

    FStatus = new QLabel(this);
    FStatus->setObjectName(QStringLiteral("LinkStatus"));
    // Symbols come from the server: never let one be read as markup.
    FStatus->setTextFormat(Qt::PlainText);
    FStatus->setWordWrap(true);
    layout->addWidget(FStatus);
    layout->addStretch(1);

    connect(FButtons, &QButtonGroup::idClicked, this, &TLinkChannelConnector::SetLinkedChannel);
}

void TLinkChannelConnector::ReadSettings()
{
    bool ok = false;
    const int channel = OpenSettings(FSettingsFile)->value(ChannelKey).toInt(&ok);
    // A missing or damaged value means "not linked"; the user chooses again.
    FLinkedChannel = ok && IsLinkChannel(channel) ? channel : 0;
}

void TLinkChannelConnector::WriteSettings() const
{
    auto settings = OpenSettings(FSettingsFile);
    settings->setValue(ChannelKey, FLinkedChannel);
    settings->sync();
}

void TLinkChannelConnector::SetActive(bool active)
{
    FActive = active;
    SetStatus(ChoiceText());
}

void TLinkChannelConnector::SetLinkedChannel(int channel)
{
    AssertMsg(channel == 0 || IsLinkChannel(channel), "link channel outside 0 to 8");
    const bool changed = channel != FLinkedChannel;
    FLinkedChannel = channel;
    WriteSettings();
    ShowChoice();
    if (changed)
        emit LinkedChannelChanged(channel);
}

void TLinkChannelConnector::ShowChoice()
{
    for (int channel = 0; channel <= LinkChannelCount; ++channel) {
        QAbstractButton *button = FButtons->button(channel);
        button->setChecked(channel == FLinkedChannel);
        button->setText(ButtonText(channel, channel == FLinkedChannel));
    }
    SetStatus(ChoiceText());
}

QString TLinkChannelConnector::ChoiceText() const
{
    if (!BusAvailable())
        return QStringLiteral("No desktop session bus: linking is off.");
    if (!FActive)
        return QStringLiteral("Linking is paused.");
    if (FLinkedChannel == 0)
        return QStringLiteral(
            "Not linked. Choose a channel to send the symbols you click to other programs.");
    return QStringLiteral("Linked to %1.").arg(LinkChannelDescription(FLinkedChannel));
}

void TLinkChannelConnector::SetStatus(const QString &text)
{
    FStatus->setText(text);
}

QString TLinkChannelConnector::StatusText() const
{
    return FStatus->text();
}

bool TLinkChannelConnector::BusAvailable() const
{
    return FBus->Reached();
}

TLinkResult TLinkChannelConnector::NotifySymbol()
{
    if (!FActive || FLinkedChannel == 0 || !BusAvailable()) {
        SetStatus(ChoiceText());
        return {};
    }
    QString error;
    if (!FBus->Broadcast(FLinkedChannel, InstrumentContextJson(FSymbol), &error)) {
        const QString text = QStringLiteral("Could not send \"%1\" on %2: %3.")
                                 .arg(FSymbol, LinkChannelDescription(FLinkedChannel), error);
        SetStatus(text);
        return {false, text};
    }
    SetStatus(ChoiceText() + QStringLiteral(" Last symbol sent: \"%1\".").arg(FSymbol));
    return {};
}
