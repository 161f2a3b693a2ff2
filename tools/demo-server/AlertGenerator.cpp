#include "AlertGenerator.h"

#include "PercentEncode.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <utility>

namespace {

constexpr int SymbolsPerExchange = 100;
// Both lists of an exchange together stay well below its symbol count.
constexpr std::size_t MinLive = 4;
constexpr std::size_t MaxLive = 14;

double Cents(double value)
{
    return std::round(value * 100) / 100;
}

std::uint64_t SplitMix(std::uint64_t &state)
{
    std::uint64_t z = (state += 0x9E3779B97F4A7C15ull);
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
    return z ^ (z >> 31);
}

std::uint64_t RotateLeft(std::uint64_t x, int k)
{
    return (x << k) | (x >> (64 - k));
}

bool IsBollinger(int windowId)
{
    return windowId >= 3 && windowId <= 6;
}

// Long lists sit below the lower band (negative distance), short lists above the upper one.
bool IsLongList(int windowId)
{
    return windowId == 3 || windowId == 5;
}

bool ListIsNasdaq(int windowId)
{
    return windowId == 3 || windowId == 4;
}

// The Bollinger list of the same exchange on the other side of the band: a
// symbol is never live in both.
int SiblingList(int windowId)
{
    return ((windowId - 3) ^ 1) + 3;
}

} // namespace

TDemoRandom::TDemoRandom(std::uint64_t seed)
{
    for (std::uint64_t &word : FState)
        word = SplitMix(seed);
}

std::uint64_t TDemoRandom::Next()
{
    const std::uint64_t result = RotateLeft(FState[1] * 5, 7) * 9;
    const std::uint64_t t = FState[1] << 17;
    FState[2] ^= FState[0];
    FState[3] ^= FState[1];
    FState[1] ^= FState[2];
    FState[0] ^= FState[3];
    FState[2] ^= t;
    FState[3] = RotateLeft(FState[3], 45);
    return result;
}

double TDemoRandom::Uniform()
{
    return static_cast<double>(Next() >> 11) * 0x1.0p-53;
}

int TDemoRandom::Below(int count)
{
    return static_cast<int>(Uniform() * count);
}

double TDemoRandom::Normal()
{
    double sum = 0;
    for (int i = 0; i < 12; ++i)
        sum += Uniform();
    return sum - 6;
}

TAlertGenerator::TAlertGenerator(std::uint64_t seed) : FRandom(seed)
{
    const std::size_t count = Symbols().size();
    FSymbols.reserve(count);
    for (std::size_t i = 0; i < count; ++i) {
        // Prices spread from a few dollars to a few hundred, most of them below 100.
        const double prevClose = Cents(std::max(1.0, 2 + 300 * std::pow(FRandom.Uniform(), 2.5)));
        const double opening = Cents(prevClose * (1 + 0.02 * FRandom.Normal()));
        const double volatility = 0.0015 + 0.004 * FRandom.Uniform();
        FSymbols.push_back({prevClose, std::max(1.0, opening), std::max(1.0, opening), volatility});
    }
}

void TAlertGenerator::SetTimeOfDay(int seconds)
{
    FTimeOfDay = ((seconds % 86400) + 86400) % 86400;
}

std::string TAlertGenerator::NextAlert()
{
    return FormatAlert(Next());
}

TDemoAlert TAlertGenerator::Next()
{
    ++FCount;
    const int windowId = PickWindow();
    switch (windowId) {
    case 1:
    case 7:
        return StrikeAlert(windowId, -1);
    case 2:
    case 8:
        return StrikeAlert(windowId, +1);
    default:
        return BollingerAlert(windowId);
    }
}

int TAlertGenerator::PickWindow()
{
    // Quick-strike lists get the most traffic, the break boards the least.
    static const int Weights[8] = {15, 15, 12, 12, 12, 12, 11, 11};
    int pick = FRandom.Below(100);
    for (int i = 0; i < 8; ++i) {
        if (pick < Weights[i])
            return i + 1;
        pick -= Weights[i];
    }
    return 8;
}

void TAlertGenerator::Move(int symbolIndex, int direction)
{
    TSymbolState &state = FSymbols[symbolIndex];
    double step = state.Volatility * FRandom.Normal();
    // A strike or a break is a move in its direction, a bit larger than usual.
    if (direction != 0)
        step = direction * (std::fabs(step) * 2 + state.Volatility);
    state.Last = std::max(1.0, state.Last * (1 + step));
    state.Sma += 0.1 * (state.Last - state.Sma);
}

TDemoAlert TAlertGenerator::StrikeAlert(int windowId, int direction)
{
    const int index = FRandom.Below(static_cast<int>(FSymbols.size()));
    Move(index, direction);
    TSymbolState &state = FSymbols[index];
    // A strike or a break goes through the moving average in its direction.
    if (direction * (state.Last - state.Sma) / state.Sma * 100 < 0.01)
        state.Last = std::max(1.0, state.Sma * (1 + direction * state.Volatility * (1 + FRandom.Uniform())));
    TDemoAlert alert;
    alert.WindowId = windowId;
    alert.Symbol = Symbols()[index];
    alert.Last = Cents(state.Last);
    alert.PrevClose = state.PrevClose;
    alert.SmaDivergence = Cents((state.Last - state.Sma) / state.Sma * 100);
    alert.Time = FormatTime(FTimeOfDay);
    return alert;
}

TDemoAlert TAlertGenerator::BollingerAlert(int windowId)
{
    std::vector<TLiveEntry> &live = FLive[windowId - 3];
    const double roll = FRandom.Uniform();

    if (live.size() < MinLive || (roll < 0.10 && live.size() < MaxLive)) {
        return AddBollinger(windowId);
    } else if (roll < 0.17) {
        const std::size_t position = FRandom.Below(static_cast<int>(live.size()));
        const TLiveEntry entry = live[position];
        live.erase(live.begin() + static_cast<std::ptrdiff_t>(position));
        TDemoAlert alert;
        alert.WindowId = windowId;
        alert.Action = "delete";
        alert.Symbol = Symbols()[entry.SymbolIndex];
        alert.Last = entry.Last;
        alert.PrevClose = entry.PrevClose;
        alert.DistFromBB = entry.DistFromBB;
        return alert;
    } else if (roll < 0.22) {
        // Dropped without a word: the client's row expires by itself.
        live.erase(live.begin() + FRandom.Below(static_cast<int>(live.size())));
    } else if (roll < 0.40) {
        return UpdateBollinger(windowId, StalestLive(windowId), false);
    }
    // Half of the updates go to the entry waiting longest, so rows that are
    // meant to stay are refreshed well within their expiry.
    const std::size_t position =
        FRandom.Uniform() < 0.5 ? StalestLive(windowId) : FRandom.Below(static_cast<int>(live.size()));
    return UpdateBollinger(windowId, position, true);
}

TDemoAlert TAlertGenerator::AddBollinger(int windowId)
{
    const int first = ListIsNasdaq(windowId) ? SymbolsPerExchange : 0;
    auto free = [&](int candidate) {
        return !IsLiveIn(windowId, candidate) && !IsLiveIn(SiblingList(windowId), candidate);
    };
    int index = first + FRandom.Below(SymbolsPerExchange);
    // The two lists of an exchange hold far fewer symbols than it has, so the
    // scan always ends on a free one.
    for (int step = 0; step < SymbolsPerExchange && !free(index); ++step)
        index = first + (index - first + 1) % SymbolsPerExchange;
    Move(index, 0);
    const double size = Cents(0.05 + 2.5 * std::pow(FRandom.Uniform(), 2));
    TLiveEntry entry{index, Cents(FSymbols[index].Last), FSymbols[index].PrevClose,
                     IsLongList(windowId) ? -size : size, FCount};
    FLive[windowId - 3].push_back(entry);
    TDemoAlert alert;
    alert.WindowId = windowId;
    alert.Action = "add";
    alert.Symbol = Symbols()[index];
    alert.Last = entry.Last;
    alert.PrevClose = entry.PrevClose;
    alert.DistFromBB = entry.DistFromBB;
    return alert;
}

TDemoAlert TAlertGenerator::UpdateBollinger(int windowId, std::size_t position, bool changed)
{
    TLiveEntry &entry = FLive[windowId - 3][position];
    if (changed) {
        Move(entry.SymbolIndex, 0);
        entry.Last = Cents(FSymbols[entry.SymbolIndex].Last);
        // The distance wanders but stays on its side of the band.
        const double size = std::clamp(std::fabs(entry.DistFromBB) + 0.25 * FRandom.Normal(), 0.01, 6.0);
        entry.DistFromBB = Cents(IsLongList(windowId) ? -size : size);
    }
    entry.Refreshed = FCount;
    TDemoAlert alert;
    alert.WindowId = windowId;
    alert.Action = "add";
    alert.Symbol = Symbols()[entry.SymbolIndex];
    alert.Last = entry.Last;
    alert.PrevClose = entry.PrevClose;
    alert.DistFromBB = entry.DistFromBB;
    return alert;
}

std::size_t TAlertGenerator::StalestLive(int windowId) const
{
    const std::vector<TLiveEntry> &live = FLive[windowId - 3];
    std::size_t stalest = 0;
    for (std::size_t i = 1; i < live.size(); ++i)
        if (live[i].Refreshed < live[stalest].Refreshed)
            stalest = i;
    return stalest;
}

bool TAlertGenerator::IsLiveIn(int windowId, int symbolIndex) const
{
    const std::vector<TLiveEntry> &live = FLive[windowId - 3];
    return std::any_of(live.begin(), live.end(),
                       [symbolIndex](const TLiveEntry &entry) { return entry.SymbolIndex == symbolIndex; });
}

std::vector<std::string> TAlertGenerator::LiveSymbols(int windowId) const
{
    std::vector<std::string> result;
    if (!IsBollinger(windowId))
        return result;
    for (const TLiveEntry &entry : FLive[windowId - 3])
        result.push_back(Symbols()[entry.SymbolIndex]);
    return result;
}

std::string TAlertGenerator::FormatNumber(double value)
{
    char buffer[64];
    // to_chars ignores the process locale, unlike printf.
    const auto [end, error] =
        std::to_chars(buffer, buffer + sizeof buffer, value, std::chars_format::fixed, 2);
    if (error != std::errc())
        return "";
    std::string text(buffer, end);
    if (text == "-0.00")
        text = "0.00";
    return text;
}

std::string TAlertGenerator::FormatTime(int seconds)
{
    char buffer[16];
    const int h = seconds / 3600, m = seconds / 60 % 60, s = seconds % 60;
    const char digits[] = "0123456789";
    int at = 0;
    for (const int part : {h, m, s}) {
        if (at > 0)
            buffer[at++] = ':';
        buffer[at++] = digits[part / 10 % 10];
        buffer[at++] = digits[part % 10];
    }
    return std::string(buffer, at);
}

std::string TAlertGenerator::Payload(const TDemoAlert &alert)
{
    std::vector<std::pair<const char *, std::string>> pairs;
    pairs.emplace_back("w_id", std::to_string(alert.WindowId));
    if (!alert.Action.empty())
        pairs.emplace_back("action", alert.Action);
    pairs.emplace_back("symbol", alert.Symbol);
    pairs.emplace_back("last", FormatNumber(alert.Last));
    pairs.emplace_back("prev_close", FormatNumber(alert.PrevClose));
    if (!std::isnan(alert.SmaDivergence))
        pairs.emplace_back("sma_divergence", FormatNumber(alert.SmaDivergence));
    if (!std::isnan(alert.DistFromBB))
        pairs.emplace_back("dist_from_bb", FormatNumber(alert.DistFromBB));
    if (!alert.Time.empty())
        pairs.emplace_back("time", alert.Time);

    std::string payload;
    for (const auto &[name, value] : pairs) {
        if (!payload.empty())
            payload += '&';
        payload += PercentEncode(name);
        payload += '=';
        payload += PercentEncode(value);
    }
    return payload;
}

std::string TAlertGenerator::FormatAlert(const TDemoAlert &alert)
{
    return std::string(Category) + "\r\n" + Payload(alert) + "\r\n";
}

bool TAlertGenerator::IsNasdaq(int symbolIndex)
{
    return symbolIndex >= SymbolsPerExchange;
}

const std::vector<std::string> &TAlertGenerator::Symbols()
{
    // Made-up tickers: short ones for NYSE, four letters for NASDAQ, as the
    // exchanges name them. Two share classes carry a dot.
    static const std::vector<std::string> symbols = {
        // NYSE
        "BFW", "BJR", "BO", "BOT", "BU", "CAX", "CEM", "CI", "CIT", "CJT", "CSD", "DAZ", "DBD", "DC", "DED",
        "DI", "DIV", "DIW", "DYR", "FAF", "FAK", "FAZ", "FIC", "FIX", "FOH", "FVT", "FYJ", "GAD", "GAW",
        "GUM", "GUZ", "GV", "GZT", "HEV", "HEX", "HRW", "HUR", "JA", "JES", "JIJ", "JIT", "JOB", "JU", "JYM",
        "KEK", "KHG", "KOD", "KRV.A", "KRV.B", "KU", "KVP", "KYK", "KZH", "LAW", "LFW", "LEB", "LUP", "LW",
        "LYH", "MSX", "MYH", "MYP", "NCH", "NKS", "NOP", "NUV", "PAF", "PFK", "PGT", "PIC", "PU", "RAG",
        "RAH", "RAV", "RU", "SEJ", "SND", "TDF", "TFR", "TIG", "TU", "TY", "VEF", "VIG", "VM", "VOW", "WAK",
        "WEL", "WGW", "WIX", "WOF", "WOW", "XDT", "XSP", "XW", "ZA", "ZEW", "ZF", "ZO", "ZUS",
        // NASDAQ
        "BARW", "BBUM", "BDID", "BFYP", "BISI", "BYZO", "CIFC", "CNYS", "COLZ", "DAST", "DBEF", "DOBM",
        "DUCB", "DUJR", "FADM", "FIML", "FJYV", "GAWE", "GSAC", "GUWL", "GYLW", "GYWL", "GYWW", "HAMO",
        "HAVI", "HOTO", "JALK", "JASR", "JASV", "JDUD", "JDUG", "JETV", "JLAJ", "JOPY", "KAHN", "KINT",
        "KOKL", "KOLB", "KOWK", "KUCE", "KVOC", "KYXY", "LALK", "LOVG", "LRYK", "MIKD", "MIPD", "MOXI",
        "MWAJ", "MYGK", "MYGS", "MYWM", "NANB", "NEPL", "NIMA", "NOFJ", "NOSG", "NPIN", "PEVV", "PFOT",
        "PILJ", "POFX", "PUTJ", "QWIX", "RARC", "RDOL", "RIKW", "SACO", "SADL", "SARX", "SUNJ", "SVUV",
        "TALP", "TAXJ", "TEKG", "THEL", "TINE", "VASK", "VEMU", "VEMY", "VKOP", "VSAL", "VXET", "VYTY",
        "WDYV", "WERL", "WERY", "WEWY", "WFYT", "WTAM", "WYJK", "XABE", "XGEV", "XIKC", "XXIH", "ZAPS",
        "ZCOB", "ZJAP", "ZJID", "ZOLT"};
    return symbols;
}
