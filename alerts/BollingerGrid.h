#pragma once

#include "LocalClock.h"
#include "QuickStrikeGrid.h"

#include <functional>
#include <limits>
#include <string>

// One symbol of a Bollinger list; numbers are NaN when the alert did not carry
// them. Updated is the local time of the symbol's last "add".
struct TBollingerEntry
{
    std::string Symbol;
    double Last = std::numeric_limits<double>::quiet_NaN();
    double PrevClose = std::numeric_limits<double>::quiet_NaN();
    double DistFromBB = std::numeric_limits<double>::quiet_NaN();
    TDateTime Updated = 0;
};

// Shared and copied on write, like TQuickStrikeEntries.
using TBollingerEntries = TSharedList<TBollingerEntry>;

// The grid of the Bollinger windows: one row per symbol in the window's order,
// numbers coloured by their sign. A left click on a row links its symbol.
class TBollingerGrid : public TDrawGrid
{
    Q_OBJECT
public:
    explicit TBollingerGrid(QWidget *owner);
    ~TBollingerGrid() override;

    // Shows the list (entry i in row i + 1); the grid keeps its own copy.
    void SetEntries(const TBollingerEntries &list);
    const TBollingerEntries &Entries() const { return FEntries; }
    // Drops the grid's share of the list, for a window about to change the
    // list and hand it over again; no rows are drawn until then.
    void ReleaseEntries();

    // Width of the column := the sample's text width plus the cell's margins.
    void SetColumnWidth(int column, const QString &sample);

    // When set, a clicked symbol goes here instead of the external linking target.
    std::function<void(const std::string &symbol)> OnLinkSymbol;

protected:
    void DrawCell(int column, int row, const QRect &rect, TGridDrawState state) override;
    void MouseUp(TMouseButton button, TShiftState shift, int x, int y) override;
    void CalcScrollBars(bool &horizontal, bool &vertical) override;

private:
    TBollingerEntries FEntries;
};
