// Port monitor double: logs every call through its MONITOR2 table and
// behaves as the tests script it.
#include <winsock2.h>
#include <ws2tcpip.h>
#include <windows.h>

#include "pmdouble.h"

#include <algorithm>
#include <cstring>
#include <cwctype>
#include <deque>
#include <map>
#include <set>

namespace {

struct PmPort {
    DWORD magic = 0x504D4450;   // "PDMP"
    std::wstring name;
    SOCKET sock = INVALID_SOCKET;
    int docIndex = -1;          // index into documents while a document is open
};

struct FailScript {
    DWORD skip = 0, count = 0, error = 0;
};

struct DevAnswer {
    std::string out;
    DWORD cbReported = ~0u;
    BOOL result = TRUE;
    DWORD error = 0;
};

struct State {
    std::vector<PmCall> log;
    std::vector<std::string> documents;
    std::string allWritten;
    std::set<PmPort*> ports;
    DWORD seq = 0;
    size_t badHandles = 0;
    FailScript fail[PM_OP_COUNT];
    DWORD shortMax = 0, shortCount = 0;
    DWORD writeDelay = 0;
    bool hold = false;
    std::map<DWORD, DevAnswer> devAnswers;
    std::map<std::pair<DWORD, std::string>, DevAnswer> devAnswersFor;
    std::deque<std::string> reads;
    std::function<void(const PmCall&)> hooks[PM_OP_COUNT];
    unsigned short sinkPort = 0;
    struct Target {
        std::string address;
        unsigned short port = 0;
    };
    std::map<std::wstring, Target> targets;   // by port name, case-insensitive (upper case)
    bool keepData = true;
    unsigned long long bytesWritten = 0;
};

CRITICAL_SECTION g_cs;
State g_state;
HANDLE g_release;   // manual-reset: set while writes may pass
HANDLE g_held;      // auto-reset: a write has blocked on the hold
MONITOR2 g_table;
INIT_ONCE g_once = INIT_ONCE_STATIC_INIT;

struct Lock {
    Lock() { EnterCriticalSection(&g_cs); }
    ~Lock() { LeaveCriticalSection(&g_cs); }
};

ULONGLONG NowUs() {
    static LARGE_INTEGER freq;
    if (!freq.QuadPart) QueryPerformanceFrequency(&freq);
    LARGE_INTEGER c;
    QueryPerformanceCounter(&c);
    return (ULONGLONG)(c.QuadPart / freq.QuadPart) * 1000000ull +
           (ULONGLONG)(c.QuadPart % freq.QuadPart) * 1000000ull / (ULONGLONG)freq.QuadPart;
}

void FillTable();

BOOL CALLBACK InitOnce(PINIT_ONCE, PVOID, PVOID*) {
    InitializeCriticalSection(&g_cs);
    g_release = CreateEventW(nullptr, TRUE, TRUE, nullptr);
    g_held = CreateEventW(nullptr, FALSE, FALSE, nullptr);
    FillTable();
    return TRUE;
}

void Init() { InitOnceExecuteOnce(&g_once, InitOnce, nullptr, nullptr); }

// Starts a log record: order, thread, time. Then the test's hook runs.
PmCall Begin(PmOp op, HANDLE hPort) {
    PmCall c;
    c.op = op;
    c.hPort = hPort;
    c.threadId = GetCurrentThreadId();
    {
        Lock lock;
        c.seq = ++g_state.seq;
        PmPort* p = static_cast<PmPort*>(hPort);
        if (op != PM_OPEN && g_state.ports.count(p)) c.portName = p->name;
    }
    c.usEnter = NowUs();
    return c;
}

void RunHook(const PmCall& c) {
    std::function<void(const PmCall&)> fn;
    {
        Lock lock;
        fn = g_state.hooks[c.op];
    }
    if (fn) fn(c);
}

// Ends the record with its outcome; sets the last error on failure.
BOOL Finish(PmCall& c, BOOL result, DWORD error) {
    c.result = result;
    c.lastError = result ? 0 : error;
    c.usLeave = NowUs();
    {
        Lock lock;
        g_state.log.push_back(c);
    }
    if (!result) SetLastError(error);
    return result;
}

// Applies an armed failure of op; under the lock.
bool ScriptedFailure(PmOp op, DWORD* error) {
    FailScript& f = g_state.fail[op];
    if (!f.count) return false;
    if (f.skip) {
        f.skip--;
        return false;
    }
    f.count--;
    *error = f.error;
    return true;
}

PmPort* ValidPort(HANDLE h) {
    PmPort* p = static_cast<PmPort*>(h);
    if (h && g_state.ports.count(p)) return p;
    g_state.badHandles++;
    return nullptr;
}

std::wstring Upper(const std::wstring& s) {
    std::wstring u = s;
    for (wchar_t& c : u) c = towupper(c);
    return u;
}

// Sockets are kept usable for the life of the process: the monitor's own
// WSAStartup and WSACleanup pairs must not be the ones that tear them down.
void StartSockets() {
    static bool started = false;
    if (started) return;
    WSADATA wsa;
    started = WSAStartup(MAKEWORD(2, 2), &wsa) == 0;
}

// Where job data of the port goes: its own target, else the sink on
// 127.0.0.1; false when it is not forwarded. Under the lock.
bool TargetOf(const PmPort* p, sockaddr_in* a) {
    memset(a, 0, sizeof *a);
    a->sin_family = AF_INET;
    auto t = g_state.targets.find(Upper(p->name));
    if (t != g_state.targets.end()) {
        if (t->second.address.empty()) return false;
        a->sin_port = htons(t->second.port);
        a->sin_addr.s_addr = inet_addr(t->second.address.c_str());
        return a->sin_addr.s_addr != INADDR_NONE;
    }
    if (!g_state.sinkPort) return false;
    a->sin_port = htons(g_state.sinkPort);
    a->sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    return true;
}

// The error a send would meet on a connection the printer has already
// reset or closed; 0 while it is open. A reset printer's connection would
// otherwise take the first write into the socket buffer and fail only later.
DWORD PeerGone(SOCKET s) {
    fd_set rd;
    FD_ZERO(&rd);
    FD_SET(s, &rd);
    timeval zero{0, 0};
    if (select(0, &rd, nullptr, nullptr, &zero) != 1) return 0;
    char b;
    int r = recv(s, &b, 1, MSG_PEEK);
    if (r == SOCKET_ERROR) return WSAGetLastError();
    return r == 0 ? WSAECONNRESET : 0;
}

void CloseSink(PmPort* p) {
    if (p->sock != INVALID_SOCKET) {
        shutdown(p->sock, SD_SEND);
        closesocket(p->sock);
        p->sock = INVALID_SOCKET;
    }
}

// ---- The port monitor's operations ----------------------------------------

BOOL WINAPI PmOpenPort(HANDLE hMonitor, LPWSTR pName, PHANDLE pHandle) {
    PmCall c = Begin(PM_OPEN, nullptr);
    c.hMonitor = hMonitor;
    c.portName = pName ? pName : L"";
    RunHook(c);
    DWORD err = 0;
    Lock lock;
    if (ScriptedFailure(PM_OPEN, &err)) return Finish(c, FALSE, err);
    if (!pName || !pHandle) return Finish(c, FALSE, ERROR_INVALID_PARAMETER);
    auto* p = new PmPort;
    p->name = pName;
    g_state.ports.insert(p);
    *pHandle = p;
    c.hPort = p;
    return Finish(c, TRUE, 0);
}

BOOL WINAPI PmStartDocPort(HANDLE hPort, LPWSTR pPrinterName, DWORD JobId, DWORD Level, LPBYTE pDocInfo) {
    PmCall c = Begin(PM_STARTDOC, hPort);
    c.printerName = pPrinterName ? pPrinterName : L"";
    c.jobId = JobId;
    c.level = Level;
    if (pDocInfo && Level >= 1 && Level <= 3) {
        auto* d = reinterpret_cast<DOC_INFO_1W*>(pDocInfo);   // levels 2 and 3 begin alike
        c.hasDocInfo = true;
        c.docName = d->pDocName ? d->pDocName : L"";
        c.outputFile = d->pOutputFile ? d->pOutputFile : L"";
        c.datatype = d->pDatatype ? d->pDatatype : L"";
        if (Level == 3) c.docFlags = reinterpret_cast<DOC_INFO_3W*>(pDocInfo)->dwFlags;
    }
    RunHook(c);
    sockaddr_in a;
    bool forward;
    {
        Lock lock;
        DWORD err = 0;
        if (ScriptedFailure(PM_STARTDOC, &err)) return Finish(c, FALSE, err);
        PmPort* p = ValidPort(hPort);
        if (!p) return Finish(c, FALSE, ERROR_INVALID_HANDLE);
        forward = TargetOf(p, &a);
    }
    SOCKET s = INVALID_SOCKET;
    if (forward) {
        s = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
        if (s == INVALID_SOCKET || connect(s, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
            DWORD err = WSAGetLastError();
            if (s != INVALID_SOCKET) closesocket(s);
            return Finish(c, FALSE, err);
        }
    }
    Lock lock;
    PmPort* p = ValidPort(hPort);
    if (!p) {
        if (s != INVALID_SOCKET) closesocket(s);
        return Finish(c, FALSE, ERROR_INVALID_HANDLE);
    }
    CloseSink(p);
    p->sock = s;
    p->docIndex = (int)g_state.documents.size();
    g_state.documents.emplace_back();
    return Finish(c, TRUE, 0);
}

BOOL WINAPI PmWritePort(HANDLE hPort, LPBYTE pBuffer, DWORD cbBuf, LPDWORD pcbWritten) {
    PmCall c = Begin(PM_WRITE, hPort);
    c.cbRequested = cbBuf;
    if (pcbWritten) *pcbWritten = 0;
    RunHook(c);
    bool hold;
    DWORD delay;
    {
        Lock lock;
        hold = g_state.hold;
        delay = g_state.writeDelay;
    }
    if (hold) {
        SetEvent(g_held);
        WaitForSingleObject(g_release, INFINITE);
    }
    if (delay) Sleep(delay);
    DWORD n = cbBuf;
    SOCKET sock;
    {
        Lock lock;
        DWORD err = 0;
        if (ScriptedFailure(PM_WRITE, &err)) return Finish(c, FALSE, err);
        PmPort* p = ValidPort(hPort);
        if (!p) return Finish(c, FALSE, ERROR_INVALID_HANDLE);
        if (!pcbWritten || (!pBuffer && cbBuf)) return Finish(c, FALSE, ERROR_INVALID_PARAMETER);
        if (g_state.shortCount) {
            g_state.shortCount--;
            n = std::min(n, g_state.shortMax);
        }
        sock = p->sock;
    }
    // Sent outside the lock so that ports write in parallel; the spooler
    // never writes to one port from two threads at once.
    if (sock != INVALID_SOCKET && n)
        if (DWORD gone = PeerGone(sock)) return Finish(c, FALSE, gone);
    for (DWORD sent = 0; sock != INVALID_SOCKET && sent < n;) {
        int r = send(sock, reinterpret_cast<const char*>(pBuffer) + sent, (int)(n - sent), 0);
        if (r <= 0) return Finish(c, FALSE, WSAGetLastError());
        sent += (DWORD)r;
    }
    Lock lock;
    PmPort* p = static_cast<PmPort*>(hPort);
    c.cbDone = n;
    *pcbWritten = n;
    g_state.bytesWritten += n;
    if (g_state.keepData) {
        c.data.assign(reinterpret_cast<const char*>(pBuffer), n);
        if (g_state.ports.count(p) && p->docIndex >= 0) g_state.documents[p->docIndex] += c.data;
        g_state.allWritten += c.data;
    }
    return Finish(c, TRUE, 0);
}

BOOL WINAPI PmReadPort(HANDLE hPort, LPBYTE pBuffer, DWORD cbBuffer, LPDWORD pcbRead) {
    PmCall c = Begin(PM_READ, hPort);
    c.cbRequested = cbBuffer;
    if (pcbRead) *pcbRead = 0;
    RunHook(c);
    Lock lock;
    DWORD err = 0;
    if (ScriptedFailure(PM_READ, &err)) return Finish(c, FALSE, err);
    if (!ValidPort(hPort)) return Finish(c, FALSE, ERROR_INVALID_HANDLE);
    if (!pcbRead || (!pBuffer && cbBuffer)) return Finish(c, FALSE, ERROR_INVALID_PARAMETER);
    if (!g_state.reads.empty() && cbBuffer) {
        std::string& head = g_state.reads.front();
        DWORD n = (DWORD)std::min<size_t>(cbBuffer, head.size());
        memcpy(pBuffer, head.data(), n);
        c.data = head.substr(0, n);
        head.erase(0, n);
        if (head.empty()) g_state.reads.pop_front();
        *pcbRead = c.cbDone = n;
    }
    return Finish(c, TRUE, 0);
}

BOOL WINAPI PmEndDocPort(HANDLE hPort) {
    PmCall c = Begin(PM_ENDDOC, hPort);
    RunHook(c);
    Lock lock;
    DWORD err = 0;
    if (ScriptedFailure(PM_ENDDOC, &err)) return Finish(c, FALSE, err);
    PmPort* p = ValidPort(hPort);
    if (!p) return Finish(c, FALSE, ERROR_INVALID_HANDLE);
    CloseSink(p);
    p->docIndex = -1;
    return Finish(c, TRUE, 0);
}

BOOL WINAPI PmClosePort(HANDLE hPort) {
    PmCall c = Begin(PM_CLOSE, hPort);
    RunHook(c);
    Lock lock;
    DWORD err = 0;
    if (ScriptedFailure(PM_CLOSE, &err)) return Finish(c, FALSE, err);
    PmPort* p = ValidPort(hPort);
    if (!p) return Finish(c, FALSE, ERROR_INVALID_HANDLE);
    CloseSink(p);
    g_state.ports.erase(p);
    delete p;
    return Finish(c, TRUE, 0);
}

BOOL WINAPI PmGetPrinterDataFromPort(HANDLE hPort, DWORD ControlID, LPWSTR pValueName, LPWSTR lpInBuffer,
                                     DWORD cbInBuffer, LPWSTR lpOutBuffer, DWORD cbOutBuffer, LPDWORD lpcbReturned) {
    PmCall c = Begin(PM_GETDATA, hPort);
    c.controlId = ControlID;
    c.hasValueName = pValueName != nullptr;
    c.valueName = pValueName ? pValueName : L"";
    if (lpInBuffer && cbInBuffer) c.inData.assign(reinterpret_cast<const char*>(lpInBuffer), cbInBuffer);
    c.cbOutBuffer = cbOutBuffer;
    RunHook(c);
    Lock lock;
    DWORD err = 0;
    if (ScriptedFailure(PM_GETDATA, &err)) return Finish(c, FALSE, err);
    if (!ValidPort(hPort)) return Finish(c, FALSE, ERROR_INVALID_HANDLE);
    const DevAnswer* found = nullptr;
    auto exact = g_state.devAnswersFor.find({ControlID, c.inData});
    auto any = g_state.devAnswers.find(ControlID);
    if (exact != g_state.devAnswersFor.end())
        found = &exact->second;
    else if (any != g_state.devAnswers.end())
        found = &any->second;
    if (!ControlID || !found) return Finish(c, FALSE, ERROR_NOT_SUPPORTED);
    const DevAnswer& a = *found;
    if (!a.result) return Finish(c, FALSE, a.error);
    if (!lpcbReturned) return Finish(c, FALSE, ERROR_INVALID_PARAMETER);
    if (cbOutBuffer < a.out.size() || (!lpOutBuffer && !a.out.empty())) {
        *lpcbReturned = 0;
        return Finish(c, FALSE, ERROR_INSUFFICIENT_BUFFER);
    }
    if (!a.out.empty()) memcpy(lpOutBuffer, a.out.data(), a.out.size());
    *lpcbReturned = a.cbReported == ~0u ? (DWORD)a.out.size() : a.cbReported;
    c.data = a.out;
    c.cbDone = *lpcbReturned;
    return Finish(c, TRUE, 0);
}

BOOL WINAPI PmSetPortTimeOuts(HANDLE hPort, LPCOMMTIMEOUTS lpCTO, DWORD reserved) {
    PmCall c = Begin(PM_SETTIMEOUTS, hPort);
    if (lpCTO) c.timeouts = *lpCTO;
    RunHook(c);
    Lock lock;
    DWORD err = 0;
    if (ScriptedFailure(PM_SETTIMEOUTS, &err)) return Finish(c, FALSE, err);
    if (!ValidPort(hPort)) return Finish(c, FALSE, ERROR_INVALID_HANDLE);
    if (!lpCTO) return Finish(c, FALSE, ERROR_INVALID_PARAMETER);
    return Finish(c, TRUE, 0);
}

void FillTable() {
    memset(&g_table, 0, sizeof g_table);
    g_table.cbSize = kPmDoubleTableSize;
    g_table.pfnOpenPort = PmOpenPort;
    g_table.pfnStartDocPort = PmStartDocPort;
    g_table.pfnWritePort = PmWritePort;
    g_table.pfnReadPort = PmReadPort;
    g_table.pfnEndDocPort = PmEndDocPort;
    g_table.pfnClosePort = PmClosePort;
    g_table.pfnGetPrinterDataFromPort = PmGetPrinterDataFromPort;
    g_table.pfnSetPortTimeOuts = PmSetPortTimeOuts;
}

}  // namespace

const char* PmOpName(PmOp op) {
    static const char* names[] = {"OpenPort",  "StartDocPort", "WritePort", "ReadPort", "EndDocPort",
                                  "ClosePort", "GetPrinterDataFromPort", "SetPortTimeOuts"};
    return op < PM_OP_COUNT ? names[op] : "?";
}

MONITOR2* PmDouble_Table() {
    Init();
    return &g_table;
}

void PmDouble_Reset() {
    Init();
    PmDouble_ReleaseWrites();
    Lock lock;
    std::set<PmPort*> ports = std::move(g_state.ports);
    for (PmPort* p : ports) {
        CloseSink(p);
        p->docIndex = -1;
    }
    g_state = State();
    g_state.ports = std::move(ports);
    ResetEvent(g_held);
    FillTable();
}

std::vector<PmCall> PmDouble_Calls() {
    Init();
    std::vector<PmCall> v;
    {
        Lock lock;
        v = g_state.log;
    }
    std::sort(v.begin(), v.end(), [](const PmCall& a, const PmCall& b) { return a.seq < b.seq; });
    return v;
}

std::vector<PmCall> PmDouble_Calls(PmOp op) {
    std::vector<PmCall> v = PmDouble_Calls();
    v.erase(std::remove_if(v.begin(), v.end(), [op](const PmCall& c) { return c.op != op; }), v.end());
    return v;
}

size_t PmDouble_CallCount(PmOp op) {
    Init();
    Lock lock;
    return (size_t)std::count_if(g_state.log.begin(), g_state.log.end(), [op](const PmCall& c) { return c.op == op; });
}

std::vector<std::string> PmDouble_Documents() {
    Init();
    Lock lock;
    return g_state.documents;
}

std::string PmDouble_AllWritten() {
    Init();
    Lock lock;
    return g_state.allWritten;
}

unsigned long long PmDouble_BytesWritten() {
    Init();
    Lock lock;
    return g_state.bytesWritten;
}

void PmDouble_KeepData(bool keep) {
    Init();
    Lock lock;
    g_state.keepData = keep;
}

size_t PmDouble_OpenPortCount() {
    Init();
    Lock lock;
    return g_state.ports.size();
}

size_t PmDouble_BadHandleCount() {
    Init();
    Lock lock;
    return g_state.badHandles;
}

void PmDouble_Fail(PmOp op, DWORD skip, DWORD count, DWORD lastError) {
    Init();
    Lock lock;
    if (op < PM_OP_COUNT) g_state.fail[op] = FailScript{skip, count, lastError};
}

void PmDouble_ShortWrites(DWORD maxBytes, DWORD count) {
    Init();
    Lock lock;
    g_state.shortMax = maxBytes;
    g_state.shortCount = count;
}

void PmDouble_SetWriteDelay(DWORD ms) {
    Init();
    Lock lock;
    g_state.writeDelay = ms;
}

void PmDouble_HoldWrites() {
    Init();
    Lock lock;
    g_state.hold = true;
    ResetEvent(g_release);
}

bool PmDouble_WaitWriteHeld(DWORD timeoutMs) {
    Init();
    return WaitForSingleObject(g_held, timeoutMs) == WAIT_OBJECT_0;
}

void PmDouble_ReleaseWrites() {
    Init();
    Lock lock;
    g_state.hold = false;
    SetEvent(g_release);
}

void PmDouble_SetDeviceControl(DWORD controlId, const std::string& out, DWORD cbReported, BOOL result,
                               DWORD lastError) {
    Init();
    Lock lock;
    g_state.devAnswers[controlId] = DevAnswer{out, cbReported, result, lastError};
}

void PmDouble_SetDeviceControlFor(DWORD controlId, const std::string& in, const std::string& out, DWORD cbReported,
                                  BOOL result, DWORD lastError) {
    Init();
    Lock lock;
    g_state.devAnswersFor[{controlId, in}] = DevAnswer{out, cbReported, result, lastError};
}

bool PmDouble_WaitForCalls(PmOp op, size_t count, DWORD timeoutMs) {
    ULONGLONG end = GetTickCount64() + timeoutMs;
    for (;;) {
        if (PmDouble_CallCount(op) >= count) return true;
        if (GetTickCount64() >= end) return false;
        Sleep(5);
    }
}

std::string PmDouble_DeviceIdBlock(const std::string& id) {
    size_t n = id.size() + 2;
    std::string b;
    b += static_cast<char>((n >> 8) & 0xFF);
    b += static_cast<char>(n & 0xFF);
    return b + id;
}

void PmDouble_QueueRead(const std::string& bytes) {
    Init();
    Lock lock;
    if (!bytes.empty()) g_state.reads.push_back(bytes);
}

void PmDouble_SetHook(PmOp op, std::function<void(const PmCall&)> fn) {
    Init();
    Lock lock;
    if (op < PM_OP_COUNT) g_state.hooks[op] = std::move(fn);
}

void PmDouble_SetTcpSink(unsigned short port) {
    Init();
    Lock lock;
    if (port) StartSockets();
    g_state.sinkPort = port;
}

void PmDouble_SetPortTarget(const wchar_t* portName, const char* address, unsigned short port) {
    Init();
    Lock lock;
    StartSockets();
    g_state.targets[Upper(portName ? portName : L"")] = State::Target{address ? address : "", port};
}
