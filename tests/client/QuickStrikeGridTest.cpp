#include "QuickStrikeGrid.h"

#include "AlertGridTestSupport.h"
#include "LinkTarget.h"

#include <QScrollBar>

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <string>
#include <vector>

namespace {

constexpr double NaN = std::numeric_limits<double>::quiet_NaN();

TQuickStrikeEntry Entry(std::string symbol, double last = NaN, double prevClose = NaN, double sma = NaN,
                        std::string time = "09:31:00")
{
    return TQuickStrikeEntry{std::move(symbol), last, prevClose, sma, std::move(time)};
}

const QColor Black(0, 0, 0);
const QColor LightRed(255, 75, 75);

// A quick-strike grid in a window of the alert windows' design size and font.
class QuickStrikeGridTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        Window.setFont(TerminalFont(12));
        Window.resize(401, 480);
        Grid = new TQuickStrikeGrid(&Window);
        Grid->setGeometry(Window.rect());
        Grid->OnLinkSymbol = [this](const std::string &symbol) { Linked.push_back(symbol); };
        Window.show();
    }

    void Show(std::vector<TQuickStrikeEntry> entries)
    {
        Grid->SetEntries(TQuickStrikeEntries(std::move(entries)));
    }

    QWidget Window;
    TQuickStrikeGrid *Grid = nullptr;
    std::vector<std::string> Linked;
};

TEST_F(QuickStrikeGridTest, ConstructionValues)
{
    EXPECT_EQ(Grid->ColCount(), 6);
    EXPECT_EQ(Grid->RowCount(), 2);
    EXPECT_EQ(Grid->FixedRows(), 1);
    EXPECT_EQ(Grid->FixedCols(), 0);
    EXPECT_EQ(Grid->Options(), goColSizing | goThumbTracking);
    EXPECT_FALSE(Grid->DefaultDrawing());
    EXPECT_TRUE(Grid->DoubleBuffered());
    EXPECT_EQ(Grid->Color(), Black);
    EXPECT_EQ(Grid->AlertColor(), QColor(255, 255, 255));

    const TCanvas &canvas = Grid->Canvas();
    EXPECT_EQ(canvas.Font().pixelSize(), 12); // the window's font
    EXPECT_EQ(Grid->DefaultRowHeight(), canvas.TextHeight(QStringLiteral("Xy()")) + 4);
    const char *const samples[] = {"Symbol", "100.00", "-1.93", "-13.3%", "-0.12", "00:00:00"};
    for (int column = 0; column < 6; ++column)
        EXPECT_EQ(Grid->ColWidths(column), canvas.TextWidth(QString::fromLatin1(samples[column])) + 16)
            << samples[column];

    Grid->SetCtl3D(false);
    Grid->SetColumnWidth(0, QStringLiteral("Symbol"));
    EXPECT_EQ(Grid->ColWidths(0), canvas.TextWidth(QStringLiteral("Symbol")) + 12);
}

TEST_F(QuickStrikeGridTest, WithoutOwnerKeepsTheBaseSizes)
{
    TQuickStrikeGrid orphan(nullptr);
    EXPECT_EQ(orphan.ColCount(), 6);
    EXPECT_EQ(orphan.DefaultRowHeight(), 24);
    EXPECT_EQ(orphan.ColWidths(0), 64);
}

TEST_F(QuickStrikeGridTest, EmptyGridShowsTheHeaderAndOneEmptyRowNotInverted)
{
    Grid->SetAlertColor(LightRed);
    TTextRecorder recorder(*Grid);
    const QImage image = recorder.Render();

    EXPECT_EQ(Grid->RowCount(), 2);
    const char *const captions[] = {"Symbol", "Last", "Chg", "%Chg", "Divrg", "Time"};
    ASSERT_EQ(recorder.Drawn.size(), 6u);
    for (int column = 0; column < 6; ++column) {
        EXPECT_EQ(recorder.TextAt(column, 0), QString::fromLatin1(captions[column]));
        EXPECT_EQ(recorder.At(column, 0)->Color, Black);
    }
    const QRect row1 = Grid->CellRect(0, 1);
    EXPECT_EQ(CountPixels(image, row1, Black), row1.width() * row1.height());
    EXPECT_EQ(image.pixelColor(Grid->CellRect(0, 0).center().x(), 2), Grid->FixedColor());
}

TEST_F(QuickStrikeGridTest, NewestRowIsInvertedAndTheOthersUseTheAlertColour)
{
    Grid->SetAlertColor(LightRed);
    Show({Entry("AAA", 10), Entry("BBB", 11), Entry("CCC", 12)});
    TTextRecorder recorder(*Grid);
    const QImage image = recorder.Render();

    EXPECT_EQ(Grid->RowCount(), 4);
    for (int column = 0; column < 6; ++column) {
        const QRect cell = Grid->CellRect(column, 1);
        EXPECT_EQ(image.pixelColor(cell.left() + 1, cell.top() + 1), LightRed) << column;
        const QRect lower = Grid->CellRect(column, 3);
        EXPECT_EQ(image.pixelColor(lower.left() + 1, lower.top() + 1), Black) << column;
    }
    EXPECT_EQ(recorder.At(0, 1)->Color, Black);
    EXPECT_EQ(recorder.At(1, 1)->Color, Black);
    EXPECT_EQ(recorder.At(0, 2)->Color, LightRed);
    EXPECT_EQ(recorder.At(1, 3)->Color, LightRed);
    // The text really is painted in those colours.
    EXPECT_TRUE(HasInk(image, Grid->CellRect(0, 1), LightRed, Black));
    EXPECT_TRUE(HasInk(image, Grid->CellRect(0, 2), Black, LightRed));
    EXPECT_FALSE(HasInk(image, Grid->CellRect(0, 2), Black, QColor(255, 255, 255)));
}

struct TNumberCase
{
    std::string Name;
    double Last;
    double PrevClose;
    double SmaDivergence;
    const char *Texts[4]; // columns 1 to 4; "" for a blank cell
};

class QuickStrikeNumberTest : public QuickStrikeGridTest, public ::testing::WithParamInterface<TNumberCase>
{
};

TEST_P(QuickStrikeNumberTest, ShowsTheNumberColumnsRightAligned)
{
    const TNumberCase &c = GetParam();
    Show({Entry("ABC", c.Last, c.PrevClose, c.SmaDivergence)});
    TTextRecorder recorder(*Grid);
    recorder.Render();
    for (int column = 1; column <= 4; ++column) {
        const QString expected = QString::fromLatin1(c.Texts[column - 1]);
        EXPECT_EQ(recorder.TextAt(column, 1), expected) << "column " << column;
        if (const auto drawn = recorder.At(column, 1)) {
            const int width = Grid->Canvas().TextWidth(drawn->Text);
            EXPECT_EQ(drawn->X + width, drawn->Rect.left() + drawn->Rect.width()) << "column " << column;
        }
    }
}

INSTANTIATE_TEST_SUITE_P(
    Values, QuickStrikeNumberTest,
    ::testing::Values(TNumberCase{"UpOnTheDay", 10.5, 10, 0.3, {"10.50", "0.50", "5.00%", "0.30"}},
                      TNumberCase{"DownOnTheDay", 9, 10, -1.93, {"9.00", "-1.00", "-10.00%", "-1.93"}},
                      TNumberCase{"ZeroPrevClose", 10.5, 0, NaN, {"10.50", "10.50", "", ""}},
                      TNumberCase{"NoLast", NaN, 10, -0.12, {"", "", "", "-0.12"}},
                      TNumberCase{"NoPrevClose", 10.5, NaN, NaN, {"10.50", "", "", ""}},
                      TNumberCase{
                          "LargeLastNoGrouping", 1234.5, 1000, 0, {"1234.50", "234.50", "23.45%", "0.00"}}),
    [](const ::testing::TestParamInfo<TNumberCase> &info) { return info.param.Name; });

TEST_F(QuickStrikeGridTest, GermanLocaleShowsADecimalComma)
{
    TLocaleGuard german(QLocale(QLocale::German, QLocale::Germany));
    Show({Entry("ABC", 10.5, 10, -0.25)});
    TTextRecorder recorder(*Grid);
    recorder.Render();
    EXPECT_EQ(recorder.TextAt(1, 1), QStringLiteral("10,50"));
    EXPECT_EQ(recorder.TextAt(2, 1), QStringLiteral("0,50"));
    EXPECT_EQ(recorder.TextAt(3, 1), QStringLiteral("5,00%"));
    EXPECT_EQ(recorder.TextAt(4, 1), QStringLiteral("-0,25"));
    EXPECT_EQ(FormatNumber(1234567.5), QStringLiteral("1234567,50")); // no thousands separator
}

TEST_F(QuickStrikeGridTest, TextRectanglesInsetsAndPlacement)
{
    Show({Entry("ABC", 10.5, 10, 0.3, "09:31:00")});
    TTextRecorder recorder(*Grid);
    recorder.Render();
    const TCanvas &canvas = Grid->Canvas();

    // Header: 1 pixel inside the raised edge, then 3 pixels left and right; centred.
    const auto header = recorder.At(1, 0);
    ASSERT_TRUE(header);
    const QRect headerCell = Grid->CellRect(1, 0);
    EXPECT_EQ(header->Rect, headerCell.adjusted(4, 1, -4, -1));
    EXPECT_EQ(header->X, header->Rect.left() + (header->Rect.width() - canvas.TextWidth(header->Text)) / 2);
    EXPECT_EQ(header->Y, header->Rect.top() + (header->Rect.height() - canvas.TextHeight(header->Text)) / 2);

    // Data: 3 pixels left and right; symbol and time on the left.
    const QRect symbolCell = Grid->CellRect(0, 1);
    const auto symbol = recorder.At(0, 1);
    ASSERT_TRUE(symbol);
    EXPECT_EQ(symbol->Rect, symbolCell.adjusted(3, 0, -3, 0));
    EXPECT_EQ(symbol->X, symbolCell.left() + 3);
    EXPECT_EQ(recorder.At(5, 1)->X, Grid->CellRect(5, 1).left() + 3);

    // Without the 3-D look the header text keeps the whole height.
    Grid->SetCtl3D(false);
    recorder.Render();
    EXPECT_EQ(recorder.At(1, 0)->Rect, headerCell.adjusted(3, 0, -3, 0));

    // A cell of 14 pixels or less gets no inset.
    Grid->SetColWidths(0, 14);
    recorder.Render();
    EXPECT_EQ(recorder.At(0, 1)->Rect, Grid->CellRect(0, 1));
}

TEST_F(QuickStrikeGridTest, TextThatDoesNotFitIsShortenedOrReplaced)
{
    Show({Entry("VERYLONGSYMBOLNAME", 100, 99, 0.5, "09:31:00.123456789 extra")});
    const TCanvas &canvas = Grid->Canvas();
    // Too narrow for "100.00", wide enough for "...".
    Grid->SetColWidths(1, canvas.TextWidth(QStringLiteral("100.00")) + 6 - 1);
    TTextRecorder recorder(*Grid);
    recorder.Render();

    EXPECT_EQ(recorder.TextAt(1, 1), QStringLiteral("..."));
    EXPECT_EQ(recorder.TextAt(2, 1), QStringLiteral("1.00")); // its neighbour still fits

    const auto symbol = recorder.At(0, 1);
    ASSERT_TRUE(symbol);
    ASSERT_TRUE(symbol->Text.endsWith(QStringLiteral("...")));
    const QString kept = symbol->Text.chopped(3);
    EXPECT_FALSE(kept.isEmpty());
    EXPECT_TRUE(QStringLiteral("VERYLONGSYMBOLNAME").startsWith(kept));
    EXPECT_LE(canvas.TextWidth(symbol->Text), symbol->Rect.width());

    // The time is cut at the cell edge, never shortened.
    EXPECT_EQ(recorder.TextAt(5, 1), QStringLiteral("09:31:00.123456789 extra"));
}

struct TShortenCase
{
    std::string Name;
    const char *Text;
    const char *WidthOf; // the width available is this text's width ...
    int ExtraPixels;     // ... plus these pixels
    const char *Expected;
};

class ShortenTextTest : public QuickStrikeGridTest, public ::testing::WithParamInterface<TShortenCase>
{
};

TEST_P(ShortenTextTest, KeepsTheLeadingCharactersThatFitBeforeTheDots)
{
    const TShortenCase &c = GetParam();
    const TCanvas &canvas = Grid->Canvas();
    const int width = canvas.TextWidth(QString::fromLatin1(c.WidthOf)) + c.ExtraPixels;
    EXPECT_EQ(ShortenText(canvas, QString::fromLatin1(c.Text), width), QString::fromLatin1(c.Expected));
}

INSTANTIATE_TEST_SUITE_P(
    Widths, ShortenTextTest,
    ::testing::Values(TShortenCase{"FitsExactly", "ABC", "ABC", 0, "ABC"},
                      TShortenCase{"FitsWithRoom", "ABC", "ABCDEFGHIJ", 0, "ABC"},
                      TShortenCase{"OneTooMany", "ABCD", "ABC", 0, "..."},
                      TShortenCase{"RoomForThree", "ABCDEFGH", "ABC...", 0, "ABC..."},
                      TShortenCase{"RoomForThreeAndABit", "ABCDEFGH", "ABC...", 1, "ABC..."},
                      TShortenCase{"RoomJustShortOfThree", "ABCDEFGH", "ABC...", -1, "AB..."},
                      TShortenCase{"OnlyTheDots", "ABCDEFGH", "...", 0, "..."},
                      TShortenCase{"NarrowerThanTheDots", "ABCDEFGH", ".", 0, "..."},
                      TShortenCase{"Empty", "", "", 0, ""}),
    [](const ::testing::TestParamInfo<TShortenCase> &info) { return info.param.Name; });

struct TFormatCase
{
    std::string Name;
    double Value;
    bool Percent;
    const char *Expected;
};

class FormatNumberTest : public ::testing::TestWithParam<TFormatCase>
{
};

TEST_P(FormatNumberTest, TwoDecimalsWithTheLocaleSeparator)
{
    const TFormatCase &c = GetParam();
    TLocaleGuard english(QLocale(QLocale::English, QLocale::UnitedStates));
    const QString text = c.Percent ? FormatPercent(c.Value) : FormatNumber(c.Value);
    EXPECT_EQ(text, QString::fromLatin1(c.Expected));
}

INSTANTIATE_TEST_SUITE_P(Values, FormatNumberTest,
                         ::testing::Values(TFormatCase{"Hundred", 100, false, "100.00"},
                                           TFormatCase{"Negative", -1.93, false, "-1.93"},
                                           TFormatCase{"Rounded", 2.345678, false, "2.35"},
                                           TFormatCase{"Zero", 0, false, "0.00"},
                                           TFormatCase{"NoGrouping", 1234567.891, false, "1234567.89"},
                                           TFormatCase{"Percent", -13.3, true, "-13.30%"}),
                         [](const ::testing::TestParamInfo<TFormatCase> &info) { return info.param.Name; });

struct TClickCase
{
    std::string Name;
    Qt::MouseButton Button;
    int Column;
    int Row;              // -1: below the last row
    const char *Expected; // nullptr: nothing linked
};

class QuickStrikeClickTest : public QuickStrikeGridTest, public ::testing::WithParamInterface<TClickCase>
{
};

TEST_P(QuickStrikeClickTest, LinksTheSymbolOfALeftClickedDataRow)
{
    const TClickCase &c = GetParam();
    Show({Entry("AAA"), Entry("BBB"), Entry("CCC"), Entry("DDD")});
    QPoint point;
    if (c.Row >= 0)
        point = CellCentre(*Grid, c.Column, c.Row);
    else
        point = QPoint(CellCentre(*Grid, c.Column, 4).x(), Grid->CellRect(0, 4).bottom() + 5);
    ClickGrid(*Grid, point, c.Button);
    if (c.Expected)
        EXPECT_EQ(Linked, std::vector<std::string>{c.Expected});
    else
        EXPECT_TRUE(Linked.empty());
}

INSTANTIATE_TEST_SUITE_P(Clicks, QuickStrikeClickTest,
                         ::testing::Values(TClickCase{"LeftOnRow3Symbol", Qt::LeftButton, 0, 3, "CCC"},
                                           TClickCase{"LeftOnRow3Time", Qt::LeftButton, 5, 3, "CCC"},
                                           TClickCase{"LeftOnNewestRow", Qt::LeftButton, 2, 1, "AAA"},
                                           TClickCase{"RightOnRow3", Qt::RightButton, 0, 3, nullptr},
                                           TClickCase{"MiddleOnRow3", Qt::MiddleButton, 0, 3, nullptr},
                                           TClickCase{"LeftOnHeader", Qt::LeftButton, 0, 0, nullptr},
                                           TClickCase{"LeftBelowTheRows", Qt::LeftButton, 0, -1, nullptr}),
                         [](const ::testing::TestParamInfo<TClickCase> &info) { return info.param.Name; });

TEST_F(QuickStrikeGridTest, ClickOnTheEmptyRowLinksNothing)
{
    ClickGrid(*Grid, CellCentre(*Grid, 0, 1));
    EXPECT_TRUE(Linked.empty());
}

TEST_F(QuickStrikeGridTest, WithoutItsOwnHandlerAClickGoesToTheExternalLinkingTarget)
{
    Grid->OnLinkSymbol = nullptr;
    Show({Entry("AAA"), Entry("BBB")});
    ClickGrid(*Grid, CellCentre(*Grid, 0, 2)); // nobody installed: nothing happens

    std::vector<std::string> external;
    LinkSymbolHandler = [&](const std::string &symbol) { external.push_back(symbol); };
    ClickGrid(*Grid, CellCentre(*Grid, 0, 2));
    LinkSymbolHandler = nullptr;
    EXPECT_EQ(external, std::vector<std::string>{"BBB"});
}

TEST_F(QuickStrikeGridTest, NeverShowsAHorizontalScrollBar)
{
    std::vector<TQuickStrikeEntry> many;
    for (int i = 0; i < 100; ++i)
        many.push_back(Entry("S" + std::to_string(i), i));
    Show(many);
    Grid->resize(60, 480);
    EXPECT_FALSE(Grid->horizontalScrollBar()->isVisible());
    EXPECT_TRUE(Grid->verticalScrollBar()->isVisible());
    EXPECT_EQ(Grid->verticalScrollBar()->maximum(),
              101 - 1 - (Grid->viewport()->height() - Grid->DefaultRowHeight()) / Grid->DefaultRowHeight());

    Show({Entry("AAA")});
    EXPECT_FALSE(Grid->horizontalScrollBar()->isVisible());
    EXPECT_FALSE(Grid->verticalScrollBar()->isVisible());
}

TEST_F(QuickStrikeGridTest, SetEntriesKeepsAPrivateCopyWithoutCopyingTheRows)
{
    TQuickStrikeEntries list{Entry("AAA"), Entry("BBB")};
    Grid->SetEntries(list);
    EXPECT_TRUE(Grid->Entries().SharesWith(list)); // handed over, not copied

    list.InsertFront(Entry("NEW"), 1000);
    list.Edit()[1].Symbol = "CHANGED";
    ASSERT_EQ(Grid->Entries().size(), 2u);
    EXPECT_EQ(Grid->Entries()[0].Symbol, "AAA");
    EXPECT_EQ(Grid->Entries()[1].Symbol, "BBB");
    EXPECT_EQ(Grid->RowCount(), 3);

    Grid->SetEntries(TQuickStrikeEntries());
    EXPECT_EQ(Grid->RowCount(), 2);
    EXPECT_TRUE(Grid->Entries().empty());
}

TEST(SharedListTest, InsertFrontKeepsTheNewestUpToTheLimit)
{
    TQuickStrikeEntries list;
    for (int i = 0; i < 5; ++i)
        list.InsertFront(Entry(std::to_string(i)), 3);
    ASSERT_EQ(list.size(), 3u);
    EXPECT_EQ(list[0].Symbol, "4");
    EXPECT_EQ(list[1].Symbol, "3");
    EXPECT_EQ(list[2].Symbol, "2");
}

TEST(SharedListTest, ChangesNeverReachACopy)
{
    TQuickStrikeEntries original{Entry("A"), Entry("B"), Entry("C")};
    TQuickStrikeEntries copy = original;
    original.InsertFront(Entry("N"), 3);
    ASSERT_EQ(copy.size(), 3u);
    EXPECT_EQ(copy[0].Symbol, "A");
    EXPECT_EQ(copy[2].Symbol, "C");
    EXPECT_EQ(original[0].Symbol, "N");
    EXPECT_EQ(original[2].Symbol, "B");

    TQuickStrikeEntries second = copy;
    second.Edit().erase(second.Edit().begin());
    EXPECT_EQ(copy.size(), 3u);
    EXPECT_EQ(second.size(), 2u);
    second.clear();
    EXPECT_TRUE(second.empty());
    EXPECT_EQ(copy.size(), 3u);
}

TEST(SharedListTest, CopiesKeepTheirItemsWhileTheListGrowsInFrontOfThem)
{
    // The list grows in place in front of the items its copies see; enough
    // insertions to run out of room in the array a few times.
    TQuickStrikeEntries list;
    std::vector<TQuickStrikeEntries> copies;
    for (int i = 0; i < 40; ++i) {
        list.InsertFront(Entry(std::to_string(i)), 5);
        copies.push_back(list);
    }
    for (int i = 0; i < 40; ++i) {
        const TQuickStrikeEntries &copy = copies[static_cast<size_t>(i)];
        ASSERT_EQ(copy.size(), static_cast<size_t>(std::min(i + 1, 5))) << "copy " << i;
        size_t k = 0;
        for (const TQuickStrikeEntry &entry : copy)
            EXPECT_EQ(entry.Symbol, std::to_string(i - static_cast<int>(k++))) << "copy " << i;
        EXPECT_EQ(copy.Items().size(), copy.size());
    }

    // An older copy that grows gets an array of its own.
    TQuickStrikeEntries older = copies[38];
    older.InsertFront(Entry("OLD"), 5);
    EXPECT_EQ(older[0].Symbol, "OLD");
    EXPECT_EQ(older[1].Symbol, "38");
    EXPECT_EQ(list[0].Symbol, "39");

    // Two copies of the same list: the first to grow takes the free slot,
    // the second copies; neither sees the other's item.
    TQuickStrikeEntries a = list;
    TQuickStrikeEntries b = list;
    a.InsertFront(Entry("A"), 5);
    b.InsertFront(Entry("B"), 5);
    EXPECT_EQ(a[0].Symbol, "A");
    EXPECT_EQ(a[1].Symbol, "39");
    EXPECT_EQ(b[0].Symbol, "B");
    EXPECT_EQ(b[1].Symbol, "39");
    ASSERT_EQ(list.size(), 5u);
    EXPECT_EQ(list[0].Symbol, "39");
    EXPECT_EQ(list[4].Symbol, "35");
    EXPECT_FALSE(a.SharesWith(list));
    EXPECT_TRUE(TQuickStrikeEntries(list).SharesWith(list));
}

TEST(SharedListTest, OnlyASharedListIsCopiedBeforeAChange)
{
    TQuickStrikeEntries list{Entry("A"), Entry("B")};
    const std::vector<TQuickStrikeEntry> *array = &list.Items();
    list.Edit()[0].Symbol = "X";
    list.InsertFront(Entry("N"), 10);
    EXPECT_EQ(&list.Items(), array);

    const TQuickStrikeEntries holder = list;
    list.Edit()[0].Symbol = "Y";
    EXPECT_NE(&list.Items(), array);
    EXPECT_EQ(&holder.Items(), array);
    EXPECT_EQ(holder[0].Symbol, "N");
}

} // namespace
