#include "StopSignals.h"

#include <csignal>
#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

int SignalFds[2] = {-1, -1};

void HandleSignal(int signal)
{
    const int saved = errno;
    const unsigned char byte = static_cast<unsigned char>(signal);
    // Nothing to do if the pipe is full: a stop is already on its way.
    [[maybe_unused]] const ssize_t written = ::write(SignalFds[0], &byte, 1);
    errno = saved;
}

} // namespace

TStopSignals::TStopSignals()
{
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, SignalFds) != 0)
        return;
    ::fcntl(SignalFds[0], F_SETFL, ::fcntl(SignalFds[0], F_GETFL) | O_NONBLOCK);
    FNotifier = std::make_unique<QSocketNotifier>(SignalFds[1], QSocketNotifier::Read);
    connect(FNotifier.get(), &QSocketNotifier::activated, this, &TStopSignals::Readable);

    struct sigaction action = {};
    action.sa_handler = HandleSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    FInstalled = ::sigaction(SIGINT, &action, nullptr) == 0 && ::sigaction(SIGTERM, &action, nullptr) == 0;
}

TStopSignals::~TStopSignals()
{
    struct sigaction action = {};
    action.sa_handler = SIG_DFL;
    sigemptyset(&action.sa_mask);
    ::sigaction(SIGINT, &action, nullptr);
    ::sigaction(SIGTERM, &action, nullptr);
    FNotifier.reset();
    for (int &fd : SignalFds) {
        if (fd >= 0)
            ::close(fd);
        fd = -1;
    }
}

void TStopSignals::Readable()
{
    unsigned char byte = 0;
    if (::read(SignalFds[1], &byte, 1) != 1)
        return;
    if (OnSignal)
        OnSignal(byte);
}
