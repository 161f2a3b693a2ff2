#include "SymbolOnlyGrid.h"

TSymbolOnlyGrid::TSymbolOnlyGrid(QWidget *owner) : TDrawGrid(owner)
{
    SetDoubleBuffered(true);
    SetColor(QColor(0, 0, 0));
    FAlertColor = QColor(255, 255, 255);
    SetColCount(6);
    SetRowCount(2);
    SetFixedRows(1);
    SetFixedCols(0);
    SetOptions(goThumbTracking);
    SetDefaultDrawing(false);
    if (owner) {
        Canvas().SetFont(font());
        SetDefaultRowHeight(Canvas().TextHeight(QStringLiteral("Xy()")) + 4);
        SetDefaultColWidth(SampleWidth(QStringLiteral("Symbol")));
        FitToSize(true);
    }
}

TSymbolOnlyGrid::~TSymbolOnlyGrid() = default;

void TSymbolOnlyGrid::SetAlertColor(const QColor &color)
{
    FAlertColor = color;
    Invalidate();
}

int TSymbolOnlyGrid::SampleWidth(const QString &text) const
{
    return Canvas().TextWidth(text) + (Ctl3D() ? 16 : 12);
}

void TSymbolOnlyGrid::FitToSize(bool force)
{
    // Changing the counts lays the grid out again, which calls back here.
    if (FFitting)
        return;
    FFitting = true;
    const int oldColumns = ColCount();
    const int oldRows = RowCount();
    SetColCount(std::max(FixedCols() + 1, width() / std::max(DefaultColWidth(), 1)));
    SetRowCount(std::max(FixedRows() + 1, height() / std::max(DefaultRowHeight(), 1)));
    if (force || ColCount() != oldColumns || RowCount() != oldRows) {
        FNewest = std::min(static_cast<int>(FEntries.size()), Capacity()) - 1;
        Invalidate();
    }
    FFitting = false;
}

void TSymbolOnlyGrid::SetEntries(const TQuickStrikeEntries &list)
{
    if (list.empty()) {
        FEntries.clear();
        FitToSize(true);
        return;
    }
    if (!FSized) {
        FitToSize(true);
        FSized = true;
    }
    FEntries = list;
    FNewest = (FNewest + 1) % Capacity();
    Invalidate();
}

void TSymbolOnlyGrid::CellToEntry(int column, int row, bool &valid, int &index) const
{
    const int dataRows = RowCount() - 1;
    const int position = (row - 1) + column * dataRows;
    index = FNewest - position;
    if (index < 0)
        index += Capacity();
    valid = row >= 1 && row < RowCount() && column >= 0 && column < ColCount() && index >= 0 &&
            static_cast<std::size_t>(index) < FEntries.size();
}

void TSymbolOnlyGrid::DrawCell(int column, int row, const QRect &rect, TGridDrawState state)
{
    bool valid = false;
    int index = 0;
    CellToEntry(column, row, valid, index);
    const bool fixed = state & gdFixed;

    QColor background = Color();
    QColor text = FAlertColor;
    if (fixed) {
        background = FixedColor();
        text = QColor(0, 0, 0);
    } else if (valid && index == 0) {
        std::swap(background, text);
    }
    const QRect textRect = PrepareAlertCell(*this, rect, fixed, background, text);
    TCanvas &canvas = Canvas();

    if (fixed) {
        const QString caption = QStringLiteral("Symbol");
        DrawPlacedText(canvas, textRect, ShortenText(canvas, caption, textRect.width()), tpCentre);
    } else if (valid) {
        const QString symbol = QString::fromStdString(FEntries[index].Symbol);
        DrawPlacedText(canvas, textRect, ShortenText(canvas, symbol, textRect.width()), tpLeft);
    }
}

void TSymbolOnlyGrid::MouseUp(TMouseButton button, TShiftState shift, int x, int y)
{
    TDrawGrid::MouseUp(button, shift, x, y);
    if (button != mbLeft)
        return;
    int column = 0;
    int row = 0;
    MouseToCell(x, y, column, row);
    bool valid = false;
    int index = 0;
    CellToEntry(column, row, valid, index);
    if (valid) {
        const std::string symbol = FEntries[index].Symbol;
        LinkClickedSymbol(OnLinkSymbol, symbol);
    }
}

void TSymbolOnlyGrid::CalcScrollBars(bool &horizontal, bool &vertical)
{
    horizontal = false;
    vertical = false;
    FitToSize(false);
}
