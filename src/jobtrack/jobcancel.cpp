#include "jobtrack/jobcancel.h"
#include "jobpath/jobqueue.h"

// --- Not built yet: job cancel, restart and deletion. Until then a queued
// job is only dropped from the queue, so nothing waits on it forever. ---
BOOL DeleteJob(PortContext* ctx, BOOL deleteCurrent) {  // placeholder
    if (!ctx) return FALSE;
    LockPort(ctx);
    while (JobQueueEntry* e = ctx->pJobQueueHead) {
        ctx->pJobQueueHead = e->pNext;
        MemFree(e);
    }
    ctx->pJobQueueTail = nullptr;
    UnlockPort(ctx);
    return FALSE;
}
