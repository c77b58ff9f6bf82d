#include "jobpath/docport.h"

// --- Not built yet: start of job, write path, end of job and read path.
// Until then every document call passes straight to the port monitor. ---

namespace {
PortContext* Ctx(HANDLE h) {
    auto* ctx = static_cast<PortContext*>(h);
    if (!ctx) SetLastError(ERROR_INVALID_PARAMETER);
    return ctx;
}
}  // namespace

BOOL WINAPI PJLMonStartDocPort(HANDLE hPort, LPWSTR pPrinterName, DWORD JobId, DWORD Level, LPBYTE pDocInfo) {
    PortContext* ctx = Ctx(hPort);
    if (!ctx) return FALSE;
    ctx->JobId = JobId;
    BOOL ok = ctx->fn.pfnStartDocPort(ctx->hPort, pPrinterName, JobId, Level, pDocInfo);
    if (ok) ctx->status |= ST_IN_DOC | ST_PM_DOC;
    return ok;
}

BOOL WINAPI PJLMonWritePort(HANDLE hPort, LPBYTE pBuffer, DWORD cbBuf, LPDWORD pcbWritten) {
    PortContext* ctx = Ctx(hPort);
    if (!ctx) return FALSE;
    return ctx->fn.pfnWritePort(ctx->hPort, pBuffer, cbBuf, pcbWritten);
}

BOOL WINAPI PJLMonReadPort(HANDLE hPort, LPBYTE pBuffer, DWORD cbBuffer, LPDWORD pcbRead) {
    PortContext* ctx = Ctx(hPort);
    if (!ctx) return FALSE;
    return ctx->fn.pfnReadPort ? ctx->fn.pfnReadPort(ctx->hPort, pBuffer, cbBuffer, pcbRead) : FALSE;
}

BOOL WINAPI PJLMonEndDocPort(HANDLE hPort) {
    PortContext* ctx = Ctx(hPort);
    if (!ctx) return FALSE;
    BOOL ok = ctx->fn.pfnEndDocPort(ctx->hPort);
    ctx->status &= ~(ST_IN_DOC | ST_PM_DOC);
    ctx->status |= ST_IDLE;
    return ok;
}
