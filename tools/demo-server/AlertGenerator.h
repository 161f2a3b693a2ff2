#pragma once

#include <cstdint>
#include <limits>
#include <string>
#include <vector>

// One generated alert, before it is written as text. Fields a window kind
// does not use stay NaN or empty.
struct TDemoAlert
{
    int WindowId = 0;
    // "add" or "delete" in the Bollinger windows 3 to 6, empty elsewhere.
    std::string Action;
    std::string Symbol;
    double Last = std::numeric_limits<double>::quiet_NaN();
    double PrevClose = std::numeric_limits<double>::quiet_NaN();
    double SmaDivergence = std::numeric_limits<double>::quiet_NaN();
    double DistFromBB = std::numeric_limits<double>::quiet_NaN();
    // "HH:MM:SS", quick-strike and break windows only.
    std::string Time;
};

// Small deterministic generator (xoshiro256** seeded through splitmix64). The
// standard distributions are not used: their output differs between library
// versions, and the alert stream must be the same for a seed everywhere.
class TDemoRandom
{
public:
    explicit TDemoRandom(std::uint64_t seed);
    std::uint64_t Next();
    // In [0, 1).
    double Uniform();
    // In [0, count); count > 0.
    int Below(int count);
    // Roughly standard normal (sum of twelve uniforms), no libm involved.
    double Normal();

private:
    std::uint64_t FState[4];
};

// A simulated market of about 200 symbols with seeded random-walk prices,
// producing a stream of alerts for the eight alert windows. The same seed
// gives the same stream. Quick-strike (1, 2) and break (7, 8) alerts carry a
// down or up move; each Bollinger window (3 to 6) keeps a set of live
// symbols that it mostly refreshes, sometimes with unchanged values,
// sometimes adds to, deletes from or silently lets lapse.
class TAlertGenerator
{
public:
    static constexpr std::uint64_t DefaultSeed = 1;
    static constexpr const char *Category = "CORVANE-main";

    explicit TAlertGenerator(std::uint64_t seed = DefaultSeed);

    // The time of day written into the alerts, in seconds since midnight
    // (default 09:30:00). Only the text changes; the stream does not.
    void SetTimeOfDay(int seconds);

    TDemoAlert Next();
    // The next alert as the server sends it: the category line, then the
    // percent-encoded payload line, each ending in CR LF.
    std::string NextAlert();

    // Symbols currently live in a Bollinger window (3 to 6), oldest first.
    std::vector<std::string> LiveSymbols(int windowId) const;
    std::uint64_t Count() const { return FCount; }

    static std::string FormatAlert(const TDemoAlert &alert);
    static std::string Payload(const TDemoAlert &alert);
    // Two decimals, "." as separator, whatever the process locale.
    static std::string FormatNumber(double value);
    static std::string FormatTime(int seconds);
    // The simulated market's symbols; the first half trade on NYSE, the rest on NASDAQ.
    static const std::vector<std::string> &Symbols();
    static bool IsNasdaq(int symbolIndex);

private:
    struct TSymbolState
    {
        double PrevClose;
        double Last;
        double Sma;
        double Volatility;
    };
    struct TLiveEntry
    {
        int SymbolIndex;
        double Last;
        double PrevClose;
        double DistFromBB;
        std::uint64_t Refreshed;
    };

    int PickWindow();
    void Move(int symbolIndex, int direction);
    TDemoAlert StrikeAlert(int windowId, int direction);
    TDemoAlert BollingerAlert(int windowId);
    TDemoAlert AddBollinger(int windowId);
    TDemoAlert UpdateBollinger(int windowId, std::size_t position, bool changed);
    std::size_t StalestLive(int windowId) const;
    bool IsLiveIn(int windowId, int symbolIndex) const;

    TDemoRandom FRandom;
    std::vector<TSymbolState> FSymbols;
    std::vector<TLiveEntry> FLive[4];
    int FTimeOfDay = 9 * 3600 + 30 * 60;
    std::uint64_t FCount = 0;
};
