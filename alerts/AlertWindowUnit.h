#pragma once

#include "BollingerGrid.h"
#include "Forms.h"
#include "QuickStrikeGrid.h"
#include "SymbolOnlyGrid.h"
#include "Timer.h"

#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

class QMenu;
class QAction;
class TMainConnection;
class tHashTable;

// The payload values the windows read, as ParsePayload into a table and a
// Get of each key give them: percent-decoded, a later pair replacing an
// earlier one, a missing key empty.
struct TAlertFields
{
    std::string WindowId; // "w_id"
    std::string Symbol;
    std::string Last;
    std::string PrevClose;
    std::string SmaDivergence;
    std::string Time;
    std::string Action;
    std::string DistFromBB; // "dist_from_bb"
};

enum TWindowKind : unsigned char { wkQuickStrike = 0, wkBollinger = 1, wkSymbolOnly = 2 };

// Longest quick-strike or symbol-only list; the oldest row falls off.
constexpr std::size_t MaxQuickStrikeEntries = 1000;

// One of the eight alert windows. Every window hears every alert, keeps the
// ones addressed to its window id (its Tag), files them into its list and
// hands the list to its grid.
class TAlertForm : public TForm
{
    Q_OBJECT
public:
    // Registers with the process-wide main connection.
    TAlertForm();
    // Registers with the given connection instead (tests).
    explicit TAlertForm(TMainConnection &connection);
    // Alert windows live until the process ends; destroying one is a
    // programming error, reported through the default error display.
    ~TAlertForm() override;

    void SetUpWindow(int windowId);
    void ReceiveAlert(const std::string &data);
    void ClearWindow();
    void ExpireBollingersTimerTimer();
    void ClearWindowMenuItemClick();
    // Fails its assertion: see the destructor.
    void FormDestroy();

    TWindowKind WindowKind() const { return FWindowKind; }
    const TQuickStrikeEntries &QuickStrikeEntries() const { return FQuickStrikeEntries; }
    const TBollingerEntries &BollingerEntries() const { return FBollingerEntries; }
    const TQuickStrikeEntries &SymbolOnlyEntries() const { return FSymbolOnlyEntries; }
    TQuickStrikeGrid *QuickStrikeGrid() const { return FQuickStrikeGrid; }
    TBollingerGrid *BollingerGrid() const { return FBollingerGrid; }
    TSymbolOnlyGrid *SymbolOnlyGrid() const { return FSymbolOnlyGrid; }
    TDrawGrid *Grid() const;

    std::unique_ptr<TTimer> ExpireBollingersTimer;
    QMenu *ClearPopup = nullptr;
    QAction *ClearWindowMenuItem = nullptr;

private:
    void FormCreate(TMainConnection &connection);
    void BollingerUpdate(const TAlertFields &payload);
    void ChangeBollingerEntries(const std::function<void(std::vector<TBollingerEntry> &)> &change);

    TQuickStrikeGrid *FQuickStrikeGrid = nullptr;
    TQuickStrikeEntries FQuickStrikeEntries;
    TBollingerGrid *FBollingerGrid = nullptr;
    TBollingerEntries FBollingerEntries;
    TSymbolOnlyGrid *FSymbolOnlyGrid = nullptr;
    TQuickStrikeEntries FSymbolOnlyEntries;
    TWindowKind FWindowKind = wkQuickStrike;
    // Cleared when the window goes, so the listener left with the connection
    // (there is no way to unregister) does nothing instead of crashing.
    std::shared_ptr<bool> FAlive = std::make_shared<bool>(true);
};

using TAlertForms = std::vector<TAlertForm *>;

// Before: the text in front of the first separator; after: the text behind it.
// Not found: before is the whole text and after is empty.
void SplitAt(const std::string &separator, const std::string &text, std::string &before, std::string &after);

// Puts the percent-decoded name=value pairs of an "&"-separated payload into
// the table; a pair without "=" is skipped.
void ParsePayload(std::string_view text, tHashTable &table);

// Fills the fields from a payload line in one pass, without a table.
void ReadAlertFields(std::string_view payload, TAlertFields &fields);

// A number in the user's notation, or in the server's ("." decimals) when the
// user's does not read it; NaN when neither does.
double ParseAlertNumber(const std::string &text);
