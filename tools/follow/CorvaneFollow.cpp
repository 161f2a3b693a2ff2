// corvane-follow: prints every symbol linked on a channel, one per line, as
// soon as it arrives, so scripts and other programs can follow the client.
#include "LinkChannels.h"

#include <QCoreApplication>
#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QObject>
#include <QStringList>
#include <QTimer>

#include <cstdio>
#include <optional>

namespace {

const char Usage[] = "Usage: corvane-follow [--channel N | --all]\n"
                     "\n"
                     "Prints every symbol that Corvane Trading Alerts links on a channel, one per\n"
                     "line, as soon as it arrives. Runs until it is stopped or the desktop session\n"
                     "bus goes away.\n"
                     "\n"
                     "  --channel N  follow channel N, 1 to 8 (default 1): 1 red, 2 orange,\n"
                     "               3 yellow, 4 green, 5 cyan, 6 blue, 7 magenta, 8 purple\n"
                     "  --all        follow every channel; each line is then the channel number,\n"
                     "               a space and the symbol\n"
                     "  --help       show this text\n"
                     "\n"
                     "Control characters in a symbol are printed as '?', so one symbol is always\n"
                     "one line.\n";

struct TOptions
{
    int Channel = 1; // 0: every channel
    bool Help = false;
};

[[noreturn]] void UsageError(const QString &text)
{
    std::fprintf(stderr, "corvane-follow: %s\nTry 'corvane-follow --help'.\n", qPrintable(text));
    std::exit(2);
}

int ParseChannel(const QString &text)
{
    bool ok = false;
    const int channel = text.toInt(&ok);
    if (!ok || !IsLinkChannel(channel))
        UsageError(QStringLiteral("the channel must be a number from 1 to 8, not '%1'").arg(text));
    return channel;
}

TOptions ParseOptions(const QStringList &arguments)
{
    TOptions options;
    bool channelGiven = false;
    bool allGiven = false;
    for (qsizetype i = 1; i < arguments.size(); ++i) {
        const QString &argument = arguments[i];
        if (argument == QLatin1String("--help") || argument == QLatin1String("-h")) {
            options.Help = true;
        } else if (argument == QLatin1String("--all")) {
            allGiven = true;
        } else if (argument == QLatin1String("--channel")) {
            if (i + 1 >= arguments.size())
                UsageError(QStringLiteral("--channel needs a number from 1 to 8"));
            options.Channel = ParseChannel(arguments[++i]);
            channelGiven = true;
        } else if (argument.startsWith(QLatin1String("--channel="))) {
            options.Channel = ParseChannel(argument.mid(10));
            channelGiven = true;
        } else {
            UsageError(QStringLiteral("unknown option '%1'").arg(argument));
        }
    }
    if (channelGiven && allGiven)
        UsageError(QStringLiteral("--channel and --all cannot be used together"));
    if (allGiven)
        options.Channel = 0;
    return options;
}

QString Printable(const QString &symbol)
{
    QString text = symbol;
    for (QChar &c : text) {
        if (c.category() == QChar::Other_Control || c == QChar::LineSeparator ||
            c == QChar::ParagraphSeparator)
            c = QLatin1Char('?');
    }
    return text;
}

} // namespace

class TFollower : public QObject
{
    Q_OBJECT
public:
    explicit TFollower(int channel) : FChannel(channel) {}

public slots:
    void SymbolBroadcast(int channel, const QString &contextJson)
    {
        if (FChannel != 0 && channel != FChannel)
            return;
        // Other programs may share the channel with contexts of other kinds.
        const std::optional<QString> ticker = TickerFromContext(contextJson);
        if (!ticker)
            return;
        QString line = Printable(*ticker);
        if (FChannel == 0)
            line = QString::number(channel) + QLatin1Char(' ') + line;
        const QByteArray bytes = line.toUtf8() + '\n';
        std::fwrite(bytes.constData(), 1, static_cast<size_t>(bytes.size()), stdout);
        std::fflush(stdout);
    }

private:
    int FChannel;
};

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    const TOptions options = ParseOptions(QCoreApplication::arguments());
    if (options.Help) {
        std::fputs(Usage, stdout);
        return 0;
    }

    QDBusConnection bus = QDBusConnection::sessionBus();
    if (!bus.isConnected()) {
        std::fprintf(stderr, "corvane-follow: no desktop session bus (%s); there is nothing to follow.\n",
                     qPrintable(bus.lastError().message()));
        return 1;
    }
    TFollower follower(options.Channel);
    // Any sender: every running client broadcasts, whoever holds the service name.
    if (!bus.connect(QString(), LinkBusPath, LinkBusInterface, LinkBusSignal, &follower,
                     SLOT(SymbolBroadcast(int, QString)))) {
        std::fprintf(stderr, "corvane-follow: could not listen on the session bus: %s\n",
                     qPrintable(bus.lastError().message()));
        return 1;
    }
    // One round trip to the bus: once it answers, the subscription above is in
    // force, so whoever waits for the line below misses no broadcast.
    bus.interface()->isServiceRegistered(LinkBusService);
    if (options.Channel == 0)
        std::fprintf(stderr, "corvane-follow: following every channel\n");
    else
        std::fprintf(stderr, "corvane-follow: following %s\n",
                     qPrintable(LinkChannelDescription(options.Channel)));
    std::fflush(stderr);

    QTimer watch;
    QObject::connect(&watch, &QTimer::timeout, &app, [&bus] {
        if (!bus.isConnected()) {
            std::fprintf(stderr, "corvane-follow: the desktop session bus went away.\n");
            QCoreApplication::exit(1);
        }
    });
    watch.start(1000);
    return app.exec();
}

#include "CorvaneFollow.moc"
