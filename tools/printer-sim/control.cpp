#include <winsock2.h>
#include <windows.h>

#include "control.h"

#include <cstdio>
#include <cstdlib>

namespace {

void StartSockets() {
    static bool started = [] {
        WSADATA wsa;
        return WSAStartup(MAKEWORD(2, 2), &wsa) == 0;
    }();
    (void)started;
}

// The printer's quoted texts: \xNN, \\ and \" escapes.
std::string Unquote(const std::string& v) {
    std::string s = v.size() >= 2 && v.front() == '"' && v.back() == '"' ? v.substr(1, v.size() - 2) : v;
    std::string out;
    for (size_t i = 0; i < s.size(); ++i) {
        if (s[i] != '\\' || i + 1 == s.size()) {
            out += s[i];
        } else if (s[i + 1] == 'x' && i + 3 < s.size()) {
            out += static_cast<char>(strtoul(s.substr(i + 2, 2).c_str(), nullptr, 16));
            i += 3;
        } else {
            out += s[++i];
        }
    }
    return out;
}

// key=value fields of a reply line; quoted values may hold blanks.
std::string Field(const std::string& line, const std::string& key) {
    std::string k = " " + key + "=";
    size_t p = (" " + line).find(k);
    if (p == std::string::npos) return std::string();
    p += key.size() + 1;   // position after '=' in line
    if (p < line.size() && line[p] == '"') {
        size_t q = p + 1;
        while (q < line.size() && line[q] != '"') q += line[q] == '\\' ? 2 : 1;
        return line.substr(p, q + 1 - p);
    }
    size_t e = line.find(' ', p);
    return line.substr(p, e == std::string::npos ? std::string::npos : e - p);
}

unsigned long long Num(const std::string& s) { return strtoull(s.c_str(), nullptr, 0); }

}  // namespace

bool SimControl::Command(const std::string& line, std::vector<std::string>* lines) {
    StartSockets();
    if (lines) lines->clear();
    error.clear();
    SOCKET s = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    if (s == INVALID_SOCKET) {
        error = "no socket";
        return false;
    }
    DWORD timeout = 10000;
    setsockopt(s, SOL_SOCKET, SO_RCVTIMEO, reinterpret_cast<const char*>(&timeout), sizeof timeout);
    sockaddr_in a = {};
    a.sin_family = AF_INET;
    a.sin_port = htons(kControlPort);
    a.sin_addr.s_addr = inet_addr(address_.c_str());
    std::string out = line + "\n";
    if (connect(s, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 ||
        send(s, out.data(), static_cast<int>(out.size()), 0) != static_cast<int>(out.size())) {
        error = "control port of " + address_ + " not reachable (error " + std::to_string(WSAGetLastError()) + ")";
        closesocket(s);
        return false;
    }
    std::string buf;
    bool ok = false, done = false;
    char tmp[8192];
    while (!done) {
        size_t nl;
        while (!done && (nl = buf.find('\n')) != std::string::npos) {
            std::string l = buf.substr(0, nl);
            buf.erase(0, nl + 1);
            if (!l.empty() && l.back() == '\r') l.pop_back();
            if (l == "OK") {
                ok = done = true;
            } else if (l.compare(0, 3, "ERR") == 0) {
                error = address_ + ": " + line + ": " + l;
                done = true;
            } else if (lines) {
                lines->push_back(l);
            }
        }
        if (done) break;
        int n = recv(s, tmp, sizeof tmp, 0);
        if (n <= 0) {
            error = "control connection to " + address_ + " lost";
            break;
        }
        buf.append(tmp, n);
    }
    closesocket(s);
    return ok;
}

std::vector<std::string> SimControl::Query(const std::string& line) {
    std::vector<std::string> lines;
    Command(line, &lines);
    return lines;
}

std::vector<SimRequest> SimControl::Requests() {
    std::vector<SimRequest> out;
    for (const std::string& l : Query("requests")) {
        SimRequest r;
        size_t p = 0;
        std::vector<std::string> words;
        while (p < l.size()) {
            size_t e = l.find(' ', p);
            if (e == std::string::npos) e = l.size();
            if (e > p) words.push_back(l.substr(p, e - p));
            p = e + 1;
        }
        if (words.size() < 2) continue;
        r.ms = atoll(words[0].c_str());
        r.kind = words[1];
        r.oids.assign(words.begin() + 2, words.end());
        out.push_back(r);
    }
    return out;
}

size_t SimControl::CountRequests(const std::string& kind, const std::string& oidPrefix) {
    size_t n = 0;
    for (const SimRequest& r : Requests()) {
        if (!kind.empty() && r.kind != kind) continue;
        for (const std::string& oid : r.oids)
            if (oid.compare(0, oidPrefix.size(), oidPrefix) == 0 &&
                (oid.size() == oidPrefix.size() || oidPrefix.empty() || oid[oidPrefix.size()] == '.')) {
                ++n;
                break;
            }
    }
    return n;
}

std::vector<SimJob> SimControl::Jobs() {
    std::vector<SimJob> out;
    for (const std::string& l : Query("jobs")) {
        if (l.compare(0, 4, "job ") != 0) continue;
        SimJob j;
        j.number = static_cast<unsigned>(Num(l.substr(4)));
        j.seq = static_cast<unsigned>(Num(Field(l, "seq")));
        j.fwid = Field(l, "fwid");
        j.jcid = Unquote(Field(l, "jcid"));
        j.name = Unquote(Field(l, "name"));
        j.state = static_cast<int>(Num(Field(l, "state")));
        j.reason = static_cast<unsigned>(Num(Field(l, "reason")));
        j.pages = static_cast<unsigned>(Num(Field(l, "pages")));
        j.bytes = Num(Field(l, "bytes"));
        j.open = Field(l, "open") == "1";
        std::string done = Field(l, "done");
        if (!done.empty()) j.doneMs = atoll(done.c_str());
        out.push_back(j);
    }
    return out;
}

std::vector<SimReceived> SimControl::Received() {
    std::vector<SimReceived> out;
    for (const std::string& l : Query("received")) {
        if (l.compare(0, 5, "recv ") != 0) continue;
        SimReceived r;
        r.seq = static_cast<unsigned>(Num(l.substr(5)));
        r.job = static_cast<unsigned>(Num(Field(l, "job")));
        r.jcid = Unquote(Field(l, "jcid"));
        r.name = Unquote(Field(l, "name"));
        r.language = Unquote(Field(l, "language"));
        r.bytes = Num(Field(l, "bytes"));
        r.formfeeds = static_cast<unsigned>(Num(Field(l, "formfeeds")));
        r.pages = static_cast<unsigned>(Num(Field(l, "pages")));
        r.state = static_cast<int>(Num(Field(l, "state")));
        r.reason = static_cast<unsigned>(Num(Field(l, "reason")));
        r.end = Field(l, "end");
        out.push_back(r);
    }
    return out;
}

std::string SimControl::Data(unsigned seq) {
    std::string bytes;
    for (const std::string& l : Query("data " + std::to_string(seq)))
        for (size_t i = 0; i + 1 < l.size(); i += 2)
            bytes += static_cast<char>(strtoul(l.substr(i, 2).c_str(), nullptr, 16));
    return bytes;
}

std::string SimControl::StatusValue(const std::string& name) {
    for (const char* q : {"status", "stats"})
        for (const std::string& l : Query(q))
            if (l.compare(0, name.size() + 1, name + " ") == 0) return l.substr(name.size() + 1);
    return std::string();
}

long long SimControl::Stat(const std::string& name) { return atoll(StatusValue(name).c_str()); }

long long SimControl::Clock() {
    for (const std::string& l : Query("clock"))
        if (l.compare(0, 6, "clock ") == 0) return atoll(l.c_str() + 6);
    return -1;
}

bool SimControl::WaitUntil(const std::function<bool()>& cond, DWORD timeoutMs) {
    ULONGLONG end = GetTickCount64() + timeoutMs;
    for (;;) {
        if (cond()) return true;
        if (GetTickCount64() >= end) return false;
        Sleep(20);
    }
}

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

SimProcess::SimProcess(std::string address) : SimControl(std::move(address)) {
    dir_ = "/tmp/vjl-sim-" + address_ + "-" + std::to_string(GetCurrentProcessId());
    CreateDirectoryA(SimWinPath(dir_).c_str(), nullptr);
}

SimProcess::~SimProcess() {
    Stop();
    DeleteFileA(SimWinPath(dir_ + "/pid").c_str());
    RemoveDirectoryA(SimWinPath(dir_).c_str());
}

bool SimProcess::Start(const std::vector<std::string>& options) {
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
    return true;
}

void SimProcess::Stop() {
    if (pid_ <= 0) return;
    int pid = pid_;
    pid_ = 0;
    SimLaunch("/bin/kill -TERM " + std::to_string(pid));
    // A clean exit removes the pid file.
    if (!WaitPath(dir_ + "/pid", false, 5000)) {
        SimLaunch("/bin/kill -KILL " + std::to_string(pid));
        Sleep(100);
    }
}
