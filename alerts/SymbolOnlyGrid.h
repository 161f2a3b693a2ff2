#pragma once

#include "QuickStrikeGrid.h"

#include <functional>
#include <string>

// The board of the break windows: as many equal cells as fit the control, one
// symbol each. Each new alert takes the next cell, down a column and then on to
// the next, wrapping after the last, so the newest symbol overwrites the oldest
// one shown. The newest cell is inverted. A left click on a cell links its symbol.
//
// Board position of the data cell in column c and row r: (r - 1) + c * (RowCount - 1);
// capacity: (RowCount - 1) * ColCount.
class TSymbolOnlyGrid : public TDrawGrid
{
    Q_OBJECT
public:
    explicit TSymbolOnlyGrid(QWidget *owner);
    ~TSymbolOnlyGrid() override;

    // Called once per new alert with the new entry at index 0 (it moves the
    // newest cell on by one), and with an empty list to clear the board.
    void SetEntries(const TQuickStrikeEntries &list);
    const TQuickStrikeEntries &Entries() const { return FEntries; }

    QColor AlertColor() const { return FAlertColor; }
    void SetAlertColor(const QColor &color);

    // Recomputes the counts from the control's size; lays the board out afresh
    // when forced or when a count changed.
    void FitToSize(bool force);
    // Which entry a cell shows; valid is false for the header, a blank cell and
    // a point outside the board.
    void CellToEntry(int column, int row, bool &valid, int &index) const;
    // The sample's text width plus the cell's margins.
    int SampleWidth(const QString &text) const;

    // Board position of the newest entry; -1 when the board is empty.
    int Newest() const { return FNewest; }
    // Fitted once for a non-empty list.
    bool Sized() const { return FSized; }
    int Capacity() const { return (RowCount() - 1) * ColCount(); }

    // When set, a clicked symbol goes here instead of the external linking target.
    std::function<void(const std::string &symbol)> OnLinkSymbol;

protected:
    void DrawCell(int column, int row, const QRect &rect, TGridDrawState state) override;
    void MouseUp(TMouseButton button, TShiftState shift, int x, int y) override;
    void CalcScrollBars(bool &horizontal, bool &vertical) override;

private:
    int FNewest = -1;
    TQuickStrikeEntries FEntries;
    QColor FAlertColor = QColor(255, 255, 255);
    bool FSized = false;
    bool FFitting = false;
};
