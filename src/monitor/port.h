// Port sessions: OpenPortEx and ClosePort, and the port context's making
// and unmaking behind them.
#pragma once
#include "core/portctx.h"

BOOL WINAPI PJLMonOpenPortEx(HANDLE hMon, HANDLE hMonitorPort, LPWSTR pszPortName, LPWSTR pszPrinterName,
                             PHANDLE pHandle, LPMONITOR2 pMonitor);
BOOL WINAPI PJLMonClosePort(HANDLE hPort);

PortContext* CreatePortContext(const wchar_t* portName, const wchar_t* printerName);
// The memory of a context that no session and no thread uses any more;
// handed down to the last ReleasePortRef.
void FreePortContext(PortContext* ctx);
// Unlinks the context, stops its threads and drops the session's reference;
// the memory goes when the last thread of the port has let go as well.
BOOL DestroyPortContext(PortContext* ctx);
PortContext* FindPort(PortContext* list, const wchar_t* name);

// Stops the worker and every notification thread of a closing port and
// waits for them (each at most timeoutMs); FALSE when one still runs.
BOOL StopPortThreads(PortContext* ctx, DWORD timeoutMs);
