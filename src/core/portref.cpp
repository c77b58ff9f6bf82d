// The port lock, the port list's membership and a port's references: what
// every layer uses of a port's life. Freeing the context at its last
// reference touches every layer's part of it; the library entry hands that
// step down.
#include "core/globals.h"
#include "core/portctx.h"

namespace {

void (*pfnFreePortContext)(PortContext*) = nullptr;

}  // namespace

void SetPortContextFree(void (*freeContext)(PortContext*)) { pfnFreePortContext = freeContext; }

bool InPortList(PortContext* ctx) {
    for (PortContext* p = pPortList; p; p = p->pNext)
        if (p == ctx) return true;
    return false;
}

void LockPort(PortContext* ctx) {
    if (!ctx) {
        EnterCriticalSection(&csGlobal);
        InterlockedIncrement(&cGlobalLock);
        return;
    }
    if (!ctx->pCritSec) return;
    EnterCriticalSection(ctx->pCritSec);
    ++ctx->cLockDepth;
}

void UnlockPort(PortContext* ctx) {
    if (!ctx) {
        InterlockedDecrement(&cGlobalLock);
        LeaveCriticalSection(&csGlobal);
        return;
    }
    if (!ctx->pCritSec) return;
    --ctx->cLockDepth;
    LeaveCriticalSection(ctx->pCritSec);
}

PortContext* PortFromHandle(HANDLE h) {
    auto* ctx = static_cast<PortContext*>(h);
    if (ctx) {
        // A handle that is not ours is never dereferenced; the reference is
        // taken before a ClosePort can unlink the context.
        PortLock global(nullptr);
        if (!InPortList(ctx) || ctx->signature != PORTCTX_SIGNATURE)
            ctx = nullptr;
        else
            AddPortRef(ctx);
    }
    if (!ctx) SetLastError(ERROR_INVALID_PARAMETER);
    return ctx;
}

void AddPortRef(PortContext* ctx) { InterlockedIncrement(&ctx->cRefs); }

void ReleasePortRef(PortContext* ctx) {
    if (InterlockedDecrement(&ctx->cRefs) == 0 && pfnFreePortContext) pfnFreePortContext(ctx);
}

void PortPrinterNameA(const PortContext* ctx, char* out, size_t cch) {
    out[0] = '\0';
    if (!ctx->pszPrinterName) return;
    if (WideCharToMultiByte(CP_ACP, 0, ctx->pszPrinterName, -1, out, static_cast<int>(cch), nullptr, nullptr) <= 0)
        out[0] = '\0';
}
