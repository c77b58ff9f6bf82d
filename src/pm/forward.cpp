#include "pm/forward.h"
#include "diag/trace.h"
#include "portinfo/portkind.h"
#include "state/jobrelease.h"

#include <cstring>

namespace {

wchar_t kOwnDocName[] = L"VJLMON Doc";

// The supported model's capability mask.
constexpr DWORD kModelMaskLow = 0x10000000, kModelMaskHigh = 0x4;

bool UsbPort(const PortContext* ctx) { return IsUsbPort(ctx->pszPortName); }

bool PrefixNoCase(const wchar_t* s, const wchar_t* prefix) {
    return s && _wcsnicmp(s, prefix, wcslen(prefix)) == 0;
}

}  // namespace

DOC_INFO_3W OwnDocInfo = {kOwnDocName, nullptr, nullptr, 0};

// Checked and counted under the port lock, where the close reads the count
// after setting its mark: a use either is counted or sees the mark.
PortMonitorUse::PortMonitorUse(PortContext* ctx) {
    PortLock lock(ctx);
    if (ctx->status & ST_CLOSING) return;
    InterlockedIncrement(&ctx->cPmUsers);
    ctx_ = ctx;
}

PortMonitorUse::~PortMonitorUse() {
    if (ctx_) InterlockedDecrement(&ctx_->cPmUsers);
}

BOOL WaitPortMonitorUsers(PortContext* ctx, DWORD timeoutMs) {
    constexpr DWORD kPollMs = 10;
    const DWORD start = GetTickCount();
    for (;;) {
        {
            PortLock lock(ctx);
            if (ctx->cPmUsers == 0) return TRUE;
        }
        if (GetTickCount() - start >= timeoutMs) return FALSE;
        Sleep(kPollMs);
    }
}

BOOL PMStartDocPort(PortContext* ctx, LPWSTR printerName, DWORD jobId, DWORD level, LPBYTE pDocInfo) {
    if (ctx->dwPortStatus & 0x10) Sleep(100);
    BOOL ok = ctx->fn.pfnStartDocPort(ctx->hPort, printerName, jobId, level, pDocInfo);
    if (UsbPort(ctx)) {
        DWORD err = GetLastError();
        if (ctx->fn.pfnSetPortTimeOuts) {
            COMMTIMEOUTS cto{0xFFFFFFFF, 0xFFFFFFFF, 10, 0, 10000};
            ctx->fn.pfnSetPortTimeOuts(ctx->hPort, &cto, 0);
        }
        SetLastError(err);
    }
    if (!ok && TraceOn(ctx, TRC_PMERROR)) TraceWrite(ctx, "VJLMON:PMStartDocPort -ERROR-");
    return ok;
}

BOOL PMEndDocPort(PortContext* ctx) {
    BOOL ok = ctx->fn.pfnEndDocPort(ctx->hPort);
    DWORD err = GetLastError();
    if (ctx->dwPortStatus & 0x10) Sleep(100);
    if (!ok && TraceOn(ctx, TRC_PMERROR)) TraceWrite(ctx, "VJLMON:PMEndDocPort -ERROR-");
    SetLastError(err);
    return ok;
}

BOOL PMReadPort(PortContext* ctx, BYTE* pBuf, DWORD cb, DWORD* pcbRead) {
    if (!ctx->fn.pfnReadPort) {
        SetLastError(ERROR_NOT_SUPPORTED);
        return FALSE;
    }
    BOOL ok = ctx->fn.pfnReadPort(ctx->hPort, pBuf, cb, pcbRead);
    // USB ports time out a read that found nothing: count it as a full read.
    if (!ok && IsWinXPOrLater() && UsbPort(ctx) && pcbRead && *pcbRead == 0 && GetLastError() == 31) {
        *pcbRead = cb & ~63u;
        SetLastError(0);
        return TRUE;
    }
    if (!ok && TraceOn(ctx, TRC_PMERROR)) {
        DWORD err = GetLastError();
        TraceWrite(ctx, "VJLMON:PMReadPort -ERROR-");
        SetLastError(err);
    }
    return ok;
}

BOOL PMGetPrinterDataFromPort(PortContext* ctx, DWORD controlId, LPWSTR valueName, const void* pIn, DWORD cbIn,
                              void* pOut, DWORD cbOut, DWORD* pcbReturned) {
    bool reset = controlId == IOCTL_PAR_SET_INFO && cbIn == 1 && pIn && *static_cast<const BYTE*>(pIn) == 1;
    if (reset && IsLptPort(ctx->pszPortName)) {
        // A reset loses the IEEE 1284 mode: negotiate compatibility, then the
        // mode the port had, before passing the reset on.
        DWORD got = 0;
        if (ctx->bModeRefresh) {
            WORD mode[2] = {};
            if (PMGetPrinterDataFromPort(ctx, IOCTL_PAR_QUERY_MODE, nullptr, nullptr, 0, mode, 4, &got)) {
                ctx->wModeCache[0] = mode[0];
                ctx->wModeCache[1] = mode[1];
            }
            ctx->bModeRefresh = 0;
        }
        WORD zero[2] = {0, 0}, out[2];
        PMGetPrinterDataFromPort(ctx, IOCTL_PAR_SET_MODE, nullptr, zero, 4, out, 4, &got);
        WORD cached[2] = {ctx->wModeCache[0], ctx->wModeCache[1]};
        PMGetPrinterDataFromPort(ctx, IOCTL_PAR_SET_MODE, nullptr, cached, 4, out, 4, &got);
    }
    if (controlId == IOCTL_DEVICE_ID && (ctx->PortMode & 0x2) && ctx->bDataWritten) {
        if (pcbReturned) *pcbReturned = 1;
        return TRUE;
    }
    if (!ctx->fn.pfnGetPrinterDataFromPort) {
        SetLastError(ERROR_NOT_SUPPORTED);
        return FALSE;
    }
    BOOL ok;
    PortLock lock(ctx);
    if ((controlId == 7 || controlId == IOCTL_PAR_SET_INFO) &&
        ((ctx->qwStatusMask[0] & kModelMaskLow) || (ctx->qwStatusMask[1] & kModelMaskHigh))) {
        ok = ctx->fn.pfnGetPrinterDataFromPort(ctx->hPort, controlId, valueName, static_cast<LPWSTR>(const_cast<void*>(pIn)),
                                               cbIn, static_cast<LPWSTR>(pOut), cbOut, pcbReturned);
        DWORD err = GetLastError();
        DeleteJob(ctx, TRUE);
        SetLastError(err);
    } else if (controlId == IOCTL_DEVICE_ID && UsbPort(ctx) && PrefixNoCase(ctx->pszPortName, L"VEKUSB")) {
        // The maker's USB ports answer with a 2-byte length in front.
        DWORD cbBig = cbOut + 2, got = 0;
        auto* big = static_cast<BYTE*>(MemAlloc(cbBig));
        ok = FALSE;
        if (!big) {
            SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        } else {
            ok = ctx->fn.pfnGetPrinterDataFromPort(ctx->hPort, IOCTL_VEKUSB_DEVICE_ID, valueName,
                                                   static_cast<LPWSTR>(const_cast<void*>(pIn)), cbIn,
                                                   reinterpret_cast<LPWSTR>(big), cbBig, &got);
            if (ok && got >= 3) {
                DWORD n = got - 2;
                if (n > cbOut) n = cbOut;
                if (pOut) memcpy(pOut, big + 2, n);
                if (pcbReturned) *pcbReturned = got - 2;
            } else if (ok) {
                ok = FALSE;
                SetLastError(ERROR_INVALID_DATA);
            }
            DWORD err = GetLastError();
            MemFree(big);
            SetLastError(err);
        }
    } else {
        ok = ctx->fn.pfnGetPrinterDataFromPort(ctx->hPort, controlId, valueName, static_cast<LPWSTR>(const_cast<void*>(pIn)),
                                               cbIn, static_cast<LPWSTR>(pOut), cbOut, pcbReturned);
    }
    lock.unlock();
    if (!ok && TraceOn(ctx, TRC_GETDATA)) {
        DWORD err = GetLastError();
        TraceWrite(ctx, "VJLMON:PMGetPrinterDataFromPort -ERROR-");
        SetLastError(err);
    }
    return ok;
}

BOOL AppendPending(PortContext* ctx, const BYTE* p, DWORD cb) {
    if (!cb) return TRUE;
    PortLock lock(ctx);
    auto* buf = static_cast<BYTE*>(MemAlloc(static_cast<SIZE_T>(ctx->cbPending) + cb));
    if (!buf) return FALSE;
    if (ctx->pPending) memcpy(buf, ctx->pPending, ctx->cbPending);
    memcpy(buf + ctx->cbPending, p, cb);
    // A block being written is its writer's to free.
    if (ctx->pPending != ctx->pPendingWriting) MemFree(ctx->pPending);
    ctx->pPending = buf;
    ctx->cbPending += cb;
    return TRUE;
}

void DropPending(PortContext* ctx, DWORD cb) {
    PortLock lock(ctx);
    if (cb >= ctx->cbPending) {
        DiscardPending(ctx);
        return;
    }
    memmove(ctx->pPending, ctx->pPending + cb, ctx->cbPending - cb);
    ctx->cbPending -= cb;
}

void DiscardPending(PortContext* ctx) {
    PortLock lock(ctx);
    // A block being written is its writer's to free, once the write is over.
    if (ctx->pPendingWriting) ctx->bPendingDiscarded = 1;
    if (ctx->pPending != ctx->pPendingWriting) MemFree(ctx->pPending);
    ctx->pPending = nullptr;
    ctx->cbPending = 0;
}

BOOL OpenOwnDocument(PortContext* ctx) {
    return PMStartDocPort(ctx, ctx->pszPrinterName, 0xFFFFFFFF, 3, reinterpret_cast<LPBYTE>(&OwnDocInfo));
}
