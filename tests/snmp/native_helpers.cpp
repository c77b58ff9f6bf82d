#include "native_helpers.h"

#include <windows.h>

#include <cstdio>
#include <cstdlib>

#ifndef VJL_NATIVE_BIN
#define VJL_NATIVE_BIN ""
#endif

std::string NativeBinDir() {
    const char* env = getenv("VJL_NATIVE_BIN");
    return env && *env ? env : VJL_NATIVE_BIN;
}

std::string HexOf(const Bytes& b) {
    std::string s;
    char h[4];
    for (uint8_t c : b) snprintf(h, sizeof h, "%02X", c), s += h;
    return s;
}

namespace {

std::string ToWin(const std::string& unixPath) {
    std::string w = "Z:" + unixPath;
    for (char& c : w)
        if (c == '/') c = '\\';
    return w;
}

bool Exists(const std::string& winPath) { return GetFileAttributesA(winPath.c_str()) != INVALID_FILE_ATTRIBUTES; }

void RemoveTree(const std::string& winDir) {
    WIN32_FIND_DATAA fd;
    HANDLE h = FindFirstFileA((winDir + "\\*").c_str(), &fd);
    if (h != INVALID_HANDLE_VALUE) {
        do {
            std::string n = fd.cFileName;
            if (n == "." || n == "..") continue;
            std::string p = winDir + "\\" + n;
            if (fd.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)
                RemoveTree(p);
            else
                DeleteFileA(p.c_str());
        } while (FindNextFileA(h, &fd));
        FindClose(h);
    }
    RemoveDirectoryA(winDir.c_str());
}

} // namespace

NativeProcess::NativeProcess(const std::string& addr) : addr_(addr) {
    dir_ = "/tmp/vjl-snmp-" + addr + "-" + std::to_string(GetCurrentProcessId());
    RemoveTree(ToWin(dir_));
    CreateDirectoryA(ToWin(dir_).c_str(), nullptr);
}

NativeProcess::~NativeProcess() {
    Stop();
    RemoveTree(ToWin(dir_));
}

std::string NativeProcess::WinPath(const std::string& name) const { return ToWin(dir_ + "/" + name); }

bool NativeProcess::WaitFile(const std::string& name, int ms) const {
    for (int waited = 0; waited < ms; waited += 10) {
        if (Exists(WinPath(name))) return true;
        Sleep(10);
    }
    return Exists(WinPath(name));
}

std::string NativeProcess::ReadFile(const std::string& name) const {
    std::string out;
    FILE* f = fopen(WinPath(name).c_str(), "rb");
    if (!f) return out;
    char buf[4096];
    size_t n;
    while ((n = fread(buf, 1, sizeof buf, f)) > 0) out.append(buf, n);
    fclose(f);
    return out;
}

// Wine runs a Unix program given by its Unix path as a Unix process; it
// cannot be waited on, so readiness and exit are seen through files.
bool NativeProcess::Launch(const std::string& cmd) {
    STARTUPINFOA si = {};
    si.cb = sizeof si;
    PROCESS_INFORMATION pi = {};
    std::string line = cmd;
    if (!CreateProcessA(nullptr, &line[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr, &si, &pi)) {
        error = "cannot start " + cmd;
        return false;
    }
    // The handles Wine hands back for a Unix process are not real process
    // handles; closing them has been seen to close an unrelated handle (a
    // socket created later), so they are left alone.
    return true;
}

bool NativeProcess::StartResponder(const std::string& addrs, const std::string& script) {
    std::string bin = NativeBinDir() + "/snmp-responder";
    if (!Exists(ToWin(bin))) {
        error = bin + " not found: build the native preset or set VJL_NATIVE_BIN";
        return false;
    }
    FILE* f = fopen(WinPath("script").c_str(), "wb");
    if (!f) return false;
    fputs(script.c_str(), f);
    fclose(f);
    if (!Launch(bin + " " + dir_ + " " + addrs + " 120")) return false;
    running_ = true;
    if (!WaitFile("ready", 10000)) {
        error = "responder on " + addrs + " did not start";
        return false;
    }
    return true;
}

bool NativeProcess::StartAgent() {
    std::string script = NativeBinDir() + "/snmp-agent.sh";
    if (!Exists(ToWin(script))) {
        error = script + " not found: build the native preset or set VJL_NATIVE_BIN";
        return false;
    }
    if (!Launch("/bin/sh " + script + " " + dir_ + " " + addr_)) return false;
    running_ = true;
    if (!WaitFile("ready", 15000)) {
        error = "snmpd on " + addr_ + " did not answer";
        return false;
    }
    return true;
}

void NativeProcess::Stop() {
    if (!running_) return;
    running_ = false;
    if (!WaitFile("pid", 5000)) return;
    int pid = atoi(ReadFile("pid").c_str());
    if (pid <= 1) return;
    Launch("/bin/kill -TERM " + std::to_string(pid));
    for (int waited = 0; waited < 5000 && Exists(WinPath("pid")); waited += 10) Sleep(10);
}

std::vector<Bytes> NativeProcess::Received() const {
    std::vector<Bytes> out;
    std::string text = ReadFile("received");
    size_t pos = 0;
    while (pos < text.size()) {
        size_t eol = text.find('\n', pos);
        if (eol == std::string::npos) eol = text.size();
        Bytes b;
        for (size_t i = pos; i + 1 < eol; i += 2) b.push_back(static_cast<uint8_t>(strtoul(text.substr(i, 2).c_str(), nullptr, 16)));
        out.push_back(b);
        pos = eol + 1;
    }
    return out;
}
