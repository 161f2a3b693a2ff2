#include "BollingerGrid.h"

#include "AlertGridTestSupport.h"

#include <QScrollBar>

#include <gtest/gtest.h>

#include <limits>
#include <string>
#include <vector>

namespace {

constexpr double NaN = std::numeric_limits<double>::quiet_NaN();

const QColor Black(0, 0, 0);
const QColor Green(100, 255, 100);
const QColor White(255, 255, 255);
const QColor Red(255, 75, 75);

TBollingerEntry Entry(std::string symbol, double last = NaN, double prevClose = NaN, double dist = NaN)
{
    return TBollingerEntry{std::move(symbol), last, prevClose, dist, 0};
}

class BollingerGridTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        Window.setFont(TerminalFont(12));
        Window.resize(401, 480);
        Grid = new TBollingerGrid(&Window);
        Grid->setGeometry(Window.rect());
        Grid->OnLinkSymbol = [this](const std::string &symbol) { Linked.push_back(symbol); };
        Window.show();
    }

    void Show(std::vector<TBollingerEntry> entries)
    {
        Grid->SetEntries(TBollingerEntries(std::move(entries)));
    }

    QWidget Window;
    TBollingerGrid *Grid = nullptr;
    std::vector<std::string> Linked;
};

TEST_F(BollingerGridTest, ConstructionValues)
{
    EXPECT_EQ(Grid->ColCount(), 4);
    EXPECT_EQ(Grid->RowCount(), 2);
    EXPECT_EQ(Grid->FixedRows(), 1);
    EXPECT_EQ(Grid->FixedCols(), 0);
    EXPECT_EQ(Grid->Options(), goColSizing | goThumbTracking);
    EXPECT_FALSE(Grid->DefaultDrawing());
    EXPECT_EQ(Grid->Color(), Black);
    const TCanvas &canvas = Grid->Canvas();
    EXPECT_EQ(Grid->DefaultRowHeight(), canvas.TextHeight(QStringLiteral("Xy()")) + 4);
    const char *const samples[] = {"Symbol", "100.00", "-1.93", "-13.3%"};
    for (int column = 0; column < 4; ++column)
        EXPECT_EQ(Grid->ColWidths(column), canvas.TextWidth(QString::fromLatin1(samples[column])) + 16)
            << samples[column];
}

struct TSignCase
{
    std::string Name;
    TBollingerEntry Entry;
    int Column;
    const char *Text; // "" for a blank cell
    QColor Color;
};

class BollingerSignTest : public BollingerGridTest, public ::testing::WithParamInterface<TSignCase>
{
};

TEST_P(BollingerSignTest, ColoursTheNumberBySign)
{
    const TSignCase &c = GetParam();
    Show({c.Entry});
    TTextRecorder recorder(*Grid);
    const QImage image = recorder.Render();
    EXPECT_EQ(recorder.TextAt(c.Column, 1), QString::fromLatin1(c.Text));
    if (const auto drawn = recorder.At(c.Column, 1)) {
        EXPECT_EQ(drawn->Color, c.Color);
        EXPECT_TRUE(HasInk(image, Grid->CellRect(c.Column, 1), Black, c.Color));
    }
}

INSTANTIATE_TEST_SUITE_P(
    Values, BollingerSignTest,
    ::testing::Values(TSignCase{"PositiveLastIsGreen", Entry("X", 25, 26, -2.5), 1, "25.00", Green},
                      TSignCase{"FallIsRed", Entry("X", 25, 26, -2.5), 2, "-1.00", Red},
                      TSignCase{"RiseIsGreen", Entry("X", 27, 26, -2.5), 2, "1.00", Green},
                      TSignCase{"NoChangeIsWhite", Entry("X", 26, 26, -2.5), 2, "0.00", White},
                      TSignCase{"NegativeDistanceIsRed", Entry("X", 25, 26, -2.5), 3, "-2.50", Red},
                      TSignCase{"PositiveDistanceIsGreen", Entry("X", 25, 26, 1.25), 3, "1.25", Green},
                      TSignCase{"MissingDistanceIsBlank", Entry("X", 25, 26, NaN), 3, "", White},
                      TSignCase{"MissingLastBlanksLast", Entry("X", NaN, 26, 1), 1, "", White},
                      TSignCase{"MissingLastBlanksChange", Entry("X", NaN, 26, 1), 2, "", White},
                      TSignCase{"MissingPrevCloseBlanksChange", Entry("X", 25, NaN, 1), 2, "", White},
                      TSignCase{"SymbolIsWhite", Entry("DOWN", -5, 26, -2.5), 0, "DOWN", White}),
    [](const ::testing::TestParamInfo<TSignCase> &info) { return info.param.Name; });

TEST_F(BollingerGridTest, HeaderIsBlackOnTheFixedColourAndNoRowIsInverted)
{
    Show({Entry("AAA", 1, 1, 1), Entry("BBB", 2, 1, 1)});
    TTextRecorder recorder(*Grid);
    const QImage image = recorder.Render();
    const char *const captions[] = {"Symbol", "Last", "Chg", "BBand"};
    for (int column = 0; column < 4; ++column) {
        const auto header = recorder.At(column, 0);
        ASSERT_TRUE(header) << column;
        EXPECT_EQ(header->Text, QString::fromLatin1(captions[column]));
        EXPECT_EQ(header->Color, Black);
        const QRect cell = Grid->CellRect(column, 1);
        EXPECT_EQ(image.pixelColor(cell.left() + 1, cell.top() + 1), Black) << column;
    }
    EXPECT_EQ(image.pixelColor(Grid->CellRect(0, 0).center().x(), 2), Grid->FixedColor());
    EXPECT_TRUE(HasInk(image, Grid->CellRect(0, 0).adjusted(1, 1, -1, -1), Grid->FixedColor(), Black));
}

TEST_F(BollingerGridTest, NarrowedColumnShowsDots)
{
    Show({Entry("AAA", 100, 99, -2.5)});
    Grid->SetColWidths(1, Grid->Canvas().TextWidth(QStringLiteral("100.00")) + 5);
    TTextRecorder recorder(*Grid);
    recorder.Render();
    EXPECT_EQ(recorder.TextAt(1, 1), QStringLiteral("..."));
    EXPECT_EQ(recorder.TextAt(3, 1), QStringLiteral("-2.50"));
}

TEST_F(BollingerGridTest, LosingTheLastEntryLeavesTheHeaderAndOneEmptyRow)
{
    Show({Entry("AAA", 1, 1, 1), Entry("BBB", 1, 1, 1), Entry("CCC", 1, 1, 1)});
    EXPECT_EQ(Grid->RowCount(), 4);
    Show({});
    EXPECT_EQ(Grid->RowCount(), 2);
    TTextRecorder recorder(*Grid);
    recorder.Render();
    EXPECT_EQ(recorder.Drawn.size(), 4u); // the captions only
}

TEST_F(BollingerGridTest, LinksTheSymbolOfALeftClickedRowOnly)
{
    Show({Entry("AAA", 1, 1, 3), Entry("BBB", 1, 1, 2), Entry("CCC", 1, 1, 1)});
    ClickGrid(*Grid, CellCentre(*Grid, 3, 2));
    ClickGrid(*Grid, CellCentre(*Grid, 0, 3), Qt::RightButton);
    ClickGrid(*Grid, CellCentre(*Grid, 1, 0));
    ClickGrid(*Grid, QPoint(5, Grid->CellRect(0, 3).bottom() + 5));
    EXPECT_EQ(Linked, std::vector<std::string>{"BBB"});
}

TEST_F(BollingerGridTest, NeverShowsAHorizontalScrollBar)
{
    Grid->resize(40, 480);
    EXPECT_FALSE(Grid->horizontalScrollBar()->isVisible());
    std::vector<TBollingerEntry> many(60, Entry("S", 1, 1, 1));
    Show(many);
    EXPECT_FALSE(Grid->horizontalScrollBar()->isVisible());
    EXPECT_TRUE(Grid->verticalScrollBar()->isVisible());
}

TEST_F(BollingerGridTest, KeepsItsOwnCopyOfTheList)
{
    TBollingerEntries list{Entry("AAA", 1, 1, 1)};
    Grid->SetEntries(list);
    list.Edit()[0].Symbol = "ZZZ";
    list.Edit().push_back(Entry("BBB"));
    ASSERT_EQ(Grid->Entries().size(), 1u);
    EXPECT_EQ(Grid->Entries()[0].Symbol, "AAA");
}

} // namespace
