// Port sessions: opening and closing a port, the port context's creation
// and destruction, its locks and the spooler-access right.
#include "core/portctx.h"
#include "monitor/port.h"
#include "core/settings.h"
#include "diag/safefile.h"
#include "diag/trace.h"
#include "history/printcheck.h"
#include "pm/forward.h"
#include "state/jobrelease.h"
#include "jobtrack/jobtrack.h"
#include "portinfo/portkind.h"
#include "state/binding.h"
#include "threads/notify.h"
#include "state/statusvar.h"
#include "threads/worker.h"
#include "service/pjmservice.h"

#include <winsock2.h>
#include <cstring>
#include <cwchar>

namespace {

constexpr wchar_t kReservedPortName[] = L"VKxx:";
constexpr char kProductVersion[] = "1.000.000.00";
constexpr char kFileVersion[] = "1.000.003.07";

// Sets PrinterStatus to {0, m, 0} and marks it for publication.
void SetPrinterStatusWords(PortContext* ctx, DWORD m) {
    StatusVariable* row = FindStatusVariable("PrinterStatus", ctx->pVarTable, ctx, TRUE);
    if (!row) return;
    auto* words = static_cast<DWORD*>(row->pValue);
    words[0] = 0;
    words[1] = m;
    words[2] = 0;
    row->bChanged = 1;
}

}  // namespace

// The memory of a context that no session and no thread uses any more.
void FreePortContext(PortContext* ctx) {
    // Every thread that could write a history line has ended by now.
    EndPrintHistory(ctx);
    FreeVarTable(ctx->pVarTable);
    ctx->pVarTable = nullptr;
    FreeJobInfoSlot(ctx);
    MemFree(ctx->pJobInfoSlot);
    while (ctx->pBindList) UnbindSRM(ctx->pBindList, ctx);
    FreeRetiredBindings(ctx, true);
    ReapNotifyThreads(ctx, true);
    if (ctx->hWorkerThread) CloseHandle(ctx->hWorkerThread);
    MemFree(ctx->pszPrinterName);
    MemFree(ctx->pszDocPrinter);
    MemFree(ctx->pSpoolerRight);
    if (ctx->hCloseEvent) CloseHandle(ctx->hCloseEvent);
    if (ctx->hWakeEvent) CloseHandle(ctx->hWakeEvent);
    if (ctx->pJcidList) {
        // Nodes are {next, data}: each owns its data block.
        auto** node = static_cast<void**>(ctx->pJcidList->pFirst);
        while (node) {
            auto** next = static_cast<void**>(node[0]);
            MemFree(node[1]);
            MemFree(node);
            node = next;
        }
        MemFree(ctx->pJcidList);
    }
    if (ctx->pCritSec) {
        DeleteCriticalSection(ctx->pCritSec);
        MemFree(ctx->pCritSec);
        ctx->pCritSec = nullptr;   // the steps below lock nothing any more
    }
    if (ctx->hRefreshDoneEvent) CloseHandle(ctx->hRefreshDoneEvent);
    ctx->cLockDepth = 0;
    ResetTraceSettings(ctx);
    FreeSnmpBuffers(ctx);
    DiscardPending(ctx);
    MemFree(ctx);
}

namespace {

void TraceSettingsBlock(PortContext* ctx) {
    TraceWrite(ctx, "VJLMON:PJLMonOpenPortEx settings -START-");
    char file[MAX_PATH] = {};
    GetModuleFileNameA(hModule, file, MAX_PATH);
    TraceRawF(ctx, "FileName   :%s\r\n", file);
    TraceRawF(ctx, "P Version  :%s\r\n", kProductVersion);
    TraceRawF(ctx, "F Version  :%s\r\n", kFileVersion);
    if (char* printer = WideToAnsiDup(ctx->pszPrinterName)) {
        TraceRawF(ctx, "PrinterName:%s\r\n", printer);
        MemFree(printer);
    }
    if (char* port = WideToAnsiDup(ctx->pszPortName)) {
        TraceRawF(ctx, "PortName   :%s\r\n", port);
        MemFree(port);
    }
    TraceRawF(ctx, "dwPortStatus      [%08x]\r\n", ctx->dwPortStatus);
    TraceRawF(ctx, "Reg reading Step  [%8d]\r\n", ctx->dwRegStep);
    TraceRawF(ctx, "bVariablePolling  [%08x]\r\n", ctx->bVariablePolling);
    TraceRawF(ctx, "dwPollingIntervals[%8d]msec\r\n", ctx->dwPollingIntervals);
    TraceRawF(ctx, "dwSNMPIntervals   [%8d]msec\r\n", ctx->dwSNMPIntervals);
    TraceRawF(ctx, "dwSNMP_PWOFF      [%8d]times\r\n", ctx->dwSNMP_PWOFF);
    TraceRawF(ctx, "dwDevIDLevel      [%8d]times\r\n", ctx->dwDevIDLevel);
    TraceWriteRaw(ctx, "VJLMON:PJLMonOpenPortEx settings --END--\r\n\r\n");
}

}  // namespace

PortContext* FindPort(PortContext* list, const wchar_t* name) {
    if (!name) return nullptr;
    for (PortContext* p = list; p; p = p->pNext)
        if (p->pszPortName && _wcsicmp(p->pszPortName, name) == 0) return p;
    return nullptr;
}

BOOL StopPortThreads(PortContext* ctx, DWORD timeoutMs) {
    StatusSet(ctx, ST_CLOSING);   // nothing starts on the port from here on
    // Set first: it also ends the pauses of a refresh round in flight.
    SetEvent(ctx->hCloseEvent);
    BOOL worker = StopPortWorker(ctx, timeoutMs);
    BOOL notify = StopNotifyThreads(ctx, timeoutMs);
    if (!(worker && notify) && TraceOn(ctx)) TraceWrite(ctx, "VJLMON:StopPortThreads -TIMEOUT-");
    return worker && notify;
}

DWORD WaitSpoolerFunc(PortContext* ctx, HANDLE wake) {
    if (ctx->dwPortStatus & PORTKIND_NETWORK) return 0;
    DWORD rc = AcquireSpoolerRight(ctx->pSpoolerRight, dwSpoolerWaitMs, wake);
    if (rc == WAIT_TIMEOUT && TraceOn(ctx)) TraceWrite(ctx, "-WaitSpoolerFunc() -> TIMEOUT-");
    return rc;
}

void ReleaseSpoolerFunc(PortContext* ctx) {
    if (ctx->dwPortStatus & PORTKIND_NETWORK) return;
    ReleaseSpoolerRight(ctx->pSpoolerRight);
}

PortContext* CreatePortContext(const wchar_t* portName, const wchar_t* printerName) {
    size_t cbName = (wcslen(portName) + 1) * sizeof(wchar_t);
    size_t cb = sizeof(PortContext) + cbName;
    auto* ctx = static_cast<PortContext*>(MemAlloc(cb));
    if (!ctx) return nullptr;

    ctx->fn.cbSize = kMonitor2Size;
    ctx->pszPortName = reinterpret_cast<wchar_t*>(ctx + 1);
    memcpy(ctx->pszPortName, portName, cbName);
    ctx->cb = static_cast<DWORD>(cb);
    ctx->signature = PORTCTX_SIGNATURE;
    if (printerName && *printerName) ctx->pszPrinterName = StrDupW(printerName);

    ctx->status = ST_IDLE;
    ctx->cRefs = 1;   // the session's
    ctx->pSpoolerRight = static_cast<SpoolerRight*>(MemAlloc(sizeof(SpoolerRight)));
    ctx->hCloseEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    ctx->hWakeEvent = CreateEventW(nullptr, FALSE, FALSE, nullptr);
    ctx->dwClosePortTimeout = kDefaultClosePortTimeout;

    ctx->pVarTable = CopyStatusTemplate();
    ctx->pJobInfoSlot = MemAlloc(64);
    ctx->pJcidList = static_cast<JcidList*>(MemAlloc(sizeof(JcidList)));
    ctx->hRefreshDoneEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    if (auto* cs = static_cast<CRITICAL_SECTION*>(MemAlloc(sizeof(CRITICAL_SECTION)))) {
        InitializeCriticalSection(cs);
        ctx->pCritSec = cs;
    }
    // Threads rely on every one of these; a port without them is not opened.
    if (!ctx->pSpoolerRight || !ctx->hCloseEvent || !ctx->hWakeEvent || !ctx->pVarTable || !ctx->pJobInfoSlot ||
        !ctx->pJcidList || !ctx->hRefreshDoneEvent || !ctx->pCritSec) {
        FreePortContext(ctx);
        return nullptr;
    }

    PortContext** tail = &pPortList;
    while (*tail) tail = &(*tail)->pNext;
    *tail = ctx;

    if (FindStatusVariable("PrinterStatus", ctx->pVarTable, ctx, FALSE)) {
        ResetErrVariables(ctx, TRUE);
        UpdateSRM_All(ctx);
    }
    ResetJobStatus(ctx);
    ResetConfigVariables(ctx, TRUE);

    ctx->qwStatusMask[0] = ctx->qwStatusMask[1] = 0;
    // Per-job fields start cleared (zero-filled); the parallel-port mode
    // cache starts as "read it once" with the usual mode.
    ctx->bModeRefresh = 1;
    ctx->wModeCache[0] = 4;
    ctx->wModeCache[1] = 1;

    AllocSnmpBuffers(ctx);
    ReadPollingSettings(ctx);
    ReadTraceSettings(ctx);
    if (ctx->dwTraceRefused) {
        // The trace itself is what was refused: the event log says why.
        char text[160];
        wsprintfA(text, "Trace not written: the trace folder is %s.",
                  PathVerdictText(static_cast<PathVerdict>(ctx->dwTraceRefused)));
        WriteEventLog(text, kEventSourceName, kEventWarning);
    }
    return ctx;
}

BOOL DestroyPortContext(PortContext* ctx) {
    PortContext** link = &pPortList;
    while (*link && *link != ctx) link = &(*link)->pNext;
    if (!*link) return FALSE;
    *link = ctx->pNext;
    ctx->pNext = nullptr;
    // ClosePort has stopped them already (and set ST_CLOSING doing so).
    if (!(ctx->status & ST_CLOSING)) StopPortThreads(ctx, kThreadStopTimeoutMs);
    ReleasePortRef(ctx);
    return TRUE;
}

BOOL WINAPI PJLMonOpenPortEx(HANDLE hMon, HANDLE hMonitorPort, LPWSTR pszPortName, LPWSTR pszPrinterName,
                             PHANDLE pHandle, LPMONITOR2 pMonitor) {
    if (!pszPortName || !pHandle || !pMonitor || !pMonitor->pfnOpenPort) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    // The slots the monitor calls on every job and at close.
    if (!pMonitor->pfnStartDocPort || !pMonitor->pfnWritePort || !pMonitor->pfnEndDocPort || !pMonitor->pfnClosePort) {
        SetLastError(ERROR_INVALID_PRINT_MONITOR);
        return FALSE;
    }
    if (wcscmp(pszPortName, kReservedPortName) == 0) {
        SetLastError(3007);
        return FALSE;
    }
    PortLock global(nullptr);
    if (FindPort(pPortList, pszPortName)) {
        SetLastError(ERROR_BUSY);
        return FALSE;
    }
    bool firstPort = pPortList == nullptr;
    PortContext* ctx = CreatePortContext(pszPortName, pszPrinterName);
    if (!ctx) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return FALSE;
    }
    GetPrintCheckInfo(ctx);

    char printerA[512];
    PortPrinterNameA(ctx, printerA, sizeof(printerA));
    ReadCommunity(printerA, ctx->szCommunity, nullptr);
    if (TraceOn(ctx)) TraceRawF(ctx, "CommunityName = [%s]\r\n", ctx->szCommunity);
    ReadClosePortTimeout(printerA, &ctx->dwClosePortTimeout);
    if (TraceOn(ctx)) TraceRawF(ctx, "ClosePortTimeout = [%d]\r\n", ctx->dwClosePortTimeout);

    if (!pMonitor->pfnOpenPort(hMonitorPort, pszPortName, &ctx->hPort)) {
        DWORD err = GetLastError();
        DestroyPortContext(ctx);
        SetLastError(err);
        return FALSE;
    }
    *pHandle = ctx;
    if (firstPort) {
        WSADATA wsa;
        WSAStartup(MAKEWORD(1, 1), &wsa);
    }
    memcpy(&ctx->fn, pMonitor, kMonitor2Size);
    GetPortKind(ctx);
    SetPrinterExtStatus(ctx);
    SetPrinterStatusWords(ctx, (ctx->dwPortStatus & 0xC) ? 2048 : 1024);
    UpdateSRM_All(ctx);
    SetPortStatusAll(ctx);

    if (TraceOn(ctx)) TraceSettingsBlock(ctx);
    return TRUE;
}

BOOL WINAPI PJLMonClosePort(HANDLE hPort) {
    DWORD start = GetTickCount();
    auto* ctx = static_cast<PortContext*>(hPort);
    if (!ctx) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    // A handle that is not ours is never dereferenced.
    {
        PortLock global(nullptr);
        if (!InPortList(ctx)) return TRUE;
    }

    if (TraceOn(ctx)) TraceWrite(ctx, "VJLMON:PJLMonClosePort -START-");
    ResetPrintCheckInfo(ctx);
    StatusSet(ctx, ST_CLOSING);

    while (ctx->pJobQueueHead && GetTickCount() - start < ctx->dwClosePortTimeout) Sleep(1000);
    if (ctx->pJobQueueHead) {
        if (TraceOn(ctx)) TraceWrite(ctx, "VJLMON:PJLMonClosePort -ClosePortTimeout-");
        DeleteJob(ctx, TRUE);
    }

    // The worker first, then (through the close event) the notification
    // threads; none starts again on a closing port.
    StopPortThreads(ctx, kThreadStopTimeoutMs);
    // A suite request inside the port monitor finishes on an open port.
    WaitPortMonitorUsers(ctx, kThreadStopTimeoutMs);

    {
        PortLock lock(ctx);
        if (ctx->fn.pfnClosePort) ctx->fn.pfnClosePort(ctx->hPort);
    }

    RefreshSRMBindings(ctx);

    StatusVariable* ps = FindStatusVariable("PrinterStatus", ctx->pVarTable, ctx, FALSE);
    if (ps && ps->pValue) {
        SetPrinterStatusWords(ctx, 4096);
        UpdateSRM_All(ctx);
        ResetErrVariables(ctx, TRUE);
        UpdateSRM_All(ctx);
        ResetConfigVariables(ctx, TRUE);
    }
    ctx->dwPortStatus &= ~PORTKIND_BASE;
    SetPrinterExtStatus(ctx);

    if (TraceOn(ctx)) TraceWriteRaw(ctx, "VJLMON:PJLMonClosePort --END--\r\n");

    PortLock global(nullptr);
    DestroyPortContext(ctx);
    if (!pPortList) WSACleanup();
    return TRUE;
}
