// Control interface of the test status report manager (the VKJPSRMZ.DLL of
// the bench).
//
// The monitor loads VKJPSRMZ.DLL by name; a test that links `srmdouble_ctl`
// has the same module loaded already, so the monitor and the test share one
// state. Printers are keyed by the name given to OpenManagerExW (without
// regard to case); several handles may be open on one printer. Values are
// byte strings: GetPrinterStatusA and GetPrinterStatusW return the same
// bytes, only the variable name argument differs. Variable names are compared
// exactly. Every function is thread-safe.
//
// A printer comes into being on first mention (a control call or an open)
// with these values: "Port" 516 zero bytes, "PrinterName" its name as wide
// text, spelt as at that first mention (spell it as the spooler does, or the
// monitor takes it for a rename), "TerminateManager" and "JobStatus" a zero word, "RefreshStatus" ""
// (one zero byte).
#pragma once
#include <windows.h>

#ifdef __cplusplus
extern "C" {
#endif

#ifdef SRMDOUBLE_BUILD
#define SRMDOUBLE_API __declspec(dllexport)
#else
#define SRMDOUBLE_API __declspec(dllimport)
#endif

// Results of the double besides 0, -33 and -36 (see publish/srm.h).
#define SRMDOUBLE_E_INVALID_ARG (-1)      // null or malformed argument
#define SRMDOUBLE_E_NOT_FOUND (-2)        // no such variable / registration
#define SRMDOUBLE_E_INVALID_HANDLE (-6)   // handle never opened or closed
#define SRMDOUBLE_E_REFUSED (-10)         // OpenManagerExW refused (SrmDouble_SetOpenFailure)

// With this environment variable set to a non-empty value when the library
// is loaded, its entry code refuses the load, so LoadLibraryW fails as for a
// missing manager. Useful only to tests that do not link `srmdouble_ctl`.
#define SRMDOUBLE_REFUSE_LOAD_ENV L"SRMDOUBLE_REFUSE_LOAD"

// Forget every printer, value, handle, registration, log, counter and armed
// failure. Duplicated event handles are closed.
SRMDOUBLE_API void SrmDouble_Reset(void);

// ---- Values --------------------------------------------------------------

// Sets a value as the manager itself would: the events registered for it on
// that printer are signalled when the bytes differ from the old value (or
// the value is new). cb 0 stores an empty value.
SRMDOUBLE_API BOOL SrmDouble_SetValue(LPCWSTR printer, LPCSTR name, const void* data, DWORD cb);
SRMDOUBLE_API BOOL SrmDouble_SetDword(LPCWSTR printer, LPCSTR name, DWORD value);
// Stored with the terminating zero.
SRMDOUBLE_API BOOL SrmDouble_SetTextA(LPCWSTR printer, LPCSTR name, LPCSTR text);
SRMDOUBLE_API BOOL SrmDouble_SetTextW(LPCWSTR printer, LPCSTR name, LPCWSTR text);
// "Port": the word, then both texts cut to 127 characters, zero-padded (516 bytes).
SRMDOUBLE_API BOOL SrmDouble_SetPort(LPCWSTR printer, DWORD word, LPCWSTR port, LPCWSTR other);
// Removes a value; reads then fail with SRMDOUBLE_E_NOT_FOUND. No signal.
SRMDOUBLE_API BOOL SrmDouble_RemoveValue(LPCWSTR printer, LPCSTR name);
// Signals the events registered for a variable without changing it.
SRMDOUBLE_API DWORD SrmDouble_Notify(LPCWSTR printer, LPCSTR name);

// Copies the current value (up to cbBuf bytes) and writes its size to
// *pcbValue. FALSE when the printer or the value does not exist.
SRMDOUBLE_API BOOL SrmDouble_GetValue(LPCWSTR printer, LPCSTR name, void* buf, DWORD cbBuf, DWORD* pcbValue);

// ---- Failures ------------------------------------------------------------

// Makes OpenManagerExW refuse a printer (printer null: every printer, the
// manager is unavailable). result non-zero: that result and handle 0;
// result 0: success with handle 0. fail FALSE lifts the refusal (printer
// null lifts the global one only).
SRMDOUBLE_API BOOL SrmDouble_SetOpenFailure(LPCWSTR printer, BOOL fail, LONG result);

// Lets `skip` further calls of the entry point (exported name, e.g.
// "GetPrinterStatusA") pass, then fails the following `count` calls with
// `result` (non-zero). A failed call changes nothing and writes no output
// except a zero handle or registration. count 0 disarms.
SRMDOUBLE_API BOOL SrmDouble_InjectFailure(LPCSTR entry, DWORD skip, DWORD count, LONG result);
SRMDOUBLE_API BOOL SrmDouble_FailNext(LPCSTR entry, DWORD count, LONG result);

// Makes every call of the entry point sleep `ms` milliseconds before it takes
// the lock (0: no delay), to widen race windows in the caller.
SRMDOUBLE_API BOOL SrmDouble_SetDelay(LPCSTR entry, DWORD ms);

// ---- Inspection ----------------------------------------------------------

// Calls of one entry point since the last reset, failed ones included.
SRMDOUBLE_API DWORD SrmDouble_CallCount(LPCSTR entry);
// Waits until the entry point has been called at least `count` times since
// the reset (e.g. the notification thread's SetNotificationEventExA);
// FALSE on time-out.
SRMDOUBLE_API BOOL SrmDouble_WaitForCalls(LPCSTR entry, DWORD count, DWORD timeoutMs);
// Open manager handles; printer null counts all.
SRMDOUBLE_API DWORD SrmDouble_OpenHandleCount(LPCWSTR printer);
// Live registrations (event, request and callback kinds); printer null counts all.
SRMDOUBLE_API DWORD SrmDouble_RegistrationCount(LPCWSTR printer);
// Registrations that were still live when their handle was closed.
SRMDOUBLE_API DWORD SrmDouble_DroppedRegistrationCount(void);
// Calls that passed a handle never opened or already closed, or a
// registration that does not belong to the handle.
SRMDOUBLE_API DWORD SrmDouble_BadHandleCount(void);

#define SRMDOUBLE_MAX_LOGGED_VALUE 2048

typedef struct SrmDoubleUpdateRecord {
    DWORD seq;              // order among all entry point calls since the reset
    DWORD threadId;
    WCHAR printer[256];     // printer of the handle ("" for a bad handle)
    ULONGLONG handle;
    CHAR name[64];          // variable name (cut to 63 characters)
    DWORD cbValue;          // size as passed
    BOOL truncated;         // value longer than SRMDOUBLE_MAX_LOGGED_VALUE
    BYTE value[SRMDOUBLE_MAX_LOGGED_VALUE];   // the first bytes of the value as passed
    LONG result;
} SrmDoubleUpdateRecord;

typedef struct SrmDoubleOpenRecord {
    DWORD seq;
    DWORD threadId;
    WCHAR printer[256];
    WCHAR device[64];
    DWORD flags;
    LONG result;
    ULONGLONG handle;       // as returned (0 on failure)
} SrmDoubleOpenRecord;

// Copy up to maxRecords entries (oldest first); return how many there are.
SRMDOUBLE_API DWORD SrmDouble_GetUpdateLog(SrmDoubleUpdateRecord* records, DWORD maxRecords);
SRMDOUBLE_API DWORD SrmDouble_GetOpenLog(SrmDoubleOpenRecord* records, DWORD maxRecords);
SRMDOUBLE_API void SrmDouble_ClearLogs(void);

#ifdef __cplusplus
}
#endif
