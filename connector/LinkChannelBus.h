#pragma once

#include <QDBusConnection>
#include <QObject>
#include <QString>
#include <QStringList>

#include <memory>

// The process's presence on one message bus: the object other programs read,
// the well-known name when it is free, and the broadcasts. Every connector of
// the process on the same bus shares one, because an object path can be
// registered only once per connection.
class TLinkChannelBus : public QObject
{
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "com.corvane.Linking1")
    // Broadcasts are sent by hand (so a failed send is seen); this describes them.
    Q_CLASSINFO("D-Bus Introspection", "  <interface name=\"com.corvane.Linking1\">\n"
                                       "    <signal name=\"SymbolBroadcast\">\n"
                                       "      <arg name=\"channel\" type=\"i\" direction=\"out\"/>\n"
                                       "      <arg name=\"contextJson\" type=\"s\" direction=\"out\"/>\n"
                                       "    </signal>\n"
                                       "    <property name=\"LastContexts\" type=\"as\" access=\"read\"/>\n"
                                       "  </interface>\n")
    Q_PROPERTY(QStringList LastContexts READ LastContexts)

public:
    // The shared link on the bus at this address; an empty address is the
    // desktop session bus.
    static std::shared_ptr<TLinkChannelBus> Attach(const QString &address);

    ~TLinkChannelBus() override;

    // Whether the bus was reached when the link was made.
    bool Reached() const { return FReached; }
    // Whether the bus is still there now.
    bool Connected() const;
    // Whether this process holds the well-known name (another program may).
    bool OwnsServiceName() const { return FOwnsName; }
    QDBusConnection Connection() const { return FConnection; }

    // Sends the context to every program following the channel (1 to 8).
    // False, with a text in *error, when the message could not be sent.
    bool Broadcast(int channel, const QString &contextJson, QString *error);

    // The last context sent on each channel, channel 1 first; empty if none.
    QStringList LastContexts() const { return FLastContexts; }

private:
    TLinkChannelBus(const QString &address, const QString &connectionName);

    QString FAddress;
    QString FConnectionName;
    QDBusConnection FConnection;
    QStringList FLastContexts;
    bool FReached = false;
    bool FRegistered = false;
    bool FOwnsName = false;
};
