#include "DrawGrid.h"

#include "ErrorDisplay.h"
#include "EventLoop.h"
#include "Exceptions.h"

#include <QApplication>
#include <QFontMetrics>
#include <QImage>
#include <QPainter>
#include <QMouseEvent>
#include <QScrollBar>

#include <gtest/gtest.h>

#include <map>
#include <string>
#include <utility>
#include <vector>

namespace {

struct TPaintedCell
{
    int Column;
    int Row;
    QRect Rect;
    TGridDrawState State;
};

struct TMouseUpCall
{
    TMouseButton Button;
    int X;
    int Y;
};

// A grid whose hooks a test can watch and steer.
class TProbeGrid : public TDrawGrid
{
public:
    using TDrawGrid::TDrawGrid;

    bool AllowHorizontal = true;
    bool AllowVertical = true;
    int LayoutHookCalls = 0;
    std::vector<TMouseUpCall> MouseUps;
    bool ThrowOnMouseUp = false;

protected:
    void CalcScrollBars(bool &horizontal, bool &vertical) override
    {
        ++LayoutHookCalls;
        horizontal = horizontal && AllowHorizontal;
        vertical = vertical && AllowVertical;
    }
    void MouseUp(TMouseButton button, TShiftState shift, int x, int y) override
    {
        TDrawGrid::MouseUp(button, shift, x, y);
        MouseUps.push_back({button, x, y});
        if (ThrowOnMouseUp)
            throw Exception("link failed");
    }
};

void SendMouse(QWidget *target, QEvent::Type type, QPoint p, Qt::MouseButton button, Qt::MouseButtons buttons)
{
    QMouseEvent event(type, QPointF(p), QPointF(target->mapToGlobal(p)), button, buttons, Qt::NoModifier);
    QApplication::sendEvent(target, &event);
}

void Click(TDrawGrid &grid, QPoint p, Qt::MouseButton button = Qt::LeftButton)
{
    SendMouse(grid.viewport(), QEvent::MouseButtonPress, p, button, button);
    SendMouse(grid.viewport(), QEvent::MouseButtonRelease, p, button, Qt::NoButton);
}

void Drag(TDrawGrid &grid, QPoint from, QPoint to)
{
    SendMouse(grid.viewport(), QEvent::MouseButtonPress, from, Qt::LeftButton, Qt::LeftButton);
    SendMouse(grid.viewport(), QEvent::MouseMove, to, Qt::NoButton, Qt::LeftButton);
    SendMouse(grid.viewport(), QEvent::MouseButtonRelease, to, Qt::LeftButton, Qt::NoButton);
}

// 4 columns of 50 pixels, a header row and 2 data rows of 20 pixels, in a
// 300 x 200 window: the cells cover 200 x 60 pixels.
class DrawGridTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        Window.resize(300, 200);
        Grid = new TProbeGrid(&Window);
        Grid->setGeometry(0, 0, 300, 200);
        Grid->SetColCount(4);
        Grid->SetRowCount(3);
        Grid->SetFixedCols(0);
        Grid->SetFixedRows(1);
        Grid->SetDefaultColWidth(50);
        Grid->SetDefaultRowHeight(20);
        Grid->OnDrawCell = [this](int column, int row, const QRect &rect, TGridDrawState state) {
            Cells.push_back({column, row, rect, state});
        };
        Window.show();
    }

    QImage Render()
    {
        Cells.clear();
        return Grid->grab().toImage();
    }

    const TPaintedCell *PaintedAt(int column, int row) const
    {
        for (const TPaintedCell &cell : Cells)
            if (cell.Column == column && cell.Row == row)
                return &cell;
        return nullptr;
    }

    QWidget Window;
    TProbeGrid *Grid = nullptr;
    std::vector<TPaintedCell> Cells;
};

TEST_F(DrawGridTest, PaintsEveryVisibleCellOnceAndMarksTheHeaderFixed)
{
    const auto paintsBefore = Grid->PaintCount;
    Render();
    EXPECT_GT(Grid->PaintCount, paintsBefore);

    ASSERT_EQ(Cells.size(), 12u);
    std::map<std::pair<int, int>, int> seen;
    for (const TPaintedCell &cell : Cells) {
        ++seen[{cell.Column, cell.Row}];
        EXPECT_EQ(cell.Rect, QRect(cell.Column * 50, cell.Row * 20, 50, 20));
        EXPECT_EQ(cell.State == gdFixed, cell.Row == 0) << cell.Column << "," << cell.Row;
    }
    EXPECT_EQ(seen.size(), 12u);
}

TEST_F(DrawGridTest, DefaultDrawingFillsCellsEdgesTheHeaderAndFillsTheRestWithColor)
{
    Grid->SetColor(QColor(10, 20, 30));
    Grid->SetFixedColor(QColor(240, 240, 240));
    const QImage image = Render();

    EXPECT_EQ(image.pixelColor(25, 30), QColor(10, 20, 30));    // data cell
    EXPECT_EQ(image.pixelColor(25, 10), QColor(240, 240, 240)); // header cell inside its edge
    EXPECT_EQ(image.pixelColor(250, 10), QColor(10, 20, 30));   // beside the last column
    EXPECT_EQ(image.pixelColor(25, 150), QColor(10, 20, 30));   // below the last row
    // Raised inner edge: light top and left, shadow bottom and right.
    EXPECT_EQ(image.pixelColor(0, 0), QColor(255, 255, 255));
    EXPECT_EQ(image.pixelColor(25, 0), QColor(255, 255, 255));
    EXPECT_EQ(image.pixelColor(0, 10), QColor(255, 255, 255));
    EXPECT_EQ(image.pixelColor(25, 19), QColor(160, 160, 160));
    EXPECT_EQ(image.pixelColor(49, 10), QColor(160, 160, 160));

    Grid->SetCtl3D(false);
    EXPECT_EQ(Render().pixelColor(0, 0), QColor(240, 240, 240));
}

TEST_F(DrawGridTest, CellRectOfVisibleAndInvalidCells)
{
    EXPECT_EQ(Grid->CellRect(1, 1), QRect(50, 20, 50, 20));
    EXPECT_EQ(Grid->CellRect(3, 0), QRect(150, 0, 50, 20));
    EXPECT_TRUE(Grid->CellRect(4, 1).isEmpty());
    EXPECT_TRUE(Grid->CellRect(0, 3).isEmpty());
    EXPECT_TRUE(Grid->CellRect(-1, 0).isEmpty());
}

TEST_F(DrawGridTest, ColumnCountAndDefaultWidthSetColumnWidths)
{
    Grid->SetColWidths(1, 70);
    Grid->SetColCount(6);
    EXPECT_EQ(Grid->ColWidths(1), 70);
    EXPECT_EQ(Grid->ColWidths(5), 50);
    Grid->SetDefaultColWidth(30);
    EXPECT_EQ(Grid->ColWidths(1), 30);
    EXPECT_EQ(Grid->CellRect(2, 1), QRect(60, 20, 30, 20));
}

TEST_F(DrawGridTest, FixedRowsMustStayBelowTheRowCount)
{
    EXPECT_THROW(Grid->SetFixedRows(3), EAssertionFailed);
    EXPECT_THROW(Grid->SetFixedCols(4), EAssertionFailed);
    Grid->SetRowCount(1);
    EXPECT_EQ(Grid->FixedRows(), 0);
}

struct TMouseToCellCase
{
    std::string Name;
    QPoint Point;
    int Column;
    int Row;
};

class DrawGridMouseToCellTest : public DrawGridTest, public ::testing::WithParamInterface<TMouseToCellCase>
{
};

TEST_P(DrawGridMouseToCellTest, MapsThePointToItsCell)
{
    const TMouseToCellCase &c = GetParam();
    int column = 99;
    int row = 99;
    Grid->MouseToCell(c.Point.x(), c.Point.y(), column, row);
    EXPECT_EQ(column, c.Column);
    EXPECT_EQ(row, c.Row);
}

INSTANTIATE_TEST_SUITE_P(Points, DrawGridMouseToCellTest,
                         ::testing::Values(TMouseToCellCase{"HeaderFirstCell", {0, 0}, 0, 0},
                                           TMouseToCellCase{"HeaderLastPixel", {199, 19}, 3, 0},
                                           TMouseToCellCase{"DataCell", {60, 25}, 1, 1},
                                           TMouseToCellCase{"LastDataPixel", {199, 59}, 3, 2},
                                           TMouseToCellCase{"BesideTheLastColumn", {200, 30}, -1, -1},
                                           TMouseToCellCase{"BelowTheLastRow", {30, 60}, -1, -1},
                                           TMouseToCellCase{"BesideAndBelow", {250, 150}, -1, -1},
                                           TMouseToCellCase{"LeftOfTheGrid", {-1, 10}, -1, -1},
                                           TMouseToCellCase{"AboveTheGrid", {10, -1}, -1, -1}),
                         [](const ::testing::TestParamInfo<TMouseToCellCase> &info) {
                             return info.param.Name;
                         });

TEST_F(DrawGridTest, ScrollsWholeRowsUnderAFixedHeader)
{
    Grid->SetRowCount(30); // 600 pixels of rows in a 200 pixel window
    ASSERT_TRUE(Grid->verticalScrollBar()->isVisible());
    EXPECT_FALSE(Grid->horizontalScrollBar()->isVisible());

    Grid->verticalScrollBar()->setValue(5);
    EXPECT_EQ(Grid->TopRow(), 6);
    Render();
    ASSERT_NE(PaintedAt(0, 0), nullptr);
    EXPECT_EQ(PaintedAt(0, 0)->Rect.top(), 0);
    ASSERT_NE(PaintedAt(0, 6), nullptr);
    EXPECT_EQ(PaintedAt(0, 6)->Rect.top(), 20);
    EXPECT_EQ(PaintedAt(0, 5), nullptr);
    int column = 0;
    int row = 0;
    Grid->MouseToCell(10, 25, column, row);
    EXPECT_EQ(row, 6);

    // At the end of the range the last row is fully in view.
    Grid->verticalScrollBar()->setValue(Grid->verticalScrollBar()->maximum());
    const QRect last = Grid->CellRect(0, 29);
    ASSERT_FALSE(last.isEmpty());
    EXPECT_LE(last.bottom(), Grid->viewport()->height() - 1);
    EXPECT_GT(last.bottom() + 20, Grid->viewport()->height() - 1);
}

TEST_F(DrawGridTest, ScrollBarsFollowTheContentUnlessTheHookRemovesThem)
{
    Grid->SetDefaultColWidth(200); // 800 pixels of columns
    EXPECT_TRUE(Grid->horizontalScrollBar()->isVisible());
    EXPECT_FALSE(Grid->verticalScrollBar()->isVisible());

    Grid->AllowHorizontal = false;
    Grid->resize(299, 200);
    EXPECT_FALSE(Grid->horizontalScrollBar()->isVisible());
    EXPECT_EQ(Grid->LeftCol(), 0);

    Grid->SetRowCount(30);
    EXPECT_TRUE(Grid->verticalScrollBar()->isVisible());
    EXPECT_FALSE(Grid->horizontalScrollBar()->isVisible());

    Grid->AllowVertical = false;
    Grid->resize(300, 200);
    EXPECT_FALSE(Grid->verticalScrollBar()->isVisible());
    EXPECT_GT(Grid->LayoutHookCalls, 0);
}

TEST_F(DrawGridTest, ThumbTrackingIsAnOption)
{
    Grid->SetOptions(goThumbTracking);
    EXPECT_TRUE(Grid->verticalScrollBar()->hasTracking());
    Grid->SetOptions(0);
    EXPECT_FALSE(Grid->verticalScrollBar()->hasTracking());
}

struct TDragCase
{
    std::string Name;
    TGridOptions Options;
    QPoint From;
    QPoint To;
    int ExpectedWidth;
};

class DrawGridColumnSizingTest : public DrawGridTest, public ::testing::WithParamInterface<TDragCase>
{
};

TEST_P(DrawGridColumnSizingTest, DragsTheColumnBorderInTheHeaderOnly)
{
    const TDragCase &c = GetParam();
    Grid->SetOptions(c.Options);
    Drag(*Grid, c.From, c.To);
    EXPECT_EQ(Grid->ColWidths(0), c.ExpectedWidth);
    EXPECT_EQ(Grid->ColWidths(1), 50);
    ASSERT_EQ(Grid->MouseUps.size(), 1u); // the release still reaches MouseUp
}

INSTANTIATE_TEST_SUITE_P(
    Drags, DrawGridColumnSizingTest,
    ::testing::Values(TDragCase{"WiderFromTheBorder", goColSizing, {50, 10}, {80, 10}, 80},
                      TDragCase{"NarrowerFromJustLeftOfTheBorder", goColSizing, {48, 10}, {28, 12}, 30},
                      TDragCase{"DownToNothing", goColSizing, {50, 10}, {-20, 10}, 0},
                      TDragCase{"SizingOff", goThumbTracking, {50, 10}, {80, 10}, 50},
                      TDragCase{"InADataRow", goColSizing, {50, 30}, {80, 30}, 50},
                      TDragCase{"AwayFromTheBorder", goColSizing, {25, 10}, {80, 10}, 50}),
    [](const ::testing::TestParamInfo<TDragCase> &info) { return info.param.Name; });

TEST_F(DrawGridTest, MouseUpGetsTheButtonAndClientCoordinates)
{
    Click(*Grid, {60, 25});
    Click(*Grid, {70, 5}, Qt::RightButton);
    Click(*Grid, {80, 45}, Qt::MiddleButton);
    ASSERT_EQ(Grid->MouseUps.size(), 3u);
    EXPECT_EQ(Grid->MouseUps[0].Button, mbLeft);
    EXPECT_EQ(Grid->MouseUps[0].X, 60);
    EXPECT_EQ(Grid->MouseUps[0].Y, 25);
    EXPECT_EQ(Grid->MouseUps[1].Button, mbRight);
    EXPECT_EQ(Grid->MouseUps[2].Button, mbMiddle);
    EXPECT_EQ(Grid->MouseUps[2].Y, 45);
}

TEST_F(DrawGridTest, AnErrorInMouseUpReachesTheErrorDisplay)
{
    std::vector<std::string> shown;
    SetExceptionDisplayForTesting([&](const std::string &text) { shown.push_back(text); });
    Grid->ThrowOnMouseUp = true;
    Click(*Grid, {60, 25});
    SetExceptionDisplayForTesting(nullptr);
    ASSERT_EQ(shown.size(), 1u);
    EXPECT_NE(shown[0].find("link failed"), std::string::npos);
}

TEST_F(DrawGridTest, RepaintRequestsAreMergedIntoOnePaint)
{
    ASSERT_TRUE(WaitFor([&] { return Grid->PaintCount > 0; }));
    ProcessPostedEvents();
    const auto before = Grid->PaintCount;
    for (int i = 0; i < 5; ++i)
        Grid->Invalidate();
    ASSERT_TRUE(WaitFor([&] { return Grid->PaintCount > before; }));
    ProcessPostedEvents();
    EXPECT_EQ(Grid->PaintCount, before + 1);
}

TEST_F(DrawGridTest, TextIsClippedToItsRectangleWithoutABackground)
{
    Grid->SetColor(QColor(0, 0, 0));
    Grid->OnDrawCell = [this](int column, int row, const QRect &rect, TGridDrawState) {
        if (column == 1 && row == 1) {
            Grid->Canvas().FontColor = QColor(255, 0, 0);
            // Starts inside the cell and runs far past its right side.
            Grid->Canvas().TextRect(rect, rect.left() + 20, rect.top(), QStringLiteral("WWWWWWWWWW"));
        }
    };
    const QImage image = Render();
    int insideRed = 0;
    int outsideNotBlack = 0;
    for (int y = 20; y < 40; ++y) {
        for (int x = 0; x < 200; ++x) {
            const QColor pixel = image.pixelColor(x, y);
            if (x >= 50 && x < 100) {
                if (pixel == QColor(255, 0, 0))
                    ++insideRed;
            } else if (pixel != QColor(0, 0, 0)) {
                ++outsideNotBlack;
            }
        }
    }
    EXPECT_GT(insideRed, 0);
    EXPECT_EQ(outsideNotBlack, 0);
    // No background behind the text: the cell's left part keeps its fill.
    EXPECT_EQ(image.pixelColor(55, 30), QColor(0, 0, 0));
}

TEST_F(DrawGridTest, CanvasMeasuresTextAndFollowsTheGridFont)
{
    const TCanvas &canvas = Grid->Canvas();
    EXPECT_GT(canvas.TextHeight(QStringLiteral("Xy()")), 0);
    EXPECT_GT(canvas.TextWidth(QStringLiteral("WW")), canvas.TextWidth(QStringLiteral("W")));
    EXPECT_EQ(canvas.TextWidth(QString()), 0);

    Window.setFont(TerminalFont(20));
    EXPECT_EQ(Grid->Canvas().Font().pixelSize(), 20);

    Grid->Canvas().SetFontStyle(fsBold | fsItalic);
    EXPECT_EQ(Grid->Canvas().FontStyle(), fsBold | fsItalic);
    Grid->Canvas().SetFontStyle(0);
    EXPECT_EQ(Grid->Canvas().FontStyle(), 0);
}

TEST(CanvasTest, WidthsAreMeasuredWithTheCurrentFont)
{
    // Measured widths are kept; a new font must measure afresh.
    TCanvas canvas;
    const QString text = QStringLiteral("100.00");
    canvas.SetFont(TerminalFont(10));
    const int small = canvas.TextWidth(text);
    EXPECT_EQ(canvas.TextWidth(text), small);
    EXPECT_EQ(small, QFontMetrics(TerminalFont(10)).horizontalAdvance(text));

    canvas.SetFont(TerminalFont(30));
    EXPECT_EQ(canvas.TextWidth(text), QFontMetrics(TerminalFont(30)).horizontalAdvance(text));
    EXPECT_GT(canvas.TextWidth(text), small);

    canvas.SetFontStyle(fsBold);
    QFont bold = TerminalFont(30);
    bold.setBold(true);
    EXPECT_EQ(canvas.TextWidth(text), QFontMetrics(bold).horizontalAdvance(text));

    // Many different texts: every one still measures right.
    for (int i = 0; i < 5000; ++i) {
        const QString number = QString::number(i);
        ASSERT_EQ(canvas.TextWidth(number), QFontMetrics(bold).horizontalAdvance(number)) << i;
    }
}

// Texts are laid out once and kept; what reaches the image must still be the
// text drawn at its baseline, in the canvas's current font.
TEST(CanvasTest, DrawsTextsAsThePainterDrawsThemAtTheBaseline)
{
    const auto drawnByCanvas = [](TCanvas &canvas, const QString &text) {
        QImage image(120, 40, QImage::Format_ARGB32_Premultiplied);
        image.fill(Qt::black);
        QPainter painter(&image);
        canvas.Attach(&painter);
        canvas.FontColor = Qt::white;
        canvas.TextRect(QRect(0, 0, 120, 40), 3, 5, text);
        canvas.Detach();
        return image;
    };
    const auto drawnByPainter = [](const QFont &font, const QString &text) {
        QImage image(120, 40, QImage::Format_ARGB32_Premultiplied);
        image.fill(Qt::black);
        QPainter painter(&image);
        painter.setFont(font);
        painter.setPen(Qt::white);
        painter.drawText(3, 5 + QFontMetrics(font).ascent(), text);
        return image;
    };

    TCanvas canvas;
    for (const int pixels : {12, 20}) {
        canvas.SetFont(TerminalFont(pixels));
        for (const QString &text : {QStringLiteral("310.25"), QStringLiteral("MSFT"), QStringLiteral("310.25")}) {
            SCOPED_TRACE(text.toStdString() + " at " + std::to_string(pixels) + " px");
            EXPECT_EQ(drawnByCanvas(canvas, text), drawnByPainter(TerminalFont(pixels), text));
        }
    }
}

TEST(TerminalFontTest, IsTheFixedPitchSystemFontAtTheGivenPixelSize)
{
    const QFont font = TerminalFont(12);
    EXPECT_EQ(font.pixelSize(), 12);
    const QFontMetrics metrics(font);
    EXPECT_EQ(metrics.horizontalAdvance(QStringLiteral("iiii")),
              metrics.horizontalAdvance(QStringLiteral("WWWW")));
}

} // namespace
