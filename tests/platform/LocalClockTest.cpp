#include "LocalClock.h"

#include <QDateTime>

#include <gtest/gtest.h>

#include <cstdlib>
#include <ctime>
#include <optional>
#include <string>

namespace {

// Sets TZ for the length of a test and puts the old value back.
class ZoneScope
{
public:
    explicit ZoneScope(const char *zone)
    {
        if (const char *old = std::getenv("TZ"))
            FOld = old;
        if (zone)
            setenv("TZ", zone, 1);
        else
            unsetenv("TZ");
        tzset();
    }
    ~ZoneScope()
    {
        if (FOld)
            setenv("TZ", FOld->c_str(), 1);
        else
            unsetenv("TZ");
        tzset();
    }

private:
    std::optional<std::string> FOld;
};

struct ZoneCase
{
    const char *Name;
    const char *Zone; // nullptr: TZ unset, the system's zone
};

class SystemClock : public ::testing::TestWithParam<ZoneCase>
{
};

// The clock reads the same local time as converting the current instant,
// also in zones with odd offsets; one read lies between two conversions.
TEST_P(SystemClock, NowIsTheLocalTimeOfTheCurrentInstant)
{
    const ZoneScope zone(GetParam().Zone);
    for (int i = 0; i < 3; ++i) {
        const TDateTime before = DateTimeFromQDateTime(QDateTime::currentDateTime());
        const TDateTime now = Now();
        const TDateTime after = DateTimeFromQDateTime(QDateTime::currentDateTime());
        EXPECT_LE(before, now);
        EXPECT_LE(now, after);
    }
}

INSTANTIATE_TEST_SUITE_P(
    Zones, SystemClock,
    ::testing::Values(ZoneCase{"System", nullptr}, ZoneCase{"Utc", "UTC0"},
                      ZoneCase{"NewYork", "EST5EDT,M3.2.0,M11.1.0"}, ZoneCase{"Kathmandu", "<+0545>-5:45"},
                      ZoneCase{"Chatham", "<+1245>-12:45<+1345>,M9.5.0/2:45,M4.1.0/3:45"},
                      ZoneCase{"FarWest", "<-12>12"}),
    [](const auto &info) { return std::string(info.param.Name); });

TEST(SystemClockZones, AChangedZoneIsUsedAtOnce)
{
    // Twelve hours apart: a stale offset could not pass for the new one.
    const ZoneScope east("<+12>-12");
    const TDateTime inEast = Now();
    const ZoneScope west("<-12>12");
    const TDateTime inWest = Now();
    EXPECT_NEAR(inEast - inWest, 1.0, 1.0 / 24);
}

TEST(SystemClockZones, FakeClockStillWins)
{
    const TFakeClock clock(45000.25);
    EXPECT_EQ(Now(), 45000.25);
}

} // namespace
