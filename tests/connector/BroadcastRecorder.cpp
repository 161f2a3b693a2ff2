#include "BroadcastRecorder.h"

#include "LinkChannels.h"

#include <QDBusConnectionInterface>

namespace {

QString NextName()
{
    static int serial = 0;
    return QStringLiteral("test-recorder-%1").arg(++serial);
}

QDBusConnection Connect(const QString &address, const QString &name)
{
    if (address.isEmpty())
        return QDBusConnection::connectToBus(QDBusConnection::SessionBus, name);
    return QDBusConnection::connectToBus(address, name);
}

} // namespace

TBroadcastRecorder::TBroadcastRecorder(const QString &busAddress, const QString &sender)
    : FName(NextName()), FConnection(Connect(busAddress, FName))
{
    if (!FConnection.isConnected())
        return;
    FListening = FConnection.connect(sender, LinkBusPath, LinkBusInterface, LinkBusSignal, this,
                                     SLOT(SymbolBroadcast(int, QString)));
    // Once the bus answers, the subscription is in force.
    FConnection.interface()->isServiceRegistered(LinkBusService);
}

TBroadcastRecorder::~TBroadcastRecorder()
{
    QDBusConnection::disconnectFromBus(FName);
}

void TBroadcastRecorder::SymbolBroadcast(int channel, const QString &contextJson)
{
    Received.push_back({channel, contextJson});
}
