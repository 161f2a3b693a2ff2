#pragma once

#include <QAbstractScrollArea>
#include <QColor>
#include <QFont>
#include <QFontMetrics>
#include <QHash>
#include <QRect>
#include <QStaticText>
#include <QString>

#include <cstdint>
#include <functional>
#include <optional>
#include <vector>

class QPainter;

// The font the alert windows are designed with ("Terminal", OEM character set,
// character height in pixels): the system's fixed-pitch font at that pixel size.
QFont TerminalFont(int pixelHeight = 12);

enum TFontStyle { fsBold = 0x1, fsItalic = 0x2, fsUnderline = 0x4, fsStrikeOut = 0x8 };
using TFontStyles = int;

// What a grid paints with: a font with its text colour, a brush for fills and a
// pen for lines. Text can be measured at any time; drawing works only inside
// the grid's paint event, where the grid attaches its painter.
class TCanvas
{
public:
    explicit TCanvas(const QPaintDevice *device = nullptr);
    TCanvas(const TCanvas &) = delete;
    TCanvas &operator=(const TCanvas &) = delete;

    const QFont &Font() const { return FFont; }
    void SetFont(const QFont &font);
    TFontStyles FontStyle() const;
    void SetFontStyle(TFontStyles style);

    QColor FontColor = Qt::black;  // text
    QColor BrushColor = Qt::white; // FillRect
    QColor PenColor = Qt::black;   // lines

    int TextWidth(const QString &text) const;
    int TextHeight(const QString &text) const;

    void FillRect(const QRect &rect);
    // Draws the text with its top left corner at x, y, clipped to the rectangle,
    // without painting a background behind it.
    void TextRect(const QRect &rect, int x, int y, const QString &text);
    // A raised inner edge around the rectangle: light on the top and left, shadow
    // on the bottom and right, one pixel wide, inside the rectangle.
    void DrawRaisedInnerEdge(const QRect &rect);

    // Called for every TextRect with its arguments; lets tests see what was drawn.
    std::function<void(const QRect &rect, int x, int y, const QString &text)> OnTextRect;

    // The grid attaches its painter for the length of a paint event.
    void Attach(QPainter *painter);
    void Detach();
    bool Painting() const { return FPainter != nullptr; }

private:
    const QFontMetrics &Metrics() const;

    const QPaintDevice *FDevice;
    QFont FFont;
    mutable std::optional<QFontMetrics> FMetrics;
    // Widths measured with FMetrics: every repaint measures the same texts
    // again, and shaping them is the larger part of painting a cell.
    mutable QHash<QString, int> FWidths;
    // The same texts laid out once for drawing: a repaint during a flood
    // draws mostly texts it drew before, and laying them out again costs as
    // much as drawing them.
    const QStaticText &StaticText(const QString &text) const;
    mutable QHash<QString, QStaticText> FStaticTexts;
    QPainter *FPainter = nullptr;
};

enum TGridOption {
    goColSizing = 0x1,     // the user drags column borders in the header rows
    goThumbTracking = 0x2, // the grid scrolls while the scroll bar thumb is dragged
};
using TGridOptions = int;

enum TGridDrawStateFlag { gdSelected = 0x1, gdFocused = 0x2, gdFixed = 0x4 };
using TGridDrawState = int;

enum TMouseButton { mbLeft, mbRight, mbMiddle };
using TShiftState = Qt::KeyboardModifiers;

// A grid that paints every cell itself: fixed header rows (and columns) that do
// not scroll, rows of one height, per-column widths, scrolling by whole rows and
// columns. Cells abut; there are no grid lines, no selection and no editing.
class TDrawGrid : public QAbstractScrollArea
{
    Q_OBJECT
public:
    explicit TDrawGrid(QWidget *parent = nullptr);
    ~TDrawGrid() override;

    int ColCount() const { return static_cast<int>(FColWidths.size()); }
    void SetColCount(int count);
    int RowCount() const { return FRowCount; }
    void SetRowCount(int count);
    int FixedCols() const { return FFixedCols; }
    void SetFixedCols(int count);
    int FixedRows() const { return FFixedRows; }
    void SetFixedRows(int count);

    // Setting the default width or height resets every column or row to it.
    int DefaultColWidth() const { return FDefaultColWidth; }
    void SetDefaultColWidth(int width);
    int DefaultRowHeight() const { return FDefaultRowHeight; }
    void SetDefaultRowHeight(int height);
    int ColWidths(int column) const;
    void SetColWidths(int column, int width);

    TGridOptions Options() const { return FOptions; }
    void SetOptions(TGridOptions options);

    // When on, each cell is filled (and a fixed cell edged) before DrawCell.
    bool DefaultDrawing() const { return FDefaultDrawing; }
    void SetDefaultDrawing(bool on) { FDefaultDrawing = on; }
    // Kept for the grids that ask for it; Qt's backing store already paints
    // every widget off screen first.
    bool DoubleBuffered() const { return FDoubleBuffered; }
    void SetDoubleBuffered(bool on) { FDoubleBuffered = on; }

    QColor Color() const { return FColor; }
    void SetColor(const QColor &color);
    QColor FixedColor() const { return FFixedColor; }
    void SetFixedColor(const QColor &color);
    bool Ctl3D() const { return FCtl3D; }
    void SetCtl3D(bool on);

    // First scrollable row and column in view.
    int TopRow() const { return FTopRow; }
    void SetTopRow(int row);
    int LeftCol() const { return FLeftCol; }

    // Paints a cell when no subclass overrides DrawCell.
    std::function<void(int column, int row, const QRect &rect, TGridDrawState state)> OnDrawCell;

    TCanvas &Canvas() { return FCanvas; }
    const TCanvas &Canvas() const { return FCanvas; }

    // The rectangle of a cell in client (viewport) coordinates; empty when the
    // cell is out of view.
    QRect CellRect(int column, int row) const;
    // The cell under a client point; column and row are both -1 when the point
    // lies outside every cell.
    void MouseToCell(int x, int y, int &column, int &row) const;

    // Asks for a repaint; requests are merged until the event loop paints.
    void Invalidate();

    // Paint events handled so far.
    std::uint64_t PaintCount = 0;

protected:
    virtual void DrawCell(int column, int row, const QRect &rect, TGridDrawState state);
    // Called when a mouse button is released over the grid, with client
    // coordinates; overrides call the base first (it ends a column drag).
    virtual void MouseUp(TMouseButton button, TShiftState shift, int x, int y);
    // Called every time the layout is computed, before the scroll bars are
    // chosen: clearing a flag keeps that scroll bar hidden.
    virtual void CalcScrollBars(bool &horizontal, bool &vertical);

    void paintEvent(QPaintEvent *event) override;
    bool event(QEvent *event) override;
    void showEvent(QShowEvent *event) override;
    void changeEvent(QEvent *event) override;
    void mousePressEvent(QMouseEvent *event) override;
    void mouseMoveEvent(QMouseEvent *event) override;
    void mouseReleaseEvent(QMouseEvent *event) override;
    void scrollContentsBy(int dx, int dy) override;

    void UpdateLayout();

private:
    int FixedHeight() const;
    int FixedWidth() const;
    int SizingColumnAt(int x, int y) const;
    void PaintCells(QPainter &painter, const QRect &dirty);

    TCanvas FCanvas;
    std::vector<int> FColWidths;
    int FRowCount = 0;
    int FFixedCols = 0;
    int FFixedRows = 0;
    int FDefaultColWidth = 64;
    int FDefaultRowHeight = 24;
    TGridOptions FOptions = 0;
    bool FDefaultDrawing = true;
    bool FDoubleBuffered = false;
    QColor FColor = Qt::white;
    QColor FFixedColor = QColor(240, 240, 240);
    bool FCtl3D = true;
    int FTopRow = 0;
    int FLeftCol = 0;
    QSize FScrollBarExtent; // width of the vertical bar, height of the horizontal one
    bool FInLayout = false;
    bool FLayoutAgain = false;
    int FSizingColumn = -1;
    int FSizingLeft = 0;
    int FSizingOffset = 0;
};
