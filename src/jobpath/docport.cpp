// The spooler's document calls: start of job, write path, end of job and
// the read path.
#include "jobpath/docport.h"
#include "core/settings.h"
#include "diag/trace.h"
#include "history/printcheck.h"
#include "jobpath/jobcancel.h"
#include "jobpath/pjl.h"
#include "pm/forward.h"
#include "portinfo/portkind.h"
#include "send/write.h"
#include "service/pjmservice.h"
#include "state/binding.h"
#include "state/jobqueue.h"
#include "state/jobrelease.h"
#include "state/statusvar.h"
#include "status/devcheck.h"
#include "threads/refresh.h"
#include "threads/worker.h"

#include <cstring>

namespace {

constexpr DWORD kTailSize = 80;
constexpr DWORD kChunkSize = 4096;
constexpr DWORD kJobStatusDeleting = 0x4;
constexpr DWORD kSpoolerTries = 3;
constexpr DWORD kPendingFlushMs = 60000;     // how long EndDocPort keeps offering pending data
constexpr DWORD kPendingRetryPauseMs = 1000; // between offers that moved nothing

// Port monitor write errors after which the spooler must not send the block
// again: the connection or the share is gone, or the port cancelled the job.
constexpr DWORD kFatalWriteErrors[] = {WSAECONNRESET, ERROR_PRINT_CANCELLED, ERROR_NETNAME_DELETED};

bool TcpKind(const PortContext* ctx) { return ctx->dwPortStatus & (PORTKIND_DPU | PORTKIND_TCPMON); }
bool ManagerLoaded(const SrmBinding* b) { return b && b->hSrmLib && b->hManager; }

bool FatalWriteError(DWORD err) {
    for (DWORD e : kFatalWriteErrors)
        if (err == e) return true;
    return false;
}

// Takes the right with the guard's first wait and up to `*tries` - 1 more,
// counting each.
bool TakeSpoolerRight(SpoolerRightGuard& right, DWORD* tries) {
    if (*tries) --*tries;  // the guard's own wait
    while (!right.held() && *tries) {
        --*tries;
        right.acquire();
    }
    return right.held();
}

void ReplacePrinterName(PortContext* ctx, const wchar_t* name) {
    bool same = (!name && !ctx->pszPrinterName) ||
                (name && ctx->pszPrinterName && wcscmp(name, ctx->pszPrinterName) == 0);
    if (same) return;
    PortLock lock(ctx);
    MemFree(ctx->pszPrinterName);
    ctx->pszPrinterName = (name && *name) ? StrDupW(name) : nullptr;
}

void TraceWideRaw(PortContext* ctx, const char* fmt, const wchar_t* text) {
    char* a = WideToAnsiDup(text ? text : L"");
    TraceRawF(ctx, fmt, a ? a : "");
    MemFree(a);
}

UniquePrinter OpenPortPrinter(const PortContext* ctx) {
    UniquePrinter printer;
    if (!ctx->pszPrinterName || !OpenPrinterW(ctx->pszPrinterName, printer.put(), nullptr)) printer.release();
    return printer;
}

void KeepDocPrinter(PortContext* ctx, const wchar_t* name) {
    MemFree(ctx->pszDocPrinter);
    ctx->pszDocPrinter = (name && *name) ? StrDupW(name) : nullptr;
}

// A handle of the open document's own printer: that of its queue entry's
// binding, of the current binding (made for this document), or one opened
// for the call on the printer the document was started for.
struct PrinterHandle {
    HANDLE h = nullptr;
    UniquePrinter owned;
    explicit PrinterHandle(PortContext* ctx, const JobQueueEntry* own = nullptr) {
        if (own && own->pBind && own->pBind->hPrinter) {
            h = own->pBind->hPrinter;
        } else if (ctx->pCurBind && ctx->pCurBind->hPrinter) {
            h = ctx->pCurBind->hPrinter;
        } else {
            const wchar_t* name = ctx->pszDocPrinter ? ctx->pszDocPrinter : ctx->pszPrinterName;
            if (!name || !OpenPrinterW(const_cast<LPWSTR>(name), owned.put(), nullptr)) owned.release();
            h = owned.get();
        }
    }
};

// The open document's job gets its one release through a handle of its own
// printer; nothing when it was let go already (deleted, or notified as it
// left the queue). Under the port lock.
void ReleaseDocJob(PortContext* ctx, const char* traceFmt) {
    if (ctx->bDeleteSent || ctx->bEjectSent) return;
    JobQueueEntry* own = nullptr;
    for (JobQueueEntry* e = ctx->pJobQueueHead; e; e = e->pNext)
        if (e->dwJobId == ctx->JobId) own = e;   // the latest entry of the id is the document's
    if (own && (own->dwReportFlags & REPORT_EJECTED)) return;
    PrinterHandle printer(ctx, own);
    if (!printer.h) return;
    if (TraceOn(ctx, TRC_JOB)) TraceF(ctx, traceFmt, ctx->JobId);
    if (own)
        SetJobLastPageEjected(printer.h, ctx->JobId, 0, nullptr, own);
    else
        SetJobW(printer.h, ctx->JobId, 0, nullptr, JOB_CONTROL_LAST_PAGE_EJECTED);
    ctx->bEjectSent = 1;
}

// The job whose EndDocPort never came is let go now, once, and leaves the
// queue: without the end of its document the printer's report can never
// finish it. The start being refused is not touched: the spooler holds it.
void ReleaseStaleJob(PortContext* ctx) {
    PortLock lock(ctx);
    TakeOwedEjects(ctx);
    ReleaseDocJob(ctx, "VJLMON:SetJob[LAST_PAGE_EJECTED @LOSTDOC(%d)]");
    DropJobEntry(ctx, ctx->JobId);
}

void SetPrinterQueueZero(PortContext* ctx) {
    if (StatusVariable* q = FindStatusVariable("PrinterQueue", ctx->pVarTable, ctx, TRUE)) {
        *static_cast<DWORD*>(q->pValue) = 0;
        q->bChanged = 1;
    }
    UpdateSRM_All(ctx);
}

// Reads and, where the port can, raises the IEEE 1284 mode of a parallel
// port to the bidirectional write mode for this job.
void PrepareParallelMode(PortContext* ctx) {
    PortModeClear(ctx, 0x2);
    if (!ctx->fn.pfnGetPrinterDataFromPort) return;
    auto call = [ctx](DWORD code, void* in, DWORD cbIn, void* out, DWORD cbOut) {
        DWORD got = 0;
        PortLock lock(ctx);
        BOOL ok = ctx->fn.pfnGetPrinterDataFromPort(ctx->hPort, code, nullptr, static_cast<LPWSTR>(in), cbIn,
                                                    static_cast<LPWSTR>(out), cbOut, &got);
        lock.unlock();
        if (!ok && TraceOn(ctx, TRC_GETDATA)) TraceWrite(ctx, "VJLMON:PMGetPrinterDataFromPort -ERROR-");
        return ok;
    };
    WORD mode[2] = {};
    if (!call(IOCTL_PAR_QUERY_MODE, nullptr, 0, mode, 4)) return;
    if (mode[1] == 0x100) {
        PortModeSet(ctx, 0x2);
        return;
    }
    WORD caps = 0;
    if (!call(IOCTL_PAR_QUERY_CAPS, nullptr, 0, &caps, 2) || !(caps & 0x100)) return;
    WORD want[2] = {mode[0], 0x100}, got[2] = {};
    call(IOCTL_PAR_SET_MODE, want, 4, got, 4);
    PortModeSet(ctx, 0x2);
    if (got[1] != 0x100) {
        WORD back[2] = {mode[0], mode[1]}, out[2] = {};
        call(IOCTL_PAR_SET_MODE, back, 4, out, 4);
        PortModeClear(ctx, 0x2);
    }
}

// Last 80 bytes offered, for the plain and chunked writes.
void UpdateTailCopy(PortContext* ctx, const BYTE* p, DWORD n) {
    BYTE prev[kTailSize];
    memcpy(prev, ctx->abTail, kTailSize);
    memset(ctx->abTail, 0, sizeof(ctx->abTail));
    if (n <= kTailSize) {
        memcpy(ctx->abTail, prev + n, kTailSize - n);
        memcpy(ctx->abTail + (kTailSize - n), p, n);
    } else {
        memcpy(ctx->abTail, p + n - kTailSize, kTailSize);
    }
}

// Plain or 4096-byte-limited write used where the full network path does
// not apply.
BOOL SimpleWrite(PortContext* ctx, const BYTE* pBuf, DWORD cb, DWORD* pcbWritten) {
    BOOL ok;
    if (ctx->PortMode & 0x2) {
        DWORD w = 0;
        ok = PMWritePort(ctx, pBuf, cb < kChunkSize ? cb : kChunkSize, &w);
        *pcbWritten = w;
        if (ctx->status & ST_IN_DOC) ctx->bDataWritten = 1;
    } else {
        ok = PMWritePort(ctx, pBuf, cb, pcbWritten);
    }
    return ok;
}

// Data of the monitor's own that the port monitor took only part of goes
// out before any more job data: true when nothing is pending any more.
bool PendingSentFirst(PortContext* ctx) {
    if (!ctx->cbPending) return true;
    SpoolerRightGuard right(ctx);
    if (!right.held()) return false;
    DWORD w = 0;
    PMSendData(ctx, nullptr, 0, &w);
    return ctx->cbPending == 0;
}

// The job was cancelled, deleted or is a re-sent copy: its data is not printed.
bool JobDataDropped(const PortContext* ctx) {
    return (ctx->status & (ST_CANCEL_REQ | ST_CANCEL_SENT | ST_JOB_DELETED | ST_JOB_DELETING)) ||
           (ctx->dwSysFlag & SYS_RESENT_JOB);
}

// The bytes the tail-holding write kept back belong to the job: they go out
// behind whatever is pending, unless the job's data is not to be printed.
// True when there was a tail to send.
bool QueueHeldTail(PortContext* ctx, bool dropped) {
    DWORD held = ctx->bTailHeld ? ctx->cbTail : 0;
    ctx->bTailHeld = 0;
    ctx->cbTail = 0;
    if (!held || dropped) return false;
    return AppendPending(ctx, ctx->abTail, held) != FALSE;
}

// Offers pending data to the port monitor until it is all taken, for at
// most a minute; an offer that moved nothing (the port monitor refused the
// document, say) is followed by a pause. A closing port stops the offers.
void FlushPendingBounded(PortContext* ctx) {
    const DWORD start = GetTickCount();
    while (ctx->cbPending) {
        DWORD before = ctx->cbPending, w = 0;
        {
            SpoolerRightGuard right(ctx);
            if (right.held()) PMSendData(ctx, nullptr, 0, &w);
        }
        if (!ctx->cbPending) break;
        if (GetTickCount() - start > kPendingFlushMs) break;
        if (ctx->cbPending == before && WaitForSingleObject(ctx->hCloseEvent, kPendingRetryPauseMs) == WAIT_OBJECT_0)
            break;
    }
    if (ctx->cbPending) DiscardPending(ctx);
}

}  // namespace

bool ReadMonitorRegDword(const wchar_t* name, DWORD* out) {
    if (!hMonitor) return false;
    PMONITORINIT init = *static_cast<PMONITORINIT*>(hMonitor);
    if (!init || !init->pMonitorReg || !init->pMonitorReg->fpOpenKey) return false;
    HANDLE key = nullptr;
    if (init->pMonitorReg->fpOpenKey(init->hckRegistryRoot, L"", 0x20019, &key, init->hSpooler) != ERROR_SUCCESS)
        return false;
    DWORD value = 0, cb = 4, type = 0;
    LONG rc = init->pMonitorReg->fpQueryValue(key, name, &type, reinterpret_cast<BYTE*>(&value), &cb, init->hSpooler);
    init->pMonitorReg->fpCloseKey(key, init->hSpooler);
    if (rc != ERROR_SUCCESS || type != REG_DWORD) return false;   // another type counts as missing
    *out = value;
    return true;
}

BOOL GetSpoolerJobStatus(HANDLE hPrinter, DWORD jobId, DWORD* pStatus) {
    DWORD needed = 0;
    GetJobW(hPrinter, jobId, 1, nullptr, 0, &needed);
    if (!needed) return FALSE;
    HeapBlock buf(MemAlloc(needed));
    if (!buf.p || !GetJobW(hPrinter, jobId, 1, static_cast<BYTE*>(buf.p), needed, &needed)) return FALSE;
    *pStatus = static_cast<JOB_INFO_1W*>(buf.p)->Status;
    return TRUE;
}

DWORD CountWaitingJobs(PortContext* ctx) {
    PrinterHandle printer(ctx);
    if (!printer.h) return 0;
    for (int attempt = 0; attempt < 3; ++attempt) {
        DWORD needed = 0, count = 0;
        if (EnumJobsW(printer.h, 0, 0xFFFFFFFF, 1, nullptr, 0, &needed, &count)) return 0;  // no jobs
        if (GetLastError() != ERROR_INSUFFICIENT_BUFFER || !needed) continue;
        HeapBlock buf(MemAlloc(needed));
        if (!buf.p) return 0;
        if (!EnumJobsW(printer.h, 0, 0xFFFFFFFF, 1, static_cast<BYTE*>(buf.p), needed, &needed, &count)) continue;
        auto* jobs = static_cast<JOB_INFO_1W*>(buf.p);
        DWORD waiting = 0;
        for (DWORD i = 0; i < count; ++i)
            if (!(jobs[i].Status & dwDoneJobMask)) ++waiting;
        return waiting;
    }
    return 0;
}

// ---------------------------------------------------------------- start

BOOL WINAPI PJLMonStartDocPort(HANDLE hPort, LPWSTR pPrinterName, DWORD JobId, DWORD Level, LPBYTE pDocInfo) {
    PortOperation op(hPort);
    PortContext* ctx = op.get();
    if (!ctx) return FALSE;

    if (Level != 1 && (!pDocInfo || !reinterpret_cast<DOC_INFO_1W*>(pDocInfo)->pDocName)) {
        StatusSet(ctx, ST_NULL_DOC);
        ReplacePrinterName(ctx, pPrinterName);
        return TRUE;
    }
    if (TraceOn(ctx)) {
        TraceWrite(ctx, "VJLMON:PJLMonStartDocPort -START-");
        TraceWideRaw(ctx, "PortName   :%s\r\n", ctx->pszPortName);
        TraceWideRaw(ctx, "PrinterName:%s\r\n", pPrinterName);
        TraceRawF(ctx, "JobId      :%d\r\n", JobId);
    }
    DWORD tries = kSpoolerTries;
    SpoolerRightGuard right(ctx);
    if (!TakeSpoolerRight(right, &tries)) {
        if (TraceOn(ctx)) TraceWrite(ctx, "VJLMON:PJLMonStartDocPort -END[GetSpoolerAccessRights() -> Error(TIMEOUT)]-");
        SetLastError(ERROR_SEM_TIMEOUT);
        return FALSE;
    }
    if (TraceOn(ctx)) TraceWrite(ctx, "VJLMON:PJLMonStartDocPort [GetSpoolerAccessRights() -> Success]");

    StatusClear(ctx, ST_MGR_TERMINATED | ST_JOB_LOST);
    SysFlagClear(ctx, ~(SYS_PWOFF_JCID | SYS_PRINTER_RESET));
    ctx->bDeleteSent = 0;
    ctx->bEjectSent = 0;
    ctx->bDocBusy = 1;
    ReplacePrinterName(ctx, pPrinterName);

    auto fail = [ctx, &right](const char* line, DWORD error) {
        if (line && TraceOn(ctx)) TraceWrite(ctx, line);
        right.release();
        ctx->bDocBusy = 0;
        SetLastError(error);
        return FALSE;
    };
    if (ctx->status & ST_IN_DOC) {
        if (TraceOn(ctx)) TraceWrite(ctx, "VJLMON:PJLMonStartDocPort -END(1)-");
        PrnLostChk(ctx, 0x1, "Lost EndDoc");
        // The previous job's EndDocPort never came through. Finish its
        // document on the port monitor, with its last bytes, so that the
        // spooler's retry prints and nothing of that job goes into the next.
        bool dropped = JobDataDropped(ctx);
        QueueHeldTail(ctx, dropped);
        if (dropped) DiscardPending(ctx);
        FlushPendingBounded(ctx);
        if (ctx->status & ST_PM_DOC) PMEndDocPort(ctx);
        StatusClear(ctx, ST_IN_DOC | ST_PM_DOC);
        ReleaseStaleJob(ctx);
        return fail(nullptr, ERROR_BUSY);
    }
    if (IsPJMServiceInstalled(ctx)) {
        UniquePrinter printer = OpenPortPrinter(ctx);
        BOOL interrupted = FALSE;
        BOOL allowed = VHStartDoc(printer.get(), JobId, ctx->pszPortName, ctx, &interrupted);
        if (!allowed && !interrupted && printer) SetJobW(printer.get(), JobId, 0, nullptr, JOB_CONTROL_DELETE);
        printer.reset();
        // A ClosePort or shutdown ended the wait: the spooler keeps the job.
        if (interrupted) return fail("VJLMON:PJLMonStartDocPort -END(2:ABORTED)-", ERROR_OPERATION_ABORTED);
        if (!allowed) return fail("VJLMON:PJLMonStartDocPort -END(2)-", ERROR_INVALID_PARAMETER);
    }
    OutPrnHist_JobStatus(ctx, JobId, "Start");
    StatusSet(ctx, ST_IN_DOC);
    NoteDocumentStart(ctx);
    ReadPortMode(ctx);
    if (ctx->status & ST_PM_DOC) {
        PMEndDocPort(ctx);
        StatusClear(ctx, ST_PM_DOC);
    }
    DWORD enter = 0;
    ctx->dwEnterLanguage = ReadMonitorRegDword(L"ENTERLANGUAGE", &enter) ? enter : 0;

    if (ctx->bWaitThreadStarted) {
        // The waiting-job thread gives the port back to the job.
        right.release();
        StatusClear(ctx, ST_THREAD_RUN);
        if (HANDLE wake = ctx->hWakeEvent) SetEvent(wake);
        WaitForSingleObject(ctx->hRefreshDoneEvent, 4000);
        right.acquire();
    }

    bool usb = IsUsbPort(ctx->pszPortName);
    if (!PMStartDocPort(ctx, pPrinterName, JobId, Level, pDocInfo)) {
        if (!usb) {
            DWORD err = GetLastError();
            StatusClear(ctx, ST_IN_DOC);
            return fail("VJLMON:PJLMonStartDocPort -END(3)-", err);
        }
    } else {
        if (IsLptPort(ctx->pszPortName)) PrepareParallelMode(ctx);
        if (!usb) SetReadTimeOuts(ctx);
        StatusSet(ctx, ST_PM_DOC);
    }
    StatusClear(ctx, ST_FIRST_WRITE | ST_CANCEL_REQ | ST_JOB_DELETING | ST_CANCEL_SENT);
    ctx->JobId = JobId;
    KeepDocPrinter(ctx, pPrinterName);

    if (!(ctx->dwPortStatus & PORTKIND_TCPIP)) {
        if (TraceOn(ctx)) TraceWrite(ctx, "VJLMON:PJLMonStartDocPort -END(NOBIDI)-");
        return TRUE;
    }

    {
        PortLock lock(ctx);
        ctx->pCurBind = FindBinding(pPrinterName, ctx);
        if (!ctx->pCurBind) ctx->pCurBind = BindSRM(ctx, pPrinterName, TRUE);
        if (!ctx->pCurBind) {
            if (TraceOn(ctx)) TraceWrite(ctx, "VJLMON:PJLMonStartDocPort -END(4)-");
            return TRUE;
        }
        if (!ManagerLoaded(ctx->pCurBind)) {
            if (TraceOn(ctx)) TraceWrite(ctx, "VJLMON:PJLMonStartDocPort -END(5)-");
            ChooseJobJCID(ctx);
            return TRUE;
        }
    }
    // The poll talks to the printer: never under the port lock.
    CheckDeviceId(ctx);
    {
        PortLock lock(ctx);
        StatusSet(ctx, ST_WAIT_JOBHDR);
        ctx->bJobStarted = 1;
        StartUstatusThread(ctx);   // a running worker is kept, an ending one recalled
        if (!ctx->pJobQueueHead && (ctx->status & ST_WAIT_JOBHDR)) SetPrintingStatus(ctx, TRUE);
        OpenOwedEjects(ctx);
        InJobQueue(JobId, ctx);
        ChooseJobJCID(ctx);
        if (ctx->dwPortStatus & 0xC) SendingJobInfo(ctx, TRUE);
        SetJobStatusBits(ctx, 0x1, TRUE);
        DWORD priority = 0;
        if (ReadMonitorRegDword(L"PrintingPriority", &priority))
            SetThreadPriority(GetCurrentThread(), static_cast<int>(priority));
    }
    right.release();

    StatusClear(ctx, ST_JOB_DELETED);
    ctx->dwJobType = 0;
    memset(ctx->szJobJCID, 0, sizeof(ctx->szJobJCID));
    ctx->bWriteSeen = 0;
    ctx->bDocEnded = 0;
    ctx->bTailHeld = 0;
    ctx->cbTail = 0;
    ctx->bDocBusy = 1;
    ctx->bJobStarted = 1;
    if (TraceOn(ctx)) {
        TraceF(ctx, "       status:[%x] dwPortStatus[%x] PortMode[%x] dwSysFlag[%x]", ctx->status, ctx->dwPortStatus,
               ctx->PortMode, ctx->dwSysFlag);
        TraceWriteRaw(ctx, "VJLMON:PJLMonStartDocPort -END(BIDI)-\r\n");
    }
    return TRUE;
}

// ---------------------------------------------------------------- write

BOOL WritePlain(PortContext* ctx, const BYTE* pBuf, DWORD cb, DWORD* pcbWritten) {
    DWORD w = 0;
    BOOL ok = PMWritePort(ctx, pBuf, cb, &w);
    DWORD err = GetLastError();
    if (err == ERROR_TIMEOUT) ctx->dwLastWriteError = err;
    if (!ok && FatalWriteError(err)) {
        ctx->dwLastWriteError = err;
        *pcbWritten = w;
        SetLastError(err);
        return FALSE;
    }
    UpdateTailCopy(ctx, pBuf, cb);
    *pcbWritten = w;
    return TRUE;
}

BOOL WriteChunk(PortContext* ctx, const BYTE* pBuf, DWORD cb, DWORD* pcbWritten) {
    DWORD n = cb < kChunkSize ? cb : kChunkSize, w = 0;
    PMWritePort(ctx, pBuf, n, &w);
    if (GetLastError() == ERROR_TIMEOUT) ctx->dwLastWriteError = ERROR_TIMEOUT;
    UpdateTailCopy(ctx, pBuf, n);
    *pcbWritten = w;
    return TRUE;
}

// Keeps the last 80 bytes of the job's data stream back, so the port lags
// 80 bytes behind the spooler. A job's first blocks may hold fewer than 80
// bytes: the held tail then is only this job's bytes, never an earlier job's.
BOOL WriteTailHold(PortContext* ctx, const BYTE* pBuf, DWORD cb, DWORD* pcbWritten) {
    DWORD held = ctx->bTailHeld ? ctx->cbTail : 0;
    // cb may be close to 4 GB: compare without adding.
    DWORD toSend = cb > kTailSize - held ? cb - (kTailSize - held) : 0;
    BYTE* tail = ctx->abTail;
    *pcbWritten = 0;
    if (toSend == 0) {
        memcpy(tail + held, pBuf, cb);
        ctx->cbTail = held + cb;
        *pcbWritten = cb;
    } else {
        DWORD w = 0;
        if (held) {
            DWORD k = toSend < held ? toSend : held;
            PMWritePort(ctx, tail, k, &w);
            if (w > k) w = k;
        }
        if (toSend <= held || w < held) {
            // The tail is not all out: move the unsent rest to the front and
            // take as many new bytes as went out.
            DWORD rest = held - w;
            memmove(tail, tail + w, rest);
            DWORD take = kTailSize - rest;
            if (take > cb) take = cb;
            memcpy(tail + rest, pBuf, take);
            ctx->cbTail = rest + take;
            *pcbWritten = take;
        } else {
            DWORD w2 = 0;
            PMWritePort(ctx, pBuf, cb - kTailSize, &w2);
            if (w2 > cb - kTailSize) w2 = cb - kTailSize;
            memcpy(tail, pBuf + w2, kTailSize);
            ctx->cbTail = kTailSize;
            *pcbWritten = w2 + kTailSize;
        }
    }
    tail[kTailSize] = 0;
    ctx->bTailHeld = 1;
    return TRUE;
}

BOOL WINAPI PJLMonWritePort(HANDLE hPort, LPBYTE pBuffer, DWORD cbBuf, LPDWORD pcbWritten) {
    PortOperation op(hPort);
    PortContext* ctx = op.get();
    if (!ctx) return FALSE;
    DWORD dummy = 0;
    if (!pcbWritten) pcbWritten = &dummy;
    const BYTE* pBuf = pBuffer;
    DWORD cb = cbBuf;
    bool trace = TraceOn(ctx, TRC_WRITE);
    if (trace) TraceWrite(ctx, "VJLMON:PJLMonWritePort -START-");

    if (!ctx->pCurBind) {
        SpoolerRightGuard right(ctx);
        return PMWritePort(ctx, pBuf, cb, pcbWritten);
    }
    if (TcpKind(ctx)) {
        // The job's data follows its language header, whole: a header that
        // could not go out yet, or went only in part, is sent first.
        bool again = SendLanguageHeader(ctx, pBuf, cb) == LANGHDR_RETRY || !PendingSentFirst(ctx);
        if (again) {
            if (trace) TraceWriteRaw(ctx, "VJLMON:PJLMonWritePort --END--\r\n");
            *pcbWritten = 0;
            SetLastError(0);
            return TRUE;
        }
    }
    if (!TcpKind(ctx) || !ManagerLoaded(ctx->pCurBind)) {
        if (TcpKind(ctx) && ctx->dwJobType == 0) ParseJobHeader(ctx, pBuf, cb);
        SpoolerRightGuard right(ctx);
        return SimpleWrite(ctx, pBuf, cb, pcbWritten);
    }

    // The full network path.
    if (trace) TraceWrite(ctx, "VJLMON:PJLMonWritePort CP@1");
    *pcbWritten = 0;
    SpoolerRightGuard right(ctx);
    if (!right.held()) {
        if (trace) TraceWrite(ctx, "VJLMON:PJLMonWritePort -END[GetSpoolerAccessRights() -> Error(TIMEOUT)]-");
        SetLastError(0);
        return TRUE;
    }
    ctx->bWriteSeen = 1;
    if (ctx->dwJobType == 0) {
        ParseJobHeader(ctx, pBuf, cb);
        StoreJobJCID(ctx->szJCID, JCID_STORE_UID, ctx);
    }
    if (ctx->dwSysFlag & SYS_RESENT_JOB) {
        if (TraceOn(ctx)) TraceWrite(ctx, "VJLMON:PJLMonWritePort -END(JOB_STATUS_RESTART)-");
        *pcbWritten = cb;
        SetLastError(0);
        return TRUE;
    }
    if (ctx->status & ST_NO_ANSWER) {
        if (trace) TraceWrite(ctx, "VJLMON:PJLMonWritePort [POWEROFF-STD]");
        SetLastError(0);
        return TRUE;
    }
    BOOL ok = TRUE;
    DWORD err = 0;
    if (ctx->status & ST_JOB_DELETING) {
        // The job is being deleted: its data is consumed, not sent.
        *pcbWritten = cb;
        StatusClear(ctx, ST_WAIT_JOBHDR);
    } else {
        bool makersTcp = (ctx->dwPortStatus & PORTKIND_DPU) && !(ctx->dwPortStatus & PORTKIND_TCPMON) &&
                         !(ctx->dwPortStatus & PORTKIND_LOCAL) && !IsUsbPort(ctx->pszPortName);
        if (ctx->PortMode & 0x2)
            ok = WriteChunk(ctx, pBuf, cb, pcbWritten);
        else if (makersTcp)
            ok = WriteTailHold(ctx, pBuf, cb, pcbWritten);
        else
            ok = WritePlain(ctx, pBuf, cb, pcbWritten);
        err = ok ? 0 : GetLastError();
    }
    ctx->bDocBusy = 1;
    right.release();
    if ((ctx->PortMode & 0x2) && ctx->bDataWritten && ctx->dwLastWriteError == ERROR_TIMEOUT) Sleep(1000);
    if ((ctx->PortMode & 0x2) && ctx->bWriteFailed) Sleep(1000);
    if (*pcbWritten) SysFlagSet(ctx, SYS_DATA_SENT);
    if (trace) TraceWriteRaw(ctx, "VJLMON:PJLMonWritePort --END--\r\n");
    SetLastError(err);
    return ok;
}

// ---------------------------------------------------------------- end

namespace {

// Ports that are not followed on the printer: end the document and let the
// spooler go of the job at once.
BOOL SimpleEnd(PortContext* ctx, SpoolerRightGuard& right, bool tailQueued) {
    if (tailQueued) FlushPendingBounded(ctx);
    PMEndDocPort(ctx);
    StatusClear(ctx, ST_IN_DOC | ST_PM_DOC);
    ctx->bDocBusy = 0;
    if (ctx->PortMode & 0x2) {
        ctx->bDataWritten = 0;
        PortModeClear(ctx, 0x2);
    }
    // The one notice below covers whatever the job was owed; under the lock
    // so that no deletion releases the job in between.
    PortLock lock(ctx);
    TakeOwedEjects(ctx);
    ReleaseDocJob(ctx, "VJLMON:SetJob[LAST_PAGE_EJECTED @NOBIDI(%d)]");
    // A job queued before its binding was dropped leaves the queue with it.
    DropJobEntry(ctx, ctx->JobId);
    lock.unlock();
    right.release();
    if (TraceOn(ctx)) TraceWrite(ctx, "VJLMON:PJLMonEndDocPort -END(@NOBIDI)-");
    return TRUE;
}

bool SpoolerJobDeleting(PortContext* ctx) {
    PrinterHandle printer(ctx);
    DWORD st = 0;
    return printer.h && GetSpoolerJobStatus(printer.h, ctx->JobId, &st) && (st & kJobStatusDeleting);
}

// Retakes the right for a late step: what is left of the three tries, at
// least one; only a wait that timed out is tried again.
bool RetakeSpoolerRight(SpoolerRightGuard& right, DWORD* tries) {
    DWORD n = *tries ? *tries : 1;
    for (DWORD i = 0; i < n; ++i) {
        if (*tries) --*tries;
        if (right.acquire() == WAIT_OBJECT_0) return true;
        if (right.result() != WAIT_TIMEOUT) {
            right.release();
            return false;
        }
    }
    return false;
}

// Jobs that nobody follows on the printer any more: each one not yet
// reported is let go once, then the queue is emptied.
void ReleaseQueue(PortContext* ctx) {
    PortLock lock(ctx);
    while (JobQueueEntry* e = ctx->pJobQueueHead) {
        ctx->pJobQueueHead = e->pNext;
        if (e->pBind && e->pBind->hPrinter) SetJobLastPageEjected(e->pBind->hPrinter, e->dwJobId, 0, nullptr, e);
        MemFree(e);
    }
    ctx->pJobQueueTail = nullptr;
    FreeRetiredBindings(ctx, false);
}

}  // namespace

BOOL WINAPI PJLMonEndDocPort(HANDLE hPort) {
    PortOperation op(hPort);
    PortContext* ctx = op.get();
    if (!ctx) return FALSE;
    if (ctx->status & ST_NULL_DOC) {
        StatusClear(ctx, ST_NULL_DOC);
        return TRUE;
    }
    if (TraceOn(ctx)) {
        TraceWrite(ctx, "VJLMON:PJLMonEndDocPort -START-");
        TraceRawF(ctx, "       JobId:%d\r\n", ctx->JobId);
        TraceRawF(ctx, "       status:[%x] dwPortStatus[%x]\r\n", ctx->status, ctx->dwPortStatus);
        TraceRawF(ctx, "       PortMode[%x] SysFlag[%x]\r\n", ctx->PortMode, ctx->dwSysFlag);
    }
    DWORD tries = kSpoolerTries;
    SpoolerRightGuard right(ctx);
    if (!TakeSpoolerRight(right, &tries)) {
        if (TraceOn(ctx)) TraceWrite(ctx, "VJLMON:PJLMonEndDocPort -END[GetSpoolerAccessRights() -> Error(TIMEOUT)]-");
        return FALSE;
    }
    if (TraceOn(ctx)) TraceWrite(ctx, "VJLMON:PJLMonEndDocPort [GetSpoolerAccessRights() -> Success]");
    if (ctx->bPJMService) VHEndDoc(ctx->pszPortName, ctx->JobId);
    StatusClear(ctx, ST_NO_JOB_INFO);
    if (!(ctx->status & ST_PM_DOC) && OpenOwnDocument(ctx)) StatusSet(ctx, ST_PM_DOC);

    if (!TcpKind(ctx) || !ctx->pCurBind || !ManagerLoaded(ctx->pCurBind))
        return SimpleEnd(ctx, right, QueueHeldTail(ctx, JobDataDropped(ctx)));
    const bool traceJob = TraceOn(ctx, TRC_JOB);

    bool deleting = SpoolerJobDeleting(ctx);
    if (deleting) {
        if (traceJob) TraceWrite(ctx, "VJLMON:PJLMonENDDocPort JOB DELETE @SMJOB-BF");
        JobCancel(ctx, TRUE);
    } else if ((ctx->dwSysFlag & SYS_RESENT_JOB) || !ctx->bWriteSeen || !ctx->pBindList ||
               !(ctx->status & ST_THREAD_ALIVE) || !(ctx->status & ST_MODEL_CONFIRMED)) {
        // Nobody will follow this job on the printer: report it here.
        // "VJLMON:PJLMonEndDocPort [LAST_PAGE_EJECTED 位置変更]"
        if (TraceOn(ctx))
            TraceWrite(ctx, "VJLMON:PJLMonEndDocPort [LAST_PAGE_EJECTED \x88\xca\x92\x75\x95\xcf\x8d\x58]");
        ++ctx->cLastPageEjected;
    }
    const bool tailQueued = QueueHeldTail(ctx, deleting || JobDataDropped(ctx));
    StoreJobJCID(ctx->szJCID, JCID_STORE_EOJ, ctx);
    if (TraceOn(ctx)) TraceWrite(ctx, "VJLMON:PJLMonEndDocPort CP@2");
    if (!(ctx->status & ST_JOB_DELETED)) SendingJobInfo(ctx, FALSE);
    SetJobStatusBits(ctx, 0x107, FALSE);

    if ((ctx->dwSysFlag & SYS_RESENT_JOB) || !ctx->bWriteSeen) {
        SetPrinterQueueZero(ctx);
        {
            PortLock lock(ctx);
            while (JobQueueEntry* e = ctx->pJobQueueHead) {
                if (e != ctx->pJobQueueTail) {
                    if (traceJob) TraceF(ctx, "VJLMON:SetJob[LAST_PAGE_EJECTED @2(%d)]", e->dwJobId);
                    // One notice each: a second one would be a second release.
                    if (e->pBind && e->pBind->hPrinter)
                        SetJobLastPageEjected(e->pBind->hPrinter, e->dwJobId, 0, nullptr, e);
                } else if (e->dwReportFlags & REPORT_EJECTED) {
                    ctx->bEjectSent = 1;   // let go already: the payment below must not repeat it
                } else {
                    ++ctx->cLastPageEjected;
                }
                ctx->pJobQueueHead = e->pNext;
                MemFree(e);
            }
            ctx->pJobQueueTail = nullptr;
        }
        SetPrintingStatus(ctx, FALSE);
    }
    StatusClear(ctx, ST_JOB_DELETED | ST_IN_DOC);
    StatusSet(ctx, ST_IDLE);
    if (CountWaitingJobs(ctx) == 0) ctx->bDataWritten = 0;
    right.release();

    // A running worker thread flushes pending data itself, but the job's
    // own last bytes must go out inside its document.
    if (ctx->cbPending && (!(ctx->status & ST_THREAD_ALIVE) || tailQueued)) FlushPendingBounded(ctx);
    if (TraceOn(ctx)) TraceWrite(ctx, "VJLMON:PJLMonEndDocPort CP@3");
    if ((ctx->status & ST_PM_DOC) && PMEndDocPort(ctx)) StatusClear(ctx, ST_PM_DOC);
    {
        // The refresh thread may take a finished job off the queue meanwhile.
        PortLock lock(ctx);
        if (ctx->pJobQueueTail) JobFlagSet(ctx->pJobQueueTail, JOBF_DOC_ENDED);
    }
    if (TraceOn(ctx)) TraceWrite(ctx, "VJLMON:PJLMonEndDocPort CP@4");

    if (!(ctx->status & (ST_CANCEL_REQ | ST_CANCEL_SENT)) && SpoolerJobDeleting(ctx)) {
        if (traceJob) TraceWrite(ctx, "VJLMON:PJLMonENDDocPort JOB DELETE @SMJOB-AF");
        if (RetakeSpoolerRight(right, &tries)) {
            JobCancel(ctx, TRUE);
            right.release();
        }
    }
    if ((ctx->status & (ST_CANCEL_REQ | ST_CANCEL_SENT)) || ctx->dwJobType != 2) {
        // A job without a JCID of its own cannot be followed on the printer.
        if (ctx->cbPending) DiscardPending(ctx);
        SetPrinterQueueZero(ctx);
        if (traceJob) TraceWrite(ctx, "VJLMON:Call DeleteJob @1");
        DeleteJob(ctx, TRUE);
    }
    SetJobStatusBits(ctx, 0x107, FALSE);
    if (TraceOn(ctx)) TraceWrite(ctx, "VJLMON:PJLMonEndDocPort CP@5");

    // Paid under the lock: a deletion meanwhile would release the job again.
    PortLock payLock(ctx);
    if (TakeOwedEjects(ctx)) {
        // However many releases the job was owed, the spooler is told once.
        ctx->cLastPageEjected = 1;
        ReleaseDocJob(ctx, "VJLMON:SetJob[LAST_PAGE_EJECTED @4(%d)]");
    }
    payLock.unlock();

    bool followed = false;
    if ((ctx->status & ST_THREAD_ALIVE) && (ctx->status & ST_MODEL_CONFIRMED)) {
        StatusVariable* ps = FindStatusVariable("PrinterStatus", ctx->pVarTable, ctx, FALSE);
        followed = !ps || !ps->pValue || !(static_cast<DWORD*>(ps->pValue)[1] & 0x200);
    }
    if (!followed) {
        // "VJLMON:PJLMonEndDocPort[送信完タイミングで終了]"
        if (traceJob)
            TraceWrite(ctx, "VJLMON:PJLMonEndDocPort[\x91\x97\x90\x4d\x8a\xae\x83\x5e\x83\x43\x83\x7e\x83\x93\x83\x4f"
                            "\x82\xc5\x8f\x49\x97\xb9]");
        SetPrinterQueueZero(ctx);
        if (RetakeSpoolerRight(right, &tries)) {
            ReleaseQueue(ctx);
            right.release();
        }
    }
    PortModeClear(ctx, 0x2);
    StatusClear(ctx, ST_CANCEL_REQ | ST_CANCEL_SENT);
    ctx->bDocEnded = 1;
    ctx->bDocBusy = 0;
    if (TraceOn(ctx)) {
        TraceF(ctx, "       status:[%x] dwPortStatus[%x] PortMode[%x]", ctx->status, ctx->dwPortStatus, ctx->PortMode);
        TraceWriteRaw(ctx, "VJLMON:PJLMonEndDocPort -END(BIDI)-\r\n");
    }
    return TRUE;
}

// ---------------------------------------------------------------- read

BOOL WINAPI PJLMonReadPort(HANDLE hPort, LPBYTE pBuffer, DWORD cbBuffer, LPDWORD pcbRead) {
    PortOperation op(hPort);
    PortContext* ctx = op.get();
    if (!ctx) return FALSE;
    if (TraceOn(ctx)) TraceWrite(ctx, "VJLMON:PJLMonReadPort -START-");
    SpoolerRightGuard right(ctx);
    if (right.result() == WAIT_TIMEOUT) {
        if (TraceOn(ctx)) TraceWrite(ctx, "VJLMON:PJLMonReadPort -END[GetSpoolerAccessRights() -> Error(TIMEOUT)]-");
        SetLastError(ERROR_SEM_TIMEOUT);
        return FALSE;
    }
    if (TraceOn(ctx)) TraceWrite(ctx, "VJLMON:PJLMonReadPort [GetSpoolerAccessRights() -> Success]");
    if (!OpenOwnDocument(ctx)) {
        if (TraceOn(ctx)) TraceWrite(ctx, "VJLMON:PJLMonReadPort -END(1)-");
        right.release();
        SetLastError(ERROR_BUSY);
        return FALSE;
    }
    StatusSet(ctx, ST_PM_DOC);
    DWORD dummy = 0;
    BOOL ok = PMReadPort(ctx, pBuffer, cbBuffer, pcbRead ? pcbRead : &dummy);
    DWORD err = GetLastError();
    if (PMEndDocPort(ctx)) StatusClear(ctx, ST_PM_DOC);
    right.release();
    if (TraceOn(ctx)) TraceWriteRaw(ctx, "VJLMON:PJLMonReadPort --END--\r\n");
    SetLastError(err);
    return ok;
}
