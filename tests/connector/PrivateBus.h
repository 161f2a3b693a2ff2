#pragma once

#include "EventLoop.h"

#include <QProcess>
#include <QString>
#include <QStringList>

// A message bus of the test's own, started and stopped by the test, so that
// nothing else on the machine talks on it and it can be taken away.
class TPrivateBus
{
public:
    TPrivateBus()
    {
        FDaemon.setProgram(QStringLiteral("dbus-daemon"));
        FDaemon.setArguments({QStringLiteral("--session"), QStringLiteral("--nofork"),
                              QStringLiteral("--nopidfile"), QStringLiteral("--print-address=1")});
        FDaemon.start();
        // The daemon prints its address once it listens.
        WaitFor(
            [this] {
                FOutput += FDaemon.readAllStandardOutput();
                return FOutput.contains('\n') || FDaemon.state() == QProcess::NotRunning;
            },
            60000);
        if (FOutput.contains('\n'))
            FAddress = QString::fromUtf8(FOutput.left(FOutput.indexOf('\n'))).trimmed();
    }

    ~TPrivateBus() { Stop(); }

    TPrivateBus(const TPrivateBus &) = delete;
    TPrivateBus &operator=(const TPrivateBus &) = delete;

    // Empty when the daemon did not start.
    QString Address() const { return FAddress; }

    void Stop()
    {
        if (FDaemon.state() == QProcess::NotRunning)
            return;
        FDaemon.kill();
        FDaemon.waitForFinished(-1);
    }

private:
    QProcess FDaemon;
    QByteArray FOutput;
    QString FAddress;
};
