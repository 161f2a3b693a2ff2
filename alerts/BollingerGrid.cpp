#include "BollingerGrid.h"

#include <cmath>

namespace {

QColor SignColor(double value)
{
    if (value > 0)
        return QColor(100, 255, 100);
    if (value < 0)
        return QColor(255, 75, 75);
    return QColor(255, 255, 255);
}

} // namespace

TBollingerGrid::TBollingerGrid(QWidget *owner) : TDrawGrid(owner)
{
    SetDoubleBuffered(true);
    SetColor(QColor(0, 0, 0));
    SetColCount(4);
    SetRowCount(2);
    SetFixedRows(1);
    SetFixedCols(0);
    SetOptions(goColSizing | goThumbTracking);
    SetDefaultDrawing(false);
    if (owner) {
        Canvas().SetFont(font());
        SetDefaultRowHeight(Canvas().TextHeight(QStringLiteral("Xy()")) + 4);
        SetColumnWidth(0, QStringLiteral("Symbol"));
        SetColumnWidth(1, QStringLiteral("100.00"));
        SetColumnWidth(2, QStringLiteral("-1.93"));
        SetColumnWidth(3, QStringLiteral("-13.3%"));
    }
}

TBollingerGrid::~TBollingerGrid() = default;

void TBollingerGrid::SetEntries(const TBollingerEntries &list)
{
    FEntries = list;
    SetRowCount(std::max<int>(1, static_cast<int>(FEntries.size())) + 1);
    Invalidate();
}

void TBollingerGrid::ReleaseEntries()
{
    FEntries.clear();
}

void TBollingerGrid::SetColumnWidth(int column, const QString &sample)
{
    SetColWidths(column, Canvas().TextWidth(sample) + (Ctl3D() ? 16 : 12));
}

void TBollingerGrid::DrawCell(int column, int row, const QRect &rect, TGridDrawState state)
{
    const bool fixed = state & gdFixed;
    const bool hasEntry = row >= 1 && static_cast<std::size_t>(row - 1) < FEntries.size();
    const TBollingerEntry *entry = hasEntry ? &FEntries[row - 1] : nullptr;

    QColor background = Color();
    QColor text = SignColor(0);
    if (fixed) {
        background = FixedColor();
        text = QColor(0, 0, 0);
    } else if (entry) {
        switch (column) {
        case 1:
            text = SignColor(entry->Last);
            break;
        case 2:
            text = SignColor(entry->Last - entry->PrevClose);
            break;
        case 3:
            text = SignColor(entry->DistFromBB);
            break;
        default:
            break;
        }
    }
    const QRect textRect = PrepareAlertCell(*this, rect, fixed, background, text);
    TCanvas &canvas = Canvas();

    if (fixed) {
        static const char *const Captions[] = {"Symbol", "Last", "Chg", "BBand"};
        if (column >= 0 && column < 4) {
            const QString caption = QString::fromLatin1(Captions[column]);
            DrawPlacedText(canvas, textRect, ShortenText(canvas, caption, textRect.width()), tpCentre);
        }
        return;
    }
    if (!entry)
        return;

    switch (column) {
    case 0: {
        const QString symbol = QString::fromStdString(entry->Symbol);
        DrawPlacedText(canvas, textRect, ShortenText(canvas, symbol, textRect.width()), tpLeft);
        break;
    }
    case 1:
        if (!std::isnan(entry->Last))
            DrawNumberText(canvas, textRect, FormatNumber(entry->Last));
        break;
    case 2:
        if (!std::isnan(entry->Last) && !std::isnan(entry->PrevClose))
            DrawNumberText(canvas, textRect, FormatNumber(entry->Last - entry->PrevClose));
        break;
    case 3:
        if (!std::isnan(entry->DistFromBB))
            DrawNumberText(canvas, textRect, FormatNumber(entry->DistFromBB));
        break;
    default:
        break;
    }
}

void TBollingerGrid::MouseUp(TMouseButton button, TShiftState shift, int x, int y)
{
    TDrawGrid::MouseUp(button, shift, x, y);
    if (button != mbLeft)
        return;
    int column = 0;
    int row = 0;
    MouseToCell(x, y, column, row);
    if (row >= 1 && static_cast<std::size_t>(row - 1) < FEntries.size()) {
        const std::string symbol = FEntries[row - 1].Symbol;
        LinkClickedSymbol(OnLinkSymbol, symbol);
    }
}

void TBollingerGrid::CalcScrollBars(bool &horizontal, bool &)
{
    horizontal = false;
}
