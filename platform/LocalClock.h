#pragma once

#include <functional>
#include <string>

class QDateTime;

// Local wall-clock time as days since 1899-12-30, the time of day as the
// fraction. Every unit reads time through Now(), so tests can move it.
using TDateTime = double;

constexpr double OneSecond = 1.0 / 86400.0;
constexpr double OneMinute = 1.0 / 1440.0;

TDateTime Now();

// Replaces the clock; an empty function restores the system clock.
void SetClockForTesting(std::function<TDateTime()> clock);

TDateTime DateTimeFromQDateTime(const QDateTime &value);
QDateTime QDateTimeFromDateTime(TDateTime value);

// The time of day of a date-time in the system's long time format.
std::string LongTimeString(TDateTime value);

// A settable clock for tests: installs itself and restores the system clock
// when it goes out of scope.
class TFakeClock
{
public:
    explicit TFakeClock(TDateTime start);
    ~TFakeClock();
    TFakeClock(const TFakeClock &) = delete;
    TFakeClock &operator=(const TFakeClock &) = delete;

    TDateTime Value;
    void AdvanceSeconds(double seconds) { Value += seconds * OneSecond; }
};
