#pragma once

// The built corvane-demo-server program, for the tests that run it.

#include "EventLoop.h"

#include <QCoreApplication>
#include <QFile>
#include <QProcess>
#include <QRegularExpression>
#include <QStringList>

#include <gtest/gtest.h>

#include <initializer_list>

inline QString ServerProgram()
{
    const QString buildDir = qEnvironmentVariable("CORVANE_BUILD_DIR");
    const QString base =
        buildDir.isEmpty() ? QCoreApplication::applicationDirPath() + QStringLiteral("/..") : buildDir;
    return base + QStringLiteral("/tools/demo-server/corvane-demo-server");
}

inline QStringList Arguments(std::initializer_list<const char *> items)
{
    QStringList list;
    for (const char *item : items)
        list << QString::fromUtf8(item);
    return list;
}

// One run of the program, killed at the end of the test if still running.
class TDemoServerProgramTest : public ::testing::Test
{
protected:
    void SetUp() override { ASSERT_TRUE(QFile::exists(ServerProgram())) << ServerProgram().toStdString(); }

    void TearDown() override
    {
        if (Process.state() != QProcess::NotRunning) {
            Process.kill();
            Process.waitForFinished(10000);
        }
    }

    // The port from the next line of standard output, which must read
    // "<what> 127.0.0.1:PORT"; 0 if it does not come or does not match.
    quint16 ReadPort(const char *what)
    {
        if (!WaitFor([&] { return Process.canReadLine() || Process.state() == QProcess::NotRunning; }, 30000))
            return 0;
        const QString line = QString::fromUtf8(Process.readLine()).trimmed();
        const QRegularExpressionMatch match =
            QRegularExpression(QStringLiteral("^%1 127\\.0\\.0\\.1:(\\d+)$").arg(QString::fromUtf8(what)))
                .match(line);
        EXPECT_TRUE(match.hasMatch()) << line.toStdString();
        return match.hasMatch() ? static_cast<quint16>(match.captured(1).toUInt()) : 0;
    }

    QProcess Process;
};
