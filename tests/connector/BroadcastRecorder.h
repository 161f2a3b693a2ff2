#pragma once

#include <QDBusConnection>
#include <QObject>
#include <QString>

#include <ostream>
#include <vector>

struct TBroadcast
{
    int Channel = 0;
    QString Context;
    bool operator==(const TBroadcast &other) const = default;
};

inline void PrintTo(const TBroadcast &broadcast, std::ostream *os)
{
    *os << broadcast.Channel << " " << broadcast.Context.toStdString();
}

// Another program on the bus: its own connection, following the broadcasts of
// one sender (tests share the session bus with other test processes).
class TBroadcastRecorder : public QObject
{
    Q_OBJECT
public:
    // An empty address is the session bus.
    TBroadcastRecorder(const QString &busAddress, const QString &sender);
    ~TBroadcastRecorder() override;

    bool Listening() const { return FListening; }
    QDBusConnection Connection() const { return FConnection; }

    std::vector<TBroadcast> Received;

public slots:
    void SymbolBroadcast(int channel, const QString &contextJson);

private:
    QString FName;
    QDBusConnection FConnection;
    bool FListening = false;
};
