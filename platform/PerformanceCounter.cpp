#include "PerformanceCounter.h"

#include <QElapsedTimer>

namespace {
int64_t FrequencyOverride = -1;
}

bool QueryPerformanceFrequency(int64_t &frequency)
{
    if (FrequencyOverride >= 0) {
        frequency = FrequencyOverride;
        return FrequencyOverride != 0;
    }
    // QElapsedTimer counts nanoseconds on every clock Qt uses on Linux.
    frequency = QElapsedTimer::isMonotonic() ? 1000000000 : 1000;
    return true;
}

void SetPerformanceFrequencyForTesting(int64_t frequency)
{
    FrequencyOverride = frequency;
}
