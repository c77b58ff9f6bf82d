// The simulated printer of a Windows test: a printer-sim process on the
// test's own address (tools/printer-sim/control.h) whose process id the
// watchdog knows, so that a hung test does not leave it behind.
#pragma once
#include "control.h"

class SimPrinter : public SimProcess {
public:
    using SimProcess::SimProcess;
    ~SimPrinter() { Stop(); }
    bool Start(const std::vector<std::string>& options = {});
    void Stop();
};
