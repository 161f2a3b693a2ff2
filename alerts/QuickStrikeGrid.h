#pragma once

#include "DrawGrid.h"

#include <QColor>
#include <QString>

#include <algorithm>
#include <cstddef>
#include <functional>
#include <initializer_list>
#include <limits>
#include <memory>
#include <string>
#include <utility>
#include <vector>

// A list of alert records that is cheap to hand over: copies share one
// immutable array, and a copy that is changed gets its own array first (copy
// on write). An alert window keeps its list in this type and passes it to its
// grid after every change; the grid's copy costs a reference count, and the
// window's next change leaves the grid's copy as it was. InsertFront builds a
// shared list afresh in the same pass that shifts it, so adding an alert to a
// full list walks the list once, whoever else holds it.
template <typename T> class TSharedList
{
public:
    using value_type = T;
    using const_iterator = typename std::vector<T>::const_iterator;

    TSharedList() = default;
    TSharedList(std::initializer_list<T> items) : FItems(std::make_shared<std::vector<T>>(items)) {}
    explicit TSharedList(std::vector<T> items) : FItems(std::make_shared<std::vector<T>>(std::move(items))) {}

    std::size_t size() const { return FItems ? FItems->size() : 0; }
    bool empty() const { return size() == 0; }
    const T &operator[](std::size_t index) const { return (*FItems)[index]; }
    const T &at(std::size_t index) const { return Items().at(index); }
    const_iterator begin() const { return Items().begin(); }
    const_iterator end() const { return Items().end(); }
    const std::vector<T> &Items() const { return FItems ? *FItems : Empty(); }

    // The array to change in place; copied first when another list shares it.
    std::vector<T> &Edit()
    {
        if (!FItems)
            FItems = std::make_shared<std::vector<T>>();
        else if (FItems.use_count() > 1)
            FItems = std::make_shared<std::vector<T>>(*FItems);
        return *FItems;
    }

    // Puts the item at index 0 and keeps at most maxCount items, the last
    // ones falling off.
    void InsertFront(T item, std::size_t maxCount)
    {
        if (maxCount == 0) {
            clear();
            return;
        }
        const std::size_t kept = std::min(size(), maxCount - 1);
        if (FItems && FItems.use_count() == 1) {
            FItems->resize(kept);
            FItems->insert(FItems->begin(), std::move(item));
            return;
        }
        auto fresh = std::make_shared<std::vector<T>>();
        fresh->reserve(kept + 1);
        fresh->push_back(std::move(item));
        if (FItems)
            fresh->insert(fresh->end(), FItems->begin(), FItems->begin() + kept);
        FItems = std::move(fresh);
    }

    void clear() { FItems.reset(); }

    // True when both lists share one array (no copy was made between them).
    bool SharesWith(const TSharedList &other) const { return FItems && FItems == other.FItems; }

private:
    static const std::vector<T> &Empty()
    {
        static const std::vector<T> empty;
        return empty;
    }

    std::shared_ptr<std::vector<T>> FItems;
};

// One quick-strike alert; numbers are NaN when the alert did not carry them.
struct TQuickStrikeEntry
{
    std::string Symbol;
    double Last = std::numeric_limits<double>::quiet_NaN();
    double PrevClose = std::numeric_limits<double>::quiet_NaN();
    double SmaDivergence = std::numeric_limits<double>::quiet_NaN();
    std::string Time;
};

using TQuickStrikeEntries = TSharedList<TQuickStrikeEntry>;

// ---- Cell painting shared by the alert grids

enum TTextPlacement { tpLeft, tpRight, tpCentre };

// Fills the cell with the background, raises the edge of a fixed cell when
// ctl3D is on, sets the text colour and a plain font; returns the rectangle
// the cell's text goes in.
QRect PrepareAlertCell(TDrawGrid &grid, const QRect &cell, bool fixed, const QColor &background,
                       const QColor &text);
// Draws the text in the rectangle at the placement, vertically centred, clipped.
void DrawPlacedText(TCanvas &canvas, const QRect &rect, const QString &text, TTextPlacement placement);
// The text itself when it fits the width, else as many leading characters as
// fit followed by "...".
QString ShortenText(const TCanvas &canvas, const QString &text, int width);
// Two decimals, a leading "-" for negatives, no grouping, the locale's decimal
// separator ("%f" and "%f%%").
QString FormatNumber(double value);
QString FormatPercent(double value);
// Right-aligned number text, or "..." when it is wider than the rectangle.
void DrawNumberText(TCanvas &canvas, const QRect &rect, const QString &text);
// Hands a clicked symbol on: to the grid's own handler when one is set, else to
// the external linking target.
void LinkClickedSymbol(const std::function<void(const std::string &)> &own, const std::string &symbol);

// The grid of the quick-strike windows: newest alert first, one row per alert,
// the newest row inverted. A left click on a row links its symbol.
class TQuickStrikeGrid : public TDrawGrid
{
    Q_OBJECT
public:
    explicit TQuickStrikeGrid(QWidget *owner);
    ~TQuickStrikeGrid() override;

    // Shows the list (entry i in row i + 1); the grid keeps its own copy.
    void SetEntries(const TQuickStrikeEntries &list);
    const TQuickStrikeEntries &Entries() const { return FEntries; }

    QColor AlertColor() const { return FAlertColor; }
    void SetAlertColor(const QColor &color);

    // Width of the column := the sample's text width plus the cell's margins.
    void SetColumnWidth(int column, const QString &sample);

    // When set, a clicked symbol goes here instead of the external linking target.
    std::function<void(const std::string &symbol)> OnLinkSymbol;

protected:
    void DrawCell(int column, int row, const QRect &rect, TGridDrawState state) override;
    void MouseUp(TMouseButton button, TShiftState shift, int x, int y) override;
    void CalcScrollBars(bool &horizontal, bool &vertical) override;

private:
    TQuickStrikeEntries FEntries;
    QColor FAlertColor = QColor(255, 255, 255);
};
