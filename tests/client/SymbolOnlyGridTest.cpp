#include "SymbolOnlyGrid.h"

#include "AlertGridTestSupport.h"

#include <QScrollBar>

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

const QColor Black(0, 0, 0);
const QColor Yellow(255, 255, 0);

std::string S(int n)
{
    return "S" + std::to_string(n);
}

// A board of 3 columns and 4 data rows (capacity 12), with a strip of half a
// cell to the right of the last column and below the last row.
class SymbolOnlyGridTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        Window.setFont(TerminalFont(12));
        Window.resize(600, 600);
        Grid = new TSymbolOnlyGrid(&Window);
        Grid->SetAlertColor(Yellow);
        Grid->OnLinkSymbol = [this](const std::string &symbol) { Linked.push_back(symbol); };
        Window.show();
        ResizeToCells(3, 5);
    }

    void ResizeToCells(int columns, int rows, int extraWidth = -1, int extraHeight = -1)
    {
        const int cw = Grid->DefaultColWidth();
        const int rh = Grid->DefaultRowHeight();
        Grid->resize(columns * cw + (extraWidth < 0 ? cw / 2 : extraWidth),
                     rows * rh + (extraHeight < 0 ? rh / 2 : extraHeight));
    }

    // One new alert, as the window hands it over.
    void Alert(const std::string &symbol)
    {
        TQuickStrikeEntry entry;
        entry.Symbol = symbol;
        List.InsertFront(entry, 1000);
        Grid->SetEntries(List);
    }
    void Alerts(int first, int last)
    {
        for (int n = first; n <= last; ++n)
            Alert(S(n));
    }

    bool Inverted(const QImage &image, int column, int row) const
    {
        const QRect cell = Grid->CellRect(column, row);
        return image.pixelColor(cell.left() + 1, cell.top() + 1) == Yellow;
    }

    QWidget Window;
    TSymbolOnlyGrid *Grid = nullptr;
    TQuickStrikeEntries List;
    std::vector<std::string> Linked;
};

TEST_F(SymbolOnlyGridTest, ConstructionValues)
{
    TSymbolOnlyGrid fresh(&Window);
    const TCanvas &canvas = fresh.Canvas();
    EXPECT_EQ(fresh.DefaultColWidth(), canvas.TextWidth(QStringLiteral("Symbol")) + 16);
    EXPECT_EQ(fresh.SampleWidth(QStringLiteral("Symbol")), fresh.DefaultColWidth());
    EXPECT_EQ(fresh.DefaultRowHeight(), canvas.TextHeight(QStringLiteral("Xy()")) + 4);
    EXPECT_EQ(fresh.Options(), goThumbTracking);
    EXPECT_EQ(fresh.FixedRows(), 1);
    EXPECT_EQ(fresh.FixedCols(), 0);
    EXPECT_EQ(fresh.Color(), Black);
    EXPECT_EQ(fresh.AlertColor(), QColor(255, 255, 255));
    EXPECT_EQ(fresh.Newest(), -1);
    EXPECT_FALSE(fresh.Sized());
    fresh.SetCtl3D(false);
    EXPECT_EQ(fresh.SampleWidth(QStringLiteral("Symbol")), canvas.TextWidth(QStringLiteral("Symbol")) + 12);

    EXPECT_EQ(Grid->ColCount(), 3);
    EXPECT_EQ(Grid->RowCount(), 5);
    EXPECT_EQ(Grid->Capacity(), 12);
}

TEST_F(SymbolOnlyGridTest, AlertsFillTheBoardDownThenAcross)
{
    TTextRecorder recorder(*Grid);

    Alert("S1");
    QImage image = recorder.Render();
    EXPECT_EQ(recorder.TextAt(0, 1), QStringLiteral("S1"));
    EXPECT_TRUE(Inverted(image, 0, 1));
    EXPECT_EQ(recorder.At(0, 1)->Color, Black);
    EXPECT_TRUE(HasInk(image, Grid->CellRect(0, 1), Yellow, Black));
    EXPECT_TRUE(Grid->Sized());

    Alert("S2");
    image = recorder.Render();
    EXPECT_EQ(recorder.TextAt(0, 2), QStringLiteral("S2"));
    EXPECT_TRUE(Inverted(image, 0, 2));
    EXPECT_FALSE(Inverted(image, 0, 1));
    EXPECT_EQ(recorder.At(0, 1)->Color, Yellow);
    EXPECT_TRUE(HasInk(image, Grid->CellRect(0, 1), Black, Yellow));

    Alerts(3, 5);
    image = recorder.Render();
    EXPECT_EQ(recorder.TextAt(1, 1), QStringLiteral("S5"));
    EXPECT_TRUE(Inverted(image, 1, 1));
    EXPECT_EQ(recorder.TextAt(1, 2), QString());
    EXPECT_FALSE(Inverted(image, 1, 2));

    Alerts(6, 12);
    recorder.Render();
    for (int column = 0; column < 3; ++column)
        for (int row = 1; row <= 4; ++row)
            EXPECT_EQ(recorder.TextAt(column, row), QString::fromStdString(S(1 + (row - 1) + column * 4)))
                << column << "," << row;
    EXPECT_EQ(recorder.TextAt(0, 0), QStringLiteral("Symbol"));
    EXPECT_EQ(recorder.TextAt(2, 0), QStringLiteral("Symbol"));
}

TEST_F(SymbolOnlyGridTest, NewAlertsWrapAroundOverTheOldest)
{
    TTextRecorder recorder(*Grid);
    Alerts(1, 13);
    QImage image = recorder.Render();
    EXPECT_EQ(recorder.TextAt(0, 1), QStringLiteral("S13"));
    EXPECT_TRUE(Inverted(image, 0, 1));
    EXPECT_EQ(recorder.TextAt(0, 2), QStringLiteral("S2"));

    Alert("S14");
    image = recorder.Render();
    EXPECT_EQ(recorder.TextAt(0, 2), QStringLiteral("S14"));
    EXPECT_TRUE(Inverted(image, 0, 2));
    EXPECT_EQ(recorder.TextAt(0, 1), QStringLiteral("S13"));
    EXPECT_FALSE(Inverted(image, 0, 1));
    EXPECT_EQ(recorder.TextAt(0, 3), QStringLiteral("S3")); // the oldest one shown
    EXPECT_EQ(recorder.TextAt(2, 4), QStringLiteral("S12"));
}

TEST_F(SymbolOnlyGridTest, ResizingThatChangesTheCountsLaysTheBoardOutAfresh)
{
    TTextRecorder recorder(*Grid);
    Alerts(1, 6);

    ResizeToCells(2, 3); // 2 columns, 2 data rows: capacity 4
    EXPECT_EQ(Grid->Capacity(), 4);
    EXPECT_EQ(Grid->Newest(), 3);
    QImage image = recorder.Render();
    EXPECT_EQ(recorder.TextAt(0, 1), QStringLiteral("S3"));
    EXPECT_EQ(recorder.TextAt(0, 2), QStringLiteral("S4"));
    EXPECT_EQ(recorder.TextAt(1, 1), QStringLiteral("S5"));
    EXPECT_EQ(recorder.TextAt(1, 2), QStringLiteral("S6"));
    EXPECT_TRUE(Inverted(image, 1, 2));

    Alert("S7");
    image = recorder.Render();
    EXPECT_EQ(recorder.TextAt(0, 1), QStringLiteral("S7"));
    EXPECT_TRUE(Inverted(image, 0, 1));
    EXPECT_EQ(recorder.TextAt(0, 2), QStringLiteral("S4"));

    ResizeToCells(4, 5); // capacity 16: the seven fill positions 0 to 6
    EXPECT_EQ(Grid->Newest(), 6);
    recorder.Render();
    EXPECT_EQ(recorder.TextAt(0, 1), QStringLiteral("S1"));
    EXPECT_EQ(recorder.TextAt(1, 3), QStringLiteral("S7"));
}

TEST_F(SymbolOnlyGridTest, ResizingWithinTheSameCountsKeepsTheBoard)
{
    Alerts(1, 2);
    ResizeToCells(3, 5, 1, 1);
    EXPECT_EQ(Grid->ColCount(), 3);
    EXPECT_EQ(Grid->Newest(), 1);
}

TEST_F(SymbolOnlyGridTest, ClearingBlanksTheBoardAndStartsAgainAtTheTop)
{
    TTextRecorder recorder(*Grid);
    Alerts(1, 5);
    List.clear();
    Grid->SetEntries(List);
    EXPECT_EQ(Grid->Newest(), -1);
    QImage image = recorder.Render();
    EXPECT_EQ(recorder.Drawn.size(), 3u); // the three captions
    EXPECT_FALSE(Inverted(image, 0, 1));
    EXPECT_TRUE(Grid->Sized());

    Alert("N1");
    image = recorder.Render();
    EXPECT_EQ(recorder.TextAt(0, 1), QStringLiteral("N1"));
    EXPECT_TRUE(Inverted(image, 0, 1));
    EXPECT_EQ(recorder.Drawn.size(), 4u);
}

TEST_F(SymbolOnlyGridTest, ALongSymbolIsShortened)
{
    TTextRecorder recorder(*Grid);
    Alert("AVERYLONGSYMBOLNAME");
    recorder.Render();
    const QString text = recorder.TextAt(0, 1);
    ASSERT_TRUE(text.endsWith(QStringLiteral("...")));
    EXPECT_TRUE(QStringLiteral("AVERYLONGSYMBOLNAME").startsWith(text.chopped(3)));
    EXPECT_FALSE(text.chopped(3).isEmpty());
}

struct TBoardClickCase
{
    std::string Name;
    Qt::MouseButton Button;
    int Column; // -1: the strip right of the last column
    int Row;    // -1: the strip below the last row
    const char *Expected;
};

class SymbolOnlyClickTest : public SymbolOnlyGridTest, public ::testing::WithParamInterface<TBoardClickCase>
{
};

TEST_P(SymbolOnlyClickTest, LinksOnlyTheSymbolOfALeftClickedFilledCell)
{
    const TBoardClickCase &c = GetParam();
    Alerts(1, 14); // full board: every cell shows a symbol, newest in column 0 row 2
    QPoint point;
    if (c.Column >= 0 && c.Row >= 0)
        point = CellCentre(*Grid, c.Column, c.Row);
    else if (c.Column < 0)
        point = QPoint(Grid->CellRect(2, 1).right() + 3, CellCentre(*Grid, 0, c.Row).y());
    else
        point = QPoint(CellCentre(*Grid, c.Column, 1).x(), Grid->CellRect(0, 4).bottom() + 3);
    ClickGrid(*Grid, point, c.Button);
    if (c.Expected)
        EXPECT_EQ(Linked, std::vector<std::string>{c.Expected});
    else
        EXPECT_TRUE(Linked.empty());
}

INSTANTIATE_TEST_SUITE_P(
    Clicks, SymbolOnlyClickTest,
    ::testing::Values(TBoardClickCase{"InvertedCell", Qt::LeftButton, 0, 2, "S14"},
                      TBoardClickCase{"OldestCell", Qt::LeftButton, 0, 3, "S3"},
                      TBoardClickCase{"LastCell", Qt::LeftButton, 2, 4, "S12"},
                      TBoardClickCase{"RightButton", Qt::RightButton, 0, 2, nullptr},
                      TBoardClickCase{"Header", Qt::LeftButton, 1, 0, nullptr},
                      TBoardClickCase{"StripRightOfTheLastColumn", Qt::LeftButton, -1, 2, nullptr},
                      TBoardClickCase{"StripBelowTheLastRow", Qt::LeftButton, 1, -1, nullptr}),
    [](const ::testing::TestParamInfo<TBoardClickCase> &info) { return info.param.Name; });

TEST_F(SymbolOnlyGridTest, ClickOnABlankCellLinksNothing)
{
    Alerts(1, 2);
    ClickGrid(*Grid, CellCentre(*Grid, 1, 1));
    ClickGrid(*Grid, CellCentre(*Grid, 0, 3));
    EXPECT_TRUE(Linked.empty());
    ClickGrid(*Grid, CellCentre(*Grid, 0, 2));
    EXPECT_EQ(Linked, std::vector<std::string>{"S2"});
}

TEST_F(SymbolOnlyGridTest, CellToEntryRejectsCellsOffTheBoard)
{
    Alerts(1, 14);
    struct
    {
        int Column;
        int Row;
        bool Valid;
    } const cases[] = {{0, 2, true},   {2, 4, true},  {0, 0, false}, {-1, -1, false},
                       {-1, 2, false}, {3, 1, false}, {0, 5, false}};
    for (const auto &c : cases) {
        bool valid = !c.Valid;
        int index = -1;
        Grid->CellToEntry(c.Column, c.Row, valid, index);
        EXPECT_EQ(valid, c.Valid) << c.Column << "," << c.Row;
    }
    bool valid = false;
    int index = -1;
    Grid->CellToEntry(0, 2, valid, index);
    EXPECT_EQ(index, 0);
    Grid->CellToEntry(0, 3, valid, index);
    EXPECT_EQ(index, 11);
}

TEST_F(SymbolOnlyGridTest, NeverShowsAScrollBar)
{
    Alerts(1, 30);
    for (const QSize size : {QSize(5, 5), QSize(30, 30), QSize(1000, 40), QSize(40, 1000), QSize(400, 300)}) {
        Grid->resize(size);
        EXPECT_FALSE(Grid->horizontalScrollBar()->isVisible()) << size.width() << "x" << size.height();
        EXPECT_FALSE(Grid->verticalScrollBar()->isVisible()) << size.width() << "x" << size.height();
        EXPECT_GE(Grid->ColCount(), 1);
        EXPECT_GE(Grid->RowCount(), 2);
        EXPECT_EQ(Grid->Newest(), std::min(30, Grid->Capacity()) - 1);
    }
}

} // namespace
