#include "LinkChannels.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

namespace {

struct TChannelLook
{
    const char *Name;
    int Red, Green, Blue;
};

constexpr TChannelLook ChannelLooks[LinkChannelCount] = {
    {"Red", 220, 40, 40},   {"Orange", 245, 140, 30}, {"Yellow", 240, 220, 40},  {"Green", 40, 170, 70},
    {"Cyan", 30, 190, 210}, {"Blue", 50, 100, 225},   {"Magenta", 215, 50, 190}, {"Purple", 125, 65, 185},
};

} // namespace

bool IsLinkChannel(int channel)
{
    return channel >= 1 && channel <= LinkChannelCount;
}

QString LinkChannelName(int channel)
{
    if (!IsLinkChannel(channel))
        return QStringLiteral("None");
    return QString::fromLatin1(ChannelLooks[channel - 1].Name);
}

QColor LinkChannelColor(int channel)
{
    if (!IsLinkChannel(channel))
        return QColor(200, 200, 200);
    const TChannelLook &look = ChannelLooks[channel - 1];
    return QColor(look.Red, look.Green, look.Blue);
}

QString LinkChannelDescription(int channel)
{
    return QStringLiteral("channel %1 (%2)").arg(channel).arg(LinkChannelName(channel));
}

QString InstrumentContextJson(const QString &ticker)
{
    // Written by hand so "type" comes first, as readers of the raw text expect;
    // the ticker goes through the JSON writer for its escaping.
    const QByteArray quoted = QJsonDocument(QJsonArray{ticker}).toJson(QJsonDocument::Compact);
    const QString tickerJson = QString::fromUtf8(quoted.mid(1, quoted.size() - 2));
    return QStringLiteral("{\"type\":\"fdc3.instrument\",\"id\":{\"ticker\":") + tickerJson +
           QStringLiteral("}}");
}

std::optional<QString> TickerFromContext(const QString &contextJson)
{
    QJsonParseError error{};
    const QJsonDocument document = QJsonDocument::fromJson(contextJson.toUtf8(), &error);
    if (error.error != QJsonParseError::NoError || !document.isObject())
        return std::nullopt;
    const QJsonObject context = document.object();
    if (context.value(QLatin1String("type")).toString() != QLatin1String("fdc3.instrument"))
        return std::nullopt;
    const QJsonValue ticker = context.value(QLatin1String("id")).toObject().value(QLatin1String("ticker"));
    if (!ticker.isString())
        return std::nullopt;
    return ticker.toString();
}
