// The test status report manager: a VKJPSRMZ.DLL that keeps named byte
// values per printer in memory, signals registered events when a value
// changes, and lets tests arrange values, inject failures and read back what
// the monitor published (see srmdouble.h).
#define SRMDOUBLE_BUILD 1
#include <windows.h>

#include <cstring>
#include <cwchar>
#include <iterator>
#include <map>
#include <string>
#include <type_traits>
#include <vector>

#include "state/srm.h"
#include "srmdouble.h"

extern "C" {
LONG WINAPI OpenManagerExW(LPCWSTR pszPrinterName, LPCWSTR pszDeviceName, DWORD dwFlags, SRMHANDLE* phManager);
LONG WINAPI CloseManager(SRMHANDLE hManager);
LONG WINAPI GetPrinterStatusA(SRMHANDLE hManager, LPCSTR pszName, void* pBuffer, DWORD cbBuffer, DWORD* pcbNeeded);
LONG WINAPI GetPrinterStatusW(SRMHANDLE hManager, LPCWSTR pszName, void* pBuffer, DWORD cbBuffer, DWORD* pcbNeeded);
LONG WINAPI SetReqPrinterStatusEventA(SRMHANDLE hManager, LPCSTR pszNames, HANDLE hEvent, SRMREG* pReg);
LONG WINAPI ResSetPrinterStatus(SRMHANDLE hManager, SRMREG reg, LONG lResult);
LONG WINAPI UpdatePrinterStatusA(SRMHANDLE hManager, LPCSTR pszName, const void* pValue, DWORD cbValue);
LONG WINAPI SetNotificationEventA(SRMHANDLE hManager, LPCSTR pszName, HANDLE hEvent, SRMREG* pReg);
LONG WINAPI SetNotificationEventExA(SRMHANDLE hManager, DWORD cEvents, LPCSTR pszNames, HANDLE* phEvents,
                                    SRMREG* pReg);
LONG WINAPI KillNotificationEvent(SRMHANDLE hManager, SRMREG reg);
LONG WINAPI SetNotificationCallbackExA(SRMHANDLE hManager, DWORD cNames, LPCSTR pszNames,
                                       PFN_SrmNotifyCallback pfnCallback, void* pContext, SRMREG* pReg);
LONG WINAPI KillNotificationCallback(SRMHANDLE hManager, SRMREG reg);
}

// The exports must match what the monitor casts GetProcAddress results to.
static_assert(std::is_same<decltype(&OpenManagerExW), PFN_OpenManagerExW>::value, "OpenManagerExW");
static_assert(std::is_same<decltype(&CloseManager), PFN_CloseManager>::value, "CloseManager");
static_assert(std::is_same<decltype(&GetPrinterStatusA), PFN_GetPrinterStatusA>::value, "GetPrinterStatusA");
static_assert(std::is_same<decltype(&GetPrinterStatusW), PFN_GetPrinterStatusW>::value, "GetPrinterStatusW");
static_assert(std::is_same<decltype(&SetReqPrinterStatusEventA), PFN_SetReqPrinterStatusEventA>::value, "");
static_assert(std::is_same<decltype(&ResSetPrinterStatus), PFN_ResSetPrinterStatus>::value, "ResSetPrinterStatus");
static_assert(std::is_same<decltype(&UpdatePrinterStatusA), PFN_UpdatePrinterStatusA>::value, "");
static_assert(std::is_same<decltype(&SetNotificationEventA), PFN_SetNotificationEventA>::value, "");
static_assert(std::is_same<decltype(&SetNotificationEventExA), PFN_SetNotificationEventExA>::value, "");
static_assert(std::is_same<decltype(&KillNotificationEvent), PFN_KillNotificationEvent>::value, "");
static_assert(std::is_same<decltype(&SetNotificationCallbackExA), PFN_SetNotificationCallbackExA>::value, "");
static_assert(std::is_same<decltype(&KillNotificationCallback), PFN_KillNotificationCallback>::value, "");

namespace {

typedef std::vector<BYTE> Bytes;

struct Printer {
    std::wstring name;   // as first mentioned
    std::map<std::string, Bytes> values;
    bool openFail = false;
    LONG openResult = 0;
};

enum RegKind { RK_EVENTS, RK_REQUEST, RK_CALLBACK };

struct Registration {
    RegKind kind = RK_EVENTS;
    SRMHANDLE owner = 0;
    std::wstring printerKey;
    std::vector<std::string> names;
    std::vector<HANDLE> events;   // our duplicates, one per name (RK_EVENTS)
    PFN_SrmNotifyCallback callback = nullptr;
    void* context = nullptr;
};

struct OpenHandle {
    std::wstring printerKey;
};

struct Failure {
    DWORD skip = 0, count = 0;
    LONG result = 0;
};

struct PendingCallback {
    PFN_SrmNotifyCallback callback;
    SRMHANDLE owner;
    DWORD index;
    std::string name;
    void* context;
};
typedef std::vector<PendingCallback> Pending;

struct State {
    std::map<std::wstring, Printer> printers;   // key: lower-case name
    std::map<SRMHANDLE, OpenHandle> handles;
    std::map<SRMREG, Registration> regs;
    std::map<std::string, DWORD> calls;
    std::map<std::string, Failure> failures;
    std::map<std::string, DWORD> delays;
    std::vector<SrmDoubleUpdateRecord> updateLog;
    std::vector<SrmDoubleOpenRecord> openLog;
    DWORD seq = 0;
    DWORD badHandles = 0;
    DWORD droppedRegs = 0;
    bool allRefused = false;
    LONG allRefusedResult = 0;
};

CRITICAL_SECTION g_cs;
State* g_state;
bool g_initialized;
// Never reset, so that a handle kept from before a reset is never valid again.
// The high halves are non-zero so that a handle cut to 32 bits is refused.
ULONGLONG g_nextHandle = 0x534D480000000000ULL;
ULONGLONG g_nextReg = 0x534D520000000000ULL;

struct Lock {
    Lock() { EnterCriticalSection(&g_cs); }
    ~Lock() { LeaveCriticalSection(&g_cs); }
};

// Applies an armed delay; called by each entry point before it locks.
void Delay(const char* entry) {
    DWORD ms = 0;
    {
        Lock lock;
        auto it = g_state->delays.find(entry);
        if (it != g_state->delays.end()) ms = it->second;
    }
    if (ms) Sleep(ms);
}

// Folded by hand: the C library's towlower takes a process-wide locale lock
// on every call under Wine, which every update of every port queued on.
std::wstring Key(const wchar_t* s) {
    std::wstring r(s ? s : L"");
    for (auto& c : r) {
        if (c >= L'A' && c <= L'Z') c = static_cast<wchar_t>(c + (L'a' - L'A'));
        else if (c >= 0x80) c = static_cast<wchar_t>(towlower(c));
    }
    return r;
}

Bytes Dword(DWORD v) {
    Bytes b(4);
    memcpy(b.data(), &v, 4);
    return b;
}

Printer* FindPrinter(const wchar_t* name, bool create) {
    if (!name || !*name) return nullptr;
    std::wstring key = Key(name);
    auto it = g_state->printers.find(key);
    if (it != g_state->printers.end()) return &it->second;
    if (!create) return nullptr;
    Printer& p = g_state->printers[key];
    p.name = name;
    p.values[SZ_SRMVAR_PORT] = Bytes(sizeof(SrmPortValue), 0);
    const BYTE* n = reinterpret_cast<const BYTE*>(name);
    p.values[SZ_SRMVAR_PRINTERNAME] = Bytes(n, n + (wcslen(name) + 1) * sizeof(wchar_t));
    p.values[SZ_SRMVAR_TERMINATE] = Dword(0);
    p.values[SZ_SRMVAR_JOBSTATUS] = Dword(0);
    p.values[SZ_SRMVAR_REFRESH] = Bytes(1, 0);
    return &p;
}

// Counts the call, gives it its sequence number and applies an armed failure.
// Under the lock. Returns 0 or the injected result.
LONG Enter(const char* entry, DWORD* pSeq = nullptr) {
    DWORD seq = ++g_state->seq;
    if (pSeq) *pSeq = seq;
    g_state->calls[entry]++;
    auto it = g_state->failures.find(entry);
    if (it == g_state->failures.end() || it->second.count == 0) return 0;
    if (it->second.skip) {
        it->second.skip--;
        return 0;
    }
    it->second.count--;
    return it->second.result;
}

OpenHandle* CheckHandle(SRMHANDLE h) {
    auto it = g_state->handles.find(h);
    if (it == g_state->handles.end()) {
        g_state->badHandles++;
        return nullptr;
    }
    return &it->second;
}

// Signals every registration of the printer that names the variable.
// Under the lock; callbacks are collected and run by the caller after it.
DWORD Signal(const std::wstring& printerKey, const std::string& name, Pending& pending) {
    DWORD n = 0;
    for (auto& r : g_state->regs) {
        Registration& reg = r.second;
        if (reg.printerKey != printerKey || reg.kind == RK_REQUEST) continue;
        for (size_t i = 0; i < reg.names.size(); i++) {
            if (reg.names[i] != name) continue;
            n++;
            if (reg.kind == RK_EVENTS)
                SetEvent(reg.events[i]);
            else
                pending.push_back({reg.callback, reg.owner, (DWORD)i, name, reg.context});
        }
    }
    return n;
}

void RunCallbacks(const Pending& pending) {
    for (const auto& p : pending) p.callback(p.owner, p.index, p.name.c_str(), p.context);
}

void Store(const std::wstring& printerKey, Printer& p, const std::string& name, Bytes value, Pending& pending) {
    auto it = p.values.find(name);
    bool changed = it == p.values.end() || it->second != value;
    p.values[name] = std::move(value);
    if (changed) Signal(printerKey, name, pending);
}

void DropRegistration(std::map<SRMREG, Registration>::iterator it) {
    for (HANDLE h : it->second.events)
        if (h) CloseHandle(h);
    g_state->regs.erase(it);
}

std::vector<std::string> SplitNames(const char* list) {
    std::vector<std::string> out;
    std::string cur;
    for (const char* p = list;; p++) {
        if (*p == ';' || *p == 0) {
            out.push_back(cur);
            cur.clear();
            if (!*p) break;
        } else {
            cur += *p;
        }
    }
    return out;
}

bool ValidNames(const std::vector<std::string>& names) {
    for (const auto& n : names)
        if (n.empty()) return false;
    return !names.empty();
}

std::string Narrow(const wchar_t* s) {
    std::string r;
    for (; *s; s++) r += (*s < 0x80) ? (char)*s : '?';
    return r;
}

// A new registration for handle h; events are duplicated so that signalling
// stays safe after the caller has closed its own handles.
LONG Register(SRMHANDLE h, const OpenHandle& oh, RegKind kind, std::vector<std::string> names, const HANDLE* events,
              PFN_SrmNotifyCallback cb, void* ctx, SRMREG* pReg) {
    Registration reg;
    reg.kind = kind;
    reg.owner = h;
    reg.printerKey = oh.printerKey;
    reg.names = std::move(names);
    reg.callback = cb;
    reg.context = ctx;
    if (events) {
        size_t count = kind == RK_EVENTS ? reg.names.size() : 1;
        for (size_t i = 0; i < count; i++) {
            HANDLE dup = nullptr;
            if (!events[i] || !DuplicateHandle(GetCurrentProcess(), events[i], GetCurrentProcess(), &dup, 0, FALSE,
                                               DUPLICATE_SAME_ACCESS)) {
                for (HANDLE d : reg.events) CloseHandle(d);
                return SRMDOUBLE_E_INVALID_ARG;
            }
            reg.events.push_back(dup);
        }
    }
    SRMREG id = ++g_nextReg;
    g_state->regs[id] = std::move(reg);
    *pReg = id;
    return 0;
}

LONG Kill(SRMHANDLE h, SRMREG id, bool callbackKind) {
    if (!CheckHandle(h)) return SRMDOUBLE_E_INVALID_HANDLE;
    auto it = g_state->regs.find(id);
    if (it == g_state->regs.end() || it->second.owner != h || (it->second.kind == RK_CALLBACK) != callbackKind) {
        g_state->badHandles++;
        return SRMDOUBLE_E_NOT_FOUND;
    }
    DropRegistration(it);
    return 0;
}

LONG ReadValue(SRMHANDLE h, const std::string& name, void* buf, DWORD cbBuf, DWORD* pcbNeeded) {
    OpenHandle* oh = CheckHandle(h);
    if (!oh) return SRMDOUBLE_E_INVALID_HANDLE;
    Printer& p = g_state->printers[oh->printerKey];
    auto it = p.values.find(name);
    if (it == p.values.end()) return SRMDOUBLE_E_NOT_FOUND;
    DWORD need = (DWORD)it->second.size();
    if (pcbNeeded) *pcbNeeded = need;
    if (!buf || cbBuf == 0) return SRM_E_NO_BUFFER;
    if (cbBuf < need) return SRM_E_MORE_DATA;
    if (need) memcpy(buf, it->second.data(), need);
    return 0;
}

void CopyW(WCHAR* dst, size_t cch, const wchar_t* src) {
    if (!src) src = L"";
    wcsncpy(dst, src, cch - 1);
    dst[cch - 1] = 0;
}

bool KnownEntry(const char* entry) {
    if (!entry) return false;
    for (const char* n : g_aszSrmEntryNames)
        if (strcmp(n, entry) == 0) return true;
    return false;
}

}  // namespace

extern "C" {

// ---- Entry points of the manager -------------------------------------------

LONG WINAPI OpenManagerExW(LPCWSTR pszPrinterName, LPCWSTR pszDeviceName, DWORD dwFlags, SRMHANDLE* phManager) {
    Delay(SZ_OpenManagerExW);
    Lock lock;
    SrmDoubleOpenRecord rec{};
    LONG r = Enter(SZ_OpenManagerExW, &rec.seq);
    rec.threadId = GetCurrentThreadId();
    CopyW(rec.printer, 256, pszPrinterName);
    CopyW(rec.device, 64, pszDeviceName);
    rec.flags = dwFlags;
    SRMHANDLE h = 0;
    if (r == 0) {
        Printer* p = phManager ? FindPrinter(pszPrinterName, true) : nullptr;
        if (!p) {
            r = SRMDOUBLE_E_INVALID_ARG;
        } else if (g_state->allRefused || p->openFail) {
            r = g_state->allRefused ? g_state->allRefusedResult : p->openResult;
        } else {
            h = ++g_nextHandle;
            g_state->handles[h].printerKey = Key(pszPrinterName);
        }
    }
    if (phManager) *phManager = h;
    rec.result = r;
    rec.handle = h;
    g_state->openLog.push_back(rec);
    return r;
}

LONG WINAPI CloseManager(SRMHANDLE hManager) {
    Delay(SZ_CloseManager);
    Lock lock;
    LONG r = Enter(SZ_CloseManager);
    if (r) return r;
    if (!CheckHandle(hManager)) return SRMDOUBLE_E_INVALID_HANDLE;
    for (auto it = g_state->regs.begin(); it != g_state->regs.end();) {
        auto next = std::next(it);
        if (it->second.owner == hManager) {
            g_state->droppedRegs++;
            DropRegistration(it);
        }
        it = next;
    }
    g_state->handles.erase(hManager);
    return 0;
}

LONG WINAPI GetPrinterStatusA(SRMHANDLE hManager, LPCSTR pszName, void* pBuffer, DWORD cbBuffer, DWORD* pcbNeeded) {
    Delay(SZ_GetPrinterStatusA);
    Lock lock;
    LONG r = Enter(SZ_GetPrinterStatusA);
    if (r) return r;
    if (!pszName) return SRMDOUBLE_E_INVALID_ARG;
    return ReadValue(hManager, pszName, pBuffer, cbBuffer, pcbNeeded);
}

LONG WINAPI GetPrinterStatusW(SRMHANDLE hManager, LPCWSTR pszName, void* pBuffer, DWORD cbBuffer, DWORD* pcbNeeded) {
    Delay(SZ_GetPrinterStatusW);
    Lock lock;
    LONG r = Enter(SZ_GetPrinterStatusW);
    if (r) return r;
    if (!pszName) return SRMDOUBLE_E_INVALID_ARG;
    return ReadValue(hManager, Narrow(pszName), pBuffer, cbBuffer, pcbNeeded);
}

LONG WINAPI SetReqPrinterStatusEventA(SRMHANDLE hManager, LPCSTR pszNames, HANDLE hEvent, SRMREG* pReg) {
    Delay(SZ_SetReqPrinterStatusEventA);
    Lock lock;
    if (pReg) *pReg = 0;
    LONG r = Enter(SZ_SetReqPrinterStatusEventA);
    if (r) return r;
    OpenHandle* oh = CheckHandle(hManager);
    if (!oh) return SRMDOUBLE_E_INVALID_HANDLE;
    if (!pszNames || !pReg || !hEvent) return SRMDOUBLE_E_INVALID_ARG;
    std::vector<std::string> names = SplitNames(pszNames);
    if (!ValidNames(names)) return SRMDOUBLE_E_INVALID_ARG;
    return Register(hManager, *oh, RK_REQUEST, std::move(names), &hEvent, nullptr, nullptr, pReg);
}

LONG WINAPI ResSetPrinterStatus(SRMHANDLE hManager, SRMREG reg, LONG lResult) {
    Delay(SZ_ResSetPrinterStatus);
    Lock lock;
    LONG r = Enter(SZ_ResSetPrinterStatus);
    if (r) return r;
    if (!CheckHandle(hManager)) return SRMDOUBLE_E_INVALID_HANDLE;
    auto it = g_state->regs.find(reg);
    if (it == g_state->regs.end() || it->second.owner != hManager || it->second.kind != RK_REQUEST)
        return SRMDOUBLE_E_NOT_FOUND;
    return 0;
}

LONG WINAPI UpdatePrinterStatusA(SRMHANDLE hManager, LPCSTR pszName, const void* pValue, DWORD cbValue) {
    Delay(SZ_UpdatePrinterStatusA);
    Pending pending;
    LONG r;
    {
        Lock lock;
        SrmDoubleUpdateRecord rec{};
        r = Enter(SZ_UpdatePrinterStatusA, &rec.seq);
        rec.threadId = GetCurrentThreadId();
        rec.handle = hManager;
        if (pszName) {
            strncpy(rec.name, pszName, sizeof(rec.name) - 1);
        }
        rec.cbValue = cbValue;
        if (pValue && cbValue) {
            DWORD n = cbValue < SRMDOUBLE_MAX_LOGGED_VALUE ? cbValue : SRMDOUBLE_MAX_LOGGED_VALUE;
            memcpy(rec.value, pValue, n);
            rec.truncated = cbValue > SRMDOUBLE_MAX_LOGGED_VALUE;
        }
        OpenHandle* oh = nullptr;
        if (r == 0) {
            oh = CheckHandle(hManager);
            if (!oh)
                r = SRMDOUBLE_E_INVALID_HANDLE;
            else if (!pszName || !*pszName || (!pValue && cbValue))
                r = SRMDOUBLE_E_INVALID_ARG;
        } else {
            auto it = g_state->handles.find(hManager);
            if (it != g_state->handles.end()) oh = &it->second;
        }
        if (oh) CopyW(rec.printer, 256, g_state->printers[oh->printerKey].name.c_str());
        if (r == 0) {
            const BYTE* v = static_cast<const BYTE*>(pValue);
            Store(oh->printerKey, g_state->printers[oh->printerKey], pszName, Bytes(v, v + cbValue), pending);
        }
        rec.result = r;
        g_state->updateLog.push_back(rec);
    }
    RunCallbacks(pending);
    return r;
}

LONG WINAPI SetNotificationEventA(SRMHANDLE hManager, LPCSTR pszName, HANDLE hEvent, SRMREG* pReg) {
    Delay(SZ_SetNotificationEventA);
    Lock lock;
    if (pReg) *pReg = 0;
    LONG r = Enter(SZ_SetNotificationEventA);
    if (r) return r;
    OpenHandle* oh = CheckHandle(hManager);
    if (!oh) return SRMDOUBLE_E_INVALID_HANDLE;
    if (!pszName || !*pszName || !pReg) return SRMDOUBLE_E_INVALID_ARG;
    return Register(hManager, *oh, RK_EVENTS, {pszName}, &hEvent, nullptr, nullptr, pReg);
}

LONG WINAPI SetNotificationEventExA(SRMHANDLE hManager, DWORD cEvents, LPCSTR pszNames, HANDLE* phEvents,
                                    SRMREG* pReg) {
    Delay(SZ_SetNotificationEventExA);
    Lock lock;
    if (pReg) *pReg = 0;
    LONG r = Enter(SZ_SetNotificationEventExA);
    if (r) return r;
    OpenHandle* oh = CheckHandle(hManager);
    if (!oh) return SRMDOUBLE_E_INVALID_HANDLE;
    if (!pszNames || !phEvents || !pReg) return SRMDOUBLE_E_INVALID_ARG;
    std::vector<std::string> names = SplitNames(pszNames);
    if (!ValidNames(names) || names.size() != cEvents) return SRMDOUBLE_E_INVALID_ARG;
    return Register(hManager, *oh, RK_EVENTS, std::move(names), phEvents, nullptr, nullptr, pReg);
}

LONG WINAPI KillNotificationEvent(SRMHANDLE hManager, SRMREG reg) {
    Delay(SZ_KillNotificationEvent);
    Lock lock;
    LONG r = Enter(SZ_KillNotificationEvent);
    if (r) return r;
    return Kill(hManager, reg, false);
}

LONG WINAPI SetNotificationCallbackExA(SRMHANDLE hManager, DWORD cNames, LPCSTR pszNames,
                                       PFN_SrmNotifyCallback pfnCallback, void* pContext, SRMREG* pReg) {
    Delay(SZ_SetNotificationCallbackExA);
    Lock lock;
    if (pReg) *pReg = 0;
    LONG r = Enter(SZ_SetNotificationCallbackExA);
    if (r) return r;
    OpenHandle* oh = CheckHandle(hManager);
    if (!oh) return SRMDOUBLE_E_INVALID_HANDLE;
    if (!pszNames || !pfnCallback || !pReg) return SRMDOUBLE_E_INVALID_ARG;
    std::vector<std::string> names = SplitNames(pszNames);
    if (!ValidNames(names) || names.size() != cNames) return SRMDOUBLE_E_INVALID_ARG;
    return Register(hManager, *oh, RK_CALLBACK, std::move(names), nullptr, pfnCallback, pContext, pReg);
}

LONG WINAPI KillNotificationCallback(SRMHANDLE hManager, SRMREG reg) {
    Delay(SZ_KillNotificationCallback);
    Lock lock;
    LONG r = Enter(SZ_KillNotificationCallback);
    if (r) return r;
    return Kill(hManager, reg, true);
}

// ---- Control interface -----------------------------------------------------

SRMDOUBLE_API void SrmDouble_Reset(void) {
    Lock lock;
    for (auto& r : g_state->regs)
        for (HANDLE h : r.second.events) CloseHandle(h);
    *g_state = State();
}

SRMDOUBLE_API BOOL SrmDouble_SetValue(LPCWSTR printer, LPCSTR name, const void* data, DWORD cb) {
    if (!name || !*name || (!data && cb)) return FALSE;
    Pending pending;
    {
        Lock lock;
        Printer* p = FindPrinter(printer, true);
        if (!p) return FALSE;
        const BYTE* v = static_cast<const BYTE*>(data);
        Store(Key(printer), *p, name, Bytes(v, v + cb), pending);
    }
    RunCallbacks(pending);
    return TRUE;
}

SRMDOUBLE_API BOOL SrmDouble_SetDword(LPCWSTR printer, LPCSTR name, DWORD value) {
    return SrmDouble_SetValue(printer, name, &value, sizeof(value));
}

SRMDOUBLE_API BOOL SrmDouble_SetTextA(LPCWSTR printer, LPCSTR name, LPCSTR text) {
    if (!text) return FALSE;
    return SrmDouble_SetValue(printer, name, text, (DWORD)strlen(text) + 1);
}

SRMDOUBLE_API BOOL SrmDouble_SetTextW(LPCWSTR printer, LPCSTR name, LPCWSTR text) {
    if (!text) return FALSE;
    return SrmDouble_SetValue(printer, name, text, (DWORD)((wcslen(text) + 1) * sizeof(WCHAR)));
}

SRMDOUBLE_API BOOL SrmDouble_SetPort(LPCWSTR printer, DWORD word, LPCWSTR port, LPCWSTR other) {
    SrmPortValue v{};
    v.dwWord = word;
    CopyW(v.szPort, SRM_PORT_CCH, port);
    CopyW(v.szOther, SRM_PORT_CCH, other);
    return SrmDouble_SetValue(printer, SZ_SRMVAR_PORT, &v, sizeof(v));
}

SRMDOUBLE_API BOOL SrmDouble_RemoveValue(LPCWSTR printer, LPCSTR name) {
    if (!name) return FALSE;
    Lock lock;
    Printer* p = FindPrinter(printer, false);
    return p && p->values.erase(name) ? TRUE : FALSE;
}

SRMDOUBLE_API DWORD SrmDouble_Notify(LPCWSTR printer, LPCSTR name) {
    if (!printer || !name) return 0;
    Pending pending;
    DWORD n;
    {
        Lock lock;
        n = Signal(Key(printer), name, pending);
    }
    RunCallbacks(pending);
    return n;
}

SRMDOUBLE_API BOOL SrmDouble_GetValue(LPCWSTR printer, LPCSTR name, void* buf, DWORD cbBuf, DWORD* pcbValue) {
    if (!name) return FALSE;
    Lock lock;
    Printer* p = FindPrinter(printer, false);
    if (!p) return FALSE;
    auto it = p->values.find(name);
    if (it == p->values.end()) return FALSE;
    DWORD size = (DWORD)it->second.size();
    if (pcbValue) *pcbValue = size;
    if (buf && size) memcpy(buf, it->second.data(), size < cbBuf ? size : cbBuf);
    return TRUE;
}

SRMDOUBLE_API BOOL SrmDouble_SetOpenFailure(LPCWSTR printer, BOOL fail, LONG result) {
    Lock lock;
    if (!printer) {
        g_state->allRefused = fail != FALSE;
        g_state->allRefusedResult = result;
        return TRUE;
    }
    Printer* p = FindPrinter(printer, true);
    if (!p) return FALSE;
    p->openFail = fail != FALSE;
    p->openResult = result;
    return TRUE;
}

SRMDOUBLE_API BOOL SrmDouble_InjectFailure(LPCSTR entry, DWORD skip, DWORD count, LONG result) {
    if (!KnownEntry(entry) || (count && result == 0)) return FALSE;
    Lock lock;
    Failure& f = g_state->failures[entry];
    f.skip = skip;
    f.count = count;
    f.result = result;
    return TRUE;
}

SRMDOUBLE_API BOOL SrmDouble_FailNext(LPCSTR entry, DWORD count, LONG result) {
    return SrmDouble_InjectFailure(entry, 0, count, result);
}

SRMDOUBLE_API BOOL SrmDouble_SetDelay(LPCSTR entry, DWORD ms) {
    if (!KnownEntry(entry)) return FALSE;
    Lock lock;
    g_state->delays[entry] = ms;
    return TRUE;
}

SRMDOUBLE_API BOOL SrmDouble_WaitForCalls(LPCSTR entry, DWORD count, DWORD timeoutMs) {
    DWORD start = GetTickCount();
    for (;;) {
        if (SrmDouble_CallCount(entry) >= count) return TRUE;
        if (GetTickCount() - start >= timeoutMs) return FALSE;
        Sleep(5);
    }
}

SRMDOUBLE_API DWORD SrmDouble_CallCount(LPCSTR entry) {
    if (!entry) return 0;
    Lock lock;
    auto it = g_state->calls.find(entry);
    return it == g_state->calls.end() ? 0 : it->second;
}

SRMDOUBLE_API DWORD SrmDouble_OpenHandleCount(LPCWSTR printer) {
    Lock lock;
    DWORD n = 0;
    std::wstring key = Key(printer);
    for (const auto& h : g_state->handles)
        if (!printer || h.second.printerKey == key) n++;
    return n;
}

SRMDOUBLE_API DWORD SrmDouble_RegistrationCount(LPCWSTR printer) {
    Lock lock;
    DWORD n = 0;
    std::wstring key = Key(printer);
    for (const auto& r : g_state->regs)
        if (!printer || r.second.printerKey == key) n++;
    return n;
}

SRMDOUBLE_API DWORD SrmDouble_DroppedRegistrationCount(void) {
    Lock lock;
    return g_state->droppedRegs;
}

SRMDOUBLE_API DWORD SrmDouble_BadHandleCount(void) {
    Lock lock;
    return g_state->badHandles;
}

SRMDOUBLE_API DWORD SrmDouble_GetUpdateLog(SrmDoubleUpdateRecord* records, DWORD maxRecords) {
    Lock lock;
    DWORD n = (DWORD)g_state->updateLog.size();
    for (DWORD i = 0; records && i < n && i < maxRecords; i++) records[i] = g_state->updateLog[i];
    return n;
}

SRMDOUBLE_API DWORD SrmDouble_GetOpenLog(SrmDoubleOpenRecord* records, DWORD maxRecords) {
    Lock lock;
    DWORD n = (DWORD)g_state->openLog.size();
    for (DWORD i = 0; records && i < n && i < maxRecords; i++) records[i] = g_state->openLog[i];
    return n;
}

SRMDOUBLE_API void SrmDouble_ClearLogs(void) {
    Lock lock;
    g_state->updateLog.clear();
    g_state->openLog.clear();
}

BOOL WINAPI DllMain(HINSTANCE, DWORD reason, LPVOID reserved) {
    if (reason == DLL_PROCESS_ATTACH) {
        // Lets a test see the monitor meet a manager library that will not load.
        WCHAR refuse[8];
        DWORD n = GetEnvironmentVariableW(SRMDOUBLE_REFUSE_LOAD_ENV, refuse, 8);
        if (n > 0) return FALSE;
        InitializeCriticalSection(&g_cs);
        g_state = new State;
        g_initialized = true;
    } else if (reason == DLL_PROCESS_DETACH && g_initialized && !reserved) {
        // Unloaded by FreeLibrary: nothing of ours may stay behind. At process
        // exit (reserved non-null) others may still call in; leave it be.
        for (auto& r : g_state->regs)
            for (HANDLE h : r.second.events) CloseHandle(h);
        delete g_state;
        g_state = nullptr;
        DeleteCriticalSection(&g_cs);
        g_initialized = false;
    }
    return TRUE;
}

}  // extern "C"
