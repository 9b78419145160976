// SIGINT and SIGTERM as a descriptor to wait on: blocked for the whole process and read
// through a signalfd, so that a run sees them in its waits (LinuxNetwork::watchStopSignals)
// and ends in order, its result printed. They stay blocked until the process ends: one
// that comes after the waits are over is not acted on.
#pragma once

namespace hoprate {

class StopSignals {
public:
    StopSignals();
    StopSignals(const StopSignals &) = delete;
    StopSignals &operator=(const StopSignals &) = delete;
    ~StopSignals();
    // -1 when the host gave no signalfd: the signals then keep their default action.
    int descriptor() const { return fd; }

private:
    int fd = -1;
};

}  // namespace hoprate
