#include "threads/notify.h"
#include "diag/trace.h"
#include "state/binding.h"
#include "state/statusvar.h"
#include "status/devcheck.h"
#include "threads/waitjob.h"
#include "threads/worker.h"

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
    NotifyThread* self = nullptr;
    UniqueKernelHandle ev[4];   // Port, PrinterName, TerminateManager, PrinterExtStatus changed
    UniqueKernelHandle hDelPrn;
    UniqueKernelHandle hStartStatus;
    UniqueKernelHandle hPwdJob;
    UniqueKernelHandle hUnbind;   // our duplicate: UnbindSRM closes the binding's own
    SRMREG reg = 0;
};

// The binding this thread serves, null once dropped; under the port lock.
SrmBinding* OwnBinding(NotifyState* st) { return st->self->pBind; }

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

// The four change events, DEL_PRN and START_STATUS.
void CloseWatchEvents(NotifyState* st) {
    for (UniqueKernelHandle& e : st->ev) e.reset();
    st->hDelPrn.reset();
    st->hStartStatus.reset();
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
    if (port.dwWord && !SrmPortNamesPort(ctx, &port)) SetEvent(st->ev[0].get());
    wchar_t name[SRM_PRINTERNAME_CB / sizeof(wchar_t)] = {};
    if (ReadValue(b, SZ_SRMVAR_PRINTERNAME, name, sizeof(name)) != 0) return false;
    name[SRM_PRINTERNAME_CB / sizeof(wchar_t) - 1] = L'\0';
    if (b->pszPrinterName && b->pszPrinterName[0] && wcscmp(name, b->pszPrinterName) != 0) SetEvent(st->ev[1].get());
    DWORD terminate = 0;
    if (ReadValue(b, SZ_SRMVAR_TERMINATE, &terminate, sizeof(terminate)) != 0) return false;
    if (terminate) {
        StatusSet(ctx, ST_MGR_TERMINATED);
        SetEvent(st->ev[2].get());
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
    ResetEvent(st->ev[0].get());
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
        ResetEvent(st->ev[1].get());
        // A deletion is announced under the printer's new name.
        st->hDelPrn.reset(CreateDelPrnEvent(b->pszPrinterName));
        if (!st->hDelPrn) return NX_UNBIND;
        return NX_STAY;
    }
    ResetEvent(st->ev[1].get());
    return NX_STAY;
}

// The suite saw a job for this printer: check a printer in error that has
// jobs waiting, and keep checking it while no document runs.
void OnJobEvent(NotifyState* st) {
    PortContext* ctx = st->ctx;
    if (ctx->status & (ST_IN_DOC | ST_THREAD_ALIVE)) {
        ResetEvent(st->hPwdJob.get());
        return;
    }
    bool haveJobs = false;
    {
        PortLock lock(ctx);
        SrmBinding* b = OwnBinding(st);
        HANDLE printer = b ? b->hPrinter : nullptr;
        if (printer) {
            DWORD needed = 0, count = 0;
            EnumJobsW(printer, 0, 0xFFFFFFFF, 1, nullptr, 0, &needed, &count);
            if (needed) {
                HeapBlock jobs(MemAlloc(needed));
                if (!jobs.p)
                    haveJobs = true;   // go on as if the list had been read
                else
                    haveJobs = EnumJobsW(printer, 0, 0xFFFFFFFF, 1, static_cast<LPBYTE>(jobs.p), needed, &needed,
                                         &count) &&
                               count > 0;
            }
        }
    }
    if (haveJobs) {
        SpoolerRightGuard right(ctx);
        if (right.held() && !(ctx->status & (ST_IN_DOC | ST_THREAD_ALIVE))) {
            CheckDeviceId(ctx);
            if (ctx->dwPortSeverity == PORT_STATUS_TYPE_ERROR && !ctx->bWaitThreadStarted) {
                // Marked before the start: the thread clears it as it ends.
                ctx->bWaitThreadStarted = 1;
                if (!StartWaitingJobThread(ctx)) ctx->bWaitThreadStarted = 0;
            }
        }
    }
    ResetEvent(st->hPwdJob.get());
}

// Stops the port's worker on the way out, unless it is the waiting-job
// thread (which ends by itself once no job waits).
void StopWorkerForNotify(PortContext* ctx) {
    if (!ctx->bWaitThreadStarted) StopPortWorker(ctx, kThreadStopTimeoutMs);
}

DWORD NotifyMain(NotifyState* st) {
    PortContext* ctx = st->ctx;
    if (ctx->dwPortStatus & 0x40) return 0;

    PortLock lock(ctx);
    SrmBinding* b = OwnBinding(st);
    if (!b || !b->pfnSetNotificationEventExA || !b->pfnGetPrinterStatusA || !b->pfnKillNotificationEvent ||
        !b->hUnbindEvent ||
        !DuplicateHandle(GetCurrentProcess(), b->hUnbindEvent, GetCurrentProcess(), st->hUnbind.put(), 0, FALSE,
                         DUPLICATE_SAME_ACCESS))
        return 0;
    bool ok = true;
    for (UniqueKernelHandle& e : st->ev) ok = ok && (e.reset(CreateEventW(nullptr, FALSE, FALSE, nullptr)), bool(e));
    ok = ok && (st->hDelPrn.reset(CreateDelPrnEvent(b->pszPrinterName)), bool(st->hDelPrn));
    ok = ok && (st->hStartStatus.reset(OpenOrCreateEvent(kStartStatusEvent)), bool(st->hStartStatus));
    if (ok) {
        wchar_t name[261];
        _snwprintf(name, 260, kPwdJobEventFmt, b->pszPrinterName);
        name[260] = L'\0';
        ok = (st->hPwdJob.reset(OpenOrCreateEvent(name)), bool(st->hPwdJob));
    }
    HANDLE events[4] = {st->ev[0].get(), st->ev[1].get(), st->ev[2].get(), st->ev[3].get()};
    if (ok && b->pfnSetNotificationEventExA(b->hManager, SRM_NOTIFY_COUNT, SZ_SRM_NOTIFY_NAMES, events, &st->reg) != 0) {
        KillRegistration(st, b);
        ok = false;
    }
    if (!ok) return 0;
    if (TraceOn(ctx, TRC_SRM)) TraceWrite(ctx, "SRM:SRMNotifyThread -START-");
    NotifyExit exit = InitialReads(st, b) ? NX_STAY : NX_FAILURE;
    lock.unlock();

    while (exit == NX_STAY) {
        HANDLE waits[SLOT_COUNT] = {ctx->hCloseEvent,      st->ev[0].get(),   st->ev[1].get(),
                                    st->ev[2].get(),       st->hDelPrn.get(), st->hStartStatus.get(),
                                    st->hPwdJob.get(),     st->ev[3].get(),   st->hUnbind.get()};
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
        case SLOT_PWDJOB: OnJobEvent(st); break;
        case SLOT_EXT_STATUS:
            // All a change of PrinterExtStatus does: lift a manager shutdown mark.
            StatusClear(ctx, ST_MGR_TERMINATED);
            break;
        default: {
            PortLock event(ctx);
            b = OwnBinding(st);
            if (!b) {
                exit = NX_GONE;
            } else if (w - WAIT_OBJECT_0 == SLOT_PORT) {
                exit = OnPortChanged(st, b);
            } else if (w - WAIT_OBJECT_0 == SLOT_NAME) {
                exit = OnNameChanged(st, b);
            } else {   // SLOT_START_STATUS: the status service restarted; its managers are stale
                if (b->hManager && b->pfnCloseManager) b->pfnCloseManager(b->hManager);
                b->hManager = 0;
                st->reg = 0;
                ResetEvent(st->hStartStatus.get());
                exit = NX_UNBIND;
            }
            // Held on into the unbind below: a binding left without its
            // manager would otherwise be taken up again by a refresh round
            // in between, and its new unbind event and thread lost.
            if (exit != NX_STAY && exit != NX_GONE) lock.lock();
            break;
        }
        }
    }

    if (TraceOn(ctx, TRC_SRM)) TraceF(ctx, "SRM:SRMNotifyThread -END(%d)-", static_cast<int>(exit));
    if (exit == NX_GONE) return 1;   // UnbindSRM has dropped the binding and its manager
    lock.lock();
    b = OwnBinding(st);
    KillRegistration(st, b);
    CloseWatchEvents(st);
    if (exit == NX_UNBIND && b) UnbindSRM(b, ctx);
    lock.unlock();
    StopWorkerForNotify(ctx);
    return 1;
}

}  // namespace

DWORD WINAPI SRMNotifyThread(LPVOID param) {
    auto* self = static_cast<NotifyThread*>(param);
    PortContext* ctx = self->pPort;
    DWORD rc;
    {
        NotifyState st;
        st.ctx = ctx;
        st.self = self;
        rc = NotifyMain(&st);
    }
    // The last touches of the context: the port reaps the record and frees
    // the context once every reference is gone.
    InterlockedDecrement(&ctx->cNotifyThreads);
    ReleasePortRef(ctx);
    return rc;
}

BOOL StartSRMNotifyThread(PortContext* ctx, SrmBinding* bind) {
    PortLock lock(ctx);
    if (ctx->status & ST_CLOSING) return TRUE;
    ReapNotifyThreads(ctx, false);
    auto* self = static_cast<NotifyThread*>(MemAlloc(sizeof(NotifyThread)));
    if (!self) return TRUE;
    self->pPort = ctx;
    self->pBind = bind;
    AddPortRef(ctx);
    InterlockedIncrement(&ctx->cNotifyThreads);
    DWORD tid = 0;
    self->hThread = CreateThread(nullptr, 16384, SRMNotifyThread, self, CREATE_SUSPENDED, &tid);
    if (!self->hThread) {
        InterlockedDecrement(&ctx->cNotifyThreads);
        ReleasePortRef(ctx);
        MemFree(self);
        return TRUE;
    }
    bind->dwNotifyThreadId = tid;
    self->pNext = ctx->pNotifyThreads;
    ctx->pNotifyThreads = self;
    ResumeThread(self->hThread);
    return TRUE;
}

void ReapNotifyThreads(PortContext* ctx, bool all) {
    NotifyThread** link = &ctx->pNotifyThreads;
    while (NotifyThread* t = *link) {
        if (all || WaitForSingleObject(t->hThread, 0) == WAIT_OBJECT_0) {
            *link = t->pNext;
            CloseHandle(t->hThread);
            MemFree(t);
        } else {
            link = &t->pNext;
        }
    }
}

void ForgetNotifyBinding(PortContext* ctx, SrmBinding* bind) {
    for (NotifyThread* t = ctx->pNotifyThreads; t; t = t->pNext)
        if (t->pBind == bind) t->pBind = nullptr;
}

BOOL StopNotifyThreads(PortContext* ctx, DWORD timeoutMs) {
    // Wait on our own duplicates: the records may be reaped meanwhile.
    constexpr int kBatch = MAXIMUM_WAIT_OBJECTS;
    const DWORD start = GetTickCount();
    for (;;) {
        HANDLE live[kBatch];
        int n = 0;
        {
            PortLock lock(ctx);
            ReapNotifyThreads(ctx, false);
            for (NotifyThread* t = ctx->pNotifyThreads; t && n < kBatch; t = t->pNext)
                if (DuplicateHandle(GetCurrentProcess(), t->hThread, GetCurrentProcess(), &live[n], SYNCHRONIZE,
                                    FALSE, 0))
                    ++n;
        }
        if (n == 0) return TRUE;
        DWORD spent = GetTickCount() - start;
        DWORD rc = spent < timeoutMs ? WaitForMultipleObjects(n, live, TRUE, timeoutMs - spent) : WAIT_TIMEOUT;
        for (int i = 0; i < n; ++i) CloseHandle(live[i]);
        if (rc == WAIT_TIMEOUT || rc == WAIT_FAILED) return FALSE;
    }
}
