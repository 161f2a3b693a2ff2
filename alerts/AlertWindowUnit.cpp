#include "AlertWindowUnit.h"

#include "ErrorDisplay.h"
#include "Exceptions.h"
#include "LocalClock.h"
#include "MainConnectionUnit.h"
#include "StringStringHashtables.h"
#include "UrlEncode.h"

#include <QLocale>
#include <QMenu>
#include <QVBoxLayout>

#include <algorithm>
#include <charconv>
#include <cstdint>
#include <cmath>
#include <limits>
#include <string_view>

namespace {

struct TWindowSetting
{
    const char *Caption;
    TWindowKind Kind;
    QColor AlertColor; // invalid: the grid has none
};

const TWindowSetting WindowSettings[8] = {
    {"Quickstrike Down", wkQuickStrike, QColor(255, 75, 75)},
    {"Quickstrike Up", wkQuickStrike, QColor(100, 255, 100)},
    {"Bollinger Long (NASDAQ)", wkBollinger, QColor()},
    {"Bollinger Short (NASDAQ)", wkBollinger, QColor()},
    {"Bollinger Long (NYSE)", wkBollinger, QColor()},
    {"Bollinger Short (NYSE)", wkBollinger, QColor()},
    {"Break Lo 5", wkSymbolOnly, QColor(255, 255, 0)},
    {"Break Hi 5", wkSymbolOnly, QColor(0, 255, 255)},
};

// Plain decimal digits with an optional sign, within 32 bits; else -1.
int ParseWindowId(const std::string &text)
{
    size_t pos = (!text.empty() && (text[0] == '-' || text[0] == '+')) ? 1 : 0;
    if (pos == text.size())
        return -1;
    long long value = 0;
    for (; pos < text.size(); ++pos) {
        if (text[pos] < '0' || text[pos] > '9')
            return -1;
        value = value * 10 + (text[pos] - '0');
        if (value > 2147483648LL)
            return -1;
    }
    if (text[0] == '-')
        value = -value;
    if (value > 2147483647LL)
        return -1;
    return static_cast<int>(value);
}

// UrlDecode of a piece of the payload; a piece without "%" decodes to itself.
std::string Decoded(std::string_view piece)
{
    std::string text(piece);
    if (piece.find('%') == std::string_view::npos)
        return text;
    return UrlDecode(text);
}

// The second line of an alert text, as the two cuts at CR LF of
// ReceiveAlert give it, without copying.
std::string_view PayloadLine(const std::string &data)
{
    constexpr std::string_view LineBreak = "\r\n";
    const std::string_view text(data);
    const size_t firstBreak = text.find(LineBreak);
    if (firstBreak == std::string_view::npos)
        return {};
    const std::string_view rest = text.substr(firstBreak + LineBreak.size());
    return rest.substr(0, rest.find(LineBreak));
}

// The field a payload name fills, or none for the names no window reads.
std::string *FieldNamed(TAlertFields &fields, std::string_view name)
{
    switch (name.size()) {
    case 4:
        if (name == "w_id")
            return &fields.WindowId;
        if (name == "last")
            return &fields.Last;
        if (name == "time")
            return &fields.Time;
        return nullptr;
    case 6:
        if (name == "symbol")
            return &fields.Symbol;
        if (name == "action")
            return &fields.Action;
        return nullptr;
    case 10:
        return name == "prev_close" ? &fields.PrevClose : nullptr;
    case 12:
        return name == "dist_from_bb" ? &fields.DistFromBB : nullptr;
    case 14:
        return name == "sma_divergence" ? &fields.SmaDivergence : nullptr;
    default:
        return nullptr;
    }
}

// Every window hears every alert, one after the other, and seven of the
// eight only need to see that it is not theirs: the fields of the last text
// are kept for the windows that follow.
struct TLastAlert
{
    bool Valid = false;
    std::string Data;
    TAlertFields Fields;
    int WindowId = -1;
};

const TLastAlert &ReadAlert(const std::string &data)
{
    static thread_local TLastAlert last;
    if (last.Valid && data == last.Data)
        return last;
    last.Valid = false;
    ReadAlertFields(PayloadLine(data), last.Fields);
    last.WindowId = ParseWindowId(last.Fields.WindowId);
    last.Data = data;
    last.Valid = true;
    return last;
}

// Reads plain decimal text: digits with an optional minus sign and an
// optional "." and more digits, no superfluous leading zero, short enough
// that no notation overflows. False for any other text. The value is
// correctly rounded: with at most 15 digits the digits as an integer and the
// power of ten are both exact doubles, so one division rounds correctly;
// longer text takes from_chars.
bool ReadPlainDecimal(const std::string &text, double &value)
{
    static constexpr double PowersOfTen[] = {1e0, 1e1, 1e2, 1e3, 1e4, 1e5, 1e6, 1e7,
                                             1e8, 1e9, 1e10, 1e11, 1e12, 1e13, 1e14, 1e15};
    const size_t n = text.size();
    if (n == 0 || n > 32)
        return false;
    const bool negative = text[0] == '-';
    const auto isDigit = [&text](size_t at) { return text[at] >= '0' && text[at] <= '9'; };
    std::uint64_t digits = 0; // exact while count <= 15, unused beyond
    int count = 0;
    size_t i = negative ? 1 : 0;
    const size_t wholeStart = i;
    for (; i < n && isDigit(i); ++i, ++count)
        digits = digits * 10 + static_cast<unsigned>(text[i] - '0');
    const size_t wholeDigits = i - wholeStart;
    if (wholeDigits == 0 || (wholeDigits > 1 && text[wholeStart] == '0'))
        return false;
    int fractionDigits = 0;
    if (i < n) {
        if (text[i] != '.')
            return false;
        for (++i; i < n && isDigit(i); ++i, ++count, ++fractionDigits)
            digits = digits * 10 + static_cast<unsigned>(text[i] - '0');
        if (fractionDigits == 0 || i != n)
            return false;
    }
    if (count > 15) {
        std::from_chars(text.data(), text.data() + n, value);
        return true;
    }
    const double magnitude = static_cast<double>(digits) / PowersOfTen[fractionDigits];
    value = negative ? -magnitude : magnitude;
    return true;
}

bool SameNumber(double a, double b)
{
    return std::isnan(a) || std::isnan(b) || a == b;
}

// Must the entry stand behind the new one? Larger distances from the band
// come first, then symbols in ascending byte order; a NaN distance compares
// as equal, so the symbol decides.
bool MustFollow(const TBollingerEntry &entry, const TBollingerEntry &added)
{
    const double a = std::fabs(entry.DistFromBB);
    const double b = std::fabs(added.DistFromBB);
    if (!std::isnan(a) && !std::isnan(b)) {
        if (a < b)
            return true;
        if (a > b)
            return false;
    }
    return entry.Symbol >= added.Symbol;
}

// Hands every pair of the payload to pairFound(name, value), raw, cut as
// SplitAt with "&" and then "=" would cut it but on views of the text. A
// pair without "=", including an empty one, is skipped.
template <typename TPairFound> void ForEachPair(std::string_view payload, TPairFound pairFound)
{
    while (!payload.empty()) {
        const size_t amp = payload.find('&');
        const std::string_view pair = payload.substr(0, amp);
        payload = amp == std::string_view::npos ? std::string_view() : payload.substr(amp + 1);
        const size_t equals = pair.find('=');
        if (equals != std::string_view::npos)
            pairFound(pair.substr(0, equals), pair.substr(equals + 1));
    }
}

} // namespace

void SplitAt(const std::string &separator, const std::string &text, std::string &before, std::string &after)
{
    const size_t at = text.find(separator);
    if (at == std::string::npos) {
        before = text;
        after.clear();
        return;
    }
    // Through temporaries: text may be the same string as before or after.
    std::string front = text.substr(0, at);
    std::string back = text.substr(at + separator.size());
    before = std::move(front);
    after = std::move(back);
}

void ParsePayload(std::string_view text, tHashTable &table)
{
    ForEachPair(text, [&table](std::string_view name, std::string_view value) {
        const std::string key = Decoded(name);
        table.Put(key, Decoded(value));
    });
}

void ReadAlertFields(std::string_view payload, TAlertFields &fields)
{
    for (std::string *field : {&fields.WindowId, &fields.Symbol, &fields.Last, &fields.PrevClose,
                               &fields.SmaDivergence, &fields.Time, &fields.Action, &fields.DistFromBB})
        field->clear();
    // Only what a window reads is kept, and only text holding a "%" goes
    // through UrlDecode. No known name holds a "%", so a raw name that
    // matches one needs no decoding.
    ForEachPair(payload, [&fields](std::string_view name, std::string_view value) {
        std::string *field = FieldNamed(fields, name);
        if (!field && name.find('%') != std::string_view::npos)
            field = FieldNamed(fields, Decoded(name));
        if (!field)
            return;
        if (value.find('%') == std::string_view::npos)
            field->assign(value);
        else
            *field = Decoded(value);
    });
}

double ParseAlertNumber(const std::string &text)
{
    constexpr double NaN = std::numeric_limits<double>::quiet_NaN();
    if (text.empty())
        return NaN;
    // Plain decimal text has one value in every notation: a notation that
    // reads it at all (with "." as decimal point, or without a point) reads
    // that value, and one that does not (with "." for grouping) sends it to
    // the server's notation, which does. The locale's parser is slow and
    // every alert carries several numbers, so such text is read directly.
    // A negative zero keeps to the slow path, which decides its sign.
    if (double plain = 0; ReadPlainDecimal(text, plain) && plain != 0)
        return plain;
    const QString number = QString::fromStdString(text);
    QLocale user;
    user.setNumberOptions(QLocale::RejectGroupSeparator);
    bool ok = false;
    double value = user.toDouble(number, &ok);
    if (ok)
        return value;
    QLocale server = QLocale::c();
    server.setNumberOptions(QLocale::RejectGroupSeparator);
    value = server.toDouble(number, &ok);
    return ok ? value : NaN;
}

TAlertForm::TAlertForm() : TAlertForm(MainConnection()) {}

TAlertForm::TAlertForm(TMainConnection &connection)
{
    setObjectName(QStringLiteral("AlertForm"));
    SetCaption("AlertForm");
    resize(401, 480);
    // "Terminal", OEM, 12 pixels; the grid inherits it.
    setFont(TerminalFont(12));
    auto *layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);

    ExpireBollingersTimer = std::make_unique<TTimer>();
    ExpireBollingersTimer->OnTimer = [this] { ExpireBollingersTimerTimer(); };

    ClearPopup = new QMenu(this);
    ClearWindowMenuItem = ClearPopup->addAction(QStringLiteral("Clear Window"));
    ClearWindowMenuItem->setObjectName(QStringLiteral("ClearWindowMenuItem"));
    connect(ClearWindowMenuItem, &QAction::triggered, this,
            [this] { CallGuiHandler([this] { ClearWindowMenuItemClick(); }); });

    FormCreate(connection);
}

TAlertForm::~TAlertForm()
{
    *FAlive = false;
    CallGuiHandler([this] { FormDestroy(); });
}

void TAlertForm::FormCreate(TMainConnection &connection)
{
    // The listener shares the flag, so it can still read it after the window
    // is gone; no reference count changes on the way of every alert.
    connection.AddAlertListener([this, alive = FAlive](const std::string &data) {
        if (*alive)
            ReceiveAlert(data);
    });
}

void TAlertForm::FormDestroy()
{
    Assert(false);
}

TDrawGrid *TAlertForm::Grid() const
{
    if (FQuickStrikeGrid)
        return FQuickStrikeGrid;
    if (FBollingerGrid)
        return FBollingerGrid;
    return FSymbolOnlyGrid;
}

void TAlertForm::SetUpWindow(int windowId)
{
    Assert(windowId >= 1 && windowId <= 8);
    const TWindowSetting &setting = WindowSettings[windowId - 1];
    Tag = windowId;
    SetCaption(setting.Caption);
    TDrawGrid *grid = nullptr;
    switch (setting.Kind) {
    case wkQuickStrike:
        grid = FQuickStrikeGrid = new TQuickStrikeGrid(this);
        break;
    case wkBollinger:
        grid = FBollingerGrid = new TBollingerGrid(this);
        break;
    case wkSymbolOnly:
        grid = FSymbolOnlyGrid = new TSymbolOnlyGrid(this);
        break;
    }
    grid->setParent(this);
    grid->setVisible(true);
    layout()->addWidget(grid);
    if (setting.Kind != wkBollinger)
        SetPopupMenu(ClearPopup);
    FWindowKind = setting.Kind;
    if (FQuickStrikeGrid)
        FQuickStrikeGrid->SetAlertColor(setting.AlertColor);
    if (FSymbolOnlyGrid)
        FSymbolOnlyGrid->SetAlertColor(setting.AlertColor);
}

void TAlertForm::ReceiveAlert(const std::string &data)
{
    const TLastAlert &alert = ReadAlert(data);
    if (alert.WindowId != Tag)
        return;
    // Shared with the other windows: everything below reads the fields
    // before it hands anything on, and nothing on the way delivers alerts.
    const TAlertFields &fields = alert.Fields;

    switch (FWindowKind) {
    case wkQuickStrike:
    case wkSymbolOnly: {
        TQuickStrikeEntry entry;
        entry.Symbol = fields.Symbol;
        entry.Last = ParseAlertNumber(fields.Last);
        entry.PrevClose = ParseAlertNumber(fields.PrevClose);
        entry.SmaDivergence = ParseAlertNumber(fields.SmaDivergence);
        entry.Time = fields.Time;
        if (FWindowKind == wkQuickStrike) {
            FQuickStrikeEntries.InsertFront(std::move(entry), MaxQuickStrikeEntries);
            if (FQuickStrikeGrid)
                FQuickStrikeGrid->SetEntries(FQuickStrikeEntries);
        } else {
            FSymbolOnlyEntries.InsertFront(std::move(entry), MaxQuickStrikeEntries);
            if (FSymbolOnlyGrid)
                FSymbolOnlyGrid->SetEntries(FSymbolOnlyEntries);
        }
        break;
    }
    case wkBollinger:
        BollingerUpdate(fields);
        break;
    }
}

void TAlertForm::BollingerUpdate(const TAlertFields &payload)
{
    const std::string &symbol = payload.Symbol;
    const TDateTime now = Now();
    const std::vector<TBollingerEntry> &current = FBollingerEntries.Items();
    int index = -1;
    for (size_t i = 0; i < current.size(); ++i) {
        if (current[i].Symbol == symbol) {
            index = static_cast<int>(i);
            break;
        }
    }

    const std::string &action = payload.Action;
    if (action == "add") {
        TBollingerEntry added;
        added.Symbol = symbol;
        added.Last = ParseAlertNumber(payload.Last);
        added.PrevClose = ParseAlertNumber(payload.PrevClose);
        added.DistFromBB = ParseAlertNumber(payload.DistFromBB);
        added.Updated = now;
        if (index != -1) {
            const TBollingerEntry &stored = current[index];
            if (SameNumber(stored.Last, added.Last) && SameNumber(stored.PrevClose, added.PrevClose) &&
                SameNumber(stored.DistFromBB, added.DistFromBB)) {
                // Only a refresh: the row stays and the grid is not told.
                FBollingerEntries.Edit()[index].Updated = now;
                return;
            }
        }
        ChangeBollingerEntries([&](std::vector<TBollingerEntry> &list) {
            if (index == -1) {
                list.push_back(added);
                index = static_cast<int>(list.size()) - 1;
            }
            // The entry at index still holds its previous values while we search.
            int found = -1;
            for (size_t i = 0; i < list.size(); ++i) {
                if (MustFollow(list[i], added)) {
                    found = static_cast<int>(i);
                    break;
                }
            }
            // Replaced in place, then rotated to where removing it and
            // inserting it before the found entry would put it.
            list[index] = std::move(added);
            const auto at = list.begin() + index;
            if (found == -1)
                std::rotate(at, at + 1, list.end());
            else if (found > index)
                std::rotate(at, at + 1, list.begin() + found);
            else if (found < index)
                std::rotate(list.begin() + found, at, at + 1);
        });
    } else if (action == "delete") {
        if (index == -1)
            return;
        ChangeBollingerEntries(
            [index](std::vector<TBollingerEntry> &list) { list.erase(list.begin() + index); });
    } else {
        FBollingerGrid->SetEntries(FBollingerEntries);
    }
}

void TAlertForm::ChangeBollingerEntries(const std::function<void(std::vector<TBollingerEntry> &)> &change)
{
    // The grid is handed the changed list at once, so it lets go of its share
    // first and the list is changed in place rather than copied for a
    // snapshot about to be replaced. Nothing runs the event loop in between.
    FBollingerGrid->ReleaseEntries();
    try {
        change(FBollingerEntries.Edit());
    } catch (...) {
        FBollingerGrid->SetEntries(FBollingerEntries);
        throw;
    }
    FBollingerGrid->SetEntries(FBollingerEntries);
}

void TAlertForm::ExpireBollingersTimerTimer()
{
    const TDateTime now = Now();
    if (FWindowKind != wkBollinger)
        return;
    std::vector<TBollingerEntry> kept;
    kept.reserve(FBollingerEntries.size());
    for (const TBollingerEntry &entry : FBollingerEntries) {
        // Exactly two minutes after the last update, the row is gone.
        if ((entry.Updated * 1440 + 2) / 1440 > now)
            kept.push_back(entry);
    }
    if (kept.size() < FBollingerEntries.size()) {
        FBollingerEntries = TBollingerEntries(std::move(kept));
        FBollingerGrid->SetEntries(FBollingerEntries);
    }
}

void TAlertForm::ClearWindow()
{
    switch (FWindowKind) {
    case wkQuickStrike:
        FQuickStrikeEntries.clear();
        if (FQuickStrikeGrid)
            FQuickStrikeGrid->SetEntries(FQuickStrikeEntries);
        break;
    case wkSymbolOnly:
        FSymbolOnlyEntries.clear();
        if (FSymbolOnlyGrid)
            FSymbolOnlyGrid->SetEntries(FSymbolOnlyEntries);
        break;
    case wkBollinger:
        break;
    }
}

void TAlertForm::ClearWindowMenuItemClick()
{
    ClearWindow();
}
