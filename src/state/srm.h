// The status report manager library of the suite, as the monitor calls it.
// It is loaded per printer binding at run time and reached only through
// these entry points; it holds named status variables per printer.
//
// Every entry point returns a 32-bit result, 0 for success. Manager handles
// and registrations are 64-bit values that must be kept whole.
#pragma once
#include <windows.h>

typedef ULONGLONG SRMHANDLE;   // manager handle from OpenManagerExW; 0 is never valid
typedef ULONGLONG SRMREG;      // notification registration

// Read the size of a value: with buffer size 0 (or a too small buffer) the
// manager answers one of these and writes the bytes needed.
constexpr LONG SRM_E_MORE_DATA = -33;
constexpr LONG SRM_E_NO_BUFFER = -36;

// Called by the manager for SetNotificationCallbackExA registrations with the
// index of the variable in the registered list.
typedef void(WINAPI* PFN_SrmNotifyCallback)(SRMHANDLE hManager, DWORD dwIndex, LPCSTR pszName, void* pContext);

typedef LONG(WINAPI* PFN_OpenManagerExW)(LPCWSTR pszPrinterName, LPCWSTR pszDeviceName, DWORD dwFlags,
                                         SRMHANDLE* phManager);
typedef LONG(WINAPI* PFN_CloseManager)(SRMHANDLE hManager);
typedef LONG(WINAPI* PFN_GetPrinterStatusA)(SRMHANDLE hManager, LPCSTR pszName, void* pBuffer, DWORD cbBuffer,
                                            DWORD* pcbNeeded);
typedef LONG(WINAPI* PFN_GetPrinterStatusW)(SRMHANDLE hManager, LPCWSTR pszName, void* pBuffer, DWORD cbBuffer,
                                            DWORD* pcbNeeded);
typedef LONG(WINAPI* PFN_SetReqPrinterStatusEventA)(SRMHANDLE hManager, LPCSTR pszNames, HANDLE hEvent,
                                                    SRMREG* pReg);
typedef LONG(WINAPI* PFN_ResSetPrinterStatus)(SRMHANDLE hManager, SRMREG reg, LONG lResult);
typedef LONG(WINAPI* PFN_UpdatePrinterStatusA)(SRMHANDLE hManager, LPCSTR pszName, const void* pValue, DWORD cbValue);
typedef LONG(WINAPI* PFN_SetNotificationEventA)(SRMHANDLE hManager, LPCSTR pszName, HANDLE hEvent, SRMREG* pReg);
// cEvents names separated by ';'; event i is signalled when the i-th name changes.
typedef LONG(WINAPI* PFN_SetNotificationEventExA)(SRMHANDLE hManager, DWORD cEvents, LPCSTR pszNames,
                                                  HANDLE* phEvents, SRMREG* pReg);
typedef LONG(WINAPI* PFN_KillNotificationEvent)(SRMHANDLE hManager, SRMREG reg);
typedef LONG(WINAPI* PFN_SetNotificationCallbackExA)(SRMHANDLE hManager, DWORD cNames, LPCSTR pszNames,
                                                     PFN_SrmNotifyCallback pfnCallback, void* pContext, SRMREG* pReg);
typedef LONG(WINAPI* PFN_KillNotificationCallback)(SRMHANDLE hManager, SRMREG reg);

// Exported names, in the order of the binding record's entry point slots.
constexpr char SZ_OpenManagerExW[] = "OpenManagerExW";
constexpr char SZ_CloseManager[] = "CloseManager";
constexpr char SZ_GetPrinterStatusA[] = "GetPrinterStatusA";
constexpr char SZ_GetPrinterStatusW[] = "GetPrinterStatusW";
constexpr char SZ_SetReqPrinterStatusEventA[] = "SetReqPrinterStatusEventA";
constexpr char SZ_ResSetPrinterStatus[] = "ResSetPrinterStatus";
constexpr char SZ_UpdatePrinterStatusA[] = "UpdatePrinterStatusA";
constexpr char SZ_SetNotificationEventA[] = "SetNotificationEventA";
constexpr char SZ_SetNotificationEventExA[] = "SetNotificationEventExA";
constexpr char SZ_KillNotificationEvent[] = "KillNotificationEvent";
constexpr char SZ_SetNotificationCallbackExA[] = "SetNotificationCallbackExA";
constexpr char SZ_KillNotificationCallback[] = "KillNotificationCallback";

enum SrmEntry {
    SRM_OpenManagerExW,
    SRM_CloseManager,
    SRM_GetPrinterStatusA,
    SRM_GetPrinterStatusW,
    SRM_SetReqPrinterStatusEventA,
    SRM_ResSetPrinterStatus,
    SRM_UpdatePrinterStatusA,
    SRM_SetNotificationEventA,
    SRM_SetNotificationEventExA,
    SRM_KillNotificationEvent,
    SRM_SetNotificationCallbackExA,
    SRM_KillNotificationCallback,
    SRM_ENTRY_COUNT
};

constexpr const char* const g_aszSrmEntryNames[SRM_ENTRY_COUNT] = {
    SZ_OpenManagerExW,          SZ_CloseManager,         SZ_GetPrinterStatusA,
    SZ_GetPrinterStatusW,       SZ_SetReqPrinterStatusEventA, SZ_ResSetPrinterStatus,
    SZ_UpdatePrinterStatusA,    SZ_SetNotificationEventA, SZ_SetNotificationEventExA,
    SZ_KillNotificationEvent,   SZ_SetNotificationCallbackExA, SZ_KillNotificationCallback,
};

// GetProcAddress result to an entry point type (through the generic
// function pointer type, which the compiler accepts without a warning).
template <class PFN>
inline PFN SrmEntryCast(FARPROC pfn) {
    return reinterpret_cast<PFN>(reinterpret_cast<void (*)()>(pfn));
}

// BindSRM_All resolves only the first ten; the callback pair is never used.
constexpr int SRM_ENTRY_COUNT_NO_CALLBACK = SRM_SetNotificationCallbackExA;

constexpr wchar_t SZ_SRM_LIBRARY[] = L"VKJPSRMZ.DLL";
constexpr wchar_t SZ_SRM_DEVICE[] = L"\\\\.\\vjlmon";   // second argument of OpenManagerExW
constexpr DWORD SRM_OPEN_FLAGS = 1;                      // third argument of OpenManagerExW

// The variables the notification thread watches, in event order.
constexpr DWORD SRM_NOTIFY_COUNT = 4;
constexpr char SZ_SRM_NOTIFY_NAMES[] = "Port;PrinterName;TerminateManager;PrinterExtStatus";

constexpr char SZ_SRMVAR_PORT[] = "Port";
constexpr char SZ_SRMVAR_PRINTERNAME[] = "PrinterName";
constexpr char SZ_SRMVAR_TERMINATE[] = "TerminateManager";
constexpr char SZ_SRMVAR_JOBSTATUS[] = "JobStatus";
constexpr char SZ_SRMVAR_REFRESH[] = "RefreshStatus";

// The manager's "Port" value: a word (0: not tied to a port), the port the
// printer prints to, and a second text that is empty while it stays there.
constexpr DWORD SRM_PORT_CCH = 128;
struct SrmPortValue {
    DWORD dwWord;
    WCHAR szPort[SRM_PORT_CCH];
    WCHAR szOther[SRM_PORT_CCH];
};
static_assert(sizeof(SrmPortValue) == 516, "manager Port value is 516 bytes");

constexpr DWORD SRM_PRINTERNAME_CB = 520;   // buffer for the "PrinterName" value
