// Native Linux helpers of the SNMP client's Wine tests: Net-SNMP's agent and
// the scripted responder, started through Wine as Unix processes and stopped
// by their process id.
//
// The helpers are found in the folder named by the environment variable
// VJL_NATIVE_BIN, else in the one given at configure time (cache variable
// VJL_NATIVE_BIN, default build/native/bin of the source tree): build the
// native preset first.
#pragma once
#include <cstdint>
#include <string>
#include <vector>

using Bytes = std::vector<uint8_t>;

std::string NativeBinDir();           // Unix path
std::string HexOf(const Bytes& b);

class NativeProcess {
public:
    // A scratch folder of its own under /tmp, named after the address.
    explicit NativeProcess(const std::string& addr);
    ~NativeProcess();
    NativeProcess(const NativeProcess&) = delete;
    NativeProcess& operator=(const NativeProcess&) = delete;

    // Starts the scripted responder on the comma-separated addresses.
    bool StartResponder(const std::string& addrs, const std::string& script);
    // Starts snmpd on the address.
    bool StartAgent();
    // Stops the process by its id and waits until it has gone.
    void Stop();
    // Datagrams the responder received, in order.
    std::vector<Bytes> Received() const;

    std::string error;

private:
    bool Launch(const std::string& cmd);
    bool WaitFile(const std::string& name, int ms) const;
    std::string ReadFile(const std::string& name) const;
    std::string WinPath(const std::string& name) const;

    std::string addr_;
    std::string dir_;                 // Unix path
    bool running_ = false;
};
