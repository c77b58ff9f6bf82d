// The simulated printer from Windows programs (the bench's tests, vjlhost):
// its control channel, one command per connection to <address>:9190, with
// the replies of the queries parsed (request log, job table, received
// jobs); and the native printer-sim process itself, started on an address
// of its own and stopped by its process id. See README.md beside it.
#pragma once
#include <windows.h>

#include <functional>
#include <string>
#include <vector>

// One SNMP request the printer answered (or dropped by injection).
struct SimRequest {
    long long ms = 0;                 // the printer's monotonic clock
    std::string kind;                 // get, getnext, set
    std::vector<std::string> oids;
};

// One row of the printer's job table.
struct SimJob {
    unsigned number = 0, seq = 0;
    std::string fwid;                 // the job index, e.g. "1.3"
    std::string jcid, name;           // unescaped bytes
    int state = 0;
    unsigned reason = 0, pages = 0;
    unsigned long long bytes = 0;
    bool open = false;
    long long doneMs = -1;            // when it completed, on the printer's clock
};

// One job the printer received since it started (or the last clear).
struct SimReceived {
    unsigned seq = 0, job = 0;
    std::string jcid, name, language;
    unsigned long long bytes = 0;
    unsigned formfeeds = 0, pages = 0;
    int state = 0;
    unsigned reason = 0;
    std::string end;                  // open, closed, reset, poweroff
};

class SimControl {
public:
    // Ports of every simulated printer; each printer has an address of its own.
    static constexpr unsigned short kSnmpPort = 161;
    static constexpr unsigned short kJobPort = 9100;
    static constexpr unsigned short kControlPort = 9190;

    explicit SimControl(std::string address) : address_(std::move(address)) {}
    const std::string& address() const { return address_; }

    // One control command; true on OK. The reply's data lines go to *lines.
    bool Command(const std::string& line, std::vector<std::string>* lines = nullptr);
    std::vector<std::string> Query(const std::string& line);

    std::vector<SimRequest> Requests();
    // Requests of this kind ("" any) naming an object under the OID prefix
    // ("" any), e.g. ("getnext", "1.3.6.1.4.1.253.8.59.8") for JCID lookups.
    size_t CountRequests(const std::string& kind, const std::string& oidPrefix = "");
    std::vector<SimJob> Jobs();
    std::vector<SimReceived> Received();
    std::string Data(unsigned seq);   // the bytes received for job seq
    // A `name value` line of `status` or `stats`; "" when absent.
    std::string StatusValue(const std::string& name);
    long long Stat(const std::string& name);
    // The printer's monotonic clock (that of requests and completions), ms.
    long long Clock();

    // Asks the printer until cond holds; false after timeoutMs.
    bool WaitUntil(const std::function<bool()>& cond, DWORD timeoutMs = 10000);

    std::string error;                // why the last command (or Start) failed; empty after a good one

protected:
    std::string address_;
};

// A printer-sim process started from Windows. The program is found in the
// folder named by the environment variable VJL_NATIVE_BIN, else in the one
// given at build time (build/native/bin of the source tree).
class SimProcess : public SimControl {
public:
    explicit SimProcess(std::string address);
    ~SimProcess();
    SimProcess(const SimProcess&) = delete;
    SimProcess& operator=(const SimProcess&) = delete;

    // Starts the printer with printer-sim options besides the address and the
    // ports (e.g. {"--page-ms", "100"}, or {"--count", "250"} for as many
    // printers at consecutive addresses in one process, each reached with
    // SimControl(its address)); returns once its ports are open. It ends by
    // itself after 600 s, should its owner be killed first.
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
