#include "jobtrack/jobcancel.h"
#include "jobpath/jobqueue.h"
#include "publish/binding.h"

BOOL SetJobLastPageEjected(HANDLE hPrinter, DWORD jobId, DWORD level, LPBYTE data, JobQueueEntry* entry) {
    if (entry && (entry->dwReportFlags & 0x10)) return TRUE;
    SetJobW(hPrinter, jobId, level, data, JOB_CONTROL_LAST_PAGE_EJECTED);
    if (entry && entry->dwJobId == jobId) entry->dwReportFlags |= 0x10;
    return TRUE;
}

// --- Not built yet: job cancel on the printer, job deletion and the
// sending-job information. Until then DeleteJob only lets the spooler go
// of every queued job, so that nothing waits on it forever. ---

BOOL JobCancel(PortContext* ctx, BOOL setJobStatus) { return TRUE; }  // placeholder
BOOL SendingJobInfo(PortContext* ctx, BOOL fill) { return FALSE; }    // placeholder

BOOL DeleteJob(PortContext* ctx, BOOL deleteCurrent) {  // placeholder
    if (!ctx) return FALSE;
    PortLock lock(ctx);
    while (JobQueueEntry* e = ctx->pJobQueueHead) {
        ctx->pJobQueueHead = e->pNext;
        // A dropped binding's jobs go through its retired record.
        if (e->pBind && e->pBind->hPrinter) SetJobLastPageEjected(e->pBind->hPrinter, e->dwJobId, 0, nullptr, e);
        MemFree(e);
    }
    ctx->pJobQueueTail = nullptr;
    FreeRetiredBindings(ctx, false);
    return FALSE;
}
