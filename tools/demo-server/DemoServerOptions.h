#pragma once

#include <QString>
#include <QStringList>

#include <cstdint>
#include <string>
#include <vector>

struct TDemoUser
{
    std::string Name;
    std::string Password;
};

// Everything the command line can set. Durations are in seconds; 0 means off.
struct TDemoServerOptions
{
    QString BindAddress = QStringLiteral("127.0.0.1");
    int Port = 9339;
    // Empty: any non-empty user name and password is accepted.
    std::vector<TDemoUser> Users;
    double Rate = 8;
    std::uint64_t Seed = 1;
    double DropAfter = 0;
    double CorruptAfter = 0;
    bool NoPingReplies = false;
    bool StopLogin = false;
    std::string StopLoginMessage;
    // The HTTP tunnel end; -1: none, 0: a free port.
    int HttpPort = -1;
    // Random faults, the same for every run with the same seed.
    bool Chaos = false;
    std::uint64_t ChaosSeed = 0;
    // Multiplies every wait and duration of the chaos faults.
    double ChaosScale = 1;
    bool Help = false;
};

struct TDemoServerOptionsResult
{
    TDemoServerOptions Options;
    // Empty when the command line was understood.
    std::string Error;
    bool Ok() const { return Error.empty(); }
};

// Parses the arguments that follow the program name. Both "--name value" and
// "--name=value" are accepted.
TDemoServerOptionsResult ParseDemoServerOptions(const QStringList &arguments);

std::string DemoServerUsage();
