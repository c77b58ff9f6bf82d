// The port context: one zero-filled heap record per open port, passed to
// every port operation. Its fields come in one block per folder that owns
// them (sets them and keeps their rules); other folders may read them.
#pragma once
#include "core/globals.h"
#include "core/pollrecord.h"
#include "core/spoolright.h"

constexpr DWORD PORTCTX_SIGNATURE = 0x4F50;

// status bits
constexpr DWORD ST_IN_DOC          = 0x00000001;
constexpr DWORD ST_THREAD_RUN      = 0x00000002;
constexpr DWORD ST_THREAD_ALIVE    = 0x00000004;
constexpr DWORD ST_FIRST_WRITE     = 0x00000010;
constexpr DWORD ST_WAIT_JOBHDR     = 0x00000020;
constexpr DWORD ST_PM_DOC          = 0x00000040;
constexpr DWORD ST_MODEL_CONFIRMED = 0x00000080;
constexpr DWORD ST_CANCEL_REQ      = 0x00000200;
constexpr DWORD ST_NULL_DOC        = 0x00001000;
constexpr DWORD ST_NO_ANSWER       = 0x00002000;
constexpr DWORD ST_IDLE            = 0x00008000;
constexpr DWORD ST_JOB_LOST        = 0x00020000;
constexpr DWORD ST_JOB_DELETED     = 0x00040000;
constexpr DWORD ST_JOB_DELETING    = 0x00100000;
constexpr DWORD ST_CANCEL_SENT     = 0x00800000;
constexpr DWORD ST_MGR_TERMINATED  = 0x04000000;
constexpr DWORD ST_NO_JOB_INFO     = 0x10000000;   // the spooler gave no job information
constexpr DWORD ST_CLOSING         = 0x40000000;

// dwSysFlag bits
constexpr DWORD SYS_DATA_SENT      = 0x00000001;
constexpr DWORD SYS_RESENT_JOB     = 0x10000000;
constexpr DWORD SYS_PWOFF_JCID     = 0x40000000;
constexpr DWORD SYS_PRINTER_RESET  = 0x80000000;

struct StatusVariable;
struct SrmBinding;
struct JobQueueEntry;
struct NotifyThread;

struct JcidList {
    DWORD count;
    void* pFirst;
};

struct PortContext {
    // --- core/: the port session ---
    DWORD signature;
    DWORD cb;
    PortContext* pNext;
    wchar_t* pszPortName;
    volatile DWORD status;
    wchar_t* pszPrinterName;
    DWORD JobId;
    HANDLE hPort;
    DWORD dwPortStatus;
    SpoolerRight* pSpoolerRight;     // the spooler-access right
    HANDLE hCloseEvent;
    MONITOR2 fn;                     // only the first 160 bytes are copied
    volatile DWORD PortMode;         // changed with PortModeSet/PortModeClear only
    CRITICAL_SECTION* pCritSec;
    LONG cLockDepth;
    volatile DWORD dwSysFlag;        // changed with SysFlagSet/SysFlagClear only
    // The session and every thread started on the port hold a reference;
    // the last one to let go frees the context.
    volatile LONG cRefs;

    // --- core/: port settings ---
    char szCommunity[32];
    DWORD dwClosePortTimeout;
    DWORD bVariablePolling;
    DWORD dwPollingIntervals;
    DWORD dwDevIDLevel;
    DWORD dwSNMPIntervals;
    DWORD dwSNMP_PWOFF;
    DWORD dwRegStep;

    // --- diag/: trace log ---
    DWORD bTraceOn;
    DWORD dwTraceMask;
    DWORD dwTraceSize;
    DWORD dwTraceHistory;
    DWORD bTraceSecInit;
    SECURITY_DESCRIPTOR TraceSecDesc;
    DWORD cbTraceFile;
    wchar_t* pszTraceFolder;
    wchar_t* pszTraceFile;
    DWORD dwTraceRefused;            // why the trace folder was not used (0: it was)

    // --- portinfo/: port kind and printer address ---
    char* szPrinterAddress;          // 256 bytes
    char* szOidText;                 // 256 bytes
    char* szMibText;                 // 256 bytes

    // --- service/: job management service link ---
    DWORD bPJMService;

    // --- state/: status store, manager bindings, job queue and its release ---
    SrmBinding* pBindList;
    SrmBinding* pCurBind;
    JobQueueEntry* pJobQueueHead;
    JobQueueEntry* pJobQueueTail;
    StatusVariable* pVarTable;
    JcidList* pJcidList;
    DWORD cLastPageEjected;
    DWORD dwPortSeverity;            // severity last given to the spooler's port status
    SrmBinding* pRetiredBinds;       // dropped bindings whose jobs are still queued (port lock)
    // From the current job's entry into the queue until EndDocPort pays
    // cLastPageEjected: a job released meanwhile is owed, not notified.
    DWORD bPayAtEndDoc;
    // The monitor deleted the open document's job at the spooler: that was
    // its release, and nothing owed to it is paid.
    DWORD bDeleteSent;
    // The open document's job left the queue with its LAST_PAGE_EJECTED (the
    // printer finished it first): nothing owed to it is paid either.
    DWORD bEjectSent;

    // --- history/: print history and lost-job check ---
    DWORD dwPrnOrdChk;
    DWORD dwPrnLostChk;
    char szHistoryDir[256];
    char szHistoryFile[256];
    HANDLE hHistoryFile;
    DWORD dwHistoryLines;
    SYSTEMTIME stHistoryDate;
    SRWLOCK srwHistory;              // one history line at a time; all-zero is its initial state

    // --- pm/: calls into the port monitor, pending data ---
    DWORD cbPending;
    BYTE* pPending;
    // The pending block a write is sending from, and whether a discard came
    // meanwhile: that writer frees the block (both under the port lock).
    BYTE* pPendingWriting;
    volatile DWORD bPendingDiscarded;
    DWORD bModeRefresh;
    WORD wModeCache[2];
    volatile LONG cPmUsers;          // suite requests inside the port monitor; ClosePort waits for them

    // --- jobtrack/: jobs on the printer by JCID ---
    void* pJobInfoSlot;              // 64-byte staging record
    DWORD dwJcidFailCount;           // JCID index lookups in a row that found another job's row
    DWORD dwLastPageCount;           // printer page count last added into PrintingJobInfo

    // --- status/: device poll and interpretation ---
    DWORD qwStatusMask[2];           // low half, high half
    PollRecord Poll;                 // raw values of the last poll
    char szPWOFFJCID[81];            // JCID outstanding when the printer was found switched off
    DWORD dwAlertDetail[12];         // detail words of the alerts last interpreted
    DWORD dwIdleCheckCount;          // interpretations in a row: jobs queued, printer idle

    // --- send/: writes behind the write path's poll ---
    DWORD dwLastWriteError;
    DWORD bWriteFailed;
    DWORD bDataWritten;

    // --- threads/: worker slot, refresh, notification and waiting-job threads ---
    HANDLE volatile hWakeEvent;
    HANDLE hRefreshDoneEvent;
    // The port's worker (waiting-job or refresh thread), kept so that
    // stopping it can wait on it; null when none was started since the last
    // reap. hWakeEvent lives as long as the context.
    HANDLE hWorkerThread;
    // The worker's way out, under the port lock: it has decided to end
    // (bWorkerEnding); a starter that came after that (pfnWorkerRecall) has
    // it run that procedure instead of ending; the procedure it runs now.
    DWORD bWorkerEnding;
    LPTHREAD_START_ROUTINE pfnWorkerRecall;
    LPTHREAD_START_ROUTINE pfnWorker;
    // Documents started on the port, and their count when the worker
    // decided to end: a later one's state is not the worker's to reset.
    volatile LONG cDocStarts;
    LONG cDocStartsAtEnding;
    DWORD bWaitThreadStarted;
    volatile LONG cNotifyThreads;    // notification threads not yet ended
    NotifyThread* pNotifyThreads;    // notification threads not yet reaped (port lock)
    DWORD bSuspendReq;               // a "Suspend" request is pending (refresh thread, queries)
    DWORD bSendUstatusOff;           // the worker sends the status-off sequence as it ends
    DWORD bWakeUp;                   // a "Wake Up" request holds the thread
    DWORD dwRefreshCount;            // pass counter 0..2; bindings refreshed at 0
    DWORD dwDevIdCount;              // cycles since the last device poll
    DWORD bOwnPmDoc;                 // the status read opened its own document
    DWORD dwLastRefreshPoll;         // tick count of the last device poll a refresh request made

    // --- jobpath/: document calls and PJL header ---
    LONG dwJobType;                  // 0 not parsed, 1 PostScript, 2 PJL with JCID, -1 other
    char szJCID[81];
    char szJobJCID[81];
    DWORD bEnter;
    DWORD dwEnterLanguage;
    DWORD bDocBusy;
    DWORD bJobStarted;
    DWORD bWriteSeen;
    BYTE abTail[81];
    DWORD bTailHeld;
    DWORD cbTail;                    // bytes of abTail the tail-holding write holds
    DWORD bDocEnded;
    // The printer the open document was started for (heap copy). Its job is
    // released through a handle of that printer even when the port's
    // printer name has moved on to another printer of the port.
    wchar_t* pszDocPrinter;

    // The port name copy follows the record (pszPortName points at it).
};

// The status word is changed by the spooler's threads and the port's worker
// threads at once: every change is one atomic operation.
inline void StatusSet(PortContext* ctx, DWORD bits) {
    InterlockedOr(reinterpret_cast<volatile LONG*>(&ctx->status), static_cast<LONG>(bits));
}
inline void StatusClear(PortContext* ctx, DWORD bits) {
    InterlockedAnd(reinterpret_cast<volatile LONG*>(&ctx->status), static_cast<LONG>(~bits));
}
// Sets the bits and tells whether they were all set already: of threads
// racing to enter a state, exactly one sees false.
inline bool StatusTestAndSet(PortContext* ctx, DWORD bits) {
    LONG before = InterlockedOr(reinterpret_cast<volatile LONG*>(&ctx->status), static_cast<LONG>(bits));
    return (static_cast<DWORD>(before) & bits) == bits;
}
// dwSysFlag and PortMode are shared the same way.
inline void SysFlagSet(PortContext* ctx, DWORD bits) {
    InterlockedOr(reinterpret_cast<volatile LONG*>(&ctx->dwSysFlag), static_cast<LONG>(bits));
}
inline void SysFlagClear(PortContext* ctx, DWORD bits) {
    InterlockedAnd(reinterpret_cast<volatile LONG*>(&ctx->dwSysFlag), static_cast<LONG>(~bits));
}
inline void PortModeSet(PortContext* ctx, DWORD bits) {
    InterlockedOr(reinterpret_cast<volatile LONG*>(&ctx->PortMode), static_cast<LONG>(bits));
}
inline void PortModeClear(PortContext* ctx, DWORD bits) {
    InterlockedAnd(reinterpret_cast<volatile LONG*>(&ctx->PortMode), static_cast<LONG>(~bits));
}

// The context behind a handle the spooler passed, with a reference for the
// caller to drop, or null (last error 87) when it is not an open port of
// this monitor.
PortContext* PortFromHandle(HANDLE h);

// A thread started on the port holds a reference until its very last act.
void AddPortRef(PortContext* ctx);
void ReleasePortRef(PortContext* ctx);
// What the last ReleasePortRef calls to free the context (set at load).
void SetPortContextFree(void (*freeContext)(PortContext*));
// Whether the context is on the port list; under the global lock.
bool InPortList(PortContext* ctx);

// A port operation's hold on its context, from PortFromHandle until the
// operation returns: a ClosePort meanwhile leaves the freeing to it. The
// last error survives the release (the spooler reads it afterwards).
class PortOperation {
public:
    explicit PortOperation(HANDLE h) : ctx_(PortFromHandle(h)) {}
    ~PortOperation() {
        if (!ctx_) return;
        DWORD err = GetLastError();
        ReleasePortRef(ctx_);
        SetLastError(err);
    }
    PortContext* get() const { return ctx_; }
    PortOperation(const PortOperation&) = delete;
    PortOperation& operator=(const PortOperation&) = delete;
private:
    PortContext* ctx_;
};

// Longest wait for a port thread to end once asked to: a round may be
// waiting for the spooler-access right (30 s) when the request comes.
constexpr DWORD kThreadStopTimeoutMs = 35000;

// One wait for the port's spooler-access right (dwSpoolerWaitMs); with
// `wake`, WAIT_OBJECT_0 + 1 as soon as that event is signalled.
DWORD WaitSpoolerFunc(PortContext* ctx, HANDLE wake = nullptr);
void ReleaseSpoolerFunc(PortContext* ctx);

// Takes the port's spooler-access right for a scope and gives it back on
// every exit path, keeping the thread's last error (the spooler reads it
// after the operation returns). held() says whether the wait succeeded.
class SpoolerRightGuard {
public:
    explicit SpoolerRightGuard(PortContext* ctx) : ctx_(ctx) { acquire(); }
    ~SpoolerRightGuard() { release(); }
    DWORD acquire() {
        if (held_) return WAIT_OBJECT_0;
        rc_ = WaitSpoolerFunc(ctx_);
        held_ = rc_ == WAIT_OBJECT_0 || rc_ == WAIT_ABANDONED;
        return rc_;
    }
    void release() {
        if (!held_) return;
        held_ = false;
        DWORD err = GetLastError();
        ReleaseSpoolerFunc(ctx_);
        SetLastError(err);
    }
    bool held() const { return held_; }
    DWORD result() const { return rc_; }
    SpoolerRightGuard(const SpoolerRightGuard&) = delete;
    SpoolerRightGuard& operator=(const SpoolerRightGuard&) = delete;
private:
    PortContext* ctx_;
    DWORD rc_ = WAIT_TIMEOUT;
    bool held_ = false;
};

// Printer name of the port in the system code page; empty when there is none.
void PortPrinterNameA(const PortContext* ctx, char* out, size_t cch);
