#pragma once
#include "monitor/portctx.h"

BOOL WINAPI PJLMonGetPrinterDataFromPort(HANDLE hPort, DWORD ControlID, LPWSTR pValueName, LPWSTR lpInBuffer,
                                         DWORD cbInBuffer, LPWSTR lpOutBuffer, DWORD cbOutBuffer,
                                         LPDWORD lpcbReturned);

struct SrmBinding;

// Refreshes the variables the printer's manager lists under "RefreshStatus":
// 0, -19 (refused) or -38 (busy), as the suite reads them.
DWORD RefreshStatus(const wchar_t* printerName, PortContext* ctx);
// The refresh classes of a ';'-separated list of variable names; the text is
// changed while it is read and given back as it was.
DWORD GetRefreshClasses(char* text, SrmBinding* bind, PortContext* ctx);
