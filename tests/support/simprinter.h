// The simulated printer from a Windows test: a native printer-sim process on
// an address of its own (SNMP on 161, job port 9100, control port 9190),
// driven through its control channel (tools/printer-sim/control.h) and
// stopped by its process id.
//
// The program is found in the folder named by the environment variable
// VJL_NATIVE_BIN, else in the one given at configure time (build/native/bin
// of the source tree): build the native preset first.
#pragma once
#include "control.h"

class SimPrinter : public SimControl {
public:
    explicit SimPrinter(std::string address);
    ~SimPrinter();
    SimPrinter(const SimPrinter&) = delete;
    SimPrinter& operator=(const SimPrinter&) = delete;

    // Starts the printer with printer-sim options besides the address and the
    // ports (e.g. {"--page-ms", "100"}, or {"--count", "250"} for as many
    // printers at consecutive addresses in one process, each reached with
    // SimControl(its address)); returns once its ports are open.
    bool Start(const std::vector<std::string>& options = {});
    // Stops it by its process id and waits until it has gone.
    void Stop();
    bool Running() const { return pid_ > 0; }
    int pid() const { return pid_; }

private:
    std::string dir_;                 // scratch folder (Unix path)
    int pid_ = 0;
};

// Unix path of the folder of the native programs; Windows form of a Unix path.
std::string SimNativeBinDir();
std::string SimWinPath(const std::string& unixPath);
// Runs a Unix program (its Unix path and arguments); it cannot be waited on.
bool SimLaunch(const std::string& commandLine);
