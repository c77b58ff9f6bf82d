#include "threads/worker.h"

namespace {

// A worker that has cleared ST_THREAD_ALIVE takes no lock any more; it only
// gives the spooler-access right back and returns.
constexpr DWORD kReturningWorkerWaitMs = 5000;

}  // namespace

BOOL StartPortWorker(PortContext* ctx, LPTHREAD_START_ROUTINE proc) {
    PortLock lock(ctx);
    if (ctx->status & ST_CLOSING) return FALSE;
    if (ctx->status & ST_THREAD_ALIVE) {
        if (ctx->bWorkerEnding || (ctx->pfnWorker && ctx->pfnWorker != proc)) {
            // Waiting for it here could wait on a right this caller holds.
            ctx->pfnWorkerRecall = proc;
            return TRUE;
        }
        if (!ctx->hWorkerThread) return FALSE;   // a worker of someone else's runs
    }
    if (HANDLE old = ctx->hWorkerThread) {
        if (WaitForSingleObject(old, 0) == WAIT_TIMEOUT) {
            if (ctx->status & ST_THREAD_ALIVE) return FALSE;
            if (WaitForSingleObject(old, kReturningWorkerWaitMs) != WAIT_OBJECT_0) return FALSE;
        }
        CloseHandle(old);
        ctx->hWorkerThread = nullptr;
    }
    StatusSet(ctx, ST_THREAD_RUN);
    ResetEvent(ctx->hWakeEvent);   // a wake meant for an earlier worker
    if (WaitForSingleObject(ctx->hRefreshDoneEvent, 0) == WAIT_OBJECT_0) ResetEvent(ctx->hRefreshDoneEvent);
    AddPortRef(ctx);
    HANDLE h = CreateThread(nullptr, 16384, proc, ctx, CREATE_SUSPENDED, nullptr);
    if (!h) {
        StatusClear(ctx, ST_THREAD_RUN);
        ReleasePortRef(ctx);   // the session still holds the context
        return FALSE;
    }
    StatusSet(ctx, ST_THREAD_ALIVE);
    ctx->bWorkerEnding = 0;
    ctx->pfnWorkerRecall = nullptr;
    ctx->pfnWorker = proc;
    SetThreadPriority(h, (ctx->PortMode & 0x2) ? THREAD_PRIORITY_BELOW_NORMAL : THREAD_PRIORITY_LOWEST);
    ctx->hWorkerThread = h;
    ResumeThread(h);
    return TRUE;
}

BOOL StopPortWorker(PortContext* ctx, DWORD timeoutMs) {
    UniqueKernelHandle thread;
    {
        PortLock lock(ctx);
        StatusClear(ctx, ST_THREAD_RUN);
        if (ctx->hWorkerThread &&
            !DuplicateHandle(GetCurrentProcess(), ctx->hWorkerThread, GetCurrentProcess(), thread.put(), SYNCHRONIZE,
                             FALSE, 0))
            return FALSE;
    }
    SetEvent(ctx->hWakeEvent);
    if (!thread) return TRUE;
    if (WaitForSingleObject(thread.get(), timeoutMs) != WAIT_OBJECT_0) return FALSE;
    // Reap it, unless a new worker has taken the slot meanwhile.
    PortLock lock(ctx);
    if (ctx->hWorkerThread && WaitForSingleObject(ctx->hWorkerThread, 0) == WAIT_OBJECT_0) {
        CloseHandle(ctx->hWorkerThread);
        ctx->hWorkerThread = nullptr;
    }
    return TRUE;
}

void WakePortWorker(PortContext* ctx) { SetEvent(ctx->hWakeEvent); }

void PortWorkerMarkEnding(PortContext* ctx) {
    PortLock lock(ctx);
    ctx->bWorkerEnding = 1;
    // A recall already made (by a starter that wants another procedure) stands.
    ctx->cDocStartsAtEnding = ctx->cDocStarts;
}

bool DocStartedSinceEnding(const PortContext* ctx) {
    return ctx->bWorkerEnding && ctx->cDocStarts != ctx->cDocStartsAtEnding;
}

void NoteDocumentStart(PortContext* ctx) { InterlockedIncrement(&ctx->cDocStarts); }

LPTHREAD_START_ROUTINE PortWorkerRecall(PortContext* ctx) {
    PortLock lock(ctx);
    LPTHREAD_START_ROUTINE proc = ctx->pfnWorkerRecall;
    ctx->pfnWorkerRecall = nullptr;
    if (!proc || (ctx->status & ST_CLOSING)) return nullptr;
    ctx->bWorkerEnding = 0;
    ctx->pfnWorker = proc;
    StatusSet(ctx, ST_THREAD_RUN);
    return proc;
}

void PortWorkerEnding(PortContext* ctx) {
    PortLock lock(ctx);
    ctx->bWorkerEnding = 0;
    ctx->pfnWorkerRecall = nullptr;
    ctx->pfnWorker = nullptr;
    StatusClear(ctx, ST_THREAD_RUN | ST_THREAD_ALIVE);
    SetEvent(ctx->hRefreshDoneEvent);
}
