// Keeping the spooler's jobs and the printer's jobs in step when something
// goes wrong: emptying the job queue so that the spooler lets go of jobs the
// printer will never report, releasing each job once, and the sending-job
// information the managers show.
#include "state/jobrelease.h"

#include <cstdio>
#include <cstring>

#include "diag/trace.h"
#include "state/binding.h"
#include "state/jobqueue.h"
#include "state/statusvar.h"

namespace {

constexpr DWORD kQueueZeroPauseMs = 200;    // between PrinterQueue 0 and its publication
constexpr DWORD kGetJobRetryMs = 120;

// SendingJobInfo value: document name, user name, spooler job id.
constexpr DWORD kSendNameSize = 256;
constexpr DWORD kSendUserSize = 32;
constexpr DWORD kSendJobIdOffset = kSendNameSize + kSendUserSize;

HANDLE EntryPrinter(const JobQueueEntry* e) { return e && e->pBind ? e->pBind->hPrinter : nullptr; }

// Releases one entry leaving the queue: owed to EndDocPort for the open
// document's job, else notified now.
void ReleaseEntry(PortContext* ctx, JobQueueEntry* e, const char* traceFmt) {
    // The end pays with a handle of its own printer, even for an entry
    // queued without one.
    if (OwedToEndDoc(ctx, e)) {
        // Its notice went out already: the entry leaves, and the end must
        // know the job is paid for without finding it.
        if (e->dwReportFlags & REPORT_EJECTED)
            ctx->bEjectSent = 1;
        else
            ++ctx->cLastPageEjected;
        return;
    }
    HANDLE printer = EntryPrinter(e);
    if (!printer) return;
    if (TraceOn(ctx, TRC_JOB)) TraceF(ctx, traceFmt, e->dwJobId);
    SetJobLastPageEjected(printer, e->dwJobId, 0, nullptr, e);
}

// The printing job goes back to the head entry's job with no pages, to be
// cleared at its publication.
void ResetPrintingJobInfo(PortContext* ctx) {
    StatusVariable* row = LookupStatusVariable("PrintingJobInfo", ctx->pVarTable, ctx);
    if (!row || !row->pValue || VariableValueSize(row) < kJobVarSecondOffset + 4) return;
    auto* bytes = static_cast<BYTE*>(row->pValue);
    if (JobQueueEntry* head = ctx->pJobQueueHead) memcpy(bytes + kJobVarJobIdOffset, &head->dwJobId, 4);
    const DWORD zero = 0;
    memcpy(bytes + kJobVarSecondOffset, &zero, 4);
    row->dwFlags = (row->dwFlags & ~VF_KEEP_VALUE) | VF_CLEAR_JOBID;
    row->bChanged = 1;
    UpdateSRM_All(ctx);
    SetPortStatusAll(ctx);
    StatusSet(ctx, ST_JOB_DELETED);
}

void ZeroPrinterQueue(PortContext* ctx) {
    StatusVariable* row = FindStatusVariable("PrinterQueue", ctx->pVarTable, ctx, TRUE);
    if (!row || !row->pValue) return;
    *static_cast<DWORD*>(row->pValue) = 0;
    row->bChanged = 1;
    Sleep(kQueueZeroPauseMs);
    UpdateSRM_All(ctx);
}

// Wide spooler text into a narrow field of cb bytes, at most cb - 1 of them
// and never half a double-byte character; the field stays zero-terminated.
void CopyNarrow(char* field, DWORD cb, const wchar_t* text) {
    memset(field, 0, cb);
    if (!text || !*text) return;
    int need = WideCharToMultiByte(CP_ACP, 0, text, -1, nullptr, 0, nullptr, nullptr);
    if (need <= 0) return;
    auto* ansi = static_cast<char*>(MemAlloc(static_cast<SIZE_T>(need)));
    if (!ansi) return;
    WideCharToMultiByte(CP_ACP, 0, text, -1, ansi, need, nullptr, nullptr);
    DWORD n = 0;
    while (ansi[n]) {
        DWORD step = (IsDBCSLeadByte(static_cast<BYTE>(ansi[n])) && ansi[n + 1]) ? 2 : 1;
        if (n + step > cb - 1) break;
        n += step;
    }
    memcpy(field, ansi, n);
    MemFree(ansi);
}

// The spooler's level-1 record of a job in a heap block (caller frees), or
// null; both calls are tried once, a failed one followed by a short pause.
JOB_INFO_1W* ReadJobInfo(HANDLE printer, DWORD jobId, bool pauseOnFailure) {
    if (!printer) return nullptr;
    BYTE probe[4] = {};
    DWORD needed = 0;
    if (GetJobW(printer, jobId, 1, probe, sizeof(probe), &needed) || GetLastError() != ERROR_INSUFFICIENT_BUFFER) {
        if (pauseOnFailure) Sleep(kGetJobRetryMs);
        return nullptr;
    }
    if (needed < sizeof(JOB_INFO_1W)) needed = sizeof(JOB_INFO_1W);
    auto* info = static_cast<JOB_INFO_1W*>(MemAlloc(needed));
    if (!info) return nullptr;
    DWORD got = 0;
    if (!GetJobW(printer, jobId, 1, reinterpret_cast<BYTE*>(info), needed, &got)) {
        DWORD err = GetLastError();
        if (pauseOnFailure && !(err == ERROR_INSUFFICIENT_BUFFER && got == needed)) Sleep(kGetJobRetryMs);
        MemFree(info);
        return nullptr;
    }
    return info;
}

}  // namespace

void FreeJcidList(PortContext* ctx) {
    JcidList* list = ctx->pJcidList;
    if (!list) return;
    // Nodes are {next, data}: each owns its data block.
    auto** node = static_cast<void**>(list->pFirst);
    while (node) {
        auto** next = static_cast<void**>(node[0]);
        MemFree(node[1]);
        MemFree(node);
        node = next;
    }
    list->count = 0;
    list->pFirst = nullptr;
}

void ReleaseJobEntry(PortContext* ctx, JobQueueEntry* e, const char* traceFmt) { ReleaseEntry(ctx, e, traceFmt); }

bool OwedToEndDoc(const PortContext* ctx, const JobQueueEntry* e) {
    return ctx->bPayAtEndDoc && e->dwJobId == ctx->JobId;
}

void ReleaseQueuedJob(PortContext* ctx, JobQueueEntry* e, const char* traceFmt) {
    if (TraceOn(ctx, TRC_JOB)) TraceF(ctx, traceFmt, e->dwJobId);
    if (HANDLE printer = EntryPrinter(e)) SetJobLastPageEjected(printer, e->dwJobId, 0, nullptr, e);
    if ((e->dwReportFlags & REPORT_EJECTED) && OwedToEndDoc(ctx, e)) ctx->bEjectSent = 1;
}

BOOL SetJobLastPageEjected(HANDLE hPrinter, DWORD jobId, DWORD level, LPBYTE data, JobQueueEntry* entry) {
    if (entry && (entry->dwReportFlags & REPORT_EJECTED)) return TRUE;
    SetJobW(hPrinter, jobId, level, data, JOB_CONTROL_LAST_PAGE_EJECTED);
    if (entry && entry->dwJobId == jobId) entry->dwReportFlags |= REPORT_EJECTED;
    return TRUE;
}

void OpenOwedEjects(PortContext* ctx) {
    PortLock lock(ctx);
    ctx->cLastPageEjected = 0;
    ctx->bPayAtEndDoc = 1;
    ctx->bDeleteSent = 0;
    ctx->bEjectSent = 0;
}

DWORD TakeOwedEjects(PortContext* ctx) {
    PortLock lock(ctx);
    ctx->bPayAtEndDoc = 0;
    return (ctx->bDeleteSent || ctx->bEjectSent) ? 0 : ctx->cLastPageEjected;
}

void DeleteSpoolerJob(PortContext* ctx, HANDLE printer, DWORD jobId) {
    // A job is let go once: one notified or deleted already is not deleted too.
    if (jobId == ctx->JobId && (ctx->bEjectSent || ctx->bDeleteSent)) return;
    for (JobQueueEntry* e = ctx->pJobQueueHead; e; e = e->pNext)
        if (e->dwJobId == jobId && (e->dwReportFlags & REPORT_EJECTED)) return;
    SetJobW(printer, jobId, 0, nullptr, JOB_CONTROL_DELETE);
    if (jobId == ctx->JobId) ctx->bDeleteSent = 1;
    for (JobQueueEntry* e = ctx->pJobQueueHead; e; e = e->pNext)
        if (e->dwJobId == jobId) e->dwReportFlags |= REPORT_EJECTED;
}

BOOL DeleteJob(PortContext* ctx, BOOL deleteCurrent) {
    if (!ctx) return FALSE;
    PortLock lock(ctx);
    const bool trace = TraceOn(ctx, TRC_JOB);
    if (trace)
        TraceWrite(ctx, deleteCurrent ? "VJLMON:DeletJob -START[DEL SENDING]-" : "VJLMON:DeletJob -START[NO DEL SENDING]-");
    BOOL result = FALSE;
    bool sendingCleared = false;
    const bool docOpen = (ctx->status & ST_IN_DOC) != 0;
    if (docOpen && (ctx->dwSysFlag & SYS_DATA_SENT) && ctx->pJobQueueTail) {
        if (deleteCurrent) {
            // A job already being deleted (here or as a re-sent copy) is not
            // deleted a second time.
            const bool deletedBefore = (ctx->status & ST_JOB_DELETING) || (ctx->dwSysFlag & SYS_RESENT_JOB);
            StatusSet(ctx, ST_JOB_DELETED | ST_JOB_DELETING);
            JobQueueEntry* tail = ctx->pJobQueueTail;
            if (HANDLE printer = EntryPrinter(tail)) {
                if (!deletedBefore) {
                    if (trace) TraceWrite(ctx, "VJLMON:DeletJob SetJob[DELETEJOB] ");
                    DeleteSpoolerJob(ctx, printer, tail->dwJobId);
                }
                SetJobStatusBits(ctx, JOBSTATUS_DELETING, TRUE);
            }
            result = TRUE;
        }
        sendingCleared = SendingJobInfo(ctx, FALSE) != FALSE;
    }

    FreeJcidList(ctx);
    ResetPrintingJobInfo(ctx);
    ZeroPrinterQueue(ctx);

    while (ctx->pJobQueueHead && ctx->pJobQueueHead != ctx->pJobQueueTail) {
        JobQueueEntry* e = ctx->pJobQueueHead;
        ReleaseEntry(ctx, e, "VJLMON:SetJob[LAST_PAGE_EJECTED @6(%d)]");
        ctx->pJobQueueHead = e->pNext;
        MemFree(e);
        StatusSet(ctx, ST_JOB_DELETED);
    }
    ctx->pJobQueueTail = ctx->pJobQueueHead;
    if (JobQueueEntry* e = ctx->pJobQueueHead) {
        if (!docOpen || sendingCleared) {
            ReleaseEntry(ctx, e, "VJLMON:SetJob[LAST_PAGE_EJECTED @7(%d)]");
            MemFree(e);
            ctx->pJobQueueHead = nullptr;
            ctx->pJobQueueTail = nullptr;
        }
    }
    // A dropped binding's jobs went through its retired record.
    FreeRetiredBindings(ctx, false);

    if (!ctx->pJobQueueHead) SetPrintingStatus(ctx, FALSE);
    if (ctx->PortMode & 0x2) ctx->bDataWritten = 0;
    if (trace) TraceWrite(ctx, "VJLMON:DeletJob  --END--");
    return result;
}

BOOL SendingJobInfo(PortContext* ctx, BOOL fill) {
    if (!ctx) return FALSE;
    PortLock lock(ctx);
    SrmBinding* bind = ctx->pCurBind;
    if (!bind) return FALSE;
    StatusVariable* row = LookupStatusVariable("SendingJobInfo", ctx->pVarTable, ctx);
    if (!row) return FALSE;
    const bool trace = TraceOn(ctx);
    // "VJLMON: SendingJobInfo更新 -STRAT-"
    if (trace) TraceWrite(ctx, "VJLMON: SendingJobInfo\x8d\x58\x90\x56 -STRAT-");
    const DWORD size = VariableValueSize(row);
    if (size < kSendJobIdOffset + 4) return FALSE;

    if (fill) {
        MemFree(row->pValue);
        row->pValue = MemAlloc(size);
        if (!row->pValue) return FALSE;
        auto* bytes = static_cast<char*>(row->pValue);
        // Signalled in the same locked step that creates it, so this wait
        // never outlasts the binding's printer open.
        if (bind->hPrinterReady) WaitForSingleObject(bind->hPrinterReady, INFINITE);
        if (!bind->hPrinter && !OpenPrinterW(bind->pszPrinterName, &bind->hPrinter, nullptr)) bind->hPrinter = nullptr;
        if (JOB_INFO_1W* info = ReadJobInfo(bind->hPrinter, ctx->JobId, true)) {
            if (info->JobId == 0) StatusSet(ctx, ST_NO_JOB_INFO);
            CopyNarrow(bytes, kSendNameSize, info->pDocument);
            CopyNarrow(bytes + kSendNameSize, kSendUserSize, info->pUserName);
            MemFree(info);
        } else {
            StatusSet(ctx, ST_NO_JOB_INFO);
        }
        row->dwFlags = (row->dwFlags & ~VF_CLEAR_JOBID) | VF_KEEP_VALUE;
    } else {
        if (!row->pValue) return FALSE;
        memset(row->pValue, 0, kSendJobIdOffset);
        row->dwFlags = (row->dwFlags & ~VF_KEEP_VALUE) | VF_CLEAR_JOBID;
    }
    memcpy(static_cast<BYTE*>(row->pValue) + kSendJobIdOffset, &ctx->JobId, 4);
    row->bChanged = 1;
    UpdateSRM_All(ctx);
    // "VJLMON: SendingJobInfo更新[JOB ID:%d]  --END--"
    if (trace) TraceF(ctx, "VJLMON: SendingJobInfo\x8d\x58\x90\x56[JOB ID:%d]  --END--", ctx->JobId);
    return TRUE;
}
