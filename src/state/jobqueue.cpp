// The port's job queue: jobs sent to a bidirectional port whose completion
// the monitor still owes the spooler and the managers.
#include "state/jobqueue.h"
#include "diag/trace.h"
#include "portinfo/portkind.h"
#include "state/binding.h"
#include "state/jobrelease.h"
#include "state/statusvar.h"

#include <cstdint>
#include <cstring>

namespace {

using PfnUpdatePrinterStatusA = LONG(WINAPI*)(ULONGLONG, const char*, const void*, DWORD);

bool CanUpdate(const SrmBinding* b) { return b && b->hManager && b->pfnUpdatePrinterStatusA; }

LONG Update(SrmBinding* b, const char* name, const void* value, DWORD size) {
    auto fn = reinterpret_cast<PfnUpdatePrinterStatusA>(reinterpret_cast<void*>(b->pfnUpdatePrinterStatusA));
    return fn(b->hManager, name, value, size);
}

DWORD* JobIdOf(StatusVariable* var) {
    return reinterpret_cast<DWORD*>(static_cast<BYTE*>(var->pValue) + kJobVarJobIdOffset);
}

// The second word exists only in values long enough to hold it.
DWORD* SecondOf(StatusVariable* var, DWORD size) {
    if (size < kJobVarSecondOffset + 4) return nullptr;
    return reinterpret_cast<DWORD*>(static_cast<BYTE*>(var->pValue) + kJobVarSecondOffset);
}

}  // namespace

SrmBinding* FindBinding(const wchar_t* printerName, PortContext* ctx) {
    if (!printerName || !ctx) return nullptr;
    for (SrmBinding* b = ctx->pBindList; b; b = b->pNext)
        if (b->pszPrinterName && wcscmp(b->pszPrinterName, printerName) == 0) return b;
    return nullptr;
}

JobQueueEntry* InJobQueue(DWORD jobId, PortContext* ctx) {
    bool trace = TraceOn(ctx, TRC_JOB);
    if (trace) TraceWrite(ctx, "VJLMON:InJobQueue -START-");
    auto* e = static_cast<JobQueueEntry*>(MemAlloc(sizeof(JobQueueEntry)));
    if (!e) {
        if (trace) TraceWrite(ctx, "VJLMON:InJobQueue -END@1-");
        return nullptr;
    }
    e->dwJobId = jobId;
    e->pBind = ctx->pCurBind;
    if (ctx->pJobQueueTail)
        ctx->pJobQueueTail->pNext = e;
    else
        ctx->pJobQueueHead = e;
    ctx->pJobQueueTail = e;
    if (trace) {
        TraceWrite(ctx, "VJLMON:InJobQueue --END--");
        DumpJobQueue(ctx);
    }
    return e;
}

BOOL OutJobQueue(PortContext* ctx) {
    bool trace = TraceOn(ctx, TRC_JOB);
    if (trace) TraceWrite(ctx, "VJLMON:OutJobQueue -START-");
    JobQueueEntry* head = ctx->pJobQueueHead;
    if (!head) {
        if (trace) TraceWrite(ctx, "VJLMON:OutJobQueue -END@1-");
        return FALSE;
    }
    ReleaseQueuedJob(ctx, head, "VJLMON:SetJob[LAST_PAGE_EJECTED @5(%d)]");
    ctx->pJobQueueHead = head->pNext;
    if (ctx->pJobQueueTail == head) ctx->pJobQueueTail = nullptr;
    // "VJLMON:ジョブをリストキューから削除[JobId=%d, Address=0x%08x]"
    if (trace)
        TraceF(ctx,
               "VJLMON:\x83\x57\x83\x87\x83\x75\x82\xf0\x83\x8a\x83\x58\x83\x67\x83\x4c\x83\x85\x81\x5b"
               "\x82\xa9\x82\xe7\x8d\xed\x8f\x9c[JobId=%d, Address=0x%08x]",
               head->dwJobId, static_cast<unsigned>(reinterpret_cast<ULONG_PTR>(head)));
    SrmBinding* bind = head->pBind;
    MemFree(head);
    if (bind && !bind->hManager) FreeRetiredBindings(ctx, false);
    if (trace) TraceWrite(ctx, "VJLMON:OutJobQueue --END--");
    return TRUE;
}

BOOL DropJobEntry(PortContext* ctx, DWORD jobId) {
    PortLock lock(ctx);
    JobQueueEntry* prev = nullptr;
    JobQueueEntry* e = ctx->pJobQueueHead;
    while (e && e->dwJobId != jobId) {
        prev = e;
        e = e->pNext;
    }
    if (!e) return FALSE;
    (prev ? prev->pNext : ctx->pJobQueueHead) = e->pNext;
    if (ctx->pJobQueueTail == e) ctx->pJobQueueTail = prev;
    MemFree(e);
    FreeRetiredBindings(ctx, false);
    return TRUE;
}

void RetireOlderJobs(JobQueueEntry* entry, StatusVariable* var, PortContext* ctx) {
    DWORD size = VariableValueSize(var);
    auto* scratch = static_cast<BYTE*>(MemAlloc(size));
    if (!scratch) return;
    auto send = [&](SrmBinding* b, DWORD jobId) {
        memset(scratch, 0, size);
        memcpy(scratch + kJobVarJobIdOffset, &jobId, 4);
        if (DWORD* second = SecondOf(var, size)) memcpy(scratch + kJobVarSecondOffset, second, 4);
        return Update(b, var->pszName, scratch, size);
    };
    bool first = true;
    SrmBinding* lastBind = nullptr;
    while (ctx->pJobQueueHead && ctx->pJobQueueHead != entry) {
        JobQueueEntry* e = ctx->pJobQueueHead;
        SrmBinding* b = e->pBind;
        lastBind = b;
        if (CanUpdate(b)) {
            bool skip = first && ((var->dwFlags & VF_CLEAR_JOBID) || (ctx->pJobQueueHead->dwReportFlags & REPORT_FINISHED));
            first = false;
            if (!skip && !(b->dwFlags & BF_SUPPRESSED) && send(b, e->dwJobId) != 0) {
                OutJobQueue(ctx);
                continue;
            }
            send(b, 0);
        }
        OutJobQueue(ctx);
    }
    if ((var->dwFlags & VF_CLEAR_JOBID) && CanUpdate(lastBind)) send(lastBind, entry->dwJobId);
    MemFree(scratch);
}

BOOL PublishJobVariable(PortContext* ctx, StatusVariable* var, DWORD size) {
    if (!var || !var->pValue || size < kJobVarJobIdOffset + 4) return FALSE;
    DWORD jobId = *JobIdOf(var);
    JobQueueEntry* entry = ctx->pJobQueueHead;
    while (entry && entry->dwJobId != jobId) entry = entry->pNext;
    if (!entry) return FALSE;

    const DWORD flags = var->dwFlags;
    const bool finished = flags & VF_JOB_FINISHED, clear = flags & VF_CLEAR_JOBID;
    if (finished && entry != ctx->pJobQueueHead) RetireOlderJobs(entry, var, ctx);

    if (SrmBinding* b = entry->pBind) {
        if (clear) {
            *JobIdOf(var) = 0;
            if (finished)
                if (DWORD* second = SecondOf(var, size)) *second = 0;
        }
        if (CanUpdate(b)) {
            if (finished && clear) Sleep(150);
            if (!(b->dwFlags & BF_SUPPRESSED)) Update(b, var->pszName, var->pValue, size);
        }
    }
    if (finished) entry->dwReportFlags |= REPORT_FINISHED;
    if (clear) {
        var->dwFlags &= ~VF_CLEAR_JOBID;
        if (finished) {
            var->dwFlags &= ~VF_JOB_FINISHED;
            if (ctx->pJobQueueHead == entry) {
                OutJobQueue(ctx);
                // A USB port may have queued the same job more than once.
                if (IsUsbPort(ctx->pszPortName))
                    while (ctx->pJobQueueHead && ctx->pJobQueueHead->dwJobId == jobId) OutJobQueue(ctx);
                var->dwFlags = 0;
                var->bChanged = 0;
                if (!ctx->pJobQueueHead) SetPrintingStatus(ctx, FALSE);
            }
        }
    }
    return TRUE;
}

BOOL DumpJobQueue(PortContext* ctx)
{
    if (!ctx)
        return TRUE;
    // "送信ジョブリスト(JOBQUEUE)" in code page 932
#define VJL_SEND_JOB_LIST "\x91\x97\x90\x4d\x83\x57\x83\x87\x83\x75\x83\x8a\x83\x58\x83\x67(JOBQUEUE)"
    if (!ctx->pJobQueueHead) {
        // "\t\t\t送信ジョブリスト(JOBQUEUE)にジョブなし\r\n"
        TraceWriteRaw(ctx, "\t\t\t" VJL_SEND_JOB_LIST "\x82\xc9\x83\x57\x83\x87\x83\x75\x82\xc8\x82\xb5\r\n");
        return TRUE;
    }
    TraceWriteRaw(ctx, "\t\t\t" VJL_SEND_JOB_LIST "\r\n");
#undef VJL_SEND_JOB_LIST
    int count = 0;
    for (const JobQueueEntry* e = ctx->pJobQueueHead; e; e = e->pNext) {
        TraceRawF(ctx, "\t\t\tJobId = %d, UID = \"%s\", EOJUID=\"%s\", Addr=0x%08x\r\n", static_cast<int>(e->dwJobId),
                  e->szUID, e->szEOJUID, static_cast<unsigned>(reinterpret_cast<uintptr_t>(e)));
        ++count;
    }
    // "\t\t\tJob数 = %d\r\n"
    TraceRawF(ctx, "\t\t\tJob\x90\x94 = %d\r\n", count);
    return TRUE;
}
