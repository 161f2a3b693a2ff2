#include "DemoServerOptions.h"

#include <QHostAddress>

#include <cmath>

namespace {

constexpr double MaxRate = 1000000;
constexpr double MaxSeconds = 1000000;
constexpr double MaxChaosScale = 1000;

struct TOptionError
{
    std::string Text;
};

std::string Quoted(const QString &text)
{
    return "'" + text.toStdString() + "'";
}

double ParseNumber(const QString &name, const QString &text, double min, double max, bool minAllowed)
{
    bool ok = false;
    // QString::toDouble reads the C locale: "." is the separator whatever the user's locale.
    const double value = text.trimmed().toDouble(&ok);
    if (!ok || !std::isfinite(value) || value > max || value < min || (!minAllowed && value == min))
        throw TOptionError{name.toStdString() + ": " + Quoted(text) + " is not a number " +
                           (minAllowed ? "from " : "above ") + std::to_string(static_cast<long long>(min)) +
                           (minAllowed ? " to " : " up to ") + std::to_string(static_cast<long long>(max))};
    return value;
}

int ParsePort(const QString &name, const QString &text)
{
    bool ok = false;
    const int value = text.toInt(&ok);
    if (!ok || value < 0 || value > 65535)
        throw TOptionError{name.toStdString() + ": " + Quoted(text) + " is not a port number (0 to 65535)"};
    return value;
}

std::uint64_t ParseSeed(const QString &name, const QString &text)
{
    bool ok = false;
    const qulonglong value = text.toULongLong(&ok);
    if (!ok || text.startsWith(QLatin1Char('+')) || text.startsWith(QLatin1Char('-')))
        throw TOptionError{name.toStdString() + ": " + Quoted(text) + " is not a non-negative whole number"};
    return value;
}

TDemoUser ParseUser(const QString &text, const std::vector<TDemoUser> &known)
{
    const qsizetype colon = text.indexOf(QLatin1Char(':'));
    if (colon <= 0 || colon == text.size() - 1)
        throw TOptionError{"--user: expected NAME:PASSWORD, both non-empty"};
    // The password may hold further colons; only the first one separates.
    TDemoUser user{text.left(colon).toStdString(), text.mid(colon + 1).toStdString()};
    for (const TDemoUser &other : known)
        if (other.Name == user.Name)
            throw TOptionError{"--user: user '" + user.Name + "' is given twice"};
    return user;
}

} // namespace

TDemoServerOptionsResult ParseDemoServerOptions(const QStringList &arguments)
{
    TDemoServerOptionsResult result;
    TDemoServerOptions &options = result.Options;
    bool chaosScaleGiven = false;
    try {
        for (qsizetype i = 0; i < arguments.size(); ++i) {
            QString name = arguments[i];
            QString inlineValue;
            bool hasInlineValue = false;
            if (name.startsWith(QStringLiteral("--"))) {
                const qsizetype equals = name.indexOf(QLatin1Char('='));
                if (equals > 0) {
                    inlineValue = name.mid(equals + 1);
                    name = name.left(equals);
                    hasInlineValue = true;
                }
            }
            auto value = [&]() -> QString {
                if (hasInlineValue)
                    return inlineValue;
                if (i + 1 >= arguments.size())
                    throw TOptionError{name.toStdString() + " needs a value"};
                return arguments[++i];
            };
            auto noValue = [&] {
                if (hasInlineValue)
                    throw TOptionError{name.toStdString() + " takes no value"};
            };

            if (name == QStringLiteral("--help") || name == QStringLiteral("-h")) {
                noValue();
                options.Help = true;
            } else if (name == QStringLiteral("--port")) {
                options.Port = ParsePort(name, value());
            } else if (name == QStringLiteral("--bind")) {
                const QString address = value();
                if (QHostAddress(address).isNull())
                    throw TOptionError{"--bind: " + Quoted(address) + " is not an IP address"};
                options.BindAddress = address;
            } else if (name == QStringLiteral("--user")) {
                options.Users.push_back(ParseUser(value(), options.Users));
            } else if (name == QStringLiteral("--rate")) {
                options.Rate = ParseNumber(name, value(), 0, MaxRate, true);
            } else if (name == QStringLiteral("--seed")) {
                options.Seed = ParseSeed(name, value());
            } else if (name == QStringLiteral("--drop-after")) {
                options.DropAfter = ParseNumber(name, value(), 0, MaxSeconds, false);
            } else if (name == QStringLiteral("--corrupt-after")) {
                options.CorruptAfter = ParseNumber(name, value(), 0, MaxSeconds, false);
            } else if (name == QStringLiteral("--no-ping-replies")) {
                noValue();
                options.NoPingReplies = true;
            } else if (name == QStringLiteral("--stop-login")) {
                const QString message = value();
                // The message is one line of the reply; a line break would split it.
                if (message.isEmpty() || message.contains(QLatin1Char('\r')) ||
                    message.contains(QLatin1Char('\n')))
                    throw TOptionError{"--stop-login: the message must be one non-empty line"};
                options.StopLogin = true;
                options.StopLoginMessage = message.toStdString();
            } else if (name == QStringLiteral("--http-port")) {
                options.HttpPort = ParsePort(name, value());
            } else if (name == QStringLiteral("--chaos")) {
                options.Chaos = true;
                options.ChaosSeed = ParseSeed(name, value());
            } else if (name == QStringLiteral("--chaos-scale")) {
                chaosScaleGiven = true;
                options.ChaosScale = ParseNumber(name, value(), 0, MaxChaosScale, false);
            } else if (name.startsWith(QLatin1Char('-'))) {
                throw TOptionError{"unknown option " + Quoted(name)};
            } else {
                throw TOptionError{"unexpected argument " + Quoted(name)};
            }
        }
        if (chaosScaleGiven && !options.Chaos)
            throw TOptionError{"--chaos-scale needs --chaos"};
    } catch (const TOptionError &error) {
        result.Error = error.Text;
    }
    return result;
}

std::string DemoServerUsage()
{
    return "Usage: corvane-demo-server [options]\n"
           "\n"
           "A demo alert server with simulated market data.\n"
           "\n"
           "Options:\n"
           "  --port PORT            port to listen on (default 9339; 0 picks a free one)\n"
           "  --http-port PORT       also serve the HTTP tunnel on this port (0 picks a free one)\n"
           "  --bind ADDRESS         address to listen on (default 127.0.0.1)\n"
           "  --user NAME:PASSWORD   accept this user (repeatable); with none given,\n"
           "                         any non-empty user name and password is accepted\n"
           "  --rate ALERTS          alerts per second to each subscribed client (default 8)\n"
           "  --seed NUMBER          seed of the simulated market (default 1)\n"
           "\n"
           "Faults, for trying the client:\n"
           "  --drop-after SECONDS   drop every connection SECONDS after it was accepted\n"
           "  --corrupt-after SECONDS  send garbage into every stream SECONDS after accepting\n"
           "  --no-ping-replies      never answer a ping\n"
           "  --stop-login MESSAGE   answer every login with STOP and MESSAGE\n"
           "  --chaos SEED           inject random faults into every connection, the same\n"
           "                         ones for the same SEED: drops, stalls past the client's\n"
           "                         watchdog, byte-by-byte writes, late replies, corrupt\n"
           "                         data and (rarely) STOP replies to a login\n"
           "  --chaos-scale FACTOR   multiply every chaos wait and duration (default 1)\n"
           "\n"
           "  -h, --help             show this text\n"
           "\n"
           "The first line on standard output is \"listening on ADDRESS:PORT\"; with\n"
           "--http-port the second is \"http listening on ADDRESS:PORT\".\n"
           "A log line per connection, login and fault goes to standard error.\n";
}
