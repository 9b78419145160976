#include "support/stop_signals.h"

#include <signal.h>
#include <sys/signalfd.h>
#include <unistd.h>

namespace hoprate {

StopSignals::StopSignals()
{
    sigset_t stops;
    sigemptyset(&stops);
    sigaddset(&stops, SIGINT);
    sigaddset(&stops, SIGTERM);
    const int opened = signalfd(-1, &stops, SFD_NONBLOCK | SFD_CLOEXEC);
    if (opened < 0)
        return;
    if (sigprocmask(SIG_BLOCK, &stops, nullptr) != 0) {
        close(opened);
        return;
    }
    fd = opened;
}

StopSignals::~StopSignals()
{
    if (fd >= 0)
        close(fd);
}

}  // namespace hoprate
