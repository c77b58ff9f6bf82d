#include "state/binding.h"
#include "diag/trace.h"
#include "state/config.h"
#include "state/jobqueue.h"
#include "state/statusvar.h"

#include <cstring>
#include <cwchar>

namespace {

// Set once when the library loads, before any port opens.
NotifyThreadCalls notifyCalls{};

void LoadManagerLibrary(SrmBinding* b, int entries) {
    if (!b->hSrmLib) b->hSrmLib = LoadLibraryW(SZ_SRM_LIBRARY);
    if (!b->hSrmLib) return;
    FARPROC* slots[SRM_ENTRY_COUNT] = {
        reinterpret_cast<FARPROC*>(&b->pfnOpenManagerExW),
        reinterpret_cast<FARPROC*>(&b->pfnCloseManager),
        reinterpret_cast<FARPROC*>(&b->pfnGetPrinterStatusA),
        reinterpret_cast<FARPROC*>(&b->pfnGetPrinterStatusW),
        reinterpret_cast<FARPROC*>(&b->pfnSetReqPrinterStatusEventA),
        reinterpret_cast<FARPROC*>(&b->pfnResSetPrinterStatus),
        reinterpret_cast<FARPROC*>(&b->pfnUpdatePrinterStatusA),
        reinterpret_cast<FARPROC*>(&b->pfnSetNotificationEventA),
        reinterpret_cast<FARPROC*>(&b->pfnSetNotificationEventExA),
        reinterpret_cast<FARPROC*>(&b->pfnKillNotificationEvent),
        reinterpret_cast<FARPROC*>(&b->pfnSetNotificationCallbackExA),
        reinterpret_cast<FARPROC*>(&b->pfnKillNotificationCallback),
    };
    for (int i = 0; i < entries; ++i) *slots[i] = GetProcAddress(b->hSrmLib, g_aszSrmEntryNames[i]);
}

// Reads "Port" and "TerminateManager" and decides whether the manager may
// stay: both reads work, it is not shutting down, and it keeps the printer
// on this port.
bool ManagerAccepts(PortContext* ctx, SrmBinding* b) {
    SrmPortValue port = {};
    DWORD needed = 0;
    LONG rcPort = b->pfnGetPrinterStatusW
                      ? b->pfnGetPrinterStatusW(b->hManager, L"Port", &port, sizeof(port), &needed)
                      : -1;
    DWORD terminate = 0;
    LONG rcTerm = b->pfnGetPrinterStatusA
                      ? b->pfnGetPrinterStatusA(b->hManager, SZ_SRMVAR_TERMINATE, &terminate, sizeof(terminate), &needed)
                      : -1;
    if (rcTerm == 0 && terminate) StatusSet(ctx, ST_MGR_TERMINATED);
    if (rcPort != 0 || rcTerm != 0 || terminate) return false;
    return port.dwWord == 0 || SrmPortNamesPort(ctx, &port);
}

// Starts what a binding with an accepted manager has: its values and its
// notification thread.
void StartManagedBinding(PortContext* ctx, SrmBinding* b, BOOL publish) {
    if (publish) PublishAtBind(ctx, b);
    b->hUnbindEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    if (notifyCalls.start) notifyCalls.start(ctx, b);
    SetPortStatusAll(ctx);
}

void AppendBinding(PortContext* ctx, SrmBinding* b) {
    SrmBinding** link = &ctx->pBindList;
    while (*link) link = &(*link)->pNext;
    *link = b;
}

// A dropped binding keeps no manager: its library is gone.
void ClearManagerEntries(SrmBinding* b) {
    b->pfnOpenManagerExW = nullptr;
    b->pfnCloseManager = nullptr;
    b->pfnGetPrinterStatusA = nullptr;
    b->pfnGetPrinterStatusW = nullptr;
    b->pfnSetReqPrinterStatusEventA = nullptr;
    b->pfnResSetPrinterStatus = nullptr;
    b->pfnUpdatePrinterStatusA = nullptr;
    b->pfnSetNotificationEventA = nullptr;
    b->pfnSetNotificationEventExA = nullptr;
    b->pfnKillNotificationEvent = nullptr;
    b->pfnSetNotificationCallbackExA = nullptr;
    b->pfnKillNotificationCallback = nullptr;
}

// What is left of a dropped binding: its name and printer handle.
void FreeRetiredRecord(SrmBinding* b) {
    if (b->hPrinter) ClosePrinter(b->hPrinter);
    MemFree(b->pszPrinterName);
    MemFree(b);
}

void FreeBindingRecord(SrmBinding* b) {
    if (b->hManager && b->pfnCloseManager) b->pfnCloseManager(b->hManager);
    if (b->hSrmLib) FreeLibrary(b->hSrmLib);
    MemFree(b->pszPrinterName);
    MemFree(b);
}

// Printers of other computers: "\\server\printer".
bool IsRemoteName(const wchar_t* name) {
    if (name[0] != L'\\' || name[1] != L'\\') return false;
    int more = 0;
    for (const wchar_t* p = name + 2; *p; ++p)
        if (*p == L'\\') ++more;
    return more == 1;
}

// PRINTER_INFO_2 and DRIVER_INFO_3 of a printer, in heap blocks.
struct PrinterFacts {
    PRINTER_INFO_2W* pi2 = nullptr;
    DRIVER_INFO_3W* di3 = nullptr;
    ~PrinterFacts() {
        MemFree(pi2);
        MemFree(di3);
    }
};

bool ReadPrinterFacts(const wchar_t* name, PrinterFacts* f, bool withDriver) {
    UniquePrinter h;
    if (!OpenPrinterW(const_cast<LPWSTR>(name), h.put(), nullptr) || !h) return false;
    bool ok = false;
    DWORD needed = 0;
    GetPrinterW(h.get(), 2, nullptr, 0, &needed);
    if (needed && (f->pi2 = static_cast<PRINTER_INFO_2W*>(MemAlloc(needed))) &&
        GetPrinterW(h.get(), 2, reinterpret_cast<LPBYTE>(f->pi2), needed, &needed)) {
        ok = true;
        if (withDriver) {
            needed = 0;
            GetPrinterDriverW(h.get(), nullptr, 3, nullptr, 0, &needed);
            ok = needed && (f->di3 = static_cast<DRIVER_INFO_3W*>(MemAlloc(needed))) &&
                 GetPrinterDriverW(h.get(), nullptr, 3, reinterpret_cast<LPBYTE>(f->di3), needed, &needed);
        }
    }
    return ok;
}

bool AppendPortPrinter(PortPrinter*** tail, const PRINTER_INFO_2W* pi2) {
    auto* p = static_cast<PortPrinter*>(MemAlloc(sizeof(PortPrinter)));
    if (!p) return false;
    p->pszPrinterName = StrDupW(pi2->pPrinterName);
    if (!p->pszPrinterName) {
        MemFree(p);
        return false;
    }
    p->Attributes = pi2->Attributes;
    **tail = p;
    *tail = &p->pNext;
    return true;
}

bool SameText(const wchar_t* a, const wchar_t* b) { return a && b && wcscmp(a, b) == 0; }

}  // namespace

void SetNotifyThreadCalls(const NotifyThreadCalls& calls) { notifyCalls = calls; }

bool SrmPortNamesPort(const PortContext* ctx, const SrmPortValue* value) {
    size_t n = wcslen(ctx->pszPortName);
    if (n > SRM_PORT_CCH) return false;
    return _wcsnicmp(value->szPort, ctx->pszPortName, n) == 0 && value->szOther[0] == L'\0';
}

BOOL OpenBindingPrinter(SrmBinding* bind) {
    bind->hPrinterReady = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    if (!OpenPrinterW(bind->pszPrinterName, &bind->hPrinter, nullptr)) bind->hPrinter = nullptr;
    if (bind->hPrinterReady) SetEvent(bind->hPrinterReady);
    return TRUE;
}

SrmBinding* BindSRM(PortContext* ctx, const wchar_t* printerName, BOOL publishAtBind) {
    if (!ctx || !printerName) return nullptr;
    if ((ctx->dwPortStatus & 0x40) || (ctx->status & ST_MGR_TERMINATED)) return nullptr;
    auto* b = static_cast<SrmBinding*>(MemAlloc(sizeof(SrmBinding)));
    if (!b) return nullptr;
    if (!GetPrinterModelMask(printerName, b) || !(b->pszPrinterName = StrDupW(printerName))) {
        MemFree(b);
        return nullptr;
    }
    if (TraceOn(ctx, TRC_SRM)) TraceWrite(ctx, "SRM:BindSRM -START-");
    PortLock lock(ctx);
    if (IsStatusPrinter(printerName)) LoadManagerLibrary(b, SRM_ENTRY_COUNT);
    SRMHANDLE h = 0;
    if (b->pfnOpenManagerExW && b->pfnOpenManagerExW(printerName, SZ_SRM_DEVICE, SRM_OPEN_FLAGS, &h) == 0 && h) {
        b->hManager = h;
        if (!ManagerAccepts(ctx, b)) {
            if (TraceOn(ctx, TRC_SRM)) TraceWrite(ctx, "SRM:BindSRM -END(refused)-");
            FreeBindingRecord(b);
            return nullptr;
        }
        AppendBinding(ctx, b);
        OpenBindingPrinter(b);
        StartManagedBinding(ctx, b, publishAtBind);
        if (TraceOn(ctx, TRC_SRM)) TraceWrite(ctx, "SRM:BindSRM -END(managed)-");
        return b;
    }
    // No manager for now: the binding still serves its printer handle, and
    // BindSRM_All may open a manager later.
    AppendBinding(ctx, b);
    OpenBindingPrinter(b);
    if (TraceOn(ctx, TRC_SRM)) TraceWrite(ctx, "SRM:BindSRM -END(no manager)-");
    return b;
}

BOOL BindSRM_All(PortContext* ctx) {
    if (!ctx || (ctx->dwPortStatus & 0x40)) return FALSE;
    PortLock lock(ctx);
    SrmBinding* next = nullptr;
    for (SrmBinding* b = ctx->pBindList; b && !(ctx->status & ST_MGR_TERMINATED); b = next) {
        next = b->pNext;
        if (b->hManager) continue;
        if (!b->hSrmLib && IsStatusPrinter(b->pszPrinterName)) LoadManagerLibrary(b, SRM_ENTRY_COUNT_NO_CALLBACK);
        if (!b->hSrmLib || !b->pfnOpenManagerExW || !b->pfnGetPrinterStatusA) continue;
        SRMHANDLE h = 0;
        if (b->pfnOpenManagerExW(b->pszPrinterName, SZ_SRM_DEVICE, SRM_OPEN_FLAGS, &h) != 0 || !h) continue;
        b->hManager = h;
        ResetErrVariables(ctx, FALSE);
        ResetConfigVariables(ctx, FALSE);
        if (ManagerAccepts(ctx, b)) {
            StartManagedBinding(ctx, b, TRUE);
        } else {
            if (TraceOn(ctx, TRC_SRM)) TraceWrite(ctx, "SRM:BindSRM_All -refused-");
            UnbindSRM(b, ctx);
        }
    }
    return TRUE;
}

BOOL UnbindSRM(SrmBinding* bind, PortContext* ctx) {
    if (!bind || !ctx) return FALSE;
    PortLock lock(ctx);
    SrmBinding** link = &ctx->pBindList;
    while (*link && *link != bind) link = &(*link)->pNext;
    if (!*link) return FALSE;
    *link = bind->pNext;
    bind->pNext = nullptr;
    if (ctx->pCurBind == bind) ctx->pCurBind = nullptr;
    if (notifyCalls.forget) notifyCalls.forget(ctx, bind);
    // The notification thread waits on its own duplicate of this event.
    if (bind->hUnbindEvent) {
        SetEvent(bind->hUnbindEvent);
        CloseHandle(bind->hUnbindEvent);
        bind->hUnbindEvent = nullptr;
    }
    SetPortStatus(ctx, bind, nullptr);
    if (bind->hPrinterReady) CloseHandle(bind->hPrinterReady);
    bind->hPrinterReady = nullptr;
    if (bind->hManager && bind->pfnCloseManager) bind->pfnCloseManager(bind->hManager);
    bind->hManager = 0;
    if (bind->hSrmLib) FreeLibrary(bind->hSrmLib);
    bind->hSrmLib = nullptr;
    ClearManagerEntries(bind);
    bool queued = false;
    for (JobQueueEntry* e = ctx->pJobQueueHead; e && !queued; e = e->pNext) queued = e->pBind == bind;
    if (queued) {
        // Its queued jobs still owe the spooler their release: the record
        // stays, with its printer handle, until the last of them leaves.
        bind->dwFlags = 0;
        bind->pNext = ctx->pRetiredBinds;
        ctx->pRetiredBinds = bind;
    } else {
        FreeRetiredRecord(bind);
    }
    return TRUE;
}

void FreeRetiredBindings(PortContext* ctx, bool all) {
    if (!ctx) return;
    PortLock lock(ctx);
    SrmBinding** link = &ctx->pRetiredBinds;
    while (SrmBinding* b = *link) {
        bool queued = false;
        for (JobQueueEntry* e = ctx->pJobQueueHead; e && !queued && !all; e = e->pNext) queued = e->pBind == b;
        if (queued) {
            link = &b->pNext;
            continue;
        }
        *link = b->pNext;
        FreeRetiredRecord(b);
    }
}

BOOL RefreshSRMBindings(PortContext* ctx) {
    if (!ctx) return FALSE;
    PortLock lock(ctx);
    PortPrinter* printers = nullptr;
    if (EnumPortPrinters(ctx, &printers)) {
        for (PortPrinter* p = printers; p; p = p->pNext) {
            bool bidi = (p->Attributes & PRINTER_ATTRIBUTE_ENABLE_BIDI) != 0;
            SrmBinding* b = FindBinding(p->pszPrinterName, ctx);
            if (!b) b = BindSRM(ctx, p->pszPrinterName, bidi);
            if (!b) continue;
            if (bidi)
                b->dwFlags &= ~BF_SUPPRESSED;
            else
                b->dwFlags |= BF_SUPPRESSED;
            b->dwFlags |= BF_SEEN;
        }
        SrmBinding* next = nullptr;
        for (SrmBinding* b = ctx->pBindList; b; b = next) {
            next = b->pNext;
            if (b->dwFlags & BF_SEEN)
                b->dwFlags &= ~BF_SEEN;
            else
                UnbindSRM(b, ctx);
        }
        FreePortPrinters(printers);
        if (ctx->pBindList && (!ctx->pszPrinterName || !FindBinding(ctx->pszPrinterName, ctx))) {
            if (wchar_t* name = StrDupW(ctx->pBindList->pszPrinterName)) {
                MemFree(ctx->pszPrinterName);
                ctx->pszPrinterName = name;
            }
        }
    }
    return TRUE;
}

BOOL EnumPortPrinters(PortContext* ctx, PortPrinter** list) {
    *list = nullptr;
    DWORD needed = 0, count = 0;
    if (!EnumPrintersW(PRINTER_ENUM_LOCAL, nullptr, 5, nullptr, 0, &needed, &count) &&
        GetLastError() != ERROR_INSUFFICIENT_BUFFER)
        return FALSE;
    HeapBlock buffer(needed ? MemAlloc(needed) : nullptr);
    if (needed) {
        if (!buffer.p) return FALSE;
        if (!EnumPrintersW(PRINTER_ENUM_LOCAL, nullptr, 5, static_cast<LPBYTE>(buffer.p), needed, &needed, &count))
            return FALSE;
    } else {
        count = 0;
    }
    auto* info = static_cast<PRINTER_INFO_5W*>(buffer.p);

    PortPrinter** tail = list;
    const wchar_t* reference = kDefaultMonitorName;
    PrinterFacts own;
    DWORD ownIndex = count;
    if (ctx->pszPrinterName) {
        for (DWORD i = 0; i < count; ++i) {
            if (!SameText(info[i].pPrinterName, ctx->pszPrinterName)) continue;
            ownIndex = i;
            if (ReadPrinterFacts(info[i].pPrinterName, &own, true)) {
                if (own.di3->pMonitorName) reference = own.di3->pMonitorName;
                if (SameText(own.pi2->pPortName, ctx->pszPortName) && own.pi2->pPrintProcessor)
                    AppendPortPrinter(&tail, own.pi2);
            }
            break;
        }
    }
    for (DWORD i = 0; i < count; ++i) {
        const wchar_t* name = info[i].pPrinterName;
        if (i == ownIndex || !name || IsRemoteName(name)) continue;
        // The listing names each printer's port already: a printer on another
        // port cannot qualify, and opening every queue of a server on every
        // port's pass grows with the square of the queues.
        if (info[i].pPortName && !SameText(info[i].pPortName, ctx->pszPortName)) continue;
        PrinterFacts f;
        if (!ReadPrinterFacts(name, &f, true)) continue;
        if (!f.pi2->pPortName || !f.pi2->pPrintProcessor || !f.pi2->pDriverName || !f.di3->pMonitorName) continue;
        if (!SameText(f.pi2->pPortName, ctx->pszPortName) || !SameText(f.di3->pMonitorName, reference)) continue;
        AppendPortPrinter(&tail, f.pi2);
    }
    return TRUE;
}

void FreePortPrinters(PortPrinter* list) {
    while (list) {
        PortPrinter* next = list->pNext;
        MemFree(list->pszPrinterName);
        MemFree(list);
        list = next;
    }
}

BOOL EnumStatusModels(StatusModel** list) {
    *list = nullptr;
    UniqueRegKey key;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, kStatusModelsKey, 0, KEY_READ, key.put()) != ERROR_SUCCESS) return FALSE;
    StatusModel** tail = list;
    for (DWORD i = 0;; ++i) {
        wchar_t name[256];
        DWORD cch = 256;
        if (RegEnumKeyExW(key.get(), i, name, &cch, nullptr, nullptr, nullptr, nullptr) != ERROR_SUCCESS) break;
        wchar_t sub[300];
        _snwprintf(sub, 300, L"%s\\Status Variables", name);
        sub[299] = L'\0';
        UniqueRegKey vars;
        if (RegOpenKeyExW(key.get(), sub, 0, KEY_READ, vars.put()) != ERROR_SUCCESS) continue;
        auto* m = static_cast<StatusModel*>(MemAlloc(sizeof(StatusModel)));
        if (!m) break;
        if (!(m->pszModel = StrDupW(name))) {
            MemFree(m);
            break;
        }
        *tail = m;
        tail = &m->pNext;
    }
    return TRUE;
}

void FreeStatusModels(StatusModel* list) {
    while (list) {
        StatusModel* next = list->pNext;
        MemFree(list->pszModel);
        MemFree(list);
        list = next;
    }
}

BOOL IsStatusPrinter(const wchar_t* printerName) {
    StatusModel* models = nullptr;
    EnumStatusModels(&models);
    if (!models) return FALSE;
    BOOL yes = FALSE;
    PrinterFacts f;
    if (ReadPrinterFacts(printerName, &f, false) && f.pi2->pDriverName) {
        const wchar_t* driver = f.pi2->pDriverName;
        for (StatusModel* m = models; m && !yes; m = m->pNext) {
            if (wcsncmp(driver, L"VEK ", 4) == 0 && wcscmp(driver + 4, m->pszModel) == 0) yes = TRUE;
            if (wcscmp(driver, m->pszModel) == 0) yes = TRUE;
        }
    }
    FreeStatusModels(models);
    return yes;
}

BOOL GetPrinterModelMask(const wchar_t* printerName, SrmBinding* bind) {
    if (!printerName || !bind) return FALSE;
    // The printer's key name has every '\' of its name turned into ','.
    wchar_t sub[300];
    size_t n = wcslen(printerName);
    if (n >= 300) return FALSE;
    for (size_t i = 0; i <= n; ++i) sub[i] = printerName[i] == L'\\' ? L',' : printerName[i];
    UniqueRegKey printers, key;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, kPrintersKey, 0, KEY_READ, printers.put()) != ERROR_SUCCESS) return FALSE;
    if (RegOpenKeyExW(printers.get(), sub, 0, KEY_READ, key.put()) != ERROR_SUCCESS) return FALSE;
    wchar_t driver[257] = {};
    DWORD cb = 512, type = 0;
    if (RegQueryValueExW(key.get(), L"Printer Driver", nullptr, &type, reinterpret_cast<LPBYTE>(driver), &cb) !=
        ERROR_SUCCESS)
        return FALSE;
    for (const SupportedModel* m = kSupportedModels; m->pszShortName; ++m) {
        if (wcscmp(driver, m->pwszFullName) == 0) {
            bind->qwModelMask[0] = m->qwStatusMask[0];
            bind->qwModelMask[1] = m->qwStatusMask[1];
            return TRUE;
        }
    }
    return FALSE;
}
