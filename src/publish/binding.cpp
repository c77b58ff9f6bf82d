#include "publish/binding.h"

// --- Not built yet: manager bindings and their notification threads. ---

BOOL UnbindSRM(SrmBinding* bind, PortContext* ctx) {  // placeholder: unlink and free only
    if (!bind || !ctx) return FALSE;
    SrmBinding** link = &ctx->pBindList;
    while (*link && *link != bind) link = &(*link)->pNext;
    if (!*link) return FALSE;
    *link = bind->pNext;
    if (ctx->pCurBind == bind) ctx->pCurBind = nullptr;
    MemFree(bind->pszPrinterName);
    MemFree(bind);
    return TRUE;
}

BOOL RefreshSRMBindings(PortContext* ctx) { return ctx ? TRUE : FALSE; }  // placeholder
