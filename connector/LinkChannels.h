#pragma once

#include <QColor>
#include <QLatin1String>
#include <QString>

#include <optional>

// Link channels: programs that join the same channel follow the same symbol.
// Channels are numbered 1 to 8; 0 means "not linked".
constexpr int LinkChannelCount = 8;

bool IsLinkChannel(int channel);

// "Red", "Orange", ... for 1 to 8, "None" for 0.
QString LinkChannelName(int channel);

// The channel's colour; a neutral grey for 0.
QColor LinkChannelColor(int channel);

// "channel 3 (Yellow)"
QString LinkChannelDescription(int channel);

// Where the broadcasts live on the desktop session bus. Followers match on the
// path, interface and member: changing any of these cuts every follower off.
inline constexpr QLatin1String LinkBusService{"com.corvane.Linking"};
inline constexpr QLatin1String LinkBusPath{"/com/corvane/Linking"};
inline constexpr QLatin1String LinkBusInterface{"com.corvane.Linking1"};
inline constexpr QLatin1String LinkBusSignal{"SymbolBroadcast"};

// {"type":"fdc3.instrument","id":{"ticker":"MSFT"}}, with the ticker escaped as
// a JSON string, so any symbol gives a well-formed context.
QString InstrumentContextJson(const QString &ticker);

// The ticker of an instrument context; nothing for any other context or for
// text that is not such a JSON object.
std::optional<QString> TickerFromContext(const QString &contextJson);
