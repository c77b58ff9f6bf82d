#include "publish/notify.h"
#include "diag/trace.h"
#include "publish/binding.h"
#include "publish/getdata.h"
#include "publish/statusvar.h"
#include "publish/waitjob.h"
#include "status/devcheck.h"

#include <cstdio>
#include <cwchar>

namespace {

enum NotifyExit { NX_UNBIND, NX_FAILURE, NX_CLOSING, NX_GONE, NX_STAY };

// Wait slots, in the order that decides which of several signals wins.
enum Slot {
    SLOT_CLOSE,
    SLOT_PORT,
    SLOT_NAME,
    SLOT_TERMINATE,
    SLOT_DEL_PRN,
    SLOT_START_STATUS,
    SLOT_PWDJOB,
    SLOT_EXT_STATUS,
    SLOT_UNBIND,
    SLOT_COUNT
};

struct NotifyState {
    PortContext* ctx = nullptr;
    HANDLE ev[4] = {};   // Port, PrinterName, TerminateManager, PrinterExtStatus changed
    HANDLE hDelPrn = nullptr;
    HANDLE hStartStatus = nullptr;
    HANDLE hPwdJob = nullptr;
    HANDLE hUnbind = nullptr;   // our duplicate: UnbindSRM closes the binding's own
    SRMREG reg = 0;
};


// The binding this thread serves; the caller holds the port lock.
SrmBinding* OwnBinding(PortContext* ctx) {
    DWORD me = GetCurrentThreadId();
    for (SrmBinding* b = ctx->pBindList; b; b = b->pNext)
        if (b->dwNotifyThreadId == me) return b;
    return nullptr;
}

HANDLE CreateDelPrnEvent(const wchar_t* printer) {
    wchar_t name[257];
    _snwprintf(name, 256, kDelPrnEventFmt, printer);
    name[256] = L'\0';
    return CreateEventW(nullptr, FALSE, FALSE, name);
}

HANDLE OpenOrCreateEvent(const wchar_t* name) {
    HANDLE h = OpenEventW(EVENT_ALL_ACCESS, FALSE, name);
    return h ? h : CreateEventW(nullptr, FALSE, FALSE, name);
}

void CloseIf(HANDLE* h) {
    if (*h) CloseHandle(*h);
    *h = nullptr;
}

// The four change events, DEL_PRN and START_STATUS.
void CloseWatchEvents(NotifyState* st) {
    for (HANDLE& e : st->ev) CloseIf(&e);
    CloseIf(&st->hDelPrn);
    CloseIf(&st->hStartStatus);
}

void CloseAll(NotifyState* st) {
    CloseWatchEvents(st);
    CloseIf(&st->hPwdJob);
    CloseIf(&st->hUnbind);
}

// Under the port lock.
void KillRegistration(NotifyState* st, SrmBinding* b) {
    if (b && b->hManager && st->reg && b->pfnKillNotificationEvent) b->pfnKillNotificationEvent(b->hManager, st->reg);
    st->reg = 0;
}

LONG ReadValue(SrmBinding* b, const char* name, void* buf, DWORD cb) {
    DWORD needed = 0;
    return b->pfnGetPrinterStatusA(b->hManager, name, buf, cb, &needed);
}

// First reads after registering: a change that happened before the
// registration is raised on its own event. Under the port lock.
bool InitialReads(NotifyState* st, SrmBinding* b) {
    PortContext* ctx = st->ctx;
    SrmPortValue port = {};
    if (ReadValue(b, SZ_SRMVAR_PORT, &port, sizeof(port)) != 0) return false;
    if (port.dwWord && !SrmPortNamesPort(ctx, &port)) SetEvent(st->ev[0]);
    wchar_t name[SRM_PRINTERNAME_CB / sizeof(wchar_t)] = {};
    if (ReadValue(b, SZ_SRMVAR_PRINTERNAME, name, sizeof(name)) != 0) return false;
    name[SRM_PRINTERNAME_CB / sizeof(wchar_t) - 1] = L'\0';
    if (b->pszPrinterName && b->pszPrinterName[0] && wcscmp(name, b->pszPrinterName) != 0) SetEvent(st->ev[1]);
    DWORD terminate = 0;
    if (ReadValue(b, SZ_SRMVAR_TERMINATE, &terminate, sizeof(terminate)) != 0) return false;
    if (terminate) {
        StatusSet(ctx, ST_MGR_TERMINATED);
        SetEvent(st->ev[2]);
    }
    return true;
}

NotifyExit OnPortChanged(NotifyState* st, SrmBinding* b) {
    PortContext* ctx = st->ctx;
    SrmPortValue port = {};
    if (ReadValue(b, SZ_SRMVAR_PORT, &port, sizeof(port)) != 0) return NX_FAILURE;
    PORT_INFO_3W info = {};
    ctx->dwPortSeverity = 0;
    SetPortW(nullptr, ctx->pszPortName, 3, reinterpret_cast<LPBYTE>(&info));
    if (!SrmPortNamesPort(ctx, &port)) return NX_UNBIND;
    ResetEvent(st->ev[0]);
    return NX_STAY;
}

NotifyExit OnNameChanged(NotifyState* st, SrmBinding* b) {
    wchar_t name[SRM_PRINTERNAME_CB / sizeof(wchar_t)] = {};
    if (ReadValue(b, SZ_SRMVAR_PRINTERNAME, name, sizeof(name)) != 0) return NX_FAILURE;
    name[SRM_PRINTERNAME_CB / sizeof(wchar_t) - 1] = L'\0';
    if (b->pszPrinterName && b->pszPrinterName[0] && wcscmp(name, b->pszPrinterName) != 0) {
        if (wchar_t* copy = StrDupW(name)) {
            MemFree(b->pszPrinterName);
            b->pszPrinterName = copy;
        }
        ResetEvent(st->ev[1]);
        // A deletion is announced under the printer's new name.
        CloseIf(&st->hDelPrn);
        st->hDelPrn = CreateDelPrnEvent(b->pszPrinterName);
        if (!st->hDelPrn) return NX_UNBIND;
        return NX_STAY;
    }
    ResetEvent(st->ev[1]);
    return NX_STAY;
}

// The suite saw a job for this printer: check a printer in error that has
// jobs waiting, and keep checking it while no document runs.
void OnJobEvent(NotifyState* st) {
    PortContext* ctx = st->ctx;
    if (ctx->status & (ST_IN_DOC | ST_THREAD_ALIVE)) {
        ResetEvent(st->hPwdJob);
        return;
    }
    bool haveJobs = false;
    LockPort(ctx);
    SrmBinding* b = OwnBinding(ctx);
    HANDLE printer = b ? b->hPrinter : nullptr;
    if (printer) {
        DWORD needed = 0, count = 0;
        EnumJobsW(printer, 0, 0xFFFFFFFF, 1, nullptr, 0, &needed, &count);
        if (needed) {
            HeapBlock jobs(MemAlloc(needed));
            if (!jobs.p)
                haveJobs = true;   // go on as if the list had been read
            else
                haveJobs = EnumJobsW(printer, 0, 0xFFFFFFFF, 1, static_cast<LPBYTE>(jobs.p), needed, &needed, &count) &&
                           count > 0;
        }
    }
    UnlockPort(ctx);
    if (haveJobs) {
        DWORD rc = WaitSpoolerFunc(ctx);
        if (rc == WAIT_OBJECT_0 || rc == WAIT_ABANDONED) {
            if (!(ctx->status & (ST_IN_DOC | ST_THREAD_ALIVE))) {
                CheckDeviceId(ctx);
                if (ctx->dwPortSeverity == PORT_STATUS_TYPE_ERROR && !ctx->bWaitThreadStarted &&
                    StartWaitingJobThread(ctx))
                    ctx->bWaitThreadStarted = 1;
            }
            ReleaseSpoolerFunc(ctx);
        }
    }
    ResetEvent(st->hPwdJob);
}

DWORD NotifyMain(PortContext* ctx) {
    if (ctx->dwPortStatus & 0x40) return 0;
    NotifyState st;
    st.ctx = ctx;

    LockPort(ctx);
    SrmBinding* b = OwnBinding(ctx);
    if (!b || !b->pfnSetNotificationEventExA || !b->pfnGetPrinterStatusA || !b->pfnKillNotificationEvent ||
        !b->hUnbindEvent ||
        !DuplicateHandle(GetCurrentProcess(), b->hUnbindEvent, GetCurrentProcess(), &st.hUnbind, 0, FALSE,
                         DUPLICATE_SAME_ACCESS)) {
        UnlockPort(ctx);
        return 0;
    }
    bool ok = true;
    for (HANDLE& e : st.ev) ok = ok && (e = CreateEventW(nullptr, FALSE, FALSE, nullptr)) != nullptr;
    ok = ok && (st.hDelPrn = CreateDelPrnEvent(b->pszPrinterName)) != nullptr;
    ok = ok && (st.hStartStatus = OpenOrCreateEvent(kStartStatusEvent)) != nullptr;
    if (ok) {
        wchar_t name[261];
        _snwprintf(name, 260, kPwdJobEventFmt, b->pszPrinterName);
        name[260] = L'\0';
        ok = (st.hPwdJob = OpenOrCreateEvent(name)) != nullptr;
    }
    if (ok && b->pfnSetNotificationEventExA(b->hManager, SRM_NOTIFY_COUNT, SZ_SRM_NOTIFY_NAMES, st.ev, &st.reg) != 0) {
        KillRegistration(&st, b);
        ok = false;
    }
    if (!ok) {
        CloseAll(&st);
        UnlockPort(ctx);
        return 0;
    }
    if (TraceOn(ctx, TRC_SRM)) TraceWrite(ctx, "SRM:SRMNotifyThread -START-");
    NotifyExit exit = InitialReads(&st, b) ? NX_STAY : NX_FAILURE;
    UnlockPort(ctx);

    while (exit == NX_STAY) {
        HANDLE waits[SLOT_COUNT] = {ctx->hCloseEvent, st.ev[0],     st.ev[1],   st.ev[2], st.hDelPrn,
                                    st.hStartStatus,  st.hPwdJob,   st.ev[3],   st.hUnbind};
        DWORD w = WaitForMultipleObjects(SLOT_COUNT, waits, FALSE, INFINITE);
        if (w >= WAIT_OBJECT_0 + SLOT_COUNT) {
            exit = NX_FAILURE;
            break;
        }
        switch (w - WAIT_OBJECT_0) {
        case SLOT_CLOSE: exit = NX_CLOSING; break;
        case SLOT_UNBIND: exit = NX_GONE; break;
        case SLOT_TERMINATE:
            StatusSet(ctx, ST_MGR_TERMINATED);
            exit = NX_UNBIND;
            break;
        case SLOT_DEL_PRN: exit = NX_UNBIND; break;
        case SLOT_PWDJOB: OnJobEvent(&st); break;
        case SLOT_EXT_STATUS: {
            // Clears a manager shutdown mark; it does not start polling.
            DWORD returned = 0;
            PJLMonGetPrinterDataFromPort(ctx, 0, const_cast<LPWSTR>(L"Wake Up"), nullptr, 0, nullptr, 0, &returned);
            break;
        }
        default: {
            LockPort(ctx);
            b = OwnBinding(ctx);
            if (!b) {
                exit = NX_GONE;
            } else if (w - WAIT_OBJECT_0 == SLOT_PORT) {
                exit = OnPortChanged(&st, b);
            } else if (w - WAIT_OBJECT_0 == SLOT_NAME) {
                exit = OnNameChanged(&st, b);
            } else {   // SLOT_START_STATUS: the status service restarted; its managers are stale
                if (b->hManager && b->pfnCloseManager) b->pfnCloseManager(b->hManager);
                b->hManager = 0;
                st.reg = 0;
                ResetEvent(st.hStartStatus);
                exit = NX_UNBIND;
            }
            UnlockPort(ctx);
            break;
        }
        }
    }

    if (TraceOn(ctx, TRC_SRM)) TraceF(ctx, "SRM:SRMNotifyThread -END(%d)-", static_cast<int>(exit));
    if (exit == NX_GONE) {   // UnbindSRM has dropped the binding and its manager
        CloseAll(&st);
        return 1;
    }
    LockPort(ctx);
    b = OwnBinding(ctx);
    KillRegistration(&st, b);
    CloseWatchEvents(&st);
    if (exit == NX_UNBIND && b) UnbindSRM(b, ctx);
    UnlockPort(ctx);
    StopWorkerForNotify(ctx);
    CloseAll(&st);
    return 1;
}

}  // namespace

void StopWorkerForNotify(PortContext* ctx) {
    if (ctx->bWaitThreadStarted) return;
    StatusClear(ctx, ST_THREAD_RUN);
    if (HANDLE wake = ctx->hWakeEvent) SetEvent(wake);
    while (ctx->hWakeEvent) Sleep(500);
}

DWORD WINAPI SRMNotifyThread(LPVOID param) {
    auto* ctx = static_cast<PortContext*>(param);
    DWORD rc = NotifyMain(ctx);
    // The last touch of the context: ClosePort frees it once the count is 0.
    InterlockedDecrement(&ctx->cNotifyThreads);
    return rc;
}

BOOL StartSRMNotifyThread(PortContext* ctx, SrmBinding* bind) {
    InterlockedIncrement(&ctx->cNotifyThreads);
    DWORD tid = 0;
    HANDLE h = CreateThread(nullptr, 16384, SRMNotifyThread, ctx, CREATE_SUSPENDED, &tid);
    if (!h) {
        InterlockedDecrement(&ctx->cNotifyThreads);
        return TRUE;
    }
    bind->dwNotifyThreadId = tid;
    ResumeThread(h);
    CloseHandle(h);
    return TRUE;
}

BOOL WaitNotifyThreadsEnded(PortContext* ctx, DWORD timeoutMs) {
    DWORD start = GetTickCount();
    while (ctx->cNotifyThreads > 0) {
        if (GetTickCount() - start >= timeoutMs) return FALSE;
        Sleep(10);
    }
    return TRUE;
}
