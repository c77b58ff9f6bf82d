// The test spooler: a winspool.drv that answers the spooler API from a
// scripted in-memory model of printers, drivers, ports and jobs, with the
// spooler's buffer protocol (size queries, strings packed at the end of the
// caller's buffer) so the monitor meets the same surprises as on Windows.
#define FAKESPOOL_BUILD 1
#include <windows.h>
#include <winspool.h>
#include <winsplp.h>

#include <cstring>
#include <cwchar>
#include <map>
#include <set>
#include <unordered_map>
#include <string>
#include <vector>

#include "fakespool.h"

namespace {

const wchar_t kMachine[] = L"\\\\BENCH";
const wchar_t kEnvironment[] = L"Windows x64";

struct Job {
    DWORD id = 0;
    DWORD status = 0;
    std::wstring document, user, statusText;
    bool hasStatusText = false;
    DWORD totalPages = 0, pagesPrinted = 0, priority = 1;
    SYSTEMTIME submitted{};
    DWORD answer = FAKESPOOL_JOB_ANSWER_NORMAL;   // how GetJobW answers for it
};

struct Printer {
    std::wstring name, driver, port;
    DWORD attributes = 0;
    bool hasProcessor = false;
    std::wstring processor;
    DWORD status = 0;
    std::vector<Job> jobs;
};

struct Driver {
    std::wstring name;
    bool hasMonitor = false;
    std::wstring monitor;
};

// A monitor registered with AddMonitorW, with the arguments it was given.
struct Monitor {
    std::wstring name, environment, dll;
};

struct XcvAnswer {
    std::vector<BYTE> data;
    DWORD status = 0;
};

struct Port {
    std::wstring name, monitor, description;
    DWORD type = 0;
    DWORD status = 0, severity = 0;
    std::wstring text;
    std::map<std::wstring, XcvAnswer> xcv;   // key in lower case
};

enum HandleKind { HK_SERVER, HK_PRINTER, HK_XCV_PORT, HK_XCV_MONITOR };

struct Handle {
    DWORD magic = 0x46534850;   // "PHSF"
    HandleKind kind = HK_PRINTER;
    std::wstring openedName;   // as given to OpenPrinterW
    std::wstring target;       // printer or port name
};

struct Failure {
    DWORD skip = 0, count = 0, error = 0;
};

struct State {
    std::vector<Printer> printers;
    std::vector<Driver> drivers;
    std::vector<Port> ports;
    // Positions in printers and ports by folded name: a server of hundreds of
    // queues looks one up on every spooler call.
    std::unordered_map<std::wstring, size_t> printerAt, portAt;
    std::vector<Monitor> monitors;
    std::set<Handle*> handles;
    std::map<std::string, DWORD> calls;
    std::map<std::string, Failure> failures;
    std::vector<FakeSpoolSetJobRecord> setJobLog;
    std::vector<FakeSpoolSetPortRecord> setPortLog;
    DWORD seq = 0;
    DWORD badHandles = 0;
    DWORD nextJobId = 1;
    bool keepFinished = false;
    bool denyAdminister = false;
    DWORD impersonate = 0, revert = 0;
};

CRITICAL_SECTION g_cs;
State* g_state;

struct Lock {
    Lock() { EnterCriticalSection(&g_cs); }
    ~Lock() { LeaveCriticalSection(&g_cs); }
};

// Case folding of our own: the C library's takes a process-wide locale lock
// on every call under Wine, which a server of hundreds of ports queues on.
wchar_t Fold(wchar_t c) {
    if (c < 0x80) return (c >= L'A' && c <= L'Z') ? static_cast<wchar_t>(c + (L'a' - L'A')) : c;
    return static_cast<wchar_t>(towlower(c));
}

std::wstring Lower(const wchar_t* s) {
    std::wstring r(s ? s : L"");
    for (auto& c : r) c = Fold(c);
    return r;
}

bool IEq(const std::wstring& a, const wchar_t* b) {
    if (!b) return false;
    size_t i = 0;
    for (; i < a.size(); ++i)
        if (!b[i] || (a[i] != b[i] && Fold(a[i]) != Fold(b[i]))) return false;
    return b[i] == 0;
}
bool IEq(const wchar_t* a, const wchar_t* b) { return a && IEq(std::wstring(a), b); }

// Removes the record named `name` (any case) from a list of printers, ports or monitors.
template <class List>
BOOL EraseNamed(List& list, const wchar_t* name) {
    for (auto it = list.begin(); it != list.end(); ++it)
        if (IEq(it->name, name)) {
            list.erase(it);
            return TRUE;
        }
    return FALSE;
}

Printer* FindPrinter(const wchar_t* name) {
    if (!name) return nullptr;
    auto it = g_state->printerAt.find(Lower(name));
    return it == g_state->printerAt.end() ? nullptr : &g_state->printers[it->second];
}
Driver* FindDriver(const wchar_t* name) {
    for (auto& d : g_state->drivers)
        if (IEq(d.name, name)) return &d;
    return nullptr;
}
Port* FindPort(const wchar_t* name) {
    if (!name) return nullptr;
    auto it = g_state->portAt.find(Lower(name));
    return it == g_state->portAt.end() ? nullptr : &g_state->ports[it->second];
}

// Rebuilds the name indexes after a printer or a port came or went.
void Reindex() {
    g_state->printerAt.clear();
    g_state->portAt.clear();
    for (size_t i = 0; i < g_state->printers.size(); ++i)
        g_state->printerAt.emplace(Lower(g_state->printers[i].name.c_str()), i);
    for (size_t i = 0; i < g_state->ports.size(); ++i)
        g_state->portAt.emplace(Lower(g_state->ports[i].name.c_str()), i);
}
Monitor* FindMonitor(const wchar_t* name) {
    for (auto& m : g_state->monitors)
        if (IEq(m.name, name)) return &m;
    return nullptr;
}
Job* FindJob(Printer* p, DWORD id) {
    for (auto& j : p->jobs)
        if (j.id == id) return &j;
    return nullptr;
}

// Counts the call and applies an armed failure. Called under the lock.
bool Enter(const char* fn) {
    g_state->calls[fn]++;
    auto it = g_state->failures.find(fn);
    if (it == g_state->failures.end() || it->second.count == 0) return false;
    if (it->second.skip) {
        it->second.skip--;
        return false;
    }
    it->second.count--;
    SetLastError(it->second.error);
    return true;
}

Handle* CheckHandle(HANDLE h, HandleKind kind) {
    Handle* p = static_cast<Handle*>(h);
    if (!h || !g_state->handles.count(p)) {
        g_state->badHandles++;
        SetLastError(ERROR_INVALID_HANDLE);
        return nullptr;
    }
    if (p->kind != kind) {
        SetLastError(ERROR_INVALID_HANDLE);
        return nullptr;
    }
    return p;
}

// Writes records at the start of the caller's buffer and their strings
// downwards from its end, as the spooler does. The first pass measures.
struct Packer {
    bool fill = false;
    DWORD cb = 0;
    BYTE* end = nullptr;
    LPWSTR Str(const std::wstring& s) { return Str(s.c_str()); }
    LPWSTR Str(const wchar_t* s) {
        if (!s) return nullptr;
        DWORD n = (DWORD)((wcslen(s) + 1) * sizeof(WCHAR));
        if (!fill) {
            cb += n;
            return nullptr;
        }
        end -= n;
        memcpy(end, s, n);
        return reinterpret_cast<LPWSTR>(end);
    }
};

template <class Fn>
BOOL Emit(size_t count, size_t fixedSize, LPBYTE buf, DWORD cbBuf, LPDWORD pcbNeeded, LPDWORD pcReturned, Fn fillOne) {
    if (pcReturned) *pcReturned = 0;
    if (!pcbNeeded) {
        SetLastError(RPC_X_NULL_REF_POINTER);
        return FALSE;
    }
    Packer m;
    std::vector<BYTE> scratch(fixedSize);
    for (size_t i = 0; i < count; i++) fillOne(m, i, scratch.data());
    DWORD needed = (DWORD)(count * fixedSize) + m.cb;
    *pcbNeeded = needed;
    if (needed == 0) return TRUE;
    DWORD usable = cbBuf & ~(DWORD)1;
    if (!buf && cbBuf) {
        SetLastError(ERROR_INVALID_USER_BUFFER);
        return FALSE;
    }
    if (!buf || usable < needed) {
        SetLastError(ERROR_INSUFFICIENT_BUFFER);
        return FALSE;
    }
    memset(buf, 0, count * fixedSize);
    Packer f;
    f.fill = true;
    f.end = buf + usable;
    for (size_t i = 0; i < count; i++) fillOne(f, i, buf + i * fixedSize);
    if (pcReturned) *pcReturned = (DWORD)count;
    return TRUE;
}

const wchar_t* Opt(bool has, const std::wstring& s) { return has ? s.c_str() : nullptr; }

// ---- Record writers -------------------------------------------------------

void FillPrinter(Packer& k, const Printer& p, DWORD level, BYTE* rec) {
    switch (level) {
    case 1: {
        auto* r = reinterpret_cast<PRINTER_INFO_1W*>(rec);
        std::wstring desc = p.name + L"," + p.driver + L",";
        r->Flags = PRINTER_ENUM_ICON8;
        r->pDescription = k.Str(desc);
        r->pName = k.Str(p.name);
        r->pComment = k.Str(L"");
        break;
    }
    case 2: {
        auto* r = reinterpret_cast<PRINTER_INFO_2W*>(rec);
        r->pServerName = nullptr;
        r->pPrinterName = k.Str(p.name);
        r->pShareName = (p.attributes & PRINTER_ATTRIBUTE_SHARED) ? k.Str(p.name) : nullptr;
        r->pPortName = k.Str(p.port);
        r->pDriverName = k.Str(p.driver);
        r->pComment = k.Str(L"");
        r->pLocation = k.Str(L"");
        r->pDevMode = nullptr;
        r->pSepFile = k.Str(L"");
        r->pPrintProcessor = k.Str(Opt(p.hasProcessor, p.processor));
        r->pDatatype = k.Str(L"RAW");
        r->pParameters = k.Str(L"");
        r->pSecurityDescriptor = nullptr;
        r->Attributes = p.attributes;
        r->Priority = 1;
        r->DefaultPriority = 0;
        r->Status = p.status;
        r->cJobs = (DWORD)p.jobs.size();
        break;
    }
    case 4: {
        auto* r = reinterpret_cast<PRINTER_INFO_4W*>(rec);
        r->pPrinterName = k.Str(p.name);
        r->pServerName = nullptr;
        r->Attributes = p.attributes;
        break;
    }
    case 5: {
        auto* r = reinterpret_cast<PRINTER_INFO_5W*>(rec);
        r->pPrinterName = k.Str(p.name);
        r->pPortName = k.Str(p.port);
        r->Attributes = p.attributes;
        r->DeviceNotSelectedTimeout = 15000;
        r->TransmissionRetryTimeout = 45000;
        break;
    }
    }
}

size_t PrinterSize(DWORD level) {
    switch (level) {
    case 1: return sizeof(PRINTER_INFO_1W);
    case 2: return sizeof(PRINTER_INFO_2W);
    case 4: return sizeof(PRINTER_INFO_4W);
    case 5: return sizeof(PRINTER_INFO_5W);
    }
    return 0;
}

void FillJob(Packer& k, const Printer& p, const Job& j, DWORD position, DWORD level, BYTE* rec) {
    const wchar_t* status = j.hasStatusText ? j.statusText.c_str() : nullptr;
    if (level == 1) {
        auto* r = reinterpret_cast<JOB_INFO_1W*>(rec);
        r->JobId = j.id;
        r->pPrinterName = k.Str(p.name);
        r->pMachineName = k.Str(kMachine);
        r->pUserName = k.Str(j.user);
        r->pDocument = k.Str(j.document);
        r->pDatatype = k.Str(L"RAW");
        r->pStatus = k.Str(status);
        r->Status = j.status;
        r->Priority = j.priority;
        r->Position = position;
        r->TotalPages = j.totalPages;
        r->PagesPrinted = j.pagesPrinted;
        r->Submitted = j.submitted;
    } else {
        auto* r = reinterpret_cast<JOB_INFO_2W*>(rec);
        r->JobId = j.id;
        r->pPrinterName = k.Str(p.name);
        r->pMachineName = k.Str(kMachine);
        r->pUserName = k.Str(j.user);
        r->pDocument = k.Str(j.document);
        r->pNotifyName = k.Str(j.user);
        r->pDatatype = k.Str(L"RAW");
        r->pPrintProcessor = k.Str(p.hasProcessor ? p.processor.c_str() : L"winprint");
        r->pParameters = k.Str(L"");
        r->pDriverName = k.Str(p.driver);
        r->pDevMode = nullptr;
        r->pStatus = k.Str(status);
        r->pSecurityDescriptor = nullptr;
        r->Status = j.status;
        r->Priority = j.priority;
        r->Position = position;
        r->TotalPages = j.totalPages;
        r->PagesPrinted = j.pagesPrinted;
        r->Submitted = j.submitted;
    }
}

size_t JobSize(DWORD level) { return level == 1 ? sizeof(JOB_INFO_1W) : level == 2 ? sizeof(JOB_INFO_2W) : 0; }

void FillDriver(Packer& k, const Driver& d, DWORD level, BYTE* rec) {
    const wchar_t* dir = L"C:\\windows\\system32\\spool\\DRIVERS\\x64\\3\\";
    std::wstring drv = std::wstring(dir) + L"UNIDRV.DLL", data = std::wstring(dir) + L"VJL7700.GPD",
                 ui = std::wstring(dir) + L"UNIDRVUI.DLL", help = std::wstring(dir) + L"UNIDRV.HLP";
    if (level == 1) {
        reinterpret_cast<DRIVER_INFO_1W*>(rec)->pName = k.Str(d.name);
        return;
    }
    // DRIVER_INFO_3W begins with the DRIVER_INFO_2W members.
    auto* r = reinterpret_cast<DRIVER_INFO_3W*>(rec);
    r->cVersion = 3;
    r->pName = k.Str(d.name);
    r->pEnvironment = k.Str(kEnvironment);
    r->pDriverPath = k.Str(drv);
    r->pDataFile = k.Str(data);
    r->pConfigFile = k.Str(ui);
    if (level == 3) {
        r->pHelpFile = k.Str(help);
        r->pDependentFiles = nullptr;
        r->pMonitorName = k.Str(Opt(d.hasMonitor, d.monitor));
        r->pDefaultDataType = k.Str(L"RAW");
    }
}

size_t DriverSize(DWORD level) {
    switch (level) {
    case 1: return sizeof(DRIVER_INFO_1W);
    case 2: return sizeof(DRIVER_INFO_2W);
    case 3: return sizeof(DRIVER_INFO_3W);
    }
    return 0;
}

void FillPort(Packer& k, const Port& p, DWORD level, BYTE* rec) {
    if (level == 1) {
        reinterpret_cast<PORT_INFO_1W*>(rec)->pName = k.Str(p.name);
        return;
    }
    auto* r = reinterpret_cast<PORT_INFO_2W*>(rec);
    r->pPortName = k.Str(p.name);
    r->pMonitorName = k.Str(p.monitor);
    r->pDescription = k.Str(p.description);
    r->fPortType = p.type;
    r->Reserved = 0;
}

void CopyW(WCHAR* dst, size_t cch, const wchar_t* src) {
    if (!src) src = L"";
    wcsncpy(dst, src, cch - 1);
    dst[cch - 1] = 0;
}

// What a job control command does to the queued job.
void ApplyCommand(Printer* p, DWORD id, DWORD command) {
    Job* j = FindJob(p, id);
    if (!j) return;
    bool keep = g_state->keepFinished || (p->attributes & PRINTER_ATTRIBUTE_KEEPPRINTEDJOBS);
    switch (command) {
    case JOB_CONTROL_PAUSE: j->status |= JOB_STATUS_PAUSED; break;
    case JOB_CONTROL_RESUME: j->status &= ~(DWORD)JOB_STATUS_PAUSED; break;
    case JOB_CONTROL_RESTART: j->status |= JOB_STATUS_RESTART; break;
    case JOB_CONTROL_SENT_TO_PRINTER: j->status |= JOB_STATUS_PRINTED; break;
    case JOB_CONTROL_CANCEL:
    case JOB_CONTROL_DELETE:
    case JOB_CONTROL_LAST_PAGE_EJECTED: {
        if (keep) {
            j->status |= command == JOB_CONTROL_LAST_PAGE_EJECTED ? (JOB_STATUS_PRINTED | JOB_STATUS_COMPLETE)
                                                                  : (JOB_STATUS_DELETING | JOB_STATUS_DELETED);
        } else {
            p->jobs.erase(p->jobs.begin() + (j - p->jobs.data()));
        }
        break;
    }
    default: break;
    }
}

}  // namespace

// ============================================================================
// Spooler API
// ============================================================================
extern "C" {

BOOL WINAPI OpenPrinterW(LPWSTR pPrinterName, LPHANDLE phPrinter, LPPRINTER_DEFAULTSW pDefault) {
    Lock lock;
    if (phPrinter) *phPrinter = nullptr;
    if (Enter("OpenPrinterW")) return FALSE;
    if (!phPrinter) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    if (g_state->denyAdminister && pDefault &&
        (pDefault->DesiredAccess & (SERVER_ACCESS_ADMINISTER | PRINTER_ACCESS_ADMINISTER))) {
        SetLastError(ERROR_ACCESS_DENIED);
        return FALSE;
    }
    auto* h = new Handle;
    h->openedName = pPrinterName ? pPrinterName : L"";
    const wchar_t* name = pPrinterName;
    const wchar_t* comma = name ? wcschr(name, L',') : nullptr;
    if (!name || !*name) {
        h->kind = HK_SERVER;
    } else if (comma && wcsncmp(comma, L",XcvPort ", 9) == 0) {
        h->kind = HK_XCV_PORT;
        h->target = comma + 9;
        if (!FindPort(h->target.c_str())) {
            delete h;
            SetLastError(ERROR_INVALID_PRINTER_NAME);
            return FALSE;
        }
    } else if (comma && wcsncmp(comma, L",XcvMonitor ", 12) == 0) {
        h->kind = HK_XCV_MONITOR;
        h->target = comma + 12;
    } else {
        Printer* p = FindPrinter(name);
        if (!p) {
            delete h;
            SetLastError(ERROR_INVALID_PRINTER_NAME);
            return FALSE;
        }
        h->kind = HK_PRINTER;
        h->target = p->name;
    }
    g_state->handles.insert(h);
    *phPrinter = h;
    return TRUE;
}

BOOL WINAPI ClosePrinter(HANDLE hPrinter) {
    Lock lock;
    if (Enter("ClosePrinter")) return FALSE;
    Handle* h = static_cast<Handle*>(hPrinter);
    if (!hPrinter || !g_state->handles.count(h)) {
        g_state->badHandles++;
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    g_state->handles.erase(h);
    delete h;
    return TRUE;
}

BOOL WINAPI GetJobW(HANDLE hPrinter, DWORD JobId, DWORD Level, LPBYTE pJob, DWORD cbBuf, LPDWORD pcbNeeded) {
    Lock lock;
    if (Enter("GetJobW")) return FALSE;
    Handle* h = CheckHandle(hPrinter, HK_PRINTER);
    if (!h) return FALSE;
    if (!JobSize(Level)) {
        SetLastError(ERROR_INVALID_LEVEL);
        return FALSE;
    }
    Printer* p = FindPrinter(h->target.c_str());
    Job* j = p ? FindJob(p, JobId) : nullptr;
    if (!j || j->answer == FAKESPOOL_JOB_ANSWER_NO_JOB) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    DWORD pos = (DWORD)(j - p->jobs.data()) + 1;
    Job shown = *j;
    if (j->answer == FAKESPOOL_JOB_ANSWER_ID_ZERO) shown.id = 0;
    return Emit(1, JobSize(Level), pJob, cbBuf, pcbNeeded, nullptr,
                [&](Packer& k, size_t, BYTE* rec) { FillJob(k, *p, shown, pos, Level, rec); });
}

BOOL WINAPI EnumJobsW(HANDLE hPrinter, DWORD FirstJob, DWORD NoJobs, DWORD Level, LPBYTE pJob, DWORD cbBuf,
                      LPDWORD pcbNeeded, LPDWORD pcReturned) {
    Lock lock;
    if (pcReturned) *pcReturned = 0;
    if (Enter("EnumJobsW")) return FALSE;
    Handle* h = CheckHandle(hPrinter, HK_PRINTER);
    if (!h) return FALSE;
    if (!JobSize(Level)) {
        SetLastError(ERROR_INVALID_LEVEL);
        return FALSE;
    }
    if (!pcReturned) {
        SetLastError(RPC_X_NULL_REF_POINTER);
        return FALSE;
    }
    Printer* p = FindPrinter(h->target.c_str());
    std::vector<size_t> sel;
    if (p)
        for (size_t i = FirstJob; i < p->jobs.size() && sel.size() < NoJobs; i++) sel.push_back(i);
    return Emit(sel.size(), JobSize(Level), pJob, cbBuf, pcbNeeded, pcReturned, [&](Packer& k, size_t i, BYTE* rec) {
        FillJob(k, *p, p->jobs[sel[i]], (DWORD)sel[i] + 1, Level, rec);
    });
}

BOOL WINAPI SetJobW(HANDLE hPrinter, DWORD JobId, DWORD Level, LPBYTE pJob, DWORD Command) {
    Lock lock;
    FakeSpoolSetJobRecord rec{};
    rec.seq = ++g_state->seq;
    rec.threadId = GetCurrentThreadId();
    rec.jobId = JobId;
    rec.level = Level;
    rec.command = Command;
    if ((Level == 1 || Level == 2) && pJob) {
        rec.hasStatus = TRUE;
        rec.status = Level == 1 ? reinterpret_cast<JOB_INFO_1W*>(pJob)->Status : reinterpret_cast<JOB_INFO_2W*>(pJob)->Status;
        CopyW(rec.statusText, 128, Level == 1 ? reinterpret_cast<JOB_INFO_1W*>(pJob)->pStatus
                                              : reinterpret_cast<JOB_INFO_2W*>(pJob)->pStatus);
    }
    auto done = [&](BOOL ok, DWORD err) {
        rec.result = ok;
        rec.lastError = ok ? 0 : err;
        g_state->setJobLog.push_back(rec);
        if (!ok) SetLastError(err);
        return ok;
    };
    Handle* hp = static_cast<Handle*>(hPrinter);
    if (hPrinter && g_state->handles.count(hp)) CopyW(rec.printer, 256, hp->target.c_str());
    if (Enter("SetJobW")) return done(FALSE, GetLastError());
    Handle* h = CheckHandle(hPrinter, HK_PRINTER);
    if (!h) return done(FALSE, GetLastError());
    if (Level > 4 || ((Level == 1 || Level == 2) && !pJob)) return done(FALSE, Level > 4 ? ERROR_INVALID_LEVEL : ERROR_INVALID_PARAMETER);
    if (Command > 9) return done(FALSE, ERROR_INVALID_PARAMETER);   // beyond JOB_CONTROL_RELEASE
    Printer* p = FindPrinter(h->target.c_str());
    Job* j = p ? FindJob(p, JobId) : nullptr;
    if (!j) return done(FALSE, ERROR_INVALID_PARAMETER);
    if (rec.hasStatus) {
        const JOB_INFO_1W* i1 = reinterpret_cast<JOB_INFO_1W*>(pJob);
        const JOB_INFO_2W* i2 = reinterpret_cast<JOB_INFO_2W*>(pJob);
        LPWSTR doc = Level == 1 ? i1->pDocument : i2->pDocument;
        LPWSTR st = Level == 1 ? i1->pStatus : i2->pStatus;
        if (doc) j->document = doc;
        j->status = rec.status;
        j->hasStatusText = st != nullptr;
        j->statusText = st ? st : L"";
        j->priority = Level == 1 ? i1->Priority : i2->Priority;
    }
    ApplyCommand(p, JobId, Command);
    return done(TRUE, 0);
}

BOOL WINAPI GetPrinterW(HANDLE hPrinter, DWORD Level, LPBYTE pPrinter, DWORD cbBuf, LPDWORD pcbNeeded) {
    Lock lock;
    if (Enter("GetPrinterW")) return FALSE;
    Handle* h = CheckHandle(hPrinter, HK_PRINTER);
    if (!h) return FALSE;
    if (!PrinterSize(Level)) {
        SetLastError(ERROR_INVALID_LEVEL);
        return FALSE;
    }
    Printer* p = FindPrinter(h->target.c_str());
    if (!p) {   // removed while the handle was open
        SetLastError(ERROR_INVALID_PRINTER_NAME);
        return FALSE;
    }
    return Emit(1, PrinterSize(Level), pPrinter, cbBuf, pcbNeeded, nullptr,
                [&](Packer& k, size_t, BYTE* rec) { FillPrinter(k, *p, Level, rec); });
}

BOOL WINAPI EnumPrintersW(DWORD Flags, LPWSTR Name, DWORD Level, LPBYTE pPrinterEnum, DWORD cbBuf, LPDWORD pcbNeeded,
                          LPDWORD pcReturned) {
    Lock lock;
    if (pcReturned) *pcReturned = 0;
    if (Enter("EnumPrintersW")) return FALSE;
    if (!PrinterSize(Level)) {
        SetLastError(ERROR_INVALID_LEVEL);
        return FALSE;
    }
    if (!pcReturned) {
        SetLastError(RPC_X_NULL_REF_POINTER);
        return FALSE;
    }
    // Only local printers exist here; connections and remote servers have none.
    bool local = (Flags & PRINTER_ENUM_LOCAL) || ((Flags & PRINTER_ENUM_NAME) && (!Name || !*Name));
    size_t n = local ? g_state->printers.size() : 0;
    return Emit(n, PrinterSize(Level), pPrinterEnum, cbBuf, pcbNeeded, pcReturned,
                [&](Packer& k, size_t i, BYTE* rec) { FillPrinter(k, g_state->printers[i], Level, rec); });
}

BOOL WINAPI GetPrinterDriverW(HANDLE hPrinter, LPWSTR pEnvironment, DWORD Level, LPBYTE pDriverInfo, DWORD cbBuf,
                              LPDWORD pcbNeeded) {
    Lock lock;
    if (Enter("GetPrinterDriverW")) return FALSE;
    Handle* h = CheckHandle(hPrinter, HK_PRINTER);
    if (!h) return FALSE;
    if (pEnvironment && *pEnvironment && !IEq(kEnvironment, pEnvironment)) {
        SetLastError(ERROR_INVALID_ENVIRONMENT);
        return FALSE;
    }
    if (!DriverSize(Level)) {
        SetLastError(ERROR_INVALID_LEVEL);
        return FALSE;
    }
    Printer* p = FindPrinter(h->target.c_str());
    Driver* d = p ? FindDriver(p->driver.c_str()) : nullptr;
    if (!d) {
        SetLastError(ERROR_UNKNOWN_PRINTER_DRIVER);
        return FALSE;
    }
    return Emit(1, DriverSize(Level), pDriverInfo, cbBuf, pcbNeeded, nullptr,
                [&](Packer& k, size_t, BYTE* rec) { FillDriver(k, *d, Level, rec); });
}

BOOL WINAPI EnumPortsW(LPWSTR pName, DWORD Level, LPBYTE pPort, DWORD cbBuf, LPDWORD pcbNeeded, LPDWORD pcReturned) {
    Lock lock;
    if (pcReturned) *pcReturned = 0;
    if (Enter("EnumPortsW")) return FALSE;
    if (Level != 1 && Level != 2) {
        SetLastError(ERROR_INVALID_LEVEL);
        return FALSE;
    }
    if (!pcReturned) {
        SetLastError(RPC_X_NULL_REF_POINTER);
        return FALSE;
    }
    size_t fixed = Level == 1 ? sizeof(PORT_INFO_1W) : sizeof(PORT_INFO_2W);
    return Emit(g_state->ports.size(), fixed, pPort, cbBuf, pcbNeeded, pcReturned,
                [&](Packer& k, size_t i, BYTE* rec) { FillPort(k, g_state->ports[i], Level, rec); });
}

BOOL WINAPI SetPortW(LPWSTR pName, LPWSTR pPortName, DWORD dwLevel, LPBYTE pPortInfo) {
    Lock lock;
    FakeSpoolSetPortRecord rec{};
    rec.seq = ++g_state->seq;
    rec.threadId = GetCurrentThreadId();
    CopyW(rec.serverName, 64, pName);
    CopyW(rec.portName, 256, pPortName);
    rec.level = dwLevel;
    const PORT_INFO_3W* info = dwLevel == 3 ? reinterpret_cast<PORT_INFO_3W*>(pPortInfo) : nullptr;
    if (info) {
        rec.status = info->dwStatus;
        rec.hasText = info->pszStatus != nullptr;
        CopyW(rec.statusText, 256, info->pszStatus);
        rec.severity = info->dwSeverity;
    }
    auto done = [&](BOOL ok, DWORD err) {
        rec.result = ok;
        rec.lastError = ok ? 0 : err;
        g_state->setPortLog.push_back(rec);
        if (!ok) SetLastError(err);
        return ok;
    };
    if (Enter("SetPortW")) return done(FALSE, GetLastError());
    if (dwLevel != 3) return done(FALSE, ERROR_INVALID_LEVEL);
    if (!info) return done(FALSE, ERROR_INVALID_PARAMETER);
    Port* port = FindPort(pPortName);
    if (!port) return done(FALSE, ERROR_UNKNOWN_PORT);
    port->status = info->dwStatus;
    port->severity = info->dwSeverity;
    port->text = info->pszStatus ? info->pszStatus : L"";
    return done(TRUE, 0);
}

BOOL WINAPI XcvDataW(HANDLE hXcv, PCWSTR pszDataName, PBYTE pInputData, DWORD cbInputData, PBYTE pOutputData,
                     DWORD cbOutputData, PDWORD pcbOutputNeeded, PDWORD pdwStatus) {
    Lock lock;
    if (Enter("XcvDataW")) return FALSE;
    Handle* h = CheckHandle(hXcv, HK_XCV_PORT);
    if (!h) return FALSE;
    if (!pcbOutputNeeded || !pdwStatus || !pszDataName) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    *pcbOutputNeeded = 0;
    Port* port = FindPort(h->target.c_str());
    auto it = port ? port->xcv.find(Lower(pszDataName)) : std::map<std::wstring, XcvAnswer>::iterator();
    if (!port || it == port->xcv.end()) {
        *pdwStatus = ERROR_INVALID_PARAMETER;
        return TRUE;
    }
    const XcvAnswer& a = it->second;
    if (a.status) {
        *pdwStatus = a.status;
        return TRUE;
    }
    *pcbOutputNeeded = (DWORD)a.data.size();
    if (!pOutputData || cbOutputData < a.data.size()) {
        *pdwStatus = ERROR_INSUFFICIENT_BUFFER;
        return TRUE;
    }
    if (!a.data.empty()) memcpy(pOutputData, a.data.data(), a.data.size());
    *pdwStatus = ERROR_SUCCESS;
    return TRUE;
}

// Monitors: registered for every environment alike; a caller without
// administrator rights is refused, and a monitor a driver names is in use.
BOOL WINAPI AddMonitorW(LPWSTR pName, DWORD Level, LPBYTE pMonitors) {
    Lock lock;
    if (Enter("AddMonitorW")) return FALSE;
    if (Level != 2) {
        SetLastError(ERROR_INVALID_LEVEL);
        return FALSE;
    }
    auto* info = reinterpret_cast<MONITOR_INFO_2W*>(pMonitors);
    if (!info || !info->pName || !*info->pName || !info->pDLLName || !*info->pDLLName) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    if (g_state->denyAdminister) {
        SetLastError(ERROR_ACCESS_DENIED);
        return FALSE;
    }
    if (info->pEnvironment && *info->pEnvironment && !IEq(kEnvironment, info->pEnvironment)) {
        SetLastError(ERROR_INVALID_ENVIRONMENT);
        return FALSE;
    }
    if (FindMonitor(info->pName)) {
        SetLastError(ERROR_PRINT_MONITOR_ALREADY_INSTALLED);
        return FALSE;
    }
    g_state->monitors.push_back({info->pName, info->pEnvironment ? info->pEnvironment : L"", info->pDLLName});
    return TRUE;
}

BOOL WINAPI DeleteMonitorW(LPWSTR pName, LPWSTR pEnvironment, LPWSTR pMonitorName) {
    Lock lock;
    if (Enter("DeleteMonitorW")) return FALSE;
    if (g_state->denyAdminister) {
        SetLastError(ERROR_ACCESS_DENIED);
        return FALSE;
    }
    if (pEnvironment && *pEnvironment && !IEq(kEnvironment, pEnvironment)) {
        SetLastError(ERROR_INVALID_ENVIRONMENT);
        return FALSE;
    }
    if (!FindMonitor(pMonitorName)) {
        SetLastError(ERROR_UNKNOWN_PRINT_MONITOR);
        return FALSE;
    }
    for (const auto& d : g_state->drivers)
        if (d.hasMonitor && IEq(d.monitor, pMonitorName)) {
            SetLastError(ERROR_PRINT_MONITOR_IN_USE);
            return FALSE;
        }
    EraseNamed(g_state->monitors, pMonitorName);
    return TRUE;
}

BOOL WINAPI EnumMonitorsW(LPWSTR pName, DWORD Level, LPBYTE pMonitor, DWORD cbBuf, LPDWORD pcbNeeded,
                          LPDWORD pcReturned) {
    Lock lock;
    if (pcReturned) *pcReturned = 0;
    if (Enter("EnumMonitorsW")) return FALSE;
    if (Level != 1 && Level != 2) {
        SetLastError(ERROR_INVALID_LEVEL);
        return FALSE;
    }
    if (!pcReturned) {
        SetLastError(RPC_X_NULL_REF_POINTER);
        return FALSE;
    }
    size_t fixed = Level == 1 ? sizeof(MONITOR_INFO_1W) : sizeof(MONITOR_INFO_2W);
    return Emit(g_state->monitors.size(), fixed, pMonitor, cbBuf, pcbNeeded, pcReturned,
                [&](Packer& k, size_t i, BYTE* rec) {
                    const Monitor& m = g_state->monitors[i];
                    auto* r = reinterpret_cast<MONITOR_INFO_2W*>(rec);   // begins with MONITOR_INFO_1W
                    r->pName = k.Str(m.name);
                    if (Level == 2) {
                        r->pEnvironment = k.Str(m.environment);
                        r->pDLLName = k.Str(m.dll);
                    }
                });
}

// The print-provider helpers; spoolss.dll's double forwards here.
BOOL WINAPI ImpersonatePrinterClient(HANDLE hToken) { return FakeSpool_NoteImpersonate(hToken); }
HANDLE WINAPI RevertToPrinterSelf(void) { return FakeSpool_NoteRevert(); }

// ============================================================================
// Control interface
// ============================================================================

void FakeSpool_Reset(void) {
    Lock lock;
    for (Handle* h : g_state->handles) delete h;
    *g_state = State();
}

BOOL FakeSpool_AddPrinter(LPCWSTR name, LPCWSTR driverName, LPCWSTR portName, DWORD attributes, LPCWSTR printProcessor,
                          DWORD status) {
    if (!name || !*name) return FALSE;
    Lock lock;
    Printer* p = FindPrinter(name);
    if (!p) {
        g_state->printers.emplace_back();
        p = &g_state->printers.back();
    }
    p->name = name;
    p->driver = driverName ? driverName : L"";
    p->port = portName ? portName : L"";
    p->attributes = attributes;
    p->hasProcessor = printProcessor != nullptr;
    p->processor = printProcessor ? printProcessor : L"";
    p->status = status;
    Reindex();
    return TRUE;
}

BOOL FakeSpool_RemovePrinter(LPCWSTR name) {
    Lock lock;
    BOOL erased = EraseNamed(g_state->printers, name);
    Reindex();
    return erased;
}

BOOL FakeSpool_SetPrinterStatus(LPCWSTR name, DWORD status) {
    Lock lock;
    Printer* p = FindPrinter(name);
    if (p) p->status = status;
    return p != nullptr;
}

BOOL FakeSpool_SetPrinterPort(LPCWSTR name, LPCWSTR portName) {
    Lock lock;
    Printer* p = FindPrinter(name);
    if (p) p->port = portName ? portName : L"";
    return p != nullptr;
}

BOOL FakeSpool_AddDriver(LPCWSTR name, LPCWSTR monitorName) {
    if (!name || !*name) return FALSE;
    Lock lock;
    Driver* d = FindDriver(name);
    if (!d) {
        g_state->drivers.emplace_back();
        d = &g_state->drivers.back();
    }
    d->name = name;
    d->hasMonitor = monitorName != nullptr;
    d->monitor = monitorName ? monitorName : L"";
    return TRUE;
}

BOOL FakeSpool_AddMonitor(LPCWSTR name, LPCWSTR environment, LPCWSTR dllName) {
    if (!name || !*name) return FALSE;
    Lock lock;
    Monitor* m = FindMonitor(name);
    if (!m) {
        g_state->monitors.emplace_back();
        m = &g_state->monitors.back();
    }
    *m = {name, environment ? environment : L"", dllName ? dllName : L""};
    return TRUE;
}

BOOL FakeSpool_GetMonitor(LPCWSTR name, LPWSTR environment, DWORD cchEnvironment, LPWSTR dllName, DWORD cchDllName) {
    Lock lock;
    Monitor* m = FindMonitor(name);
    if (!m) return FALSE;
    if (environment) CopyW(environment, cchEnvironment, m->environment.c_str());
    if (dllName) CopyW(dllName, cchDllName, m->dll.c_str());
    return TRUE;
}

BOOL FakeSpool_AddPort(LPCWSTR name, LPCWSTR monitorName, DWORD portType, LPCWSTR description) {
    if (!name || !*name) return FALSE;
    Lock lock;
    Port* p = FindPort(name);
    if (!p) {
        g_state->ports.emplace_back();
        p = &g_state->ports.back();
    }
    p->name = name;
    p->monitor = monitorName ? monitorName : L"";
    p->type = portType;
    p->description = description ? description : L"";
    Reindex();
    return TRUE;
}

BOOL FakeSpool_RemovePort(LPCWSTR name) {
    Lock lock;
    BOOL erased = EraseNamed(g_state->ports, name);
    Reindex();
    return erased;
}

BOOL FakeSpool_SetXcvData(LPCWSTR portName, LPCWSTR dataName, const void* data, DWORD cbData, DWORD xcvStatus) {
    if (!dataName) return FALSE;
    Lock lock;
    Port* p = FindPort(portName);
    if (!p) return FALSE;
    XcvAnswer& a = p->xcv[Lower(dataName)];
    const BYTE* b = static_cast<const BYTE*>(data);
    a.data.assign(b, b + (b ? cbData : 0));
    a.status = xcvStatus;
    return TRUE;
}

BOOL FakeSpool_SetXcvIPAddress(LPCWSTR portName, LPCWSTR address) {
    if (!address) return FALSE;
    return FakeSpool_SetXcvData(portName, L"IPAddress", address, (DWORD)((wcslen(address) + 1) * sizeof(WCHAR)), 0);
}

DWORD FakeSpool_AddJob(LPCWSTR printerName, DWORD jobId, DWORD status, LPCWSTR document, LPCWSTR userName,
                       DWORD totalPages) {
    Lock lock;
    Printer* p = FindPrinter(printerName);
    if (!p) return 0;
    if (jobId == 0) {
        for (;;) {
            bool taken = false;
            for (auto& q : g_state->printers)
                if (FindJob(&q, g_state->nextJobId)) taken = true;
            if (!taken) break;
            g_state->nextJobId++;
        }
        jobId = g_state->nextJobId++;
    } else if (FindJob(p, jobId)) {
        return 0;
    }
    Job j;
    j.id = jobId;
    j.status = status;
    j.document = document ? document : L"";
    j.user = userName ? userName : L"";
    j.totalPages = totalPages;
    GetSystemTime(&j.submitted);
    p->jobs.push_back(j);
    return jobId;
}

BOOL FakeSpool_RemoveJob(LPCWSTR printerName, DWORD jobId) {
    Lock lock;
    Printer* p = FindPrinter(printerName);
    Job* j = p ? FindJob(p, jobId) : nullptr;
    if (!j) return FALSE;
    p->jobs.erase(p->jobs.begin() + (j - p->jobs.data()));
    return TRUE;
}

BOOL FakeSpool_SetJobStatus(LPCWSTR printerName, DWORD jobId, DWORD status) {
    Lock lock;
    Printer* p = FindPrinter(printerName);
    Job* j = p ? FindJob(p, jobId) : nullptr;
    if (j) j->status = status;
    return j != nullptr;
}

BOOL FakeSpool_SetJobAnswer(LPCWSTR printerName, DWORD jobId, DWORD answer) {
    Lock lock;
    Printer* p = FindPrinter(printerName);
    Job* j = p ? FindJob(p, jobId) : nullptr;
    if (j) j->answer = answer;
    return j != nullptr;
}

BOOL FakeSpool_GetJobStatus(LPCWSTR printerName, DWORD jobId, DWORD* pStatus) {
    Lock lock;
    Printer* p = FindPrinter(printerName);
    Job* j = p ? FindJob(p, jobId) : nullptr;
    if (j && pStatus) *pStatus = j->status;
    return j != nullptr;
}

DWORD FakeSpool_JobCount(LPCWSTR printerName) {
    Lock lock;
    Printer* p = FindPrinter(printerName);
    return p ? (DWORD)p->jobs.size() : 0;
}

void FakeSpool_DenyAdminAccess(BOOL deny) {
    Lock lock;
    g_state->denyAdminister = deny != FALSE;
}

void FakeSpool_KeepFinishedJobs(BOOL keep) {
    Lock lock;
    g_state->keepFinished = keep != FALSE;
}

BOOL FakeSpool_InjectFailure(LPCSTR function, DWORD skip, DWORD count, DWORD lastError) {
    if (!function) return FALSE;
    Lock lock;
    g_state->failures[function] = Failure{skip, count, lastError};
    return TRUE;
}

BOOL FakeSpool_FailNext(LPCSTR function, DWORD count, DWORD lastError) {
    return FakeSpool_InjectFailure(function, 0, count, lastError);
}

DWORD FakeSpool_CallCount(LPCSTR function) {
    if (!function) return 0;
    Lock lock;
    auto it = g_state->calls.find(function);
    return it == g_state->calls.end() ? 0 : it->second;
}

DWORD FakeSpool_OpenHandleCount(LPCWSTR name) {
    Lock lock;
    DWORD n = 0;
    for (Handle* h : g_state->handles)
        if (!name || IEq(h->openedName, name)) n++;
    return n;
}

DWORD FakeSpool_BadHandleCount(void) {
    Lock lock;
    return g_state->badHandles;
}

DWORD FakeSpool_GetSetJobLog(FakeSpoolSetJobRecord* records, DWORD maxRecords) {
    Lock lock;
    DWORD n = (DWORD)g_state->setJobLog.size();
    for (DWORD i = 0; records && i < n && i < maxRecords; i++) records[i] = g_state->setJobLog[i];
    return n;
}

DWORD FakeSpool_GetSetPortLog(FakeSpoolSetPortRecord* records, DWORD maxRecords) {
    Lock lock;
    DWORD n = (DWORD)g_state->setPortLog.size();
    for (DWORD i = 0; records && i < n && i < maxRecords; i++) records[i] = g_state->setPortLog[i];
    return n;
}

void FakeSpool_ClearLogs(void) {
    Lock lock;
    g_state->setJobLog.clear();
    g_state->setPortLog.clear();
}

BOOL FakeSpool_GetPortStatus(LPCWSTR portName, DWORD* pStatus, DWORD* pSeverity, LPWSTR text, DWORD cchText) {
    Lock lock;
    Port* p = FindPort(portName);
    if (!p) return FALSE;
    if (pStatus) *pStatus = p->status;
    if (pSeverity) *pSeverity = p->severity;
    if (text && cchText) CopyW(text, cchText, p->text.c_str());
    return TRUE;
}

void FakeSpool_GetImpersonationCounts(DWORD* pImpersonate, DWORD* pRevert) {
    Lock lock;
    if (pImpersonate) *pImpersonate = g_state->impersonate;
    if (pRevert) *pRevert = g_state->revert;
}

BOOL FakeSpool_NoteImpersonate(HANDLE hToken) {
    Lock lock;
    g_state->impersonate++;
    if (Enter("ImpersonatePrinterClient")) return FALSE;
    return TRUE;
}

HANDLE FakeSpool_NoteRevert(void) {
    Lock lock;
    g_state->revert++;
    if (Enter("RevertToPrinterSelf")) return nullptr;
    // Any non-null value stands for the client's token.
    return reinterpret_cast<HANDLE>(static_cast<ULONG_PTR>(0x7E570000u + g_state->revert));
}

BOOL WINAPI DllMain(HINSTANCE, DWORD reason, LPVOID reserved) {
    if (reason == DLL_PROCESS_ATTACH) {
        InitializeCriticalSection(&g_cs);
        g_state = new State;
    } else if (reason == DLL_PROCESS_DETACH && !reserved) {
        // Process exit (reserved non-null) leaves the state alone: other
        // modules may still be tearing down and calling in.
        DeleteCriticalSection(&g_cs);
    }
    return TRUE;
}

}  // extern "C"
