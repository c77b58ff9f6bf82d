#include "support/simprinter.h"
#include "support/watchdog.h"

bool SimPrinter::Start(const std::vector<std::string>& options) {
    Stop();
    if (!SimProcess::Start(options)) return false;
    WatchdogTrackPid(pid());
    return true;
}

void SimPrinter::Stop() {
    int pid = this->pid();
    SimProcess::Stop();
    if (pid) WatchdogUntrackPid(pid);
}
