// Alert texts into the eight alert windows. Payload parsing and percent
// decoding are checked against plain reference versions; the quick-strike and
// symbol-only lists against a model; the Bollinger lists after every step:
// one row per symbol, rows changed only as the step allows, rows placed in
// order of the distance from the band, and expiry with a moving clock.

#include "AlertWindowUnit.h"
#include "FuzzSupport.h"
#include "LocalClock.h"
#include "MainConnectionUnit.h"
#include "StringStringHashtables.h"
#include "UrlEncode.h"

#include <fuzzer/FuzzedDataProvider.h>

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <iterator>
#include <map>
#include <string>
#include <vector>

namespace {

// The windows live for the whole run, as in the client.
TMainConnection *Connection = nullptr;
TAlertForm *Windows[8] = {};
TDateTime ClockValue = 0;

// 10:00 on a weekday; far enough from midnight that two minutes stay in one day.
constexpr TDateTime StartOfRun = 45000.0 + 10.0 / 24.0;

int HexValue(char c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

std::string ReferenceDecode(const std::string &text)
{
    std::string out;
    for (size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '%' && i + 2 < text.size() && HexValue(text[i + 1]) >= 0 &&
            HexValue(text[i + 2]) >= 0) {
            out += static_cast<char>(HexValue(text[i + 1]) * 16 + HexValue(text[i + 2]));
            i += 2;
        } else {
            out += text[i];
        }
    }
    return out;
}

std::map<std::string, std::string> ReferenceParse(const std::string &payload)
{
    std::map<std::string, std::string> pairs;
    size_t start = 0;
    while (start < payload.size()) {
        size_t end = payload.find('&', start);
        if (end == std::string::npos)
            end = payload.size();
        const std::string pair = payload.substr(start, end - start);
        const size_t eq = pair.find('=');
        if (eq != std::string::npos)
            pairs[ReferenceDecode(pair.substr(0, eq))] = ReferenceDecode(pair.substr(eq + 1));
        start = end + 1;
    }
    return pairs;
}

// The payload is the second CR LF-ended line; the whole rest when it has no CR LF.
std::string PayloadOf(const std::string &text)
{
    const size_t first = text.find("\r\n");
    if (first == std::string::npos)
        return std::string();
    const std::string rest = text.substr(first + 2);
    return rest.substr(0, rest.find("\r\n"));
}

int ReferenceWindowId(const std::string &text)
{
    size_t pos = 0;
    bool negative = false;
    if (!text.empty() && (text[0] == '+' || text[0] == '-')) {
        negative = text[0] == '-';
        pos = 1;
    }
    if (pos == text.size())
        return -1;
    long long value = 0;
    for (; pos < text.size(); ++pos) {
        if (text[pos] < '0' || text[pos] > '9')
            return -1;
        value = std::min(value * 10 + (text[pos] - '0'), 100000000000LL);
    }
    if (negative || value > 8)
        return -1;
    return static_cast<int>(value);
}

std::string Field(const std::map<std::string, std::string> &pairs, const std::string &name)
{
    const auto it = pairs.find(name);
    return it == pairs.end() ? std::string() : it->second;
}

bool SameNumber(double a, double b)
{
    return (std::isnan(a) && std::isnan(b)) || a == b;
}

bool SameOrNaN(double a, double b)
{
    return std::isnan(a) || std::isnan(b) || a == b;
}

bool SameQuickStrike(const TQuickStrikeEntry &a, const TQuickStrikeEntry &b)
{
    return a.Symbol == b.Symbol && SameNumber(a.Last, b.Last) && SameNumber(a.PrevClose, b.PrevClose) &&
           SameNumber(a.SmaDivergence, b.SmaDivergence) && a.Time == b.Time;
}

bool SameBollinger(const TBollingerEntry &a, const TBollingerEntry &b)
{
    return a.Symbol == b.Symbol && SameNumber(a.Last, b.Last) && SameNumber(a.PrevClose, b.PrevClose) &&
           SameNumber(a.DistFromBB, b.DistFromBB) && a.Updated == b.Updated;
}

// Must the entry stand behind the added one?
bool MustFollow(const TBollingerEntry &entry, const TBollingerEntry &added)
{
    const double a = std::fabs(entry.DistFromBB);
    const double b = std::fabs(added.DistFromBB);
    if (!std::isnan(a) && !std::isnan(b) && a != b)
        return a < b;
    return entry.Symbol >= added.Symbol;
}

struct TWindowModel
{
    std::deque<TQuickStrikeEntry> Rows; // quick-strike and symbol-only windows
    bool NaNSinceEmpty = false;         // Bollinger: a NaN distance entered since the list was empty
};

TWindowModel Models[8];

const std::vector<TBollingerEntry> &Bollingers(int id)
{
    return Windows[id - 1]->BollingerEntries().Items();
}

const TQuickStrikeEntries &RowsOf(int id)
{
    TAlertForm &w = *Windows[id - 1];
    return w.WindowKind() == wkQuickStrike ? w.QuickStrikeEntries() : w.SymbolOnlyEntries();
}

void CheckBollingerList(int id)
{
    const std::vector<TBollingerEntry> &list = Bollingers(id);
    TWindowModel &model = Models[id - 1];
    if (list.empty())
        model.NaNSinceEmpty = false;
    for (size_t i = 0; i < list.size(); ++i) {
        for (size_t j = i + 1; j < list.size(); ++j)
            FUZZ_CHECK(list[i].Symbol != list[j].Symbol, "duplicate Bollinger symbol " + list[i].Symbol);
        if (std::isnan(list[i].DistFromBB))
            model.NaNSinceEmpty = true;
    }
    // Without NaN distances every pair is comparable: the whole list is ordered.
    if (!model.NaNSinceEmpty) {
        for (size_t i = 0; i + 1 < list.size(); ++i) {
            const double a = std::fabs(list[i].DistFromBB), b = std::fabs(list[i + 1].DistFromBB);
            FUZZ_CHECK(a > b || (a == b && list[i].Symbol < list[i + 1].Symbol),
                       "Bollinger rows out of order at " + std::to_string(i) + ": " + list[i].Symbol + ", " +
                           list[i + 1].Symbol);
        }
    }
    const TBollingerEntries &shown = Windows[id - 1]->BollingerGrid()->Entries();
    FUZZ_CHECK(shown.size() == list.size(), "Bollinger grid shows another list");
    for (size_t i = 0; i < list.size(); ++i)
        FUZZ_CHECK(shown[i].Symbol == list[i].Symbol && SameNumber(shown[i].DistFromBB, list[i].DistFromBB),
                   "Bollinger grid shows another list");
}

void CheckRows(int id)
{
    const TQuickStrikeEntries &rows = RowsOf(id);
    const std::deque<TQuickStrikeEntry> &expected = Models[id - 1].Rows;
    FUZZ_CHECK(rows.size() == expected.size(), "row count of window " + std::to_string(id));
    for (size_t i = 0; i < rows.size(); ++i)
        FUZZ_CHECK(SameQuickStrike(rows[i], expected[i]),
                   "row " + std::to_string(i) + " of window " + std::to_string(id));
    TAlertForm &w = *Windows[id - 1];
    const TQuickStrikeEntries &shown =
        w.WindowKind() == wkQuickStrike ? w.QuickStrikeGrid()->Entries() : w.SymbolOnlyGrid()->Entries();
    FUZZ_CHECK(shown.size() == rows.size(), "grid of window " + std::to_string(id) + " shows another list");
    for (size_t i = 0; i < rows.size(); ++i)
        FUZZ_CHECK(SameQuickStrike(shown[i], rows[i]),
                   "grid of window " + std::to_string(id) + " shows another list");
}

void CheckAll()
{
    for (int id = 1; id <= 8; ++id) {
        if (Windows[id - 1]->WindowKind() == wkBollinger)
            CheckBollingerList(id);
        else
            CheckRows(id);
    }
}

// What one "add" may do to a Bollinger list, from the list before it.
void CheckBollingerAdd(int id, const std::vector<TBollingerEntry> &before, const TBollingerEntry &added)
{
    const std::vector<TBollingerEntry> &after = Bollingers(id);
    int index = -1;
    for (size_t i = 0; i < before.size(); ++i)
        if (before[i].Symbol == added.Symbol) {
            index = static_cast<int>(i);
            break;
        }
    if (index != -1 && SameOrNaN(before[index].Last, added.Last) &&
        SameOrNaN(before[index].PrevClose, added.PrevClose) &&
        SameOrNaN(before[index].DistFromBB, added.DistFromBB)) {
        // Only a refresh.
        FUZZ_CHECK(after.size() == before.size(), "a refresh changed the row count");
        for (size_t i = 0; i < after.size(); ++i) {
            TBollingerEntry expected = before[i];
            if (static_cast<int>(i) == index)
                expected.Updated = ClockValue;
            FUZZ_CHECK(SameBollinger(after[i], expected), "a refresh changed more than the update time");
        }
        return;
    }
    FUZZ_CHECK(after.size() == before.size() + (index == -1 ? 1 : 0), "an add changed the row count wrongly");
    int position = -1;
    std::vector<std::string> others;
    for (size_t i = 0; i < after.size(); ++i) {
        if (after[i].Symbol == added.Symbol) {
            position = static_cast<int>(i);
            FUZZ_CHECK(SameBollinger(after[i], added), "the added row does not hold the alert's values");
        } else {
            others.push_back(after[i].Symbol);
        }
    }
    FUZZ_CHECK(position != -1, "the added row is missing");
    std::vector<std::string> othersBefore;
    for (const TBollingerEntry &e : before)
        if (e.Symbol != added.Symbol)
            othersBefore.push_back(e.Symbol);
    FUZZ_CHECK(others == othersBefore, "an add moved other rows");
    // Every row in front of the new one may stay in front of it.
    for (int i = 0; i < position; ++i)
        FUZZ_CHECK(!MustFollow(after[i], added),
                   "row " + after[i].Symbol + " stands in front of " + added.Symbol);
    // A row that moved stands right in front of the first row that must follow it.
    const bool moved = index == -1 ? position + 1 != static_cast<int>(after.size()) : position != index;
    if (moved && position + 1 < static_cast<int>(after.size()))
        FUZZ_CHECK(MustFollow(after[position + 1], added),
                   "row " + after[position + 1].Symbol + " need not follow " + added.Symbol);
}

void CheckBollingerUnchanged(int id, const std::vector<TBollingerEntry> &before, const char *what)
{
    const std::vector<TBollingerEntry> &after = Bollingers(id);
    FUZZ_CHECK(after.size() == before.size(), what);
    for (size_t i = 0; i < after.size(); ++i)
        FUZZ_CHECK(SameBollinger(after[i], before[i]), what);
}

void DeliverAlert(const std::string &text)
{
    const std::string payload = PayloadOf(text);
    const std::map<std::string, std::string> pairs = ReferenceParse(payload);

    // The unit's parser fills the table with exactly the reference pairs.
    tHashTable table(0);
    ParsePayload(payload, table);
    FUZZ_CHECK(table.Count() == static_cast<int>(pairs.size()), "ParsePayload pair count");
    for (auto it = table.CreateIterator(); it->IsEntryValid(); it->Next())
        FUZZ_CHECK(pairs.count(it->GetKey()) && pairs.at(it->GetKey()) == it->GetValue(),
                   "ParsePayload pair " + it->GetKey());

    // The windows' one-pass reader gives each key what the table holds.
    TAlertFields fields;
    ReadAlertFields(payload, fields);
    const std::pair<const std::string *, const char *> read[] = {
        {&fields.WindowId, "w_id"},           {&fields.Symbol, "symbol"},
        {&fields.Last, "last"},               {&fields.PrevClose, "prev_close"},
        {&fields.SmaDivergence, "sma_divergence"}, {&fields.Time, "time"},
        {&fields.Action, "action"},           {&fields.DistFromBB, "dist_from_bb"}};
    for (const auto &[value, key] : read)
        FUZZ_CHECK(*value == Field(pairs, key), std::string("ReadAlertFields ") + key);

    const int target = ReferenceWindowId(Field(pairs, "w_id"));
    std::vector<TBollingerEntry> lists[8];
    for (int id = 3; id <= 6; ++id)
        lists[id - 1] = Bollingers(id);

    for (TAlertForm *window : Windows)
        window->ReceiveAlert(text);

    for (int id = 3; id <= 6; ++id)
        if (id != target)
            CheckBollingerUnchanged(id, lists[id - 1],
                                    "an alert for another window changed a Bollinger list");
    if (target < 1)
        return;
    const std::vector<TBollingerEntry> &before = lists[target - 1];
    TAlertForm &window = *Windows[target - 1];
    if (window.WindowKind() != wkBollinger) {
        TQuickStrikeEntry entry;
        entry.Symbol = Field(pairs, "symbol");
        entry.Last = ParseAlertNumber(Field(pairs, "last"));
        entry.PrevClose = ParseAlertNumber(Field(pairs, "prev_close"));
        entry.SmaDivergence = ParseAlertNumber(Field(pairs, "sma_divergence"));
        entry.Time = Field(pairs, "time");
        std::deque<TQuickStrikeEntry> &rows = Models[target - 1].Rows;
        rows.push_front(entry);
        if (rows.size() > MaxQuickStrikeEntries)
            rows.pop_back();
        return;
    }
    const std::string action = Field(pairs, "action");
    if (action == "add") {
        TBollingerEntry added;
        added.Symbol = Field(pairs, "symbol");
        added.Last = ParseAlertNumber(Field(pairs, "last"));
        added.PrevClose = ParseAlertNumber(Field(pairs, "prev_close"));
        added.DistFromBB = ParseAlertNumber(Field(pairs, "dist_from_bb"));
        added.Updated = ClockValue;
        CheckBollingerAdd(target, before, added);
    } else if (action == "delete") {
        std::vector<TBollingerEntry> expected;
        for (const TBollingerEntry &e : before)
            if (e.Symbol != Field(pairs, "symbol"))
                expected.push_back(e);
        CheckBollingerUnchanged(target, expected, "a delete removed the wrong rows");
    } else {
        CheckBollingerUnchanged(target, before, "an alert without add or delete changed the list");
    }
}

void Tick()
{
    std::vector<TBollingerEntry> expected[8];
    for (int id = 3; id <= 6; ++id)
        for (const TBollingerEntry &e : Bollingers(id))
            if ((e.Updated * 1440 + 2) / 1440 > ClockValue)
                expected[id - 1].push_back(e);
    for (TAlertForm *window : Windows)
        window->ExpireBollingersTimerTimer();
    for (int id = 3; id <= 6; ++id)
        CheckBollingerUnchanged(id, expected[id - 1], "expiry kept the wrong rows");
}

std::string PickText(FuzzedDataProvider &fdp, const char *const *choices, size_t count)
{
    const size_t pick = fdp.ConsumeIntegralInRange<size_t>(0, count);
    return pick < count ? std::string(choices[pick]) : fdp.ConsumeRandomLengthString(12);
}

// Percent-encodes some bytes: none, the ones that must be, or all of them.
std::string Encode(FuzzedDataProvider &fdp, const std::string &text)
{
    switch (fdp.ConsumeIntegralInRange<int>(0, 2)) {
    case 0:
        return text;
    case 1:
        return UrlEncode(text);
    default: {
        static const char hex[] = "0123456789abcdef";
        std::string out;
        for (char c : text) {
            const auto byte = static_cast<unsigned char>(c);
            out += '%';
            out += hex[byte >> 4];
            out += hex[byte & 15];
        }
        return out;
    }
    }
}

std::string BuildAlert(FuzzedDataProvider &fdp)
{
    static const char *const Ids[] = {"1", "2",  "3",  "4", "5", "6",  "7",   "8", "3",
                                      "4", "+5", "06", "9", "0", "-3", "abc", ""};
    static const char *const Symbols[] = {"A", "B", "C", "AB", "a", "ZZ", "", "MSFT", "A+B"};
    static const char *const Actions[] = {"add", "add", "add", "delete", "ADD", "x", ""};
    static const char *const Numbers[] = {"1",   "2",   "2.5", "-2.5", "-3",   "3",   "2.50",
                                          "0",   "-0",  "1e3", "abc",  "",     "nan", "inf",
                                          "1,5", "2.2", "1.",  ".5",   "1e400"};
    static const char *const Keys[] = {"w_id",         "symbol",         "action", "last", "prev_close",
                                       "dist_from_bb", "sma_divergence", "time",   "other"};
    std::vector<std::pair<std::string, std::string>> pairs = {
        {"w_id", PickText(fdp, Ids, std::size(Ids))},
        {"symbol", PickText(fdp, Symbols, std::size(Symbols))},
        {"action", PickText(fdp, Actions, std::size(Actions))},
        {"last", PickText(fdp, Numbers, std::size(Numbers))},
        {"prev_close", PickText(fdp, Numbers, std::size(Numbers))},
        {"dist_from_bb", PickText(fdp, Numbers, std::size(Numbers))},
        {"sma_divergence", PickText(fdp, Numbers, std::size(Numbers))},
        {"time", fdp.ConsumeRandomLengthString(10)},
    };
    const int extras = fdp.ConsumeIntegralInRange<int>(0, 3);
    for (int i = 0; i < extras; ++i)
        pairs.push_back({PickText(fdp, Keys, std::size(Keys)), fdp.ConsumeRandomLengthString(8)});
    std::string payload;
    for (const auto &[name, value] : pairs) {
        if (fdp.ConsumeIntegralInRange<int>(0, 15) == 0)
            continue; // the key is missing
        if (!payload.empty())
            payload += fdp.ConsumeIntegralInRange<int>(0, 15) == 0 ? "&&" : "&";
        payload += Encode(fdp, name) + "=" + Encode(fdp, value);
    }
    std::string text = fdp.ConsumeBool() ? "CORVANE-main" : fdp.ConsumeRandomLengthString(8);
    text += "\r\n" + payload;
    if (fdp.ConsumeIntegralInRange<int>(0, 3) != 0)
        text += "\r\n" + fdp.ConsumeRandomLengthString(8);
    return text;
}

void ResetWindows()
{
    // Far ahead, every Bollinger row expires; the others are cleared.
    ClockValue = StartOfRun + 1.0;
    for (TAlertForm *window : Windows) {
        window->ExpireBollingersTimerTimer();
        window->ClearWindow();
    }
    ClockValue = StartOfRun;
    for (int id = 1; id <= 8; ++id) {
        Models[id - 1] = TWindowModel();
        FUZZ_CHECK(RowsOf(id).empty() && Windows[id - 1]->BollingerEntries().empty(),
                   "window not empty at start");
    }
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int *argc, char ***argv)
{
    FuzzInitializeApplication(argc, argv);
    SetClockForTesting([] { return ClockValue; });
    Connection = new TMainConnection();
    Connection->SetTimerEnabledForTesting(false);
    for (TAlertForm *&window : Windows)
        window = new TAlertForm(*Connection);
    for (int id = 1; id <= 8; ++id) {
        Windows[id - 1]->SetUpWindow(id);
        // Ticks come from the fuzz input only.
        Windows[id - 1]->ExpireBollingersTimer->SetEnabled(false);
    }
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    FuzzedDataProvider fdp(data, size);
    ResetWindows();
    int steps = 0;
    while (fdp.remaining_bytes() > 0 && ++steps < 300) {
        switch (fdp.ConsumeIntegralInRange<int>(0, 9)) {
        case 0:
            DeliverAlert(fdp.ConsumeRandomLengthString(64));
            break;
        case 1: {
            const std::string piece = fdp.ConsumeRandomLengthString(32);
            FUZZ_CHECK(UrlDecode(piece) == ReferenceDecode(piece), "UrlDecode differs from the reference");
            break;
        }
        case 2:
            ClockValue += fdp.ConsumeIntegralInRange<int>(0, 150) * OneSecond;
            Tick();
            break;
        case 3:
            Tick();
            break;
        case 4: {
            const int id = fdp.ConsumeIntegralInRange<int>(1, 8);
            Windows[id - 1]->ClearWindowMenuItemClick();
            if (Windows[id - 1]->WindowKind() != wkBollinger)
                Models[id - 1].Rows.clear();
            break;
        }
        default:
            DeliverAlert(BuildAlert(fdp));
            break;
        }
        CheckAll();
    }
    FuzzDrainDebugWindow();
    return 0;
}
