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
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

// A list of alert records that is cheap to hand over: copies share one
// immutable array, and a copy that is changed gets its own array first (copy
// on write). An alert window keeps its list in this type and passes it to its
// grid after every change; the grid's copy costs a reference count, and the
// window's next change leaves the grid's copy as it was.
//
// InsertFront on a shared list does not copy it either: the array keeps free
// slots in front of the items, and a list whose first item sits right behind
// the free slots takes the next one for its new item. No other list sees that
// slot (every list's items lie behind it), so copies stay as they were; the
// first list to take the slot wins, and any other copy gets an array of its
// own. A window adding an alert to a full list thus costs a constant amount
// of work, not a walk over the list, even while its grid holds the old list.
template <typename T> class TSharedList
{
public:
    using value_type = T;
    using const_iterator = typename std::vector<T>::const_iterator;

    TSharedList() = default;
    TSharedList(std::initializer_list<T> items) : FBlock(std::make_shared<TBlock>(std::vector<T>(items))) {}
    explicit TSharedList(std::vector<T> items) : FBlock(std::make_shared<TBlock>(std::move(items))) {}

    std::size_t size() const { return !FBlock ? 0 : FWhole ? FBlock->Slots.size() : FCount; }
    bool empty() const { return size() == 0; }
    const T &operator[](std::size_t index) const { return FBlock->Slots[FFirst + index]; }
    const T &at(std::size_t index) const
    {
        if (index >= size())
            throw std::out_of_range("TSharedList::at");
        return (*this)[index];
    }
    const_iterator begin() const
    {
        return FBlock ? FBlock->Slots.cbegin() + Offset(FFirst) : Empty().cbegin();
    }
    const_iterator end() const { return begin() + Offset(size()); }
    // The items as one array of their own (made so first if the list is a
    // part of a larger one).
    const std::vector<T> &Items() const
    {
        if (!FBlock)
            return Empty();
        if (!FWhole)
            MakeOwnArray();
        return FBlock->Slots;
    }

    // The array to change in place; copied first when another list shares it.
    std::vector<T> &Edit()
    {
        if (!FBlock || !FWhole || FBlock.use_count() > 1)
            MakeOwnArray();
        return FBlock->Slots;
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
        if (FBlock && FWhole && FBlock.use_count() == 1) {
            FBlock->Slots.resize(kept);
            FBlock->Slots.insert(FBlock->Slots.begin(), std::move(item));
            return;
        }
        if (FBlock && !FWhole && FFirst > 0 && FFirst == FBlock->Front) {
            FBlock->Slots[--FFirst] = std::move(item);
            FBlock->Front = FFirst;
            FCount = kept + 1;
            return;
        }
        // A new array with as many free slots in front as the list may hold,
        // so the copy below is paid once per that many insertions.
        const std::size_t room = std::max<std::size_t>(kept + 1, 16);
        auto block = std::make_shared<TBlock>(std::vector<T>(room + kept));
        std::vector<T> &array = block->Slots;
        std::copy(begin(), begin() + Offset(kept), array.begin() + Offset(room));
        array[room - 1] = std::move(item);
        block->Front = room - 1;
        FBlock = std::move(block);
        FFirst = room - 1;
        FCount = kept + 1;
        FWhole = false;
    }

    void clear()
    {
        FBlock.reset();
        FFirst = 0;
        FCount = 0;
        FWhole = true;
    }

    // True when both lists are the same items in one shared array (no copy
    // was made between them).
    bool SharesWith(const TSharedList &other) const
    {
        return FBlock && FBlock == other.FBlock && FFirst == other.FFirst && size() == other.size();
    }

private:
    struct TBlock
    {
        explicit TBlock(std::vector<T> items) : Slots(std::move(items)) {}
        std::vector<T> Slots;
        // Slots before this index have never held an item of any list.
        std::size_t Front = 0;
    };

    // The same items in an array of this list's own.
    void MakeOwnArray() const
    {
        auto block = std::make_shared<TBlock>(std::vector<T>(begin(), end()));
        FBlock = std::move(block);
        FFirst = 0;
        FCount = 0;
        FWhole = true;
    }

    static const std::vector<T> &Empty()
    {
        static const std::vector<T> empty;
        return empty;
    }
    static std::ptrdiff_t Offset(std::size_t n) { return static_cast<std::ptrdiff_t>(n); }

    // The items are Slots[FFirst] onwards: all the slots when FWhole (the
    // array may then be changed through Edit), else FCount of them.
    mutable std::shared_ptr<TBlock> FBlock;
    mutable std::size_t FFirst = 0;
    mutable std::size_t FCount = 0;
    mutable bool FWhole = true;
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
