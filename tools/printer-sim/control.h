// The simulated printer's control channel from Windows: one command per
// connection to <address>:9190, and the replies of the queries parsed
// (request log, job table, received jobs). Used by the bench's tests and by
// vjlhost. See README.md beside it for the protocol.
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
    std::vector<SimJob> Jobs();
    std::vector<SimReceived> Received();
    std::string Data(unsigned seq);   // the bytes received for job seq
    // A `name value` line of `status` or `stats`; "" when absent.
    std::string StatusValue(const std::string& name);
    long long Stat(const std::string& name);

    // Asks the printer until cond holds; false after timeoutMs.
    bool WaitUntil(const std::function<bool()>& cond, DWORD timeoutMs = 10000);

    std::string error;                // why the last command failed

protected:
    std::string address_;
};
