// Control interface of the test spooler (the fake winspool.drv).
//
// The monitor under test calls the ordinary spooler API; under Wine those
// calls land in our winspool.drv, whose state tests arrange and inspect
// through these functions. Link the `fakespool_ctl` target to call them.
// Every function is thread-safe. Strings are copied; null and "" are kept
// apart where the spooler itself tells them apart (print processor, driver
// monitor name).
#pragma once
#include <windows.h>

#ifdef __cplusplus
extern "C" {
#endif

#ifdef FAKESPOOL_BUILD
#define FAKESPOOL_API __declspec(dllexport)
#else
#define FAKESPOOL_API __declspec(dllimport)
#endif

// Forget every printer, driver, port, job, handle, log, counter and armed
// failure. Handles still open become invalid (and count as leaked until then:
// call FakeSpool_OpenHandleCount before resetting).
FAKESPOOL_API void FakeSpool_Reset(void);

// ---- Configuration -------------------------------------------------------

// Adds or replaces a local printer. printProcessor may be null (reported as a
// null pointer) or "" (reported as an empty string).
FAKESPOOL_API BOOL FakeSpool_AddPrinter(LPCWSTR name, LPCWSTR driverName, LPCWSTR portName,
                                        DWORD attributes, LPCWSTR printProcessor, DWORD status);
FAKESPOOL_API BOOL FakeSpool_RemovePrinter(LPCWSTR name);
FAKESPOOL_API BOOL FakeSpool_SetPrinterStatus(LPCWSTR name, DWORD status);
FAKESPOOL_API BOOL FakeSpool_SetPrinterPort(LPCWSTR name, LPCWSTR portName);

// Adds or replaces a driver (environment "Windows x64", version 3).
// monitorName null gives DRIVER_INFO_3W.pMonitorName == NULL.
FAKESPOOL_API BOOL FakeSpool_AddDriver(LPCWSTR name, LPCWSTR monitorName);

// Monitors that AddMonitorW registered (environment "Windows x64" or none;
// DeleteMonitorW refuses one that a driver names, as the spooler does).
// FakeSpool_AddMonitor registers one directly; FakeSpool_GetMonitor reads back
// the environment and DLL name a monitor was registered with (FALSE: none).
FAKESPOOL_API BOOL FakeSpool_AddMonitor(LPCWSTR name, LPCWSTR environment, LPCWSTR dllName);
FAKESPOOL_API BOOL FakeSpool_GetMonitor(LPCWSTR name, LPWSTR environment, DWORD cchEnvironment, LPWSTR dllName,
                                        DWORD cchDllName);

// Adds or replaces a port, e.g. ("IP_10.0.0.5", "TCPMON.DLL", PORT_TYPE_WRITE|PORT_TYPE_READ, "Standard TCP/IP Port").
FAKESPOOL_API BOOL FakeSpool_AddPort(LPCWSTR name, LPCWSTR monitorName, DWORD portType, LPCWSTR description);
FAKESPOOL_API BOOL FakeSpool_RemovePort(LPCWSTR name);

// XcvDataW answers on a ",XcvPort <port>" handle. The call itself returns TRUE
// and reports xcvStatus in *pdwStatus; with xcvStatus 0 the data are returned.
// FakeSpool_SetXcvIPAddress(port, L"10.0.0.5") is the common case.
FAKESPOOL_API BOOL FakeSpool_SetXcvData(LPCWSTR portName, LPCWSTR dataName, const void* data, DWORD cbData, DWORD xcvStatus);
FAKESPOOL_API BOOL FakeSpool_SetXcvIPAddress(LPCWSTR portName, LPCWSTR address);

// Spooler jobs of a printer, in queue order. jobId 0 picks the next free id;
// the id used is returned (0 on failure: unknown printer or id taken).
FAKESPOOL_API DWORD FakeSpool_AddJob(LPCWSTR printerName, DWORD jobId, DWORD status, LPCWSTR document,
                                     LPCWSTR userName, DWORD totalPages);
FAKESPOOL_API BOOL FakeSpool_RemoveJob(LPCWSTR printerName, DWORD jobId);
FAKESPOOL_API BOOL FakeSpool_SetJobStatus(LPCWSTR printerName, DWORD jobId, DWORD status);
// Status word of a job; FALSE when the job is not (or no longer) queued.
FAKESPOOL_API BOOL FakeSpool_GetJobStatus(LPCWSTR printerName, DWORD jobId, DWORD* pStatus);
FAKESPOOL_API DWORD FakeSpool_JobCount(LPCWSTR printerName);

// How GetJobW answers for one queued job: as the spooler does (normal);
// "no such job" (FALSE, ERROR_INVALID_PARAMETER, as for a job the spooler has
// already let go of, while it stays queued here); or a record whose JobId is 0
// (the spooler gave no job information).
#define FAKESPOOL_JOB_ANSWER_NORMAL  0
#define FAKESPOOL_JOB_ANSWER_NO_JOB  1
#define FAKESPOOL_JOB_ANSWER_ID_ZERO 2
FAKESPOOL_API BOOL FakeSpool_SetJobAnswer(LPCWSTR printerName, DWORD jobId, DWORD answer);

// What SetJobW commands do to the queued job. By default, as the spooler does
// for a printer without PRINTER_ATTRIBUTE_KEEPPRINTEDJOBS, DELETE, CANCEL and
// LAST_PAGE_EJECTED take the job off the queue. With keep set, the job stays
// with JOB_STATUS_DELETING|JOB_STATUS_DELETED or JOB_STATUS_PRINTED|JOB_STATUS_COMPLETE.
FAKESPOOL_API void FakeSpool_KeepFinishedJobs(BOOL keep);

// A caller without administrator rights: OpenPrinterW asking for
// SERVER_ACCESS_ADMINISTER or PRINTER_ACCESS_ADMINISTER, AddMonitorW and
// DeleteMonitorW fail with ERROR_ACCESS_DENIED.
FAKESPOOL_API void FakeSpool_DenyAdminAccess(BOOL deny);

// ---- Failure injection ---------------------------------------------------

// Let `skip` further calls of `function` ("OpenPrinterW", "GetJobW", ...,
// "ImpersonatePrinterClient", "RevertToPrinterSelf") pass, then fail the
// following `count` calls with lastError. count 0 disarms.
FAKESPOOL_API BOOL FakeSpool_InjectFailure(LPCSTR function, DWORD skip, DWORD count, DWORD lastError);
FAKESPOOL_API BOOL FakeSpool_FailNext(LPCSTR function, DWORD count, DWORD lastError);

// ---- Inspection ----------------------------------------------------------

// Calls of one exported spooler function since the last reset (failed ones included).
FAKESPOOL_API DWORD FakeSpool_CallCount(LPCSTR function);
// Handles from OpenPrinterW not yet closed; name null counts all, otherwise
// those opened with exactly this name (case-insensitive).
FAKESPOOL_API DWORD FakeSpool_OpenHandleCount(LPCWSTR name);
// Calls that passed a handle that was never opened or already closed.
FAKESPOOL_API DWORD FakeSpool_BadHandleCount(void);

typedef struct FakeSpoolSetJobRecord {
    DWORD seq;            // order among all logged calls (SetJobW and SetPortW)
    DWORD threadId;
    WCHAR printer[256];   // the handle's printer ("" for a bad handle)
    DWORD jobId;
    DWORD level;
    DWORD command;
    BOOL hasStatus;       // level 1 or 2 with data: status and statusText set
    DWORD status;
    WCHAR statusText[128];
    BOOL result;
    DWORD lastError;      // 0 on success
} FakeSpoolSetJobRecord;

typedef struct FakeSpoolSetPortRecord {
    DWORD seq;
    DWORD threadId;
    WCHAR serverName[64];
    WCHAR portName[256];
    DWORD level;
    DWORD status;         // PORT_INFO_3W.dwStatus
    BOOL hasText;         // pszStatus was non-null
    WCHAR statusText[256];
    DWORD severity;       // PORT_INFO_3W.dwSeverity
    BOOL result;
    DWORD lastError;
} FakeSpoolSetPortRecord;

// Copy up to maxRecords log entries (oldest first) and return how many there are in all.
FAKESPOOL_API DWORD FakeSpool_GetSetJobLog(FakeSpoolSetJobRecord* records, DWORD maxRecords);
FAKESPOOL_API DWORD FakeSpool_GetSetPortLog(FakeSpoolSetPortRecord* records, DWORD maxRecords);
FAKESPOOL_API void FakeSpool_ClearLogs(void);

// The port status last set by SetPortW (all zero and "" when never set).
FAKESPOOL_API BOOL FakeSpool_GetPortStatus(LPCWSTR portName, DWORD* pStatus, DWORD* pSeverity,
                                           LPWSTR text, DWORD cchText);

// Calls of ImpersonatePrinterClient and RevertToPrinterSelf (through spoolss.dll or winspool.drv).
FAKESPOOL_API void FakeSpool_GetImpersonationCounts(DWORD* pImpersonate, DWORD* pRevert);

// Used by the spoolss.dll double to share this module's state.
FAKESPOOL_API BOOL FakeSpool_NoteImpersonate(HANDLE hToken);
FAKESPOOL_API HANDLE FakeSpool_NoteRevert(void);

#ifdef __cplusplus
}

// Convenience for C++ tests.
#include <vector>
inline std::vector<FakeSpoolSetJobRecord> FakeSpoolSetJobLog() {
    std::vector<FakeSpoolSetJobRecord> v(FakeSpool_GetSetJobLog(nullptr, 0));
    DWORD n = FakeSpool_GetSetJobLog(v.data(), (DWORD)v.size());
    if (n < v.size()) v.resize(n);
    return v;
}
inline std::vector<FakeSpoolSetPortRecord> FakeSpoolSetPortLog() {
    std::vector<FakeSpoolSetPortRecord> v(FakeSpool_GetSetPortLog(nullptr, 0));
    DWORD n = FakeSpool_GetSetPortLog(v.data(), (DWORD)v.size());
    if (n < v.size()) v.resize(n);
    return v;
}
// Job ids that got JOB_CONTROL_LAST_PAGE_EJECTED, in call order.
inline std::vector<DWORD> FakeSpoolEjectedJobs() {
    std::vector<DWORD> ids;
    for (const auto& r : FakeSpoolSetJobLog())
        if (r.command == 7) ids.push_back(r.jobId);
    return ids;
}
// Polls cond every 5 ms until it holds; false after timeoutMs.
template <class Cond>
bool FakeSpoolWaitUntil(Cond cond, DWORD timeoutMs) {
    ULONGLONG end = GetTickCount64() + timeoutMs;
    for (;;) {
        if (cond()) return true;
        if (GetTickCount64() >= end) return false;
        Sleep(5);
    }
}
// Waits for a successful SetJobW of this job with this command.
inline bool FakeSpoolWaitForSetJob(DWORD jobId, DWORD command, DWORD timeoutMs) {
    return FakeSpoolWaitUntil([&] {
        for (const auto& r : FakeSpoolSetJobLog())
            if (r.jobId == jobId && r.command == command && r.result) return true;
        return false;
    }, timeoutMs);
}
#endif
