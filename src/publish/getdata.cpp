#include "publish/getdata.h"

// --- Not built yet: the suite's printer-data queries. Until then device
// queries pass straight to the port monitor beneath. ---
BOOL WINAPI PJLMonGetPrinterDataFromPort(HANDLE hPort, DWORD ControlID, LPWSTR pValueName, LPWSTR lpInBuffer,
                                         DWORD cbInBuffer, LPWSTR lpOutBuffer, DWORD cbOutBuffer,
                                         LPDWORD lpcbReturned) {
    auto* ctx = static_cast<PortContext*>(hPort);
    if (!ctx || !ctx->fn.pfnGetPrinterDataFromPort) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    return ctx->fn.pfnGetPrinterDataFromPort(ctx->hPort, ControlID, pValueName, lpInBuffer, cbInBuffer, lpOutBuffer,
                                             cbOutBuffer, lpcbReturned);
}
