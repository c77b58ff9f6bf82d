#include <windows.h>

#include "support/simprinter.h"
#include "support/watchdog.h"

#include <cstdio>
#include <cstdlib>

#ifndef VJL_NATIVE_BIN
#define VJL_NATIVE_BIN ""
#endif

std::string SimNativeBinDir() {
    const char* env = getenv("VJL_NATIVE_BIN");
    return env && *env ? env : VJL_NATIVE_BIN;
}

std::string SimWinPath(const std::string& unixPath) {
    std::string w = "Z:" + unixPath;
    for (char& c : w)
        if (c == '/') c = '\\';
    return w;
}

bool SimLaunch(const std::string& commandLine) {
    STARTUPINFOA si = {};
    si.cb = sizeof si;
    PROCESS_INFORMATION pi = {};
    std::string line = commandLine;
    // The handles Wine hands back for a Unix process are not real process
    // handles (closing them has closed unrelated ones), so they are left alone.
    return CreateProcessA(nullptr, &line[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr, &si, &pi) != FALSE;
}

namespace {

bool Exists(const std::string& unixPath) {
    return GetFileAttributesA(SimWinPath(unixPath).c_str()) != INVALID_FILE_ATTRIBUTES;
}

std::string ReadText(const std::string& unixPath) {
    std::string out;
    FILE* f = fopen(SimWinPath(unixPath).c_str(), "rb");
    if (!f) return out;
    char buf[512];
    size_t n;
    while ((n = fread(buf, 1, sizeof buf, f)) > 0) out.append(buf, n);
    fclose(f);
    return out;
}

bool WaitPath(const std::string& unixPath, bool present, DWORD ms) {
    for (DWORD waited = 0;; waited += 10) {
        if (Exists(unixPath) == present) return true;
        if (waited >= ms) return false;
        Sleep(10);
    }
}

std::string Quoted(const std::string& arg) {
    if (arg.find_first_of(" \t\"") == std::string::npos && !arg.empty()) return arg;
    std::string q = "\"";
    for (char c : arg) q += c == '"' ? std::string("\\\"") : std::string(1, c);
    return q + "\"";
}

}  // namespace

SimPrinter::SimPrinter(std::string address) : SimControl(std::move(address)) {
    dir_ = "/tmp/vjl-sim-" + address_ + "-" + std::to_string(GetCurrentProcessId());
    CreateDirectoryA(SimWinPath(dir_).c_str(), nullptr);
}

SimPrinter::~SimPrinter() {
    Stop();
    DeleteFileA(SimWinPath(dir_ + "/pid").c_str());
    RemoveDirectoryA(SimWinPath(dir_).c_str());
}

bool SimPrinter::Start(const std::vector<std::string>& options) {
    Stop();
    std::string bin = SimNativeBinDir() + "/printer-sim";
    if (!Exists(bin)) {
        error = bin + " not found: build the native preset or set VJL_NATIVE_BIN";
        return false;
    }
    std::string pidfile = dir_ + "/pid";
    DeleteFileA(SimWinPath(pidfile).c_str());
    // The lifetime is a safety net: nothing outlives a test killed before
    // it could stop its printer.
    std::string cmd = bin + " --addr " + address_ + " --snmp-port " + std::to_string(kSnmpPort) + " --job-port " +
                      std::to_string(kJobPort) + " --ctl-port " + std::to_string(kControlPort) +
                      " --daemon --lifetime 600 --pidfile " + pidfile;
    for (const std::string& o : options) cmd += " " + Quoted(o);
    if (!SimLaunch(cmd)) {
        error = "cannot start " + bin;
        return false;
    }
    // The pid file is written once the ports are open.
    if (!WaitPath(pidfile, true, 10000)) {
        error = "printer-sim on " + address_ + " did not start (address or ports in use?)";
        return false;
    }
    for (int i = 0; i < 100 && !pid_; ++i) {
        pid_ = atoi(ReadText(pidfile).c_str());
        if (!pid_) Sleep(10);
    }
    if (pid_ <= 1) {
        pid_ = 0;
        error = "no pid from printer-sim on " + address_;
        return false;
    }
    WatchdogTrackPid(pid_);
    return true;
}

void SimPrinter::Stop() {
    if (pid_ <= 0) return;
    int pid = pid_;
    pid_ = 0;
    SimLaunch("/bin/kill -TERM " + std::to_string(pid));
    // A clean exit removes the pid file.
    if (!WaitPath(dir_ + "/pid", false, 5000)) {
        SimLaunch("/bin/kill -KILL " + std::to_string(pid));
        Sleep(100);
    }
    WatchdogUntrackPid(pid);
}
