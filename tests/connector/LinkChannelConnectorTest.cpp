#include "LinkChannelConnector.h"
#include "BroadcastRecorder.h"
#include "EventLoop.h"
#include "Exceptions.h"
#include "LinkChannelBus.h"
#include "LinkChannels.h"
#include "PrivateBus.h"

#include <QAbstractButton>
#include <QDBusConnectionInterface>
#include <QDBusMessage>
#include <QDBusPendingCall>
#include <QDBusPendingReply>
#include <QDBusVariant>
#include <QJsonDocument>
#include <QJsonObject>
#include <QSettings>
#include <QTemporaryDir>

#include <gtest/gtest.h>

namespace {

const QString NoBus = QStringLiteral("unix:path=/nonexistent/corvane-test-bus");

// Connectors that keep their choice in a temporary file.
class LinkChannelConnectorTest : public ::testing::Test
{
protected:
    TLinkChannelSetup Setup(const QString &busAddress = QString()) const
    {
        return {FDir.filePath(QStringLiteral("LinkChannels.ini")), busAddress};
    }

    std::unique_ptr<TLinkChannelConnector> MakeConnector(const QString &busAddress = QString()) const
    {
        auto connector = std::make_unique<TLinkChannelConnector>(Setup(busAddress));
        connector->SetActive(true);
        return connector;
    }

    void WriteStoredChannel(const QString &value) const
    {
        QSettings settings(Setup().SettingsFile, QSettings::IniFormat);
        settings.setValue(QStringLiteral("Linking/Channel"), value);
    }

    QTemporaryDir FDir;
};

QAbstractButton *Button(const TLinkChannelConnector &connector, const QString &name)
{
    return connector.findChild<QAbstractButton *>(name);
}

QString SessionSender()
{
    return QDBusConnection::sessionBus().baseService();
}

// --- channel buttons ---------------------------------------------------------

struct TChannelRow
{
    int Channel;
    const char *Name;
};

void PrintTo(const TChannelRow &row, std::ostream *os)
{
    *os << row.Name;
}

class ChannelButtonTest : public LinkChannelConnectorTest, public ::testing::WithParamInterface<TChannelRow>
{
};

TEST_P(ChannelButtonTest, ClickJoinsTheChannelAndMarksOnlyIt)
{
    const TChannelRow row = GetParam();
    const QString name = QString::fromLatin1(row.Name);
    auto connector = MakeConnector();
    std::vector<int> changed;
    QObject::connect(connector.get(), &TLinkChannelConnector::LinkedChannelChanged, connector.get(),
                     [&](int channel) { changed.push_back(channel); });

    QAbstractButton *button = Button(*connector, QStringLiteral("Channel%1").arg(row.Channel));
    ASSERT_NE(button, nullptr);
    EXPECT_TRUE(button->text().contains(QString::number(row.Channel)));
    EXPECT_TRUE(button->text().contains(name));
    EXPECT_EQ(LinkChannelName(row.Channel), name);

    button->click();

    EXPECT_EQ(connector->LinkedChannel(), row.Channel);
    EXPECT_EQ(changed, std::vector<int>{row.Channel});
    for (int channel = 1; channel <= LinkChannelCount; ++channel)
        EXPECT_EQ(Button(*connector, QStringLiteral("Channel%1").arg(channel))->isChecked(),
                  channel == row.Channel)
            << "channel " << channel;
    EXPECT_FALSE(Button(*connector, QStringLiteral("ChannelNone"))->isChecked());
    EXPECT_TRUE(
        connector->StatusText().contains(QStringLiteral("channel %1 (%2)").arg(row.Channel).arg(name)))
        << connector->StatusText().toStdString();
}

INSTANTIATE_TEST_SUITE_P(EightChannels, ChannelButtonTest,
                         ::testing::Values(TChannelRow{1, "Red"}, TChannelRow{2, "Orange"},
                                           TChannelRow{3, "Yellow"}, TChannelRow{4, "Green"},
                                           TChannelRow{5, "Cyan"}, TChannelRow{6, "Blue"},
                                           TChannelRow{7, "Magenta"}, TChannelRow{8, "Purple"}),
                         [](const auto &info) { return std::string(info.param.Name); });

TEST_F(LinkChannelConnectorTest, StartsUnlinkedAndNoneLeavesTheChannel)
{
    auto connector = MakeConnector();
    EXPECT_EQ(connector->LinkedChannel(), 0);
    EXPECT_TRUE(Button(*connector, QStringLiteral("ChannelNone"))->isChecked());
    EXPECT_TRUE(connector->StatusText().startsWith(QStringLiteral("Not linked")));

    Button(*connector, QStringLiteral("Channel4"))->click();
    Button(*connector, QStringLiteral("ChannelNone"))->click();

    EXPECT_EQ(connector->LinkedChannel(), 0);
    EXPECT_FALSE(Button(*connector, QStringLiteral("Channel4"))->isChecked());
    EXPECT_TRUE(connector->StatusText().startsWith(QStringLiteral("Not linked")));
}

TEST_F(LinkChannelConnectorTest, ChannelOutsideTheRangeIsAProgrammingError)
{
    auto connector = MakeConnector();
    EXPECT_THROW(connector->SetLinkedChannel(9), EAssertionFailed);
    EXPECT_THROW(connector->SetLinkedChannel(-1), EAssertionFailed);
    EXPECT_EQ(connector->LinkedChannel(), 0);
}

// --- remembered choice -------------------------------------------------------

TEST_F(LinkChannelConnectorTest, ChannelIsRememberedByTheNextInstance)
{
    MakeConnector()->SetLinkedChannel(6);
    {
        auto next = MakeConnector();
        EXPECT_EQ(next->LinkedChannel(), 6);
        EXPECT_TRUE(Button(*next, QStringLiteral("Channel6"))->isChecked());
        Button(*next, QStringLiteral("ChannelNone"))->click();
    }
    EXPECT_EQ(MakeConnector()->LinkedChannel(), 0);
}

TEST_F(LinkChannelConnectorTest, SeparateSettingsFilesDoNotShareTheChoice)
{
    MakeConnector()->SetLinkedChannel(2);
    QTemporaryDir other;
    TLinkChannelConnector elsewhere({other.filePath(QStringLiteral("LinkChannels.ini")), QString()});
    EXPECT_EQ(elsewhere.LinkedChannel(), 0);
}

struct TStoredRow
{
    const char *Name;
    const char *Stored;
    int Expected;
};

void PrintTo(const TStoredRow &row, std::ostream *os)
{
    *os << row.Name;
}

class StoredChannelTest : public LinkChannelConnectorTest, public ::testing::WithParamInterface<TStoredRow>
{
};

TEST_P(StoredChannelTest, ReadsBackOrFallsBackToNotLinked)
{
    WriteStoredChannel(QString::fromLatin1(GetParam().Stored));
    EXPECT_EQ(MakeConnector()->LinkedChannel(), GetParam().Expected);
}

INSTANTIATE_TEST_SUITE_P(Values, StoredChannelTest,
                         ::testing::Values(TStoredRow{"Three", "3", 3}, TStoredRow{"Eight", "8", 8},
                                           TStoredRow{"Zero", "0", 0}, TStoredRow{"Nine", "9", 0},
                                           TStoredRow{"Negative", "-1", 0}, TStoredRow{"Text", "blue", 0},
                                           TStoredRow{"Empty", "", 0}, TStoredRow{"Huge", "99999999999", 0}),
                         [](const auto &info) { return std::string(info.param.Name); });

// --- the context -------------------------------------------------------------

TEST(InstrumentContext, HasTheDocumentedForm)
{
    EXPECT_EQ(InstrumentContextJson(QStringLiteral("MSFT")),
              QStringLiteral("{\"type\":\"fdc3.instrument\",\"id\":{\"ticker\":\"MSFT\"}}"));
}

struct TTickerRow
{
    const char *Name;
    QString Ticker;
};

void PrintTo(const TTickerRow &row, std::ostream *os)
{
    *os << row.Name;
}

class InstrumentContextTest : public ::testing::TestWithParam<TTickerRow>
{
};

TEST_P(InstrumentContextTest, AnyTickerGivesWellFormedJsonThatReadsBack)
{
    const QString ticker = GetParam().Ticker;
    const QString json = InstrumentContextJson(ticker);
    QJsonParseError error{};
    const QJsonDocument document = QJsonDocument::fromJson(json.toUtf8(), &error);
    ASSERT_EQ(error.error, QJsonParseError::NoError) << json.toStdString();
    EXPECT_EQ(document.object().value(QStringLiteral("type")).toString(), QStringLiteral("fdc3.instrument"));
    EXPECT_EQ(
        document.object().value(QStringLiteral("id")).toObject().value(QStringLiteral("ticker")).toString(),
        ticker);
    EXPECT_EQ(TickerFromContext(json), ticker);
}

INSTANTIATE_TEST_SUITE_P(
    Tickers, InstrumentContextTest,
    ::testing::Values(TTickerRow{"Plain", QStringLiteral("MSFT")}, TTickerRow{"Empty", QString()},
                      TTickerRow{"Dotted", QStringLiteral("BRK.B")},
                      TTickerRow{"Quote", QStringLiteral("A\"B")},
                      TTickerRow{"Backslash", QStringLiteral("A\\B")},
                      TTickerRow{"Braces", QStringLiteral("}},{\"type\":\"x\"")},
                      TTickerRow{"Newline", QStringLiteral("A\nB")},
                      TTickerRow{"Nul", QString(QStringLiteral("A")) + QChar(0) + QLatin1Char('B')},
                      TTickerRow{"NonAscii", QString::fromUtf8("\xC3\x84RZTE")}),
    [](const auto &info) { return std::string(info.param.Name); });

struct TForeignRow
{
    const char *Name;
    const char *Json;
};

void PrintTo(const TForeignRow &row, std::ostream *os)
{
    *os << row.Name;
}

class ForeignContextTest : public ::testing::TestWithParam<TForeignRow>
{
};

TEST_P(ForeignContextTest, HasNoTicker)
{
    EXPECT_FALSE(TickerFromContext(QString::fromUtf8(GetParam().Json)).has_value());
}

INSTANTIATE_TEST_SUITE_P(
    Contexts, ForeignContextTest,
    ::testing::Values(TForeignRow{"Empty", ""}, TForeignRow{"NotJson", "MSFT"},
                      TForeignRow{"Array", "[\"MSFT\"]"},
                      TForeignRow{"Truncated", "{\"type\":\"fdc3.instrument\",\"id\":{\"ticker\":\"MS"},
                      TForeignRow{"OtherType", "{\"type\":\"fdc3.contact\",\"id\":{\"ticker\":\"MSFT\"}}"},
                      TForeignRow{"NoType", "{\"id\":{\"ticker\":\"MSFT\"}}"},
                      TForeignRow{"NoId", "{\"type\":\"fdc3.instrument\"}"},
                      TForeignRow{"NumberTicker", "{\"type\":\"fdc3.instrument\",\"id\":{\"ticker\":5}}"}),
    [](const auto &info) { return std::string(info.param.Name); });

// --- broadcasts on the session bus -------------------------------------------

TEST_F(LinkChannelConnectorTest, EachNotifySymbolSendsExactlyOneBroadcast)
{
    auto connector = MakeConnector();
    ASSERT_TRUE(connector->BusAvailable());
    TBroadcastRecorder recorder(QString(), SessionSender());
    ASSERT_TRUE(recorder.Listening());
    connector->SetLinkedChannel(2);

    connector->SetSymbol(QStringLiteral("MSFT"));
    EXPECT_TRUE(connector->NotifySymbol().Succeeded);
    connector->SetSymbol(QStringLiteral("IBM"));
    EXPECT_TRUE(connector->NotifySymbol().Succeeded);

    // Broadcasts of one sender arrive in order: the second one closes the window
    // in which a duplicate of the first could still arrive.
    ASSERT_TRUE(WaitFor([&] { return recorder.Received.size() >= 2; }, 30000));
    ProcessPostedEvents();
    const std::vector<TBroadcast> expected = {{2, InstrumentContextJson(QStringLiteral("MSFT"))},
                                              {2, InstrumentContextJson(QStringLiteral("IBM"))}};
    EXPECT_EQ(recorder.Received, expected);
    EXPECT_EQ(connector->Symbol(), QStringLiteral("IBM"));
    EXPECT_TRUE(connector->StatusText().contains(QStringLiteral("\"IBM\"")))
        << connector->StatusText().toStdString();
}

struct TSilentRow
{
    const char *Name;
    bool Active;
    int Channel;
};

void PrintTo(const TSilentRow &row, std::ostream *os)
{
    *os << row.Name;
}

class SilentConnectorTest : public LinkChannelConnectorTest, public ::testing::WithParamInterface<TSilentRow>
{
};

TEST_P(SilentConnectorTest, SucceedsWithoutSending)
{
    auto connector = MakeConnector();
    TBroadcastRecorder recorder(QString(), SessionSender());
    ASSERT_TRUE(recorder.Listening());
    connector->SetActive(GetParam().Active);
    connector->SetLinkedChannel(GetParam().Channel);

    connector->SetSymbol(QStringLiteral("QUIET"));
    EXPECT_TRUE(connector->NotifySymbol().Succeeded);

    // Then a broadcast that does go out: it must be the only one received.
    connector->SetActive(true);
    connector->SetLinkedChannel(7);
    connector->SetSymbol(QStringLiteral("LOUD"));
    ASSERT_TRUE(connector->NotifySymbol().Succeeded);
    ASSERT_TRUE(WaitFor([&] { return !recorder.Received.empty(); }, 30000));
    ProcessPostedEvents();
    const std::vector<TBroadcast> expected = {{7, InstrumentContextJson(QStringLiteral("LOUD"))}};
    EXPECT_EQ(recorder.Received, expected);
}

INSTANTIATE_TEST_SUITE_P(Cases, SilentConnectorTest,
                         ::testing::Values(TSilentRow{"NotLinked", true, 0},
                                           TSilentRow{"Inactive", false, 3}),
                         [](const auto &info) { return std::string(info.param.Name); });

TEST_F(LinkChannelConnectorTest, InactiveConnectorSaysLinkingIsPaused)
{
    TLinkChannelConnector connector(Setup());
    EXPECT_FALSE(connector.Active());
    EXPECT_EQ(connector.StatusText(), QStringLiteral("Linking is paused."));
    connector.SetActive(true);
    EXPECT_TRUE(connector.StatusText().startsWith(QStringLiteral("Not linked")));
}

TEST_F(LinkChannelConnectorTest, OtherProgramsReadTheLastContextOfEachChannel)
{
    auto connector = MakeConnector();
    connector->SetLinkedChannel(4);
    connector->SetSymbol(QStringLiteral("AAPL"));
    ASSERT_TRUE(connector->NotifySymbol().Succeeded);

    // Asked from a connection of its own, as another program would; the call is
    // asynchronous because this thread also has to answer it.
    TBroadcastRecorder other(QString(), SessionSender());
    QDBusMessage get = QDBusMessage::createMethodCall(SessionSender(), LinkBusPath,
                                                      QStringLiteral("org.freedesktop.DBus.Properties"),
                                                      QStringLiteral("Get"));
    get << QString(LinkBusInterface) << QStringLiteral("LastContexts");
    QDBusPendingCall call = other.Connection().asyncCall(get);
    ASSERT_TRUE(WaitFor([&] { return call.isFinished(); }, 30000));
    QDBusPendingReply<QDBusVariant> reply = call;
    ASSERT_FALSE(reply.isError()) << reply.error().message().toStdString();
    const QStringList contexts = reply.value().variant().toStringList();
    ASSERT_EQ(contexts.size(), LinkChannelCount);
    EXPECT_EQ(contexts[3], InstrumentContextJson(QStringLiteral("AAPL")));
}

// --- without a bus, or with a bus of its own ---------------------------------

TEST_F(LinkChannelConnectorTest, WithoutASessionBusLinkingIsOffAndNothingFails)
{
    auto connector = MakeConnector(NoBus);
    EXPECT_FALSE(connector->BusAvailable());
    EXPECT_EQ(connector->StatusText(), QStringLiteral("No desktop session bus: linking is off."));

    // The choice still works and is kept for a run that has a bus.
    Button(*connector, QStringLiteral("Channel3"))->click();
    EXPECT_EQ(connector->LinkedChannel(), 3);
    connector->SetSymbol(QStringLiteral("MSFT"));
    EXPECT_TRUE(connector->NotifySymbol().Succeeded);
    EXPECT_EQ(connector->StatusText(), QStringLiteral("No desktop session bus: linking is off."));
    EXPECT_EQ(MakeConnector()->LinkedChannel(), 3);
}

TEST_F(LinkChannelConnectorTest, FirstClientOnABusTakesTheServiceName)
{
    TPrivateBus bus;
    ASSERT_FALSE(bus.Address().isEmpty());
    auto connector = MakeConnector(bus.Address());
    std::shared_ptr<TLinkChannelBus> link = TLinkChannelBus::Attach(bus.Address());
    EXPECT_TRUE(link->OwnsServiceName());
    TBroadcastRecorder observer(bus.Address(), QString());
    EXPECT_EQ(observer.Connection().interface()->serviceOwner(LinkBusService).value(),
              link->Connection().baseService());
}

TEST_F(LinkChannelConnectorTest, NameHeldByAnotherProgramStillBroadcasts)
{
    TPrivateBus bus;
    ASSERT_FALSE(bus.Address().isEmpty());
    TBroadcastRecorder holder(bus.Address(), QString());
    ASSERT_TRUE(holder.Connection().registerService(LinkBusService));

    auto connector = MakeConnector(bus.Address());
    std::shared_ptr<TLinkChannelBus> link = TLinkChannelBus::Attach(bus.Address());
    EXPECT_FALSE(link->OwnsServiceName());
    TBroadcastRecorder recorder(bus.Address(), link->Connection().baseService());
    connector->SetLinkedChannel(5);
    connector->SetSymbol(QStringLiteral("TSLA"));
    ASSERT_TRUE(connector->NotifySymbol().Succeeded);
    ASSERT_TRUE(WaitFor([&] { return !recorder.Received.empty(); }, 30000));
    EXPECT_EQ(recorder.Received.front(), (TBroadcast{5, InstrumentContextJson(QStringLiteral("TSLA"))}));
}

TEST_F(LinkChannelConnectorTest, LostBusIsAFailureWithAReason)
{
    TPrivateBus bus;
    ASSERT_FALSE(bus.Address().isEmpty());
    auto connector = MakeConnector(bus.Address());
    ASSERT_TRUE(connector->BusAvailable());
    connector->SetLinkedChannel(1);

    bus.Stop();
    std::shared_ptr<TLinkChannelBus> link = TLinkChannelBus::Attach(bus.Address());
    ASSERT_TRUE(WaitFor([&] { return !link->Connected(); }, 30000));

    connector->SetSymbol(QStringLiteral("MSFT"));
    const TLinkResult result = connector->NotifySymbol();
    EXPECT_FALSE(result.Succeeded);
    EXPECT_FALSE(result.ErrorText.isEmpty());
    EXPECT_TRUE(
        connector->StatusText().startsWith(QStringLiteral("Could not send \"MSFT\" on channel 1 (Red)")))
        << connector->StatusText().toStdString();
    EXPECT_EQ(link->LastContexts().at(0), QString()) << "a failed send is not the channel's last context";
}

} // namespace
