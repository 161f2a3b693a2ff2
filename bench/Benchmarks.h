#pragma once

// The benchmarks of corvane-bench; each prints its figures as "name: value".

#include <cstddef>
#include <string>

struct TPipelineOptions
{
    std::size_t Alerts = 200000;
    int Rounds = 5;
};
void RunPipelineBench(const TPipelineOptions &options);

struct TFramesOptions
{
    int SmallChunk = 1000;
    int LargeChunk = 100000;
    int Rounds = 7;
};
void RunFramesLinearBench(const TFramesOptions &options);

struct TFloodOptions
{
    std::string ServerProgram;
    double Rate = 20000;
    double Seconds = 10;
    // Memory growth is measured from the end of this many seconds on.
    double SettleSeconds = 60;
};
void RunFloodBench(const TFloodOptions &options);
void RunMemoryBench(const TFloodOptions &options);

struct TStartupOptions
{
    std::string ClientProgram;
    std::string BaselineProgram;
    int Rounds = 11;
};
void RunStartupBench(const TStartupOptions &options);
