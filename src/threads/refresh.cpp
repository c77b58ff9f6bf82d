#include "threads/refresh.h"

#include <cstring>

#include "diag/trace.h"
#include "pm/forward.h"
#include "send/write.h"
#include "state/jobqueue.h"
#include "state/jobrelease.h"
#include "jobtrack/jobtrack.h"
#include "portinfo/portkind.h"
#include "state/binding.h"
#include "state/statusvar.h"
#include "threads/worker.h"
#include "snmp/snmp.h"
#include "status/devcheck.h"

namespace {

constexpr DWORD EXT_THREAD_RUNS = 0x10;          // PrinterExtStatus: a refresh thread runs
constexpr DWORD ST_POLL_SEEN = 0x00080000;       // cleared when no document holds the thread
constexpr DWORD PORTKIND_POLLED = PORTKIND_DPU | PORTKIND_TCPMON;
constexpr DWORD kResetKeepBits = 0xF4401D4E;
constexpr DWORD kKeepPortStatusL1 = 0xE5CDD002;
constexpr DWORD kKeepPortStatusL2 = 0x2802084;
constexpr DWORD PS_M_NO_ANSWER = 0x100;
constexpr DWORD PS_L_OFFLINE = 0x1000;
constexpr DWORD PS_L_NO_STATUS_OFF = 0x200;
constexpr DWORD kJcidFailLimit = 3;
constexpr DWORD kRefreshPasses = 3;
constexpr DWORD kPrintingJobIdAt = 288;
constexpr DWORD kPrintingPageAt = 292;
constexpr BYTE kUstatusOff[] = "\x1b%-12345X@PJL USTATUSOFF\r\n\x1b%-12345X";
constexpr DWORD kUstatusOffSize = sizeof(kUstatusOff) - 1;
static_assert(kUstatusOffSize == 35, "the status-off sequence is 35 bytes");

bool Obtained(DWORD rc) { return rc == WAIT_OBJECT_0 || rc == WAIT_ABANDONED; }
bool Running(const PortContext* ctx) { return (ctx->status & ST_THREAD_RUN) != 0; }
// Network-share ports never wait for the right; a closing port's thread
// must not wait for a right its closer may hold.
bool SkipsRight(const PortContext* ctx) {
    return (ctx->dwPortStatus & PORTKIND_NETWORK) || (ctx->status & ST_CLOSING);
}

// A time-out goes on as if the right had been obtained; the result says
// whether it is held and must be given back.
bool TakeRight(PortContext* ctx) {
    if (SkipsRight(ctx)) return false;
    return Obtained(WaitSpoolerFunc(ctx));
}
void GiveRight(PortContext* ctx, bool& held) {
    if (held) ReleaseSpoolerRight(ctx->pSpoolerRight);
    held = false;
}

void MarkThreadRunning(PortContext* ctx, bool on) {
    PortLock lock(ctx);
    if (StatusVariable* row = LookupStatusVariable("PrinterExtStatus", ctx->pVarTable, ctx)) {
        if (row->pValue) {
            auto* v = static_cast<DWORD*>(row->pValue);
            *v = on ? (*v | EXT_THREAD_RUNS) : (*v & ~EXT_THREAD_RUNS);
        }
        row->bChanged = 1;
    }
    UpdateSRM_All(ctx);
}

bool StartOwnDocument(PortContext* ctx) {
    return PMStartDocPort(ctx, ctx->pszPrinterName, 0xFFFFFFFF, 3, reinterpret_cast<LPBYTE>(&OwnDocInfo)) != FALSE;
}

DWORD CycleSleepMs(const PortContext* ctx, DWORD spent) {
    if (ctx->status & ST_IN_DOC) {
        DWORD interval = ctx->bVariablePolling ? ctx->dwPollingIntervals : kBusyCycleMs;
        return spent >= interval ? 0 : interval - spent;
    }
    if (ctx->bVariablePolling) return ctx->dwPollingIntervals;
    return ctx->pJobQueueHead ? kBusyCycleMs : kIdleCycleMs;
}

// The end is decided holding the right (or on a port that never waits for
// it): a StartDocPort has then either finished, and its document holds the
// thread, or starts after the mark and recalls it. Under the port lock, so
// that a "Wake Up" is either seen here or recalls the thread. With
// `bindingNeeded`, a port without bindings is a reason to end as well.
bool DecideEnd(PortContext* ctx, bool held, bool bindingNeeded = false) {
    if (!held && !SkipsRight(ctx)) return false;   // the right was not had: go round again
    PortLock lock(ctx);
    if (Running(ctx) && !IsRefreshDone(ctx) && !(bindingNeeded && !ctx->pBindList)) return false;
    PortWorkerMarkEnding(ctx);
    return true;
}

// The worker's last steps. The status-off write may give the right back:
// whoever starts meanwhile recalls the worker (the procedure to run is
// returned) or leaves a document whose state is not the worker's to reset.
// The right, when held, is given back after the thread bits are cleared.
LPTHREAD_START_ROUTINE EndThread(PortContext* ctx, bool held, bool ranCycles, const char* line) {
    EndRefreshCycle(ctx);
    PortLock lock(ctx);
    if (LPTHREAD_START_ROUTINE next = PortWorkerRecall(ctx)) {
        lock.unlock();
        GiveRight(ctx, held);
        return next;
    }
    // A thread that ran cycles without a binding leaves the neutral status behind.
    if (ranCycles && (ctx->status & ST_THREAD_RUN) && !ctx->pBindList) {
        SetPrinterExtStatus(ctx);
        ResetPrinterStatus(ctx, FALSE);
        ResetErrVariables(ctx, FALSE);
    }
    // An open document keeps its state, whether it started during the
    // status-off write or a notification stopped the thread under it: its
    // data must go on whole, without a language header or its pending bytes
    // lost halfway. The jobs queued still get their release.
    if (DocStartedSinceEnding(ctx) || (ctx->status & ST_IN_DOC))
        ReleaseQueuedJobs(ctx);
    else
        ResetPortState(ctx);
    if (TraceOn(ctx, TRC_REFRESH)) TraceWrite(ctx, line);
    PortWorkerEnding(ctx);
    lock.unlock();
    GiveRight(ctx, held);
    return nullptr;
}

// One life of the thread, from its start to its end; the procedure a
// starter recalled it to run, or null.
LPTHREAD_START_ROUTINE RefreshBody(PortContext* ctx) {
    if (TraceOn(ctx)) TraceWrite(ctx, "REFRESH:UstatusThread2 -START-");
    ctx->dwRefreshCount = 0;
    if (ctx->pVarTable) {
        RefreshSRMBindings(ctx);
        MarkThreadRunning(ctx, true);
    }
    if (IsRefreshDone(ctx)) {
        bool held = TakeRight(ctx);
        if (DecideEnd(ctx, held)) return EndThread(ctx, held, false, "REFRESH:UstatusThread2 --END@1--");
        GiveRight(ctx, held);
    }

    bool held = false;
    bool refreshedThisPass = false;
    for (;;) {
        if (Running(ctx)) {
            // Nothing keeps the thread: it ends now rather than spinning.
            if (IsRefreshDone(ctx)) {
                held = TakeRight(ctx);
                // A document may have started while the right was awaited:
                // it saw this thread alive and counts on it.
                if (DecideEnd(ctx, held)) break;
                GiveRight(ctx, held);
                continue;
            }
            if (ctx->dwRefreshCount == 0) {
                RefreshSRMBindings(ctx);
                ctx->dwRefreshCount = 1;
                refreshedThisPass = true;
            } else {
                refreshedThisPass = false;
                if (++ctx->dwRefreshCount >= kRefreshPasses) ctx->dwRefreshCount = 0;
            }
        }
        if (!ctx->pBindList || !Running(ctx)) {
            held = TakeRight(ctx);
            if (Running(ctx) && !IsRefreshDone(ctx) && refreshedThisPass) RefreshSRMBindings(ctx);
            if (DecideEnd(ctx, held, true)) break;
            GiveRight(ctx, held);
        }
        if (!(ctx->dwPortStatus & PORTKIND_NETWORK)) {
            // A wake or a time-out starts the pass again; both are bounded waits.
            if (!Obtained(WaitSpoolerFunc(ctx, ctx->hWakeEvent))) continue;
            held = true;
        }

        BindSRM_All(ctx);
        if (ctx->status & ST_IN_DOC) {
            WatchSpoolerJob(ctx);
        } else if (!ctx->pJobQueueHead && ctx->bJobStarted) {
            ctx->bJobStarted = 0;
            ctx->bDataWritten = 0;
        }
        if (Running(ctx) && IsRefreshDone(ctx) && DecideEnd(ctx, held)) break;

        if (ctx->pBindList || ctx->pJobQueueHead) ReadStatus2(ctx);

        bool reset = (ctx->status & ST_JOB_LOST) != 0;
        if ((ctx->status & ST_NO_ANSWER) && !WatchSpoolerJobNW(ctx)) reset = true;
        if (reset) {
            DiscardPending(ctx);
            DeleteJob(ctx, TRUE);
            StatusClear(ctx, ST_JOB_LOST);
            SysFlagSet(ctx, SYS_PRINTER_RESET);
        }

        if (!(ctx->status & ST_IN_DOC) && !ctx->pJobQueueHead && ctx->bJobStarted) {
            if (ctx->dwPortStatus & PORTKIND_TCPIP) ctx->bSendUstatusOff = 1;
            ctx->bJobStarted = 0;
            ctx->bDataWritten = 0;
        }

        DWORD before = GetTickCount();
        GiveRight(ctx, held);
        DWORD spent = GetTickCount() - before;

        if ((Running(ctx) && IsRefreshDone(ctx)) || !ctx->pBindList || !Running(ctx)) continue;

        DWORD sleepMs = CycleSleepMs(ctx, spent);
        // "-Sleep[%dミリ秒]-" (milliseconds)
        if (TraceOn(ctx, TRC_REFRESH)) TraceF(ctx, "REFRESH:UstatusThread2 -Sleep[%d\xd0\xd8\x95\x62]-", sleepMs);
        WaitForSingleObject(ctx->hWakeEvent, sleepMs);
        if (TraceOn(ctx, TRC_REFRESH)) TraceWrite(ctx, "REFRESH:UstatusThread2 -WAKEUP-");
    }
    return EndThread(ctx, held, true, "REFRESH:UstatusThread2 --END@2--");
}

}  // namespace

BOOL StartUstatusThread(PortContext* ctx) {
    if (!ctx || !(ctx->dwPortStatus & kRefreshPortKinds)) return FALSE;
    return StartPortWorker(ctx, UstatusThread2);
}

BOOL IsRefreshDone(PortContext* ctx) {
    if (ctx->bSuspendReq) {
        if (!(ctx->status & ST_IN_DOC)) {
            if (ctx->pJobQueueHead && (ctx->dwPortStatus & PORTKIND_TCPIP)) ctx->bSendUstatusOff = 1;
            ctx->bWakeUp = 0;
            ctx->bJobStarted = 0;
            return TRUE;
        }
        ctx->bSuspendReq = 0;
        ctx->bSendUstatusOff = 0;
        return FALSE;
    }
    if (!ctx->bJobStarted) StatusClear(ctx, ST_POLL_SEEN);
    return !ctx->bWakeUp && !ctx->bJobStarted;
}

DWORD WINAPI UstatusThread2(LPVOID param) {
    auto* ctx = static_cast<PortContext*>(param);
    SnmpSetPauseBreak(ctx->hCloseEvent);   // a close cuts the round's pauses short
    LPTHREAD_START_ROUTINE next;
    // Recalled on its way out: the thread serves again from its start.
    while ((next = RefreshBody(ctx)) == UstatusThread2) {}
    // Another worker's procedure runs in this thread and lets the reference go.
    if (next) return next(ctx);
    ReleasePortRef(ctx);
    return 0;
}

BOOL ReadStatus2(PortContext* ctx) {
    if (TraceOn(ctx, TRC_REFRESH)) TraceWrite(ctx, "REFRESH:ReadStatus2 -START-");
    ctx->bOwnPmDoc = 0;
    if (ctx->dwPortStatus & PORTKIND_POLLED) {
        if (ctx->dwDevIdCount == 0) CheckDeviceId(ctx);
        ++ctx->dwDevIdCount;
        if (ctx->pJobQueueHead || ctx->dwDevIdCount >= ctx->dwDevIDLevel) ctx->dwDevIdCount = 0;
        if ((ctx->status & ST_NO_ANSWER) && (ctx->dwSysFlag & SYS_DATA_SENT)) {
            if (TraceOn(ctx, TRC_REFRESH)) TraceWrite(ctx, "REFRESH:ReadStatus2 -Found PW OFF-");
            StatusSet(ctx, ST_JOB_LOST);
        } else if (ctx->status & ST_MODEL_CONFIRMED) {
            if (ctx->dwJcidFailCount >= kJcidFailLimit) {
                CheckJCID_SNMP_FD(ctx);
                ctx->dwJcidFailCount = 0;
            } else {
                CheckJCID_SNMP(ctx);
            }
        }
    } else if (ctx->cbPending && !(ctx->status & (ST_IN_DOC | ST_CANCEL_SENT))) {
        bool raised = (ctx->dwPortStatus & PORTKIND_LOCAL) && !(ctx->PortMode & 0x2);
        DWORD savedWritten = ctx->bDataWritten;
        if (raised) {
            ctx->bDataWritten = 1;
            PortModeSet(ctx, 0x2);
        }
        if (OpenPortForStatus(ctx)) {
            DWORD written = 0;
            PMSendData(ctx, nullptr, 0, &written);
        }
        if (raised) {
            PortModeClear(ctx, 0x2);
            ctx->bDataWritten = savedWritten;
        }
        if (ctx->bOwnPmDoc) {
            PMEndDocPort(ctx);
            StatusClear(ctx, ST_PM_DOC);
        }
    }
    if (TraceOn(ctx, TRC_REFRESH)) TraceWrite(ctx, "REFRESH:ReadStatus2 -EXIT-");
    return TRUE;
}

BOOL OpenPortForStatus(PortContext* ctx) {
    if ((ctx->status & ST_PM_DOC) || !(ctx->dwPortStatus & PORTKIND_TCPIP)) return TRUE;
    if (!StartOwnDocument(ctx)) return FALSE;
    StatusSet(ctx, ST_PM_DOC);
    ctx->bOwnPmDoc = 1;
    if (!IsUsbPort(ctx->pszPortName)) SetReadTimeOuts(ctx);
    return TRUE;
}

BOOL EndRefreshCycle(PortContext* ctx) {
    if (!ctx) return FALSE;
    if (ctx->bSuspendReq && ctx->pJobQueueHead) EjectQueuedJobs(ctx);
    if (ctx->bSendUstatusOff && !(ctx->dwPortStatus & PORTKIND_TCPMON)) {
        if (!(ctx->status & ST_CLOSING)) SendUstatusOff(ctx);
        ctx->bSendUstatusOff = 0;
    }
    if (ctx->pVarTable) {
        RefreshSRMBindings(ctx);
        MarkThreadRunning(ctx, false);
    }
    PortLock lock(ctx);
    ctx->bSuspendReq = 0;
    ctx->bSendUstatusOff = 0;
    // A starter that came after the worker's mark recalls it with these set.
    if (!ctx->pfnWorkerRecall) {
        ctx->bWakeUp = 0;
        ctx->bJobStarted = 0;
    }
    return TRUE;
}

BOOL EjectQueuedJobs(PortContext* ctx) {
    if (!ctx) return FALSE;
    PortLock lock(ctx);
    if (!ctx->pVarTable) return FALSE;
    for (JobQueueEntry* e = ctx->pJobQueueHead; e; e = e->pNext) {
        if (TraceOn(ctx, TRC_JOB)) TraceF(ctx, "REFRESH:SetJob[LAST_PAGE_EJECTED(%d)]", e->dwJobId);
        if (e->dwReportFlags & REPORT_EJECTED) continue;
        // Without a handle the job is not let go here, and must not be
        // marked as if it were: a later release still owes it.
        if (!e->pBind || !e->pBind->hPrinter) continue;
        SetJobW(e->pBind->hPrinter, e->dwJobId, 0, nullptr, JOB_CONTROL_LAST_PAGE_EJECTED);
        e->dwReportFlags |= REPORT_EJECTED;
        // The open document's job is paid for now, not again at its end.
        if (OwedToEndDoc(ctx, e)) ctx->bEjectSent = 1;
    }
    bool queueSet = false;
    if (StatusVariable* q = FindStatusVariable("PrinterQueue", ctx->pVarTable, ctx, TRUE)) {
        if (q->pValue) {
            *static_cast<DWORD*>(q->pValue) = 0;
            q->bChanged = 1;
            queueSet = true;
        }
    }
    StatusVariable* info = LookupStatusVariable("PrintingJobInfo", ctx->pVarTable, ctx);
    if (info && info->pValue) {
        auto* bytes = static_cast<BYTE*>(info->pValue);
        if (ctx->pJobQueueHead) memcpy(bytes + kPrintingJobIdAt, &ctx->pJobQueueHead->dwJobId, sizeof(DWORD));
        memset(bytes + kPrintingPageAt, 0, sizeof(DWORD));
        info->dwFlags = (info->dwFlags & ~VF_KEEP_VALUE) | VF_CLEAR_JOBID;
        info->bChanged = 1;
        UpdateSRM_All(ctx);
    } else if (queueSet) {
        UpdateSRM_All(ctx);
    }
    return TRUE;
}

BOOL SendUstatusOff(PortContext* ctx) {
    {
        PortLock lock(ctx);
        StatusVariable* ps = LookupStatusVariable("PrinterStatus", ctx->pVarTable, ctx);
        if (ps && ps->pValue) {
            const auto* w = static_cast<const DWORD*>(ps->pValue);
            if ((w[1] & PS_M_NO_ANSWER) || !(ctx->status & ST_MODEL_CONFIRMED) ||
                (w[2] & (PS_L_OFFLINE | PS_L_NO_STATUS_OFF)))
                return FALSE;
        }
    }
    HeapBlock copy(MemAlloc(kUstatusOffSize));
    if (!copy.p) return TRUE;
    memcpy(copy.p, kUstatusOff, kUstatusOffSize);
    bool opened = false;
    if (!(ctx->status & ST_PM_DOC)) {
        if (!StartOwnDocument(ctx)) return FALSE;
        StatusSet(ctx, ST_PM_DOC);
        SetReadTimeOuts(ctx);
        opened = true;
    }
    DWORD written = 0;
    PMSendData(ctx, static_cast<const BYTE*>(copy.p), kUstatusOffSize, &written);
    // The write gave the right back: a document that started meanwhile has
    // ended this one and opened its own, and the pending data is its.
    if (DocStartedSinceEnding(ctx)) return TRUE;
    if (opened) {
        PMEndDocPort(ctx);
        StatusClear(ctx, ST_PM_DOC);
    }
    if (ctx->cbPending) DiscardPending(ctx);
    return TRUE;
}

void ReleaseQueuedJobs(PortContext* ctx) {
    PortLock lock(ctx);
    // Nobody follows the queued jobs any more: each gets its one release
    // now, through its own printer (the open document's job is owed to its
    // EndDocPort); the dropped bindings kept for that go afterwards.
    while (JobQueueEntry* e = ctx->pJobQueueHead) {
        ctx->pJobQueueHead = e->pNext;
        if (!(e->dwReportFlags & REPORT_EJECTED))
            ReleaseJobEntry(ctx, e, "REFRESH:ResetPortState SetJob[LAST_PAGE_EJECTED(%d)]");
        MemFree(e);
    }
    ctx->pJobQueueTail = nullptr;
    FreeRetiredBindings(ctx, false);
    FreeJcidList(ctx);
}

void ResetPortState(PortContext* ctx) {
    StatusClear(ctx, ~kResetKeepBits);
    ctx->dwRefreshCount = 0;
    ctx->dwDevIdCount = 0;
    {
        PortLock lock(ctx);
        ResetJobStatus(ctx);
        ResetConfigVariables(ctx, TRUE);
        DiscardPending(ctx);
        ReleaseQueuedJobs(ctx);
    }
    bool keep = false;
    {
        PortLock lock(ctx);
        if (StatusVariable* ps = FindStatusVariable("PrinterStatus", ctx->pVarTable, ctx, TRUE)) {
            DWORD l = ps->pValue ? static_cast<const DWORD*>(ps->pValue)[2] : 0;
            keep = (l & kKeepPortStatusL1) || (l & kKeepPortStatusL2);
        }
        if (!keep)
            for (SrmBinding* b = ctx->pBindList; b; b = b->pNext) SetPortStatus(ctx, b, nullptr);
    }
    ctx->bDocBusy = 0;
}
