// Status report manager bindings: one per printer on the port.
#pragma once
#include "monitor/portctx.h"

constexpr DWORD BF_SENT = 0x1;
constexpr DWORD BF_SUPPRESSED = 0x2;
constexpr DWORD BF_SEEN = 0x10000;

struct SrmBinding {
    wchar_t* pszPrinterName;
    HMODULE hSrmLib;
    ULONGLONG hManager;
    HANDLE hPrinter;
    // Entry points of the manager library (null when not resolved).
    FARPROC pfnOpenManagerExW;
    FARPROC pfnCloseManager;
    FARPROC pfnGetPrinterStatusA;
    FARPROC pfnGetPrinterStatusW;
    FARPROC pfnSetReqPrinterStatusEventA;
    FARPROC pfnResSetPrinterStatus;
    FARPROC pfnUpdatePrinterStatusA;
    FARPROC pfnSetNotificationEventA;
    FARPROC pfnSetNotificationEventExA;
    FARPROC pfnKillNotificationEvent;
    FARPROC pfnSetNotificationCallbackExA;
    FARPROC pfnKillNotificationCallback;
    DWORD dwNotifyThreadId;
    HANDLE hUnbindEvent;
    HANDLE hPrinterReady;
    DWORD dwFlags;
    DWORD qwModelMask[2];
    SrmBinding* pNext;
};

BOOL UnbindSRM(SrmBinding* bind, PortContext* ctx);
BOOL RefreshSRMBindings(PortContext* ctx);
