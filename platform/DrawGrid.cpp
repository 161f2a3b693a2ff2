#include "DrawGrid.h"

#include "ErrorDisplay.h"
#include "Exceptions.h"

#include <QEvent>
#include <QFontDatabase>
#include <QMouseEvent>
#include <QPaintEvent>
#include <QPainter>
#include <QScrollBar>

#include <algorithm>

QFont TerminalFont(int pixelHeight)
{
    QFont font = QFontDatabase::systemFont(QFontDatabase::FixedFont);
    font.setPixelSize(pixelHeight);
    return font;
}

// ---------------------------------------------------------------- TCanvas

TCanvas::TCanvas(const QPaintDevice *device) : FDevice(device) {}

void TCanvas::SetFont(const QFont &font)
{
    FFont = font;
    FMetrics.reset();
    FWidths.clear();
    FStaticTexts.clear();
    if (FPainter)
        FPainter->setFont(FFont);
}

TFontStyles TCanvas::FontStyle() const
{
    TFontStyles style = 0;
    if (FFont.bold())
        style |= fsBold;
    if (FFont.italic())
        style |= fsItalic;
    if (FFont.underline())
        style |= fsUnderline;
    if (FFont.strikeOut())
        style |= fsStrikeOut;
    return style;
}

void TCanvas::SetFontStyle(TFontStyles style)
{
    // Every cell sets its style; leave the font (and its measurements) alone
    // when nothing changes.
    if (FontStyle() == style)
        return;
    QFont font = FFont;
    font.setBold(style & fsBold);
    font.setItalic(style & fsItalic);
    font.setUnderline(style & fsUnderline);
    font.setStrikeOut(style & fsStrikeOut);
    SetFont(font);
}

const QFontMetrics &TCanvas::Metrics() const
{
    if (!FMetrics)
        FMetrics.emplace(FFont, FDevice);
    return *FMetrics;
}

int TCanvas::TextWidth(const QString &text) const
{
    if (const auto known = FWidths.constFind(text); known != FWidths.cend())
        return *known;
    const int width = Metrics().horizontalAdvance(text);
    // Prices change all the time; a full cache starts again rather than grow.
    if (FWidths.size() >= 512)
        FWidths.clear();
    FWidths.insert(text, width);
    return width;
}

const QStaticText &TCanvas::StaticText(const QString &text) const
{
    if (const auto known = FStaticTexts.constFind(text); known != FStaticTexts.cend())
        return *known;
    if (FStaticTexts.size() >= 512)
        FStaticTexts.clear();
    QStaticText laidOut(text);
    laidOut.setTextFormat(Qt::PlainText);
    laidOut.prepare(QTransform(), FFont);
    return *FStaticTexts.insert(text, laidOut);
}

int TCanvas::TextHeight(const QString &) const
{
    return Metrics().height();
}

void TCanvas::FillRect(const QRect &rect)
{
    if (FPainter)
        FPainter->fillRect(rect, BrushColor);
}

void TCanvas::TextRect(const QRect &rect, int x, int y, const QString &text)
{
    if (OnTextRect)
        OnTextRect(rect, x, y, text);
    if (!FPainter)
        return;
    FPainter->setClipRect(rect);
    FPainter->setPen(FontColor);
    FPainter->drawStaticText(x, y, StaticText(text));
    FPainter->setClipping(false);
}

void TCanvas::DrawRaisedInnerEdge(const QRect &rect)
{
    if (!FPainter || rect.width() <= 0 || rect.height() <= 0)
        return;
    const QColor light(255, 255, 255);
    const QColor shadow(160, 160, 160);
    FPainter->fillRect(QRect(rect.left(), rect.top(), rect.width() - 1, 1), light);
    FPainter->fillRect(QRect(rect.left(), rect.top(), 1, rect.height() - 1), light);
    FPainter->fillRect(QRect(rect.left(), rect.bottom(), rect.width(), 1), shadow);
    FPainter->fillRect(QRect(rect.right(), rect.top(), 1, rect.height()), shadow);
}

void TCanvas::Attach(QPainter *painter)
{
    FPainter = painter;
    if (FPainter)
        FPainter->setFont(FFont);
}

void TCanvas::Detach()
{
    FPainter = nullptr;
}

// ---------------------------------------------------------------- TDrawGrid

TDrawGrid::TDrawGrid(QWidget *parent) : QAbstractScrollArea(parent), FCanvas(this)
{
    setFrameStyle(QFrame::NoFrame);
    setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    // Every pixel comes from the cells or the background fill.
    viewport()->setAttribute(Qt::WA_OpaquePaintEvent);
    viewport()->setAutoFillBackground(false);
    viewport()->setMouseTracking(true);
    FCanvas.SetFont(font());
    FColWidths.assign(5, FDefaultColWidth);
    FRowCount = 5;
    FFixedCols = 1;
    FFixedRows = 1;
    FTopRow = FFixedRows;
    FLeftCol = FFixedCols;
    verticalScrollBar()->setTracking(false);
    horizontalScrollBar()->setTracking(false);
    UpdateLayout();
}

TDrawGrid::~TDrawGrid() = default;

void TDrawGrid::SetColCount(int count)
{
    count = std::max(count, 0);
    if (count == ColCount())
        return;
    FColWidths.resize(count, FDefaultColWidth);
    if (FFixedCols >= count)
        FFixedCols = std::max(count - 1, 0);
    UpdateLayout();
}

void TDrawGrid::SetRowCount(int count)
{
    count = std::max(count, 0);
    if (count == FRowCount)
        return;
    FRowCount = count;
    if (FFixedRows >= count)
        FFixedRows = std::max(count - 1, 0);
    UpdateLayout();
}

void TDrawGrid::SetFixedCols(int count)
{
    AssertMsg(count >= 0 && count < ColCount(), "Fixed column count must be less than column count");
    FFixedCols = count;
    UpdateLayout();
}

void TDrawGrid::SetFixedRows(int count)
{
    AssertMsg(count >= 0 && count < FRowCount, "Fixed row count must be less than row count");
    FFixedRows = count;
    UpdateLayout();
}

void TDrawGrid::SetDefaultColWidth(int width)
{
    FDefaultColWidth = std::max(width, 0);
    std::fill(FColWidths.begin(), FColWidths.end(), FDefaultColWidth);
    UpdateLayout();
}

void TDrawGrid::SetDefaultRowHeight(int height)
{
    FDefaultRowHeight = std::max(height, 0);
    UpdateLayout();
}

int TDrawGrid::ColWidths(int column) const
{
    if (column < 0 || column >= ColCount())
        return FDefaultColWidth;
    return FColWidths[column];
}

void TDrawGrid::SetColWidths(int column, int width)
{
    if (column < 0 || column >= ColCount())
        return;
    width = std::max(width, 0);
    if (FColWidths[column] == width)
        return;
    FColWidths[column] = width;
    UpdateLayout();
}

void TDrawGrid::SetOptions(TGridOptions options)
{
    FOptions = options;
    const bool tracking = options & goThumbTracking;
    verticalScrollBar()->setTracking(tracking);
    horizontalScrollBar()->setTracking(tracking);
    if (!(options & goColSizing))
        FSizingColumn = -1;
}

void TDrawGrid::SetColor(const QColor &color)
{
    FColor = color;
    Invalidate();
}

void TDrawGrid::SetFixedColor(const QColor &color)
{
    FFixedColor = color;
    Invalidate();
}

void TDrawGrid::SetCtl3D(bool on)
{
    FCtl3D = on;
    Invalidate();
}

void TDrawGrid::SetTopRow(int row)
{
    verticalScrollBar()->setValue(row - FFixedRows);
}

int TDrawGrid::FixedHeight() const
{
    return FFixedRows * FDefaultRowHeight;
}

int TDrawGrid::FixedWidth() const
{
    int width = 0;
    for (int c = 0; c < FFixedCols; ++c)
        width += FColWidths[c];
    return width;
}

QRect TDrawGrid::CellRect(int column, int row) const
{
    if (column < 0 || column >= ColCount() || row < 0 || row >= FRowCount)
        return QRect();
    int x = 0;
    if (column < FFixedCols) {
        for (int c = 0; c < column; ++c)
            x += FColWidths[c];
    } else {
        if (column < FLeftCol)
            return QRect();
        x = FixedWidth();
        for (int c = FLeftCol; c < column; ++c)
            x += FColWidths[c];
    }
    int y = 0;
    if (row < FFixedRows) {
        y = row * FDefaultRowHeight;
    } else {
        if (row < FTopRow)
            return QRect();
        y = FixedHeight() + (row - FTopRow) * FDefaultRowHeight;
    }
    if (x >= viewport()->width() || y >= viewport()->height())
        return QRect();
    return QRect(x, y, FColWidths[column], FDefaultRowHeight);
}

void TDrawGrid::MouseToCell(int x, int y, int &column, int &row) const
{
    column = -1;
    row = -1;
    if (x < 0 || y < 0 || x >= viewport()->width() || y >= viewport()->height() || FDefaultRowHeight <= 0)
        return;

    int foundRow = -1;
    if (y < FixedHeight()) {
        foundRow = y / FDefaultRowHeight;
    } else {
        const int r = FTopRow + (y - FixedHeight()) / FDefaultRowHeight;
        if (r < FRowCount)
            foundRow = r;
    }

    int foundColumn = -1;
    int left = 0;
    for (int c = 0; c < FFixedCols && foundColumn < 0; ++c) {
        if (x < left + FColWidths[c])
            foundColumn = c;
        left += FColWidths[c];
    }
    for (int c = FLeftCol; c < ColCount() && foundColumn < 0; ++c) {
        if (x < left + FColWidths[c])
            foundColumn = c;
        left += FColWidths[c];
    }

    // A point beside or below the cells lies in no cell at all.
    if (foundRow < 0 || foundColumn < 0)
        return;
    column = foundColumn;
    row = foundRow;
}

void TDrawGrid::Invalidate()
{
    viewport()->update();
}

void TDrawGrid::DrawCell(int column, int row, const QRect &rect, TGridDrawState state)
{
    if (OnDrawCell)
        OnDrawCell(column, row, rect, state);
}

void TDrawGrid::MouseUp(TMouseButton, TShiftState, int, int)
{
    if (FSizingColumn >= 0) {
        FSizingColumn = -1;
        viewport()->unsetCursor();
    }
}

void TDrawGrid::CalcScrollBars(bool &, bool &) {}

void TDrawGrid::UpdateLayout()
{
    // A subclass may change the counts from CalcScrollBars, which comes back
    // here; the pass is then repeated with the new counts.
    if (FInLayout) {
        FLayoutAgain = true;
        return;
    }
    FInLayout = true;
    for (int pass = 0; pass < 4; ++pass) {
        FLayoutAgain = false;

        bool allowHorizontal = true;
        bool allowVertical = true;
        CalcScrollBars(allowHorizontal, allowVertical);

        // Asking the style costs more than the rest of the layout, and the
        // layout runs whenever the row count changes: cached until the
        // style or the font changes.
        if (FScrollBarExtent.isEmpty())
            FScrollBarExtent = QSize(verticalScrollBar()->sizeHint().width(),
                                     horizontalScrollBar()->sizeHint().height());
        const int vsbWidth = FScrollBarExtent.width();
        const int hsbHeight = FScrollBarExtent.height();
        const QRect inner = contentsRect();
        int totalWidth = 0;
        for (int w : FColWidths)
            totalWidth += w;
        const int totalHeight = FRowCount * FDefaultRowHeight;

        bool horizontal = allowHorizontal && totalWidth > inner.width();
        const bool vertical = allowVertical && totalHeight > inner.height() - (horizontal ? hsbHeight : 0);
        if (allowHorizontal && !horizontal && vertical)
            horizontal = totalWidth > inner.width() - vsbWidth;
        const int clientWidth = inner.width() - (vertical ? vsbWidth : 0);
        const int clientHeight = inner.height() - (horizontal ? hsbHeight : 0);

        // The last scrollable row and column must be fully visible at the end.
        int verticalMax = 0;
        int verticalPage = 1;
        if (vertical && FDefaultRowHeight > 0) {
            const int fit = std::max((clientHeight - FixedHeight()) / FDefaultRowHeight, 0);
            verticalMax = std::max(FRowCount - FFixedRows - std::max(fit, 1), 0);
            verticalPage = std::max(fit, 1);
        }
        int horizontalMax = 0;
        int horizontalPage = 1;
        if (horizontal) {
            const int room = clientWidth - FixedWidth();
            int used = 0;
            int first = ColCount();
            while (first > FFixedCols && used + FColWidths[first - 1] <= room) {
                used += FColWidths[first - 1];
                --first;
            }
            if (first == ColCount())
                first = ColCount() - 1;
            horizontalMax = std::max(first - FFixedCols, 0);
            horizontalPage = std::max(ColCount() - first, 1);
        }

        QScrollBar *vbar = verticalScrollBar();
        QScrollBar *hbar = horizontalScrollBar();
        vbar->setRange(0, verticalMax);
        vbar->setPageStep(verticalPage);
        vbar->setSingleStep(1);
        hbar->setRange(0, horizontalMax);
        hbar->setPageStep(horizontalPage);
        hbar->setSingleStep(1);
        FTopRow = FFixedRows + vbar->value();
        FLeftCol = FFixedCols + hbar->value();

        const Qt::ScrollBarPolicy vpolicy = vertical ? Qt::ScrollBarAlwaysOn : Qt::ScrollBarAlwaysOff;
        const Qt::ScrollBarPolicy hpolicy = horizontal ? Qt::ScrollBarAlwaysOn : Qt::ScrollBarAlwaysOff;
        if (verticalScrollBarPolicy() != vpolicy)
            setVerticalScrollBarPolicy(vpolicy);
        if (horizontalScrollBarPolicy() != hpolicy)
            setHorizontalScrollBarPolicy(hpolicy);

        if (!FLayoutAgain)
            break;
    }
    FInLayout = false;
    Invalidate();
}

void TDrawGrid::scrollContentsBy(int, int)
{
    FTopRow = FFixedRows + verticalScrollBar()->value();
    FLeftCol = FFixedCols + horizontalScrollBar()->value();
    Invalidate();
}

bool TDrawGrid::event(QEvent *event)
{
    // The base lays out the scroll bars and the viewport on a resize with the
    // policies it has at that moment, so ours must be settled first. Viewport
    // resizes follow from the policies and need no layout of their own.
    if (event->type() == QEvent::Resize)
        UpdateLayout();
    return QAbstractScrollArea::event(event);
}

void TDrawGrid::showEvent(QShowEvent *event)
{
    QAbstractScrollArea::showEvent(event);
    UpdateLayout();
}

void TDrawGrid::changeEvent(QEvent *event)
{
    if (event->type() == QEvent::FontChange)
        FCanvas.SetFont(font());
    if (event->type() == QEvent::FontChange || event->type() == QEvent::StyleChange)
        FScrollBarExtent = QSize();
    QAbstractScrollArea::changeEvent(event);
}

void TDrawGrid::paintEvent(QPaintEvent *event)
{
    ++PaintCount;
    QPainter painter(viewport());
    FCanvas.Attach(&painter);
    CallGuiHandler([&] { PaintCells(painter, event->rect()); });
    FCanvas.Detach();
}

void TDrawGrid::PaintCells(QPainter &painter, const QRect &dirty)
{
    const int clientWidth = viewport()->width();
    const int clientHeight = viewport()->height();
    const int rowHeight = FDefaultRowHeight;

    auto paintCell = [&](int column, int row, int x, int y) {
        const QRect rect(x, y, FColWidths[column], rowHeight);
        if (rect.isEmpty() || !rect.intersects(dirty))
            return;
        const bool fixed = row < FFixedRows || column < FFixedCols;
        const TGridDrawState state = fixed ? gdFixed : 0;
        if (FDefaultDrawing) {
            FCanvas.BrushColor = fixed ? FFixedColor : FColor;
            FCanvas.FillRect(rect);
            if (fixed && FCtl3D)
                FCanvas.DrawRaisedInnerEdge(rect);
        }
        DrawCell(column, row, rect, state);
    };
    auto paintRow = [&](int row, int y) {
        int x = 0;
        for (int c = 0; c < FFixedCols && x < clientWidth; ++c) {
            paintCell(c, row, x, y);
            x += FColWidths[c];
        }
        for (int c = FLeftCol; c < ColCount() && x < clientWidth; ++c) {
            paintCell(c, row, x, y);
            x += FColWidths[c];
        }
        if (x < clientWidth)
            painter.fillRect(QRect(x, y, clientWidth - x, rowHeight), FColor);
    };

    int y = 0;
    if (rowHeight > 0) {
        for (int r = 0; r < FFixedRows && y < clientHeight; ++r) {
            paintRow(r, y);
            y += rowHeight;
        }
        for (int r = FTopRow; r < FRowCount && y < clientHeight; ++r) {
            paintRow(r, y);
            y += rowHeight;
        }
    }
    if (y < clientHeight)
        painter.fillRect(QRect(0, y, clientWidth, clientHeight - y), FColor);
}

// ---------------------------------------------------------------- column sizing

int TDrawGrid::SizingColumnAt(int x, int y) const
{
    if (!(FOptions & goColSizing) || y < 0 || y >= FixedHeight())
        return -1;
    // The grab zone reaches a few pixels either side of a column's right border;
    // the rightmost match wins so a column dragged down to nothing can grow again.
    constexpr int Zone = 3;
    int found = -1;
    int right = 0;
    auto consider = [&](int c) {
        right += FColWidths[c];
        if (x >= right - Zone && x <= right + Zone)
            found = c;
    };
    for (int c = 0; c < FFixedCols; ++c)
        consider(c);
    for (int c = FLeftCol; c < ColCount() && right <= viewport()->width(); ++c)
        consider(c);
    return found;
}

void TDrawGrid::mousePressEvent(QMouseEvent *event)
{
    const QPoint p = event->position().toPoint();
    if (event->button() == Qt::LeftButton) {
        const int column = SizingColumnAt(p.x(), p.y());
        if (column >= 0) {
            const QRect rect = CellRect(column, 0);
            FSizingColumn = column;
            FSizingLeft = rect.left();
            FSizingOffset = rect.left() + FColWidths[column] - p.x();
        }
    }
    event->accept();
}

void TDrawGrid::mouseMoveEvent(QMouseEvent *event)
{
    const QPoint p = event->position().toPoint();
    if (FSizingColumn >= 0) {
        SetColWidths(FSizingColumn, p.x() + FSizingOffset - FSizingLeft);
    } else if (SizingColumnAt(p.x(), p.y()) >= 0) {
        viewport()->setCursor(Qt::SplitHCursor);
    } else {
        viewport()->unsetCursor();
    }
    event->accept();
}

void TDrawGrid::mouseReleaseEvent(QMouseEvent *event)
{
    TMouseButton button;
    switch (event->button()) {
    case Qt::LeftButton:
        button = mbLeft;
        break;
    case Qt::RightButton:
        button = mbRight;
        break;
    case Qt::MiddleButton:
        button = mbMiddle;
        break;
    default:
        event->ignore();
        return;
    }
    const QPoint p = event->position().toPoint();
    CallGuiHandler([&] { MouseUp(button, event->modifiers(), p.x(), p.y()); });
    event->accept();
}
