#include "LocalClock.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <limits>

#include <QDateTime>
#include <QRegularExpression>
#include <QLocale>
#include <QTimeZone>

namespace {

std::function<TDateTime()> &ClockOverride()
{
    static std::function<TDateTime()> clock;
    return clock;
}

const QDate &Epoch()
{
    static const QDate epoch(1899, 12, 30);
    return epoch;
}

} // namespace

TDateTime DateTimeFromQDateTime(const QDateTime &value)
{
    const QDateTime local = value.toLocalTime();
    const double days = static_cast<double>(Epoch().daysTo(local.date()));
    return days + local.time().msecsSinceStartOfDay() / 86400000.0;
}

QDateTime QDateTimeFromDateTime(TDateTime value)
{
    double wholeDays = 0;
    double fraction = std::modf(value, &wholeDays);
    if (fraction < 0) {
        fraction += 1.0;
        wholeDays -= 1.0;
    }
    const QDate date = Epoch().addDays(static_cast<qint64>(wholeDays));
    const int msecs = std::min(86399999, static_cast<int>(std::llround(fraction * 86400000.0)));
    return QDateTime(date, QTime::fromMSecsSinceStartOfDay(msecs));
}

TDateTime Now()
{
    if (const auto &clock = ClockOverride())
        return clock();
    // Finding the local offset reads the time zone, a file check on every
    // call, and the alert windows read the clock for every alert. Offsets
    // change only at whole seconds, so it is looked up once per second (and
    // again when TZ changes); the result is the same as converting each time.
    struct TOffsetCache
    {
        qint64 Second = std::numeric_limits<qint64>::min();
        std::string Zone;
        bool ZoneSet = false;
        qint64 OffsetMs = 0;
    };
    static thread_local TOffsetCache cache;
    constexpr qint64 MsPerDay = 86400000;
    constexpr qint64 DaysFromEpochTo1970 = 25569;
    const qint64 utcMs = QDateTime::currentMSecsSinceEpoch();
    const qint64 second = utcMs >= 0 ? utcMs / 1000 : (utcMs - 999) / 1000;
    const char *zone = std::getenv("TZ");
    if (second != cache.Second || (zone != nullptr) != cache.ZoneSet || (zone && cache.Zone != zone)) {
        cache.Second = second;
        cache.ZoneSet = zone != nullptr;
        cache.Zone = zone ? zone : "";
        cache.OffsetMs =
            QDateTime::fromMSecsSinceEpoch(second * 1000, Qt::LocalTime).offsetFromUtc() * 1000LL;
    }
    const qint64 localMs = utcMs + cache.OffsetMs;
    const qint64 days = localMs >= 0 ? localMs / MsPerDay : (localMs - MsPerDay + 1) / MsPerDay;
    return static_cast<double>(days + DaysFromEpochTo1970) + (localMs - days * MsPerDay) / 86400000.0;
}

void SetClockForTesting(std::function<TDateTime()> clock)
{
    ClockOverride() = std::move(clock);
}

std::string LongTimeString(TDateTime value)
{
    // Qt's long format names the time zone; the long time format of a desktop
    // status line is the time of day alone.
    const QLocale locale = QLocale::system();
    QString format = locale.timeFormat(QLocale::LongFormat);
    static const QRegularExpression zone(QStringLiteral("\\s*\\bt+\\b\\s*"));
    format = format.remove(zone).trimmed();
    return locale.toString(QDateTimeFromDateTime(value).time(), format).toStdString();
}

TFakeClock::TFakeClock(TDateTime start) : Value(start)
{
    SetClockForTesting([this] { return Value; });
}

TFakeClock::~TFakeClock()
{
    SetClockForTesting({});
}
