#include "queries/getdata.h"

#include <cstring>
#include <cwchar>

#include "diag/trace.h"
#include "pm/forward.h"
#include "portinfo/portkind.h"
#include "send/write.h"
#include "state/binding.h"
#include "state/jobqueue.h"
#include "state/statusvar.h"
#include "status/devcheck.h"
#include "threads/refresh.h"
#include "threads/worker.h"

volatile DWORD dwResendPauseMs = kDefaultResendPauseMs;
volatile DWORD dwResendLimitMs = kDefaultResendLimitMs;

namespace {

// Answers written to the suite's output word.
constexpr DWORD ANSWER_OK = 0;
constexpr DWORD ANSWER_REFUSED = static_cast<DWORD>(-19);
constexpr DWORD ANSWER_BUSY = static_cast<DWORD>(-38);
constexpr DWORD ANSWER_IS_WAKEUP = 330;

// Device control codes that cancel the job on the printer.
constexpr DWORD CTL_CANCEL = 7;
constexpr DWORD CTL_CANCEL_PAR = IOCTL_PAR_SET_INFO;

constexpr DWORD ST_JOB_RESTARTING = 0x10000000;   // the job is sent again after a power-off
constexpr DWORD JOBSTATUS_CANCELLING = 0x4;        // manager's JobStatus: being cancelled
constexpr DWORD PORTKIND_REFRESHABLE = PORTKIND_TCPIP | 0x8;

// The resend after a failed cancel write on USB.
constexpr DWORD kResendTailBytes = 80;
constexpr DWORD kCancelSettleMs = 1000;
constexpr DWORD kSuspendWaitMs = 4000;
constexpr DWORD kRefreshPollGuardMs = 1000;
// The longest refresh list a manager is asked for: the names of every
// status variable fit many times over; a larger size is no list.
constexpr DWORD kMaxRefreshListBytes = 0x10000;

constexpr wchar_t kIsWakeup[] = L"IsWakeup";
constexpr wchar_t kRefreshPrefix[] = L"Refresh:";
constexpr size_t kRefreshPrefixLen = 8;
constexpr wchar_t kWakeUp[] = L"Wake Up";
constexpr wchar_t kStopPolling[] = L"Stop Polling";
constexpr wchar_t kSuspend[] = L"Suspend";

bool DocOpen(const PortContext* ctx) { return (ctx->status & ST_IN_DOC) != 0; }

void Trace(PortContext* ctx, const char* line) {
    if (TraceOn(ctx, TRC_GETDATA)) TraceWrite(ctx, line);
}

void SetReturned(LPDWORD pcb) {
    if (pcb) *pcb = sizeof(DWORD);
}

// The command answers go to the first word of the output buffer; without
// room for it the request is answered with 122 (replaced by 87 at the end).
bool Answer(LPWSTR out, DWORD cbOut, DWORD value) {
    if (!out || cbOut < sizeof(DWORD)) {
        SetLastError(ERROR_INSUFFICIENT_BUFFER);
        return false;
    }
    memcpy(out, &value, sizeof(DWORD));
    return true;
}
bool HasAnswerRoom(LPWSTR out, DWORD cbOut) { return out && cbOut >= sizeof(DWORD); }

// Whether the USB resend of a cancel must stop without another write.
bool StopResend(const PortContext* ctx) {
    return ctx->dwLastWriteError == ERROR_CANCELLED ||
           (ctx->status & (ST_NO_ANSWER | ST_CLOSING | ST_JOB_DELETED | ST_JOB_DELETING));
}

// A cancel on USB: the printer must see the end of the job, so the last
// bytes are offered again while the port monitor keeps refusing them. The
// right is given back during each pause so that the job path can go on.
void ResendTail(PortContext* ctx, SpoolerRightGuard& right) {
    DWORD start = GetTickCount();
    while (ctx->bWriteFailed) {
        if (StopResend(ctx)) return;
        if (GetTickCount() - start > dwResendLimitMs) {
            SetJobStatusBits(ctx, JOBSTATUS_CANCELLING, FALSE);
            return;
        }
        right.release();
        WaitForSingleObject(ctx->hCloseEvent, dwResendPauseMs);
        if (StopResend(ctx)) return;
        right.acquire();
        if (StopResend(ctx)) return;
        DWORD written = 0;
        PMWritePort(ctx, ctx->abTail, kResendTailBytes, &written);
    }
}

BOOL ControlRequest(PortContext* ctx, DWORD code, LPWSTR name, LPWSTR in, DWORD cbIn, LPWSTR out, DWORD cbOut,
                    LPDWORD pcbReturned) {
    // A closing port's port monitor port is closed, or about to be.
    PortMonitorUse use(ctx);
    if (!use) {
        SetLastError(ERROR_OPERATION_ABORTED);
        return FALSE;
    }
    // A time-out of the wait lets the request go on.
    SpoolerRightGuard right(ctx);
    if (!ctx->fn.pfnGetPrinterDataFromPort) return FALSE;
    Trace(ctx, "VJLMON:PJLMonGetPrinterDataFromPort CP@1");
    bool cancel = code == CTL_CANCEL || code == CTL_CANCEL_PAR;
    if (cancel) {
        if (DocOpen(ctx) && !(ctx->status & ST_JOB_RESTARTING)) SetJobStatusBits(ctx, JOBSTATUS_CANCELLING, TRUE);
        StatusSet(ctx, ST_CANCEL_REQ);
    }
    if (!(ctx->status & ST_PM_DOC)) {
        if (!PMStartDocPort(ctx, ctx->pszPrinterName, 0xFFFFFFFF, 3, reinterpret_cast<LPBYTE>(&OwnDocInfo))) {
            right.release();
            Trace(ctx, "VJLMON:PJLMonGetPrinterDataFromPort -ENE@1-");
            return FALSE;
        }
        StatusSet(ctx, ST_PM_DOC);
    }
    if (code == CTL_CANCEL && IsUsbPort(ctx->pszPortName)) {
        ResendTail(ctx, right);
        // The port monitor's port may already be closed under a closing port.
        if (ctx->status & ST_CLOSING) {
            right.release();
            Trace(ctx, "VJLMON:PJLMonGetPrinterDataFromPort -ENE@2-");
            SetLastError(ERROR_OPERATION_ABORTED);
            return FALSE;
        }
    }
    BOOL ok = PMGetPrinterDataFromPort(ctx, code, name, in, cbIn, out, cbOut, pcbReturned);
    DWORD err = GetLastError();
    if (code == CTL_CANCEL && DocOpen(ctx)) Sleep(kCancelSettleMs);
    right.release();
    Trace(ctx, "VJLMON:PJLMonGetPrinterDataFromPort -ENE@2-");
    SetLastError(err);
    return ok;
}

// PrinterExtStatus to every binding in list order, as a kind-1 publication
// does; its changed mark is left for the next round.
void SendExtStatus(PortContext* ctx) {
    StatusVariable* row = LookupStatusVariable("PrinterExtStatus", ctx->pVarTable, ctx);
    if (!row || !row->pValue) return;
    DWORD size = VariableValueSize(row);
    for (SrmBinding* b = ctx->pBindList; b; b = b->pNext) {
        if (!b->hManager || !b->pfnUpdatePrinterStatusA) return;
        if (b->dwFlags & BF_SUPPRESSED) continue;
        b->pfnUpdatePrinterStatusA(b->hManager, row->pszName, row->pValue, size);
    }
}

bool Idle(const PortContext* ctx) { return !ctx->pJobQueueHead && !DocOpen(ctx) && !ctx->bDocBusy; }

}  // namespace

DWORD GetRefreshClasses(char* text, SrmBinding* bind, PortContext* ctx) {
    if (!text || !*text || !ctx || !ctx->pVarTable) return 0;
    DWORD classes = 0;
    for (char* name = text;;) {
        char* sep = strchr(name, ';');
        if (sep) *sep = '\0';
        StatusVariable* row = FindBindingStatusVariable(name, ctx->pVarTable, ctx, bind);
        if (row) {
            // Once a job has ended, the queue rows are refreshed as job-related.
            if (ctx->bDocEnded && (strcmp(name, "PrinterQueue") == 0 || strcmp(name, "PrintingJobInfo") == 0))
                row->dwRefreshClass = 2;
            classes |= row->dwRefreshClass;
        }
        if (strcmp(name, "PrinterDisplay") == 0) classes |= 2;
        if (!sep) break;
        *sep = ';';
        name = sep + 1;
    }
    return classes;
}

DWORD RefreshStatus(const wchar_t* printerName, PortContext* ctx) {
    if (!printerName || !ctx || !ctx->pVarTable) return ANSWER_REFUSED;
    Trace(ctx, "REFRESH:RefreshStatus -START-");
    RefreshSRMBindings(ctx);
    BindSRM_All(ctx);
    if (!(ctx->dwPortStatus & PORTKIND_REFRESHABLE)) {
        Trace(ctx, "REFRESH:RefreshStatus --END[NOBIDI]--");
        return ANSWER_REFUSED;
    }
    Trace(ctx, "REFRESH:RefreshStatus CP@1");

    DWORD classes = 0;
    {
        // The binding stays put while its manager is asked.
        PortLock lock(ctx);
        SrmBinding* b = FindBinding(printerName, ctx);
        if (!b || !b->pfnGetPrinterStatusA) {
            Trace(ctx, "REFRESH:RefreshStatus -EXIT @1-");
            return ANSWER_REFUSED;
        }
        DWORD needed = 0;
        LONG rc = b->pfnGetPrinterStatusA(b->hManager, "RefreshStatus", nullptr, 0, &needed);
        if (needed == 0 || needed > kMaxRefreshListBytes ||
            (rc != 0 && rc != SRM_E_MORE_DATA && rc != SRM_E_NO_BUFFER)) {
            Trace(ctx, "REFRESH:RefreshStatus -EXIT @2-");
            return ANSWER_REFUSED;
        }
        // One byte more keeps the list terminated whatever the manager wrote.
        HeapBlock text(MemAlloc(needed + 1));
        if (!text.p) return ANSWER_REFUSED;
        char* list = static_cast<char*>(text.p);
        memset(list, 0, needed + 1);
        DWORD got = 0;
        if (b->pfnGetPrinterStatusA(b->hManager, "RefreshStatus", list, needed, &got) != 0) {
            Trace(ctx, "REFRESH:RefreshStatus -EXIT @3-");
            return ANSWER_REFUSED;
        }
        if (TraceOn(ctx, TRC_GETDATA)) {
            TraceWriteRaw(ctx, "                    REFRESH:Refresh detail [");
            TraceWriteRaw(ctx, list);
            TraceWriteRaw(ctx, "]\r\n");
        }
        classes = GetRefreshClasses(list, b, ctx);
        if (classes == 0) {
            Trace(ctx, "REFRESH:RefreshStatus  --EXIT @4--");
            return ANSWER_REFUSED;
        }
        if (classes == 0x10) {
            SendExtStatus(ctx);
            Trace(ctx, "REFRESH:RefreshStatus  --END(PrinterExtStatus only)--");
            return ANSWER_OK;
        }
    }
    if ((classes & 0x3) && !(classes & 0x4) && (ctx->status & ST_THREAD_ALIVE)) {
        // The refresh thread delivers these at its next cycle.
        Trace(ctx, "REFRESH:RefreshStatus -EXIT @5-");
        return ANSWER_REFUSED;
    }
    if (!Idle(ctx)) {
        Trace(ctx, "REFRESH:RefreshStatus -EXIT @6-");
        return ANSWER_REFUSED;
    }
    SpoolerRightGuard right(ctx);
    if (!right.held()) {
        Trace(ctx, "REFRESH:RefreshStatus -EXIT @7-");
        return ANSWER_BUSY;
    }
    if (!Idle(ctx)) {
        Trace(ctx, "REFRESH:RefreshStatus -END(Printing)-");
        return ANSWER_REFUSED;
    }
    // Requests in a burst share one poll.
    DWORD now = GetTickCount();
    if (now - ctx->dwLastRefreshPoll > kRefreshPollGuardMs) {
        CheckDeviceId(ctx);
        ctx->dwLastRefreshPoll = GetTickCount();
    }
    if (!(ctx->dwPortStatus & PORTKIND_TCPMON)) {
        Trace(ctx, "REFRESH:RefreshStatus CP@2");
        right.release();
        Trace(ctx, "REFRESH:RefreshStatus  --END--");
    } else {
        right.release();
        Trace(ctx, "REFRESH:RefreshStatus  --END(STD BIDI)--");
    }
    return ANSWER_OK;
}

BOOL WINAPI PJLMonGetPrinterDataFromPort(HANDLE hPort, DWORD ControlID, LPWSTR pValueName, LPWSTR lpInBuffer,
                                         DWORD cbInBuffer, LPWSTR lpOutBuffer, DWORD cbOutBuffer,
                                         LPDWORD lpcbReturned) {
    PortOperation op(hPort);
    PortContext* ctx = op.get();
    if (!ctx) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    bool trace = TraceOn(ctx, TRC_GETDATA);
    if (trace) {
        TraceWrite(ctx, "VJLMON:PJLMonGetPrinterDataFromPort -START-");
        if (ControlID == 0) {
            char name[256] = "";
            if (pValueName &&
                WideCharToMultiByte(CP_ACP, 0, pValueName, -1, name, sizeof(name), nullptr, nullptr) <= 0)
                name[0] = '\0';
            TraceF(ctx, "       ValueName[%s]", name);
        } else {
            TraceF(ctx, "       ValueName[%d]", ControlID);
        }
    }
    if (ControlID != 0)
        return ControlRequest(ctx, ControlID, pValueName, lpInBuffer, cbInBuffer, lpOutBuffer, cbOutBuffer,
                              lpcbReturned);

    const wchar_t* name = pValueName ? pValueName : L"";
    if (wcscmp(name, kIsWakeup) == 0) {
        Answer(lpOutBuffer, cbOutBuffer, ANSWER_IS_WAKEUP);
        SetReturned(lpcbReturned);
    }
    if (wcsncmp(name, kRefreshPrefix, kRefreshPrefixLen) == 0) {
        StatusClear(ctx, ST_MGR_TERMINATED);
        SetReturned(lpcbReturned);
        name += kRefreshPrefixLen;
        if (HasAnswerRoom(lpOutBuffer, cbOutBuffer)) {
            DWORD answer = (DocOpen(ctx) || ctx->bDocBusy) ? ANSWER_BUSY : RefreshStatus(name, ctx);
            Answer(lpOutBuffer, cbOutBuffer, answer);
        } else {
            SetLastError(ERROR_INSUFFICIENT_BUFFER);
        }
    }
    if (wcscmp(name, kWakeUp) == 0) {
        StatusClear(ctx, ST_MGR_TERMINATED);
        SetReturned(lpcbReturned);
        if (HasAnswerRoom(lpOutBuffer, cbOutBuffer)) {
            DWORD answer = ANSWER_REFUSED;
            bool woken = false;
            {
                // The worker decides to end under the port lock: it sees the
                // wake, or the start below recalls it on its way out.
                PortLock lock(ctx);
                if (!ctx->bWakeUp) {
                    ctx->bWakeUp = 1;
                    StartUstatusThread(ctx);
                    woken = true;
                }
            }
            if (woken) {
                // Other ports have no thread to hold: their bindings are refreshed now.
                if (ctx->dwPortStatus & PORTKIND_OTHER) {
                    RefreshSRMBindings(ctx);
                    ctx->bWakeUp = 0;
                }
                answer = ANSWER_OK;
            }
            Answer(lpOutBuffer, cbOutBuffer, answer);
        } else {
            SetLastError(ERROR_INSUFFICIENT_BUFFER);
        }
    }
    if (wcscmp(name, kStopPolling) == 0) {
        SetReturned(lpcbReturned);
        if (HasAnswerRoom(lpOutBuffer, cbOutBuffer)) {
            DWORD answer = ANSWER_REFUSED;
            if (ctx->bWakeUp) {
                ctx->bWakeUp = 0;
                // The thread ends at its next check instead of after its sleep.
                WakePortWorker(ctx);
                answer = ANSWER_OK;
            }
            Answer(lpOutBuffer, cbOutBuffer, answer);
        } else {
            SetLastError(ERROR_INSUFFICIENT_BUFFER);
        }
    }
    if (wcscmp(name, kSuspend) == 0) {
        SetReturned(lpcbReturned);
        if (HasAnswerRoom(lpOutBuffer, cbOutBuffer)) {
            DWORD answer = ANSWER_REFUSED;
            if (!DocOpen(ctx)) {
                if (ctx->status & ST_THREAD_ALIVE) {
                    ctx->bSuspendReq = 1;
                    WakePortWorker(ctx);
                    WaitForSingleObject(ctx->hRefreshDoneEvent, kSuspendWaitMs);
                }
                answer = ANSWER_OK;
            }
            Answer(lpOutBuffer, cbOutBuffer, answer);
        } else {
            SetLastError(ERROR_INSUFFICIENT_BUFFER);
        }
    }
    // The answer is in the output word; the call itself always fails.
    SetLastError(ERROR_INVALID_PARAMETER);
    if (trace) TraceWrite(ctx, "VJLMON:PJLMonGetPrinterDataFromPort -END-\r\n");
    return FALSE;
}
