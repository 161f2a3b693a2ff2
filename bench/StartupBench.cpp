// Start-up time: from starting the process to its first window being mapped
// on the X display, for the client and for a minimal Qt widgets program, in
// alternation within one run. The window manager's map is watched from
// outside, so neither program needs any help to be measured.

#include "Benchmarks.h"

#include "BenchSupport.h"

#include <stdexcept>

#ifdef CORVANE_BENCH_HAVE_X11

#include <X11/Xlib.h>

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <poll.h>

namespace {

// Seconds from fork to the first MapNotify of a top-level window.
double TimeToFirstWindow(Display *display, const std::string &program, const std::string &configHome)
{
    // Drop whatever the previous program left behind.
    XSync(display, True);
    const double start = NowSeconds();
    const pid_t child = fork();
    if (child < 0)
        throw std::runtime_error("fork failed");
    if (child == 0) {
        setenv("QT_QPA_PLATFORM", "xcb", 1);
        setenv("XDG_CONFIG_HOME", configHome.c_str(), 1);
        execl(program.c_str(), program.c_str(), static_cast<char *>(nullptr));
        std::_Exit(127);
    }
    double shown = -1;
    const int fd = ConnectionNumber(display);
    while (shown < 0) {
        while (XPending(display) > 0) {
            XEvent event;
            XNextEvent(display, &event);
            if (event.type == MapNotify && !event.xmap.override_redirect) {
                shown = NowSeconds();
                break;
            }
        }
        if (shown >= 0)
            break;
        if (NowSeconds() - start > 60) {
            kill(child, SIGKILL);
            waitpid(child, nullptr, 0);
            throw std::runtime_error(program + " showed no window within 60 s");
        }
        int status = 0;
        if (waitpid(child, &status, WNOHANG) == child)
            throw std::runtime_error(program + " ended before it showed a window");
        pollfd wait{fd, POLLIN, 0};
        poll(&wait, 1, 5);
    }
    kill(child, SIGKILL);
    waitpid(child, nullptr, 0);
    return shown - start;
}

} // namespace

void RunStartupBench(const TStartupOptions &options)
{
    if (options.ClientProgram.empty())
        throw std::runtime_error("startup needs --client PATH");
    Display *display = XOpenDisplay(nullptr);
    if (!display)
        throw std::runtime_error("startup needs an X display (DISPLAY)");
    XSelectInput(display, DefaultRootWindow(display), SubstructureNotifyMask);
    XSync(display, False);

    char pattern[] = "/tmp/corvane-bench-startup-XXXXXX";
    const char *configHome = mkdtemp(pattern);
    if (!configHome)
        throw std::runtime_error("cannot make a temporary settings folder");

    // One unmeasured start of each warms the file cache.
    TimeToFirstWindow(display, options.BaselineProgram, configHome);
    TimeToFirstWindow(display, options.ClientProgram, configHome);
    std::vector<double> baseline, client;
    for (int round = 0; round < options.Rounds; ++round) {
        baseline.push_back(TimeToFirstWindow(display, options.BaselineProgram, configHome));
        client.push_back(TimeToFirstWindow(display, options.ClientProgram, configHome));
    }
    XCloseDisplay(display);
    std::system((std::string("rm -rf '") + configHome + "'").c_str());

    const double baselineSeconds = Median(baseline);
    const double clientSeconds = Median(client);
    PrintFigure("startup_client_ms", clientSeconds * 1000, 1);
    PrintFigure("startup_minimal_ms", baselineSeconds * 1000, 1);
    PrintFigure("startup_ratio", clientSeconds / baselineSeconds, 3);
}

#else

void RunStartupBench(const TStartupOptions &)
{
    throw std::runtime_error("built without X11: start-up cannot be watched");
}

#endif
