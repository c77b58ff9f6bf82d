#pragma once
#include "core/portctx.h"

BOOL WINAPI PJLMonGetPrinterDataFromPort(HANDLE hPort, DWORD ControlID, LPWSTR pValueName, LPWSTR lpInBuffer,
                                         DWORD cbInBuffer, LPWSTR lpOutBuffer, DWORD cbOutBuffer,
                                         LPDWORD lpcbReturned);

struct SrmBinding;

// A cancel on USB offers the job's last bytes again after each pause, for at
// most the limit in all (tests shorten both).
constexpr DWORD kDefaultResendPauseMs = 4000;
constexpr DWORD kDefaultResendLimitMs = 60000;
extern volatile DWORD dwResendPauseMs;
extern volatile DWORD dwResendLimitMs;

// Refreshes the variables the printer's manager lists under "RefreshStatus":
// 0, -19 (refused) or -38 (busy), as the suite reads them.
DWORD RefreshStatus(const wchar_t* printerName, PortContext* ctx);
// The refresh classes of a ';'-separated list of variable names; the text is
// changed while it is read and given back as it was.
DWORD GetRefreshClasses(char* text, SrmBinding* bind, PortContext* ctx);
