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

#include <charconv>
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

// The "w_id" of an alert, read exactly as ParsePayload and Get("w_id") would
// read it from the payload line, but without building the table.
int ReadWindowId(const std::string &data)
{
    constexpr std::string_view LineBreak = "\r\n";
    const std::string_view text(data);
    const size_t firstBreak = text.find(LineBreak);
    if (firstBreak == std::string_view::npos)
        return ParseWindowId(std::string());
    std::string_view payload = text.substr(firstBreak + LineBreak.size());
    payload = payload.substr(0, payload.find(LineBreak));
    std::string value;
    while (!payload.empty()) {
        const size_t amp = payload.find('&');
        const std::string_view pair = payload.substr(0, amp);
        payload = amp == std::string_view::npos ? std::string_view() : payload.substr(amp + 1);
        const size_t equals = pair.find('=');
        if (equals == std::string_view::npos)
            continue;
        // A later pair replaces an earlier one, as in the table.
        if (Decoded(pair.substr(0, equals)) == "w_id")
            value = Decoded(pair.substr(equals + 1));
    }
    return ParseWindowId(value);
}

// Every window hears every alert, one after the other, and seven of the
// eight only need to see that it is not theirs: the id of the last text is
// kept for the windows that follow.
int AddressedWindowId(const std::string &data)
{
    struct TLastAlert
    {
        bool Valid = false;
        std::string Data;
        int WindowId = -1;
    };
    static thread_local TLastAlert last;
    if (last.Valid && data == last.Data)
        return last.WindowId;
    last.WindowId = ReadWindowId(data);
    last.Data = data;
    last.Valid = true;
    return last.WindowId;
}

// Digits with an optional minus sign and an optional "." and more digits,
// no superfluous leading zero, short enough that no notation overflows.
bool IsPlainDecimal(const std::string &text)
{
    if (text.empty() || text.size() > 32)
        return false;
    const size_t first = text[0] == '-' ? 1 : 0;
    size_t i = first;
    while (i < text.size() && text[i] >= '0' && text[i] <= '9')
        ++i;
    const size_t wholeDigits = i - first;
    if (wholeDigits == 0 || (wholeDigits > 1 && text[first] == '0'))
        return false;
    if (i == text.size())
        return true;
    if (text[i] != '.')
        return false;
    const size_t fractionStart = ++i;
    while (i < text.size() && text[i] >= '0' && text[i] <= '9')
        ++i;
    return i > fractionStart && i == text.size();
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

void ParsePayload(const std::string &text, tHashTable &table)
{
    // Cut on views of the text, as SplitAt with "&" and then "=" would cut
    // it; only the decoded names and values are copied.
    std::string_view rest(text);
    while (!rest.empty()) {
        const size_t amp = rest.find('&');
        const std::string_view pair = rest.substr(0, amp);
        rest = amp == std::string_view::npos ? std::string_view() : rest.substr(amp + 1);
        const size_t equals = pair.find('=');
        if (equals == std::string_view::npos)
            continue;
        std::string name = Decoded(pair.substr(0, equals));
        table.Put(name, Decoded(pair.substr(equals + 1)));
    }
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
    if (IsPlainDecimal(text)) {
        double value = 0;
        const auto result = std::from_chars(text.data(), text.data() + text.size(), value);
        if (result.ec == std::errc() && result.ptr == text.data() + text.size() && value != 0)
            return value;
    }
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
    std::weak_ptr<bool> alive = FAlive;
    connection.AddAlertListener([this, alive](const std::string &data) {
        const auto flag = alive.lock();
        if (flag && *flag)
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
    // Most alerts are for another window; they need no table.
    if (AddressedWindowId(data) != Tag)
        return;

    std::string line, rest, payload;
    SplitAt("\r\n", data, line, rest);
    SplitAt("\r\n", rest, payload, line);

    tHashTable table(0);
    ParsePayload(payload, table);
    if (ParseWindowId(table.Get("w_id")) != Tag)
        return;

    switch (FWindowKind) {
    case wkQuickStrike:
    case wkSymbolOnly: {
        TQuickStrikeEntry entry;
        entry.Symbol = table.Get("symbol");
        entry.Last = ParseAlertNumber(table.Get("last"));
        entry.PrevClose = ParseAlertNumber(table.Get("prev_close"));
        entry.SmaDivergence = ParseAlertNumber(table.Get("sma_divergence"));
        entry.Time = table.Get("time");
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
        BollingerUpdate(table);
        break;
    }
}

void TAlertForm::BollingerUpdate(tHashTable &payload)
{
    const std::string symbol = payload.Get("symbol");
    const TDateTime now = Now();
    const std::vector<TBollingerEntry> &current = FBollingerEntries.Items();
    int index = -1;
    for (size_t i = 0; i < current.size(); ++i) {
        if (current[i].Symbol == symbol) {
            index = static_cast<int>(i);
            break;
        }
    }

    const std::string action = payload.Get("action");
    if (action == "add") {
        TBollingerEntry added;
        added.Symbol = symbol;
        added.Last = ParseAlertNumber(payload.Get("last"));
        added.PrevClose = ParseAlertNumber(payload.Get("prev_close"));
        added.DistFromBB = ParseAlertNumber(payload.Get("dist_from_bb"));
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
        std::vector<TBollingerEntry> &list = FBollingerEntries.Edit();
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
        if (found == index) {
            list[index] = std::move(added);
        } else {
            list.erase(list.begin() + index);
            if (found == -1)
                list.push_back(std::move(added));
            else
                list.insert(list.begin() + (found > index ? found - 1 : found), std::move(added));
        }
        FBollingerGrid->SetEntries(FBollingerEntries);
    } else if (action == "delete") {
        if (index == -1)
            return;
        std::vector<TBollingerEntry> &list = FBollingerEntries.Edit();
        list.erase(list.begin() + index);
        FBollingerGrid->SetEntries(FBollingerEntries);
    } else {
        FBollingerGrid->SetEntries(FBollingerEntries);
    }
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
