#pragma once

#include <cstdint>

// The high-resolution counter's frequency in ticks per second (the monotonic
// clock's). Returns false when it cannot be read; a test can force that.
bool QueryPerformanceFrequency(int64_t &frequency);

// A negative value restores the real frequency.
void SetPerformanceFrequencyForTesting(int64_t frequency);
