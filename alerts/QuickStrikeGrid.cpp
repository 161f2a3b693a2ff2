#include "QuickStrikeGrid.h"

#include "LinkTarget.h"

#include <QLocale>

#include <charconv>
#include <cmath>

// ---------------------------------------------------------------- shared cell painting

QRect PrepareAlertCell(TDrawGrid &grid, const QRect &cell, bool fixed, const QColor &background,
                       const QColor &text)
{
    TCanvas &canvas = grid.Canvas();
    canvas.SetFontStyle(0);
    canvas.BrushColor = background;
    canvas.FillRect(cell);
    QRect textRect = cell;
    if (fixed && grid.Ctl3D()) {
        canvas.DrawRaisedInnerEdge(cell);
        textRect.adjust(1, 1, -1, -1);
    }
    if (textRect.width() > 14)
        textRect.adjust(3, 0, -3, 0);
    canvas.FontColor = text;
    return textRect;
}

void DrawPlacedText(TCanvas &canvas, const QRect &rect, const QString &text, TTextPlacement placement)
{
    const int spare = std::max(rect.width() - canvas.TextWidth(text), 0);
    int x = rect.left();
    if (placement == tpRight)
        x += spare;
    else if (placement == tpCentre)
        x += spare / 2;
    const int y = rect.top() + std::max(rect.height() - canvas.TextHeight(text), 0) / 2;
    canvas.TextRect(rect, x, y, text);
}

QString ShortenText(const TCanvas &canvas, const QString &text, int width)
{
    if (canvas.TextWidth(text) <= width)
        return text;
    const QString ellipsis = QStringLiteral("...");
    int room = width - canvas.TextWidth(ellipsis);
    qsizetype i = 0;
    while (i < text.size()) {
        // A surrogate pair is one character.
        const qsizetype length = (text.at(i).isHighSurrogate() && i + 1 < text.size()) ? 2 : 1;
        room -= canvas.TextWidth(text.mid(i, length));
        if (room < 0)
            return text.left(i) + ellipsis;
        i += length;
    }
    return text + ellipsis;
}

QString FormatNumber(double value)
{
    // std::to_chars ignores the C library's locale, so the only separator in
    // the text is the one put in below.
    char buffer[400];
    const auto result = std::to_chars(buffer, buffer + sizeof buffer, value, std::chars_format::fixed, 2);
    if (result.ec != std::errc())
        return QStringLiteral("...");
    QString text = QString::fromLatin1(buffer, result.ptr - buffer);
    text.replace(QLatin1Char('.'), QLocale().decimalPoint());
    return text;
}

QString FormatPercent(double value)
{
    return FormatNumber(value) + QLatin1Char('%');
}

void DrawNumberText(TCanvas &canvas, const QRect &rect, const QString &text)
{
    if (canvas.TextWidth(text) > rect.width())
        DrawPlacedText(canvas, rect, QStringLiteral("..."), tpRight);
    else
        DrawPlacedText(canvas, rect, text, tpRight);
}

void LinkClickedSymbol(const std::function<void(const std::string &)> &own, const std::string &symbol)
{
    if (own)
        own(symbol);
    else
        LinkSymbolExternally(symbol);
}

// ---------------------------------------------------------------- TQuickStrikeGrid

TQuickStrikeGrid::TQuickStrikeGrid(QWidget *owner) : TDrawGrid(owner)
{
    SetDoubleBuffered(true);
    SetColor(QColor(0, 0, 0));
    FAlertColor = QColor(255, 255, 255);
    SetColCount(6);
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
        SetColumnWidth(4, QStringLiteral("-0.12"));
        SetColumnWidth(5, QStringLiteral("00:00:00"));
    }
}

TQuickStrikeGrid::~TQuickStrikeGrid() = default;

void TQuickStrikeGrid::SetEntries(const TQuickStrikeEntries &list)
{
    FEntries = list;
    SetRowCount(std::max<int>(1, static_cast<int>(FEntries.size())) + 1);
    Invalidate();
}

void TQuickStrikeGrid::SetAlertColor(const QColor &color)
{
    FAlertColor = color;
    Invalidate();
}

void TQuickStrikeGrid::SetColumnWidth(int column, const QString &sample)
{
    SetColWidths(column, Canvas().TextWidth(sample) + (Ctl3D() ? 16 : 12));
}

void TQuickStrikeGrid::DrawCell(int column, int row, const QRect &rect, TGridDrawState state)
{
    const bool fixed = state & gdFixed;
    const bool hasEntry = row >= 1 && static_cast<std::size_t>(row - 1) < FEntries.size();

    QColor background = Color();
    QColor text = FAlertColor;
    if (fixed) {
        background = FixedColor();
        text = QColor(0, 0, 0);
    } else if (hasEntry && row == 1) {
        std::swap(background, text);
    }
    const QRect textRect = PrepareAlertCell(*this, rect, fixed, background, text);
    TCanvas &canvas = Canvas();

    if (fixed) {
        static const char *const Captions[] = {"Symbol", "Last", "Chg", "%Chg", "Divrg", "Time"};
        if (column >= 0 && column < 6) {
            const QString caption = QString::fromLatin1(Captions[column]);
            DrawPlacedText(canvas, textRect, ShortenText(canvas, caption, textRect.width()), tpCentre);
        }
        return;
    }
    if (!hasEntry)
        return;

    const TQuickStrikeEntry &entry = FEntries[row - 1];
    switch (column) {
    case 0: {
        const QString symbol = QString::fromStdString(entry.Symbol);
        DrawPlacedText(canvas, textRect, ShortenText(canvas, symbol, textRect.width()), tpLeft);
        break;
    }
    case 1:
        if (!std::isnan(entry.Last))
            DrawNumberText(canvas, textRect, FormatNumber(entry.Last));
        break;
    case 2:
        if (!std::isnan(entry.Last) && !std::isnan(entry.PrevClose))
            DrawNumberText(canvas, textRect, FormatNumber(entry.Last - entry.PrevClose));
        break;
    case 3:
        if (!std::isnan(entry.Last) && !std::isnan(entry.PrevClose) && entry.PrevClose != 0)
            DrawNumberText(canvas, textRect,
                           FormatPercent((entry.Last - entry.PrevClose) / entry.PrevClose * 100));
        break;
    case 4:
        if (!std::isnan(entry.SmaDivergence))
            DrawNumberText(canvas, textRect, FormatNumber(entry.SmaDivergence));
        break;
    case 5:
        // The time is cut at the cell edge, never shortened.
        DrawPlacedText(canvas, textRect, QString::fromStdString(entry.Time), tpLeft);
        break;
    default:
        break;
    }
}

void TQuickStrikeGrid::MouseUp(TMouseButton button, TShiftState shift, int x, int y)
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

void TQuickStrikeGrid::CalcScrollBars(bool &horizontal, bool &)
{
    horizontal = false;
}
