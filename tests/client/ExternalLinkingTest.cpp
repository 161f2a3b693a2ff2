#include "../connector/PrivateBus.h"
#include "ErrorDisplay.h"
#include "EventLoop.h"
#include "ExternalLinkingUnit.h"
#include "LinkChannelBus.h"
#include "LinkChannelConnector.h"
#include "LinkChannels.h"
#include "LinkTarget.h"
#include "PennoricGenericConnector2Proj1_TLB.h"

#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QObject>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <vector>

// Another program following the client's broadcasts on the session bus, on a
// connection of its own; only this process's broadcasts count, because other
// test processes share the bus.
class TLinkFollower : public QObject
{
    Q_OBJECT
public:
    TLinkFollower() : FConnection(QDBusConnection::connectToBus(QDBusConnection::SessionBus, Name()))
    {
        FListening =
            FConnection.connect(QDBusConnection::sessionBus().baseService(), LinkBusPath, LinkBusInterface,
                                LinkBusSignal, this, SLOT(SymbolBroadcast(int, QString)));
        // Once the bus answers, the subscription is in force.
        FConnection.interface()->isServiceRegistered(LinkBusService);
    }
    ~TLinkFollower() override { QDBusConnection::disconnectFromBus(Name()); }

    bool Listening() const { return FListening; }
    std::vector<std::pair<int, QString>> Received;

public slots:
    void SymbolBroadcast(int channel, const QString &contextJson)
    {
        Received.emplace_back(channel, contextJson);
    }

private:
    static QString Name() { return QStringLiteral("external-linking-test-follower"); }

    QDBusConnection FConnection;
    bool FListening = false;
};

namespace {

const QString NoBus = QStringLiteral("unix:path=/nonexistent/corvane-test-bus");

class ExternalLinkingTest : public ::testing::Test
{
protected:
    void SetUp() override { UseBus(QString()); }

    void TearDown() override
    {
        TLinkChannelConnector::SetDefaultSetupForTesting({});
        LinkSymbolHandler = nullptr;
        ExternalLinkingWindow = nullptr;
    }

    // Connectors made from now on keep their channel in a temporary file and
    // use this bus (empty: the session bus).
    void UseBus(const QString &address)
    {
        TLinkChannelConnector::SetDefaultSetupForTesting(
            {FDir.filePath(QStringLiteral("LinkChannels.ini")), address});
    }

    static std::unique_ptr<TExternalLinkingWindow> MakeWindow(int channel)
    {
        auto window = std::make_unique<TExternalLinkingWindow>();
        window->Connector->Control()->SetLinkedChannel(channel);
        return window;
    }

    QTemporaryDir FDir;
};

TEST_F(ExternalLinkingTest, CreatedHiddenWithTheActiveConnectorFillingIt)
{
    TExternalLinkingWindow window;
    EXPECT_EQ(window.Caption(), "External Linking Window");
    EXPECT_EQ(window.objectName(), QStringLiteral("ExternalLinkingWindow"));
    EXPECT_FALSE(window.Visible());
    EXPECT_EQ(window.Width(), 443);
    EXPECT_EQ(window.Height(), 440);

    ASSERT_NE(window.Connector, nullptr);
    EXPECT_EQ(window.Connector->parentWidget(), &window);
    EXPECT_TRUE(window.Connector->Active());
    EXPECT_EQ(window.Connector->Align(), alClient);
    EXPECT_EQ(window.Connector->geometry(), window.rect());

    window.Show();
    EXPECT_TRUE(window.Connector->isVisible());
    window.resize(600, 500);
    EXPECT_EQ(window.Connector->geometry(), window.rect()) << "follows the window's size";
}

// --- showing the window -----------------------------------------------------

struct TStartRow
{
    const char *Name;
    bool Shown;
    TWindowState State;
    TWindowState StateAfterShow;
};

void PrintTo(const TStartRow &row, std::ostream *os)
{
    *os << row.Name;
}

void Prepare(TForm &window, const TStartRow &row)
{
    if (row.Shown)
        window.Show();
    window.SetWindowState(row.State);
    ProcessPostedEvents();
}

const auto StartRows = ::testing::Values(TStartRow{"Hidden", false, wsNormal, wsNormal},
                                         TStartRow{"HiddenMinimised", false, wsMinimized, wsNormal},
                                         TStartRow{"ShownNormal", true, wsNormal, wsNormal},
                                         TStartRow{"ShownMinimised", true, wsMinimized, wsNormal},
                                         TStartRow{"ShownMaximised", true, wsMaximized, wsMaximized});

const auto StartRowName = [](const auto &info) { return std::string(info.param.Name); };

class LinkingWindowStateTest : public ExternalLinkingTest, public ::testing::WithParamInterface<TStartRow>
{
};

TEST_P(LinkingWindowStateTest, ShowLinkingWindowShowsAndRestoresAMinimisedWindow)
{
    auto window = MakeWindow(0);
    Prepare(*window, GetParam());
    window->ShowLinkingWindow();
    EXPECT_TRUE(window->Visible());
    EXPECT_EQ(window->WindowState(), GetParam().StateAfterShow);
}

TEST_P(LinkingWindowStateTest, SymbolWithNoChannelJoinedBringsTheWindowUp)
{
    auto window = MakeWindow(0);
    Prepare(*window, GetParam());
    window->LinkSymbol("MSFT");
    EXPECT_EQ(window->Connector->Symbol(), QStringLiteral("MSFT"));
    EXPECT_TRUE(window->Visible());
    EXPECT_EQ(window->WindowState(), GetParam().StateAfterShow);
}

TEST_P(LinkingWindowStateTest, SymbolOnAJoinedChannelIsBroadcastAndLeavesTheWindowAlone)
{
    auto window = MakeWindow(3);
    Prepare(*window, GetParam());
    TLinkFollower follower;
    ASSERT_TRUE(follower.Listening());

    window->LinkSymbol("MSFT");

    EXPECT_EQ(window->Visible(), GetParam().Shown);
    EXPECT_EQ(window->WindowState(), GetParam().State);
    ASSERT_TRUE(WaitFor([&] { return !follower.Received.empty(); }, 30000));
    EXPECT_EQ(follower.Received.front(), std::make_pair(3, InstrumentContextJson(QStringLiteral("MSFT"))));
}

INSTANTIATE_TEST_SUITE_P(StartStates, LinkingWindowStateTest, StartRows, StartRowName);

// --- what is passed on ------------------------------------------------------

TEST_F(ExternalLinkingTest, TwoClicksOnTheSameSymbolNotifyTwice)
{
    auto window = MakeWindow(2);
    TLinkFollower follower;
    ASSERT_TRUE(follower.Listening());

    window->LinkSymbol("MSFT");
    window->LinkSymbol("MSFT");
    window->LinkSymbol("END");

    // One sender's broadcasts arrive in order: END closes the count.
    ASSERT_TRUE(WaitFor([&] { return follower.Received.size() >= 3; }, 30000));
    ProcessPostedEvents();
    const QString msft = InstrumentContextJson(QStringLiteral("MSFT"));
    const std::vector<std::pair<int, QString>> expected = {
        {2, msft}, {2, msft}, {2, InstrumentContextJson(QStringLiteral("END"))}};
    EXPECT_EQ(follower.Received, expected);
}

TEST_F(ExternalLinkingTest, EmptySymbolIsPassedOnAsAnEmptyString)
{
    auto window = MakeWindow(4);
    TLinkFollower follower;
    ASSERT_TRUE(follower.Listening());
    window->Connector->SetSymbol(QStringLiteral("BEFORE"));

    window->LinkSymbol("");

    EXPECT_TRUE(window->Connector->Symbol().isEmpty());
    ASSERT_TRUE(WaitFor([&] { return !follower.Received.empty(); }, 30000));
    EXPECT_EQ(follower.Received.front(), std::make_pair(4, InstrumentContextJson(QString())));
}

struct TBytesRow
{
    const char *Name;
    std::string Bytes;
    QString Symbol;
};

void PrintTo(const TBytesRow &row, std::ostream *os)
{
    *os << row.Name;
}

class SymbolBytesTest : public ExternalLinkingTest, public ::testing::WithParamInterface<TBytesRow>
{
};

TEST_P(SymbolBytesTest, BecomeTheConnectorsSymbol)
{
    auto window = MakeWindow(0);
    window->LinkSymbol(GetParam().Bytes);
    EXPECT_EQ(window->Connector->Symbol(), GetParam().Symbol);
}

INSTANTIATE_TEST_SUITE_P(Symbols, SymbolBytesTest,
                         ::testing::Values(TBytesRow{"Plain", "BRK.B", QStringLiteral("BRK.B")},
                                           TBytesRow{"Utf8", "\xC3\x84RZ", QString::fromUtf8("\xC3\x84RZ")},
                                           TBytesRow{"EmbeddedNul", std::string("A\0B", 3),
                                                     QString(QStringLiteral("A")) + QChar(0) +
                                                         QLatin1Char('B')}),
                         [](const auto &info) { return std::string(info.param.Name); });

// --- failures and a missing bus ---------------------------------------------

TEST_F(ExternalLinkingTest, FailedNotificationRaisesAfterTheSymbolIsWritten)
{
    TPrivateBus bus;
    ASSERT_FALSE(bus.Address().isEmpty());
    UseBus(bus.Address());
    auto window = MakeWindow(1);
    bus.Stop();
    std::shared_ptr<TLinkChannelBus> link = TLinkChannelBus::Attach(bus.Address());
    ASSERT_TRUE(WaitFor([&] { return !link->Connected(); }, 30000));

    EXPECT_THROW(window->LinkSymbol("MSFT"), EOleException);
    EXPECT_EQ(window->Connector->Symbol(), QStringLiteral("MSFT"));
    EXPECT_FALSE(window->Visible());

    // From a grid click, the error reaches the application's error display.
    InstallExternalLinkingWindow(window.get());
    std::vector<std::string> shown;
    SetExceptionDisplayForTesting([&](const std::string &text) { shown.push_back(text); });
    CallGuiHandler([] { LinkSymbolExternally("IBM"); });
    SetExceptionDisplayForTesting({});
    ASSERT_EQ(shown.size(), 1u);
    EXPECT_NE(shown.front().find("Could not send \"IBM\" on channel 1 (Red)"), std::string::npos)
        << shown.front();
}

TEST_F(ExternalLinkingTest, WithoutASessionBusTheWindowSaysSoAndClicksStillWork)
{
    UseBus(NoBus);
    auto window = MakeWindow(0);
    EXPECT_EQ(window->Connector->Control()->StatusText(),
              QStringLiteral("No desktop session bus: linking is off."));

    EXPECT_NO_THROW(window->LinkSymbol("MSFT"));
    EXPECT_TRUE(window->Visible()) << "no channel joined: the window comes up and says why";

    window->Connector->Control()->SetLinkedChannel(2);
    EXPECT_NO_THROW(window->LinkSymbol("IBM"));
}

// --- the application's linking window ----------------------------------------

TEST_F(ExternalLinkingTest, InstalledWindowReceivesGridClicksUntilItIsDestroyed)
{
    auto window = MakeWindow(0);
    InstallExternalLinkingWindow(window.get());
    EXPECT_EQ(ExternalLinkingWindow, window.get());

    LinkSymbolExternally("MSFT");
    EXPECT_EQ(window->Connector->Symbol(), QStringLiteral("MSFT"));
    EXPECT_TRUE(window->Visible());

    window.reset();
    EXPECT_EQ(ExternalLinkingWindow, nullptr);
    EXPECT_NO_THROW(LinkSymbolExternally("IBM"));
}

} // namespace

#include "ExternalLinkingTest.moc"
