#include "threads/waitjob.h"
#include "diag/trace.h"
#include "portinfo/portkind.h"
#include "state/binding.h"
#include "state/statusvar.h"
#include "threads/worker.h"
#include "status/devcheck.h"

namespace {

// Sets or clears the "a worker thread runs" bit of PrinterExtStatus and
// publishes it.
void MarkWorkerRunning(PortContext* ctx, bool on) {
    PortLock lock(ctx);
    if (StatusVariable* row = LookupStatusVariable("PrinterExtStatus", ctx->pVarTable, ctx)) {
        if (row->pValue) {
            auto* v = static_cast<DWORD*>(row->pValue);
            *v = on ? (*v | 0x10) : (*v & ~0x10u);
        }
        row->bChanged = 1;
    }
    UpdateSRM_All(ctx);
}

// A spooler job that is neither done nor deleted still waits for the printer.
bool AnyWaitingJob(PortContext* ctx) {
    bool waiting = false;
    PortLock lock(ctx);
    for (SrmBinding* b = ctx->pBindList; b && !waiting; b = b->pNext) {
        if (!b->hPrinter && !OpenPrinterW(b->pszPrinterName, &b->hPrinter, nullptr)) b->hPrinter = nullptr;
        if (!b->hPrinter) continue;
        DWORD needed = 0, count = 0;
        EnumJobsW(b->hPrinter, 0, 0xFFFFFFFF, 1, nullptr, 0, &needed, &count);
        if (!needed) continue;
        HeapBlock buf(MemAlloc(needed));
        if (!buf.p || !EnumJobsW(b->hPrinter, 0, 0xFFFFFFFF, 1, static_cast<LPBYTE>(buf.p), needed, &needed, &count))
            continue;
        auto* jobs = static_cast<JOB_INFO_1W*>(buf.p);
        for (DWORD i = 0; i < count; ++i)
            if (!(jobs[i].Status & dwDoneJobMask)) waiting = true;
    }
    return waiting;
}

bool Obtained(DWORD rc) { return rc == WAIT_OBJECT_0 || rc == WAIT_ABANDONED; }

}  // namespace

BOOL StartWaitingJobThread(PortContext* ctx) {
    if (!(ctx->dwPortStatus & 0x112)) return FALSE;
    return StartPortWorker(ctx, WaitingJobThread);
}

DWORD WINAPI WaitingJobThread(LPVOID param) {
    auto* ctx = static_cast<PortContext*>(param);
    const bool share = (ctx->dwPortStatus & PORTKIND_NETWORK) != 0;
    if (TraceOn(ctx, TRC_SRM)) TraceWrite(ctx, "SRM:WaitingJobThread -START-");
    if (ctx->pVarTable) {
        RefreshSRMBindings(ctx);
        MarkWorkerRunning(ctx, true);
    }

    bool holding = false;
    for (;;) {
        WaitForSingleObject(ctx->hWakeEvent, 3000);
        if (ctx->bSuspendReq && (ctx->status & ST_IN_DOC)) {
            ctx->bSuspendReq = 0;
            ctx->bSendUstatusOff = 0;
            break;
        }
        if (!(ctx->status & ST_THREAD_RUN) || (ctx->status & ST_IN_DOC) || !ctx->pBindList) break;
        if (!AnyWaitingJob(ctx)) break;
        if (share) continue;
        if (!Obtained(WaitSpoolerFunc(ctx, ctx->hWakeEvent))) continue;
        if (!(ctx->status & ST_THREAD_RUN) || (ctx->status & ST_IN_DOC)) {
            holding = true;
            break;
        }
        BindSRM_All(ctx);
        CheckDeviceId(ctx);
        ReleaseSpoolerRight(ctx->pSpoolerRight);
    }

    if (holding) ReleaseSpoolerRight(ctx->pSpoolerRight);
    // From here a starter recalls this thread rather than taking it for running.
    PortWorkerMarkEnding(ctx);
    bool obtained = !share && Obtained(WaitSpoolerFunc(ctx));
    // Everything that takes the port lock comes before the thread bits are
    // cleared: a new worker may be started (and wait for this one) from then on.
    if (ctx->pVarTable) {
        RefreshSRMBindings(ctx);
        MarkWorkerRunning(ctx, false);
    }
    if (TraceOn(ctx, TRC_SRM)) TraceWrite(ctx, "SRM:WaitingJobThread --END--");
    ctx->bWaitThreadStarted = 0;
    LPTHREAD_START_ROUTINE next;
    {
        PortLock lock(ctx);
        next = PortWorkerRecall(ctx);
        if (!next) PortWorkerEnding(ctx);
    }
    if (obtained) ReleaseSpoolerRight(ctx->pSpoolerRight);
    // A document or a wake came meanwhile: the worker it asked for runs in
    // this thread and lets the reference go.
    if (next) return next(ctx);
    ReleasePortRef(ctx);
    return 0xFFFFFFFF;
}
