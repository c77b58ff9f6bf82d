#include "publish/getdata.h"

// --- Not built yet: the suite's printer-data queries. Until then device
// queries pass straight to the port monitor beneath. ---
BOOL WINAPI PJLMonGetPrinterDataFromPort(HANDLE hPort, DWORD ControlID, LPWSTR pValueName, LPWSTR lpInBuffer,
                                         DWORD cbInBuffer, LPWSTR lpOutBuffer, DWORD cbOutBuffer,
                                         LPDWORD lpcbReturned) {
    PortContext* ctx = PortFromHandle(hPort);
    if (!ctx) return FALSE;
    if (!ctx->fn.pfnGetPrinterDataFromPort) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    // Device queries to the port monitor are made under the port lock.
    PortLock lock(ctx);
    return ctx->fn.pfnGetPrinterDataFromPort(ctx->hPort, ControlID, pValueName, lpInBuffer, cbInBuffer, lpOutBuffer,
                                             cbOutBuffer, lpcbReturned);
}
