#include "LinkChannelBus.h"

#include "Exceptions.h"
#include "LinkChannels.h"

#include <QDBusConnectionInterface>
#include <QDBusError>
#include <QDBusMessage>
#include <QDBusReply>
#include <QLoggingCategory>

#include <map>

Q_LOGGING_CATEGORY(lcLinking, "corvane.linking", QtWarningMsg)

namespace {

std::map<QString, std::weak_ptr<TLinkChannelBus>> &LinksByAddress()
{
    static std::map<QString, std::weak_ptr<TLinkChannelBus>> links;
    return links;
}

QDBusConnection ConnectionFor(const QString &address, const QString &connectionName)
{
    if (address.isEmpty())
        return QDBusConnection::sessionBus();
    return QDBusConnection::connectToBus(address, connectionName);
}

} // namespace

std::shared_ptr<TLinkChannelBus> TLinkChannelBus::Attach(const QString &address)
{
    auto &links = LinksByAddress();
    if (auto existing = links[address].lock())
        return existing;
    static int serial = 0;
    const QString connectionName = QStringLiteral("corvane-linking-%1").arg(++serial);
    std::shared_ptr<TLinkChannelBus> link(new TLinkChannelBus(address, connectionName));
    links[address] = link;
    return link;
}

TLinkChannelBus::TLinkChannelBus(const QString &address, const QString &connectionName)
    : FAddress(address), FConnectionName(connectionName), FConnection(ConnectionFor(address, connectionName))
{
    for (int channel = 1; channel <= LinkChannelCount; ++channel)
        FLastContexts.append(QString());
    FReached = FConnection.isConnected();
    if (!FReached) {
        qCInfo(lcLinking) << "no message bus:" << FConnection.lastError().message();
        return;
    }
    FRegistered = FConnection.registerObject(LinkBusPath, this, QDBusConnection::ExportAllProperties);
    if (!FRegistered)
        qCWarning(lcLinking) << "could not register" << LinkBusPath;
    // The name only lets others find one running client; when another client
    // holds it, broadcasts still reach every follower, as they match on the
    // interface and not on the sender.
    if (QDBusConnectionInterface *bus = FConnection.interface()) {
        const QDBusReply<QDBusConnectionInterface::RegisterServiceReply> reply =
            bus->registerService(LinkBusService, QDBusConnectionInterface::DontQueueService,
                                 QDBusConnectionInterface::DontAllowReplacement);
        FOwnsName = reply.isValid() && reply.value() == QDBusConnectionInterface::ServiceRegistered;
        if (!FOwnsName)
            qCInfo(lcLinking) << LinkBusService << "is held by another program";
    }
}

TLinkChannelBus::~TLinkChannelBus()
{
    auto &links = LinksByAddress();
    auto found = links.find(FAddress);
    if (found != links.end() && found->second.expired())
        links.erase(found);
    if (FConnection.isConnected()) {
        if (FOwnsName)
            FConnection.unregisterService(LinkBusService);
        if (FRegistered)
            FConnection.unregisterObject(LinkBusPath);
    }
    if (!FAddress.isEmpty())
        QDBusConnection::disconnectFromBus(FConnectionName);
}

bool TLinkChannelBus::Connected() const
{
    return FConnection.isConnected();
}

bool TLinkChannelBus::Broadcast(int channel, const QString &contextJson, QString *error)
{
    Assert(IsLinkChannel(channel));
    if (!FConnection.isConnected()) {
        if (error)
            *error = QStringLiteral("the desktop session bus is no longer reachable");
        return false;
    }
    QDBusMessage signal = QDBusMessage::createSignal(LinkBusPath, LinkBusInterface, LinkBusSignal);
    signal << channel << contextJson;
    if (!FConnection.send(signal)) {
        if (error) {
            const QString reason = FConnection.lastError().message();
            *error = reason.isEmpty() ? QStringLiteral("the message bus refused the broadcast") : reason;
        }
        return false;
    }
    FLastContexts[channel - 1] = contextJson;
    return true;
}
