#include "LocalClock.h"

#include <algorithm>
#include <cmath>

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
    return DateTimeFromQDateTime(QDateTime::currentDateTime());
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
