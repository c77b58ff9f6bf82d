#include "jobpath/forward.h"
#include "diag/trace.h"
#include "jobtrack/jobcancel.h"
#include "portinfo/portkind.h"
#include "status/devcheck.h"

#include <cstring>

namespace {

wchar_t kOwnDocName[] = L"VJLMON Doc";

// The supported model's capability mask.
constexpr DWORD kModelMaskLow = 0x10000000, kModelMaskHigh = 0x4;

bool UsbPort(const PortContext* ctx) { return IsUsbPort(ctx->pszPortName); }

bool PrefixNoCase(const wchar_t* s, const wchar_t* prefix) {
    return s && _wcsnicmp(s, prefix, wcslen(prefix)) == 0;
}

// Writes through PMWritePort until at least one byte went, at most 50 times;
// stops as soon as *abandon is set (the bytes were discarded meanwhile).
BOOL WriteWithRetries(PortContext* ctx, const BYTE* p, DWORD cb, DWORD* pWritten, DWORD* pError,
                      const volatile DWORD* abandon = nullptr) {
    *pWritten = 0;
    *pError = 0;
    for (int attempt = 0; attempt < 50; ++attempt) {
        if (attempt) Sleep(1000);
        if (abandon && *abandon) return FALSE;
        DWORD w = 0;
        BOOL ok = PMWritePort(ctx, p, cb, &w);
        *pError = ok ? 0 : GetLastError();
        if (!ok && UsbPort(ctx)) return FALSE;
        if (w) {
            *pWritten = w;
            return ok;
        }
    }
    return FALSE;
}

// The pending bytes stay in the context while a write sends them (others
// still see data pending) but belong to that write, which gives the spooler
// right away meanwhile: an append elsewhere copies them into a new block, a
// discard only marks them, and the writer frees the block once the port
// monitor has given the call back.
class PendingWrite {
public:
    explicit PendingWrite(PortContext* ctx) : ctx_(ctx) {
        PortLock lock(ctx_);
        if (ctx_->pPendingWriting) {
            busy_ = ctx_->cbPending != 0;
            return;
        }
        if (!ctx_->pPending || !ctx_->cbPending) return;
        block_ = ctx_->pPending;
        cb_ = ctx_->cbPending;
        ctx_->pPendingWriting = block_;
        ctx_->bPendingDiscarded = 0;
    }
    ~PendingWrite() { Done(0); }
    PendingWrite(const PendingWrite&) = delete;
    PendingWrite& operator=(const PendingWrite&) = delete;

    const BYTE* block() const { return block_; }
    DWORD size() const { return cb_; }
    // Another write is sending the pending bytes: they do not go twice.
    bool busy() const { return busy_; }
    const volatile DWORD* discarded() const { return &ctx_->bPendingDiscarded; }

    // Gives the block back with the count the port monitor took.
    void Done(DWORD written) {
        if (!block_) return;
        PortLock lock(ctx_);
        ctx_->pPendingWriting = nullptr;
        if (ctx_->bPendingDiscarded) {
            ctx_->bPendingDiscarded = 0;
            MemFree(block_);
        } else {
            // The context's block still starts with these bytes: an append
            // may have copied them into a bigger one.
            if (ctx_->pPending != block_) MemFree(block_);
            DropPending(ctx_, written);
        }
        block_ = nullptr;
    }

private:
    PortContext* ctx_;
    BYTE* block_ = nullptr;
    DWORD cb_ = 0;
    bool busy_ = false;
};

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

BOOL PMWritePort(PortContext* ctx, const BYTE* pBuf, DWORD cb, DWORD* pcbWritten) {
    ctx->dwLastWriteError = 0;
    ctx->bWriteFailed = 0;
    if (!CheckDeviceIdOnWrite(ctx)) {
        *pcbWritten = 0;
        ctx->bWriteFailed = 1;
        if (TraceOn(ctx, TRC_WRITE)) TraceWrite(ctx, "VJLMON:PMWritePort -ERROR-");
        return TRUE;
    }
    // Others may use the spooler while the write blocks. Only a right this
    // thread holds is given back and taken again: a caller outside a
    // document step must not come out of the write owning it.
    bool held = !(ctx->dwPortStatus & 0x40) && ReleaseSpoolerRight(ctx->pSpoolerRight);
    BOOL ok = ctx->fn.pfnWritePort(ctx->hPort, const_cast<BYTE*>(pBuf), cb, pcbWritten);
    DWORD err = GetLastError();
    if (held)
        for (int i = 0; i < 3; ++i)
            if (WaitSpoolerFunc(ctx) != WAIT_TIMEOUT) break;

    if (!ok && UsbPort(ctx)) {
        ctx->bWriteFailed = 1;
        ctx->dwLastWriteError = err;
        if (IsWinXPOrLater() && (ctx->status & ST_IN_DOC) && err == ERROR_CANCELLED && !(ctx->status & ST_NO_ANSWER))
            DeleteJob(ctx, FALSE);
    }
    if (!ok && TraceOn(ctx, TRC_WRITE)) TraceWrite(ctx, "VJLMON:PMWritePort -ERROR-");
    if (ctx->pCurBind && (ctx->PortMode & 0x2) && (ctx->status & ST_IN_DOC) &&
        ((pcbWritten && *pcbWritten) || err == 1460))
        ctx->bDataWritten = 1;
    SetLastError(err);
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

BOOL PMSendData(PortContext* ctx, const BYTE* pBuf, DWORD cb, DWORD* pcbWritten) {
    *pcbWritten = 0;
    bool opened = false;
    if (!(ctx->status & ST_PM_DOC)) {
        if (!OpenOwnDocument(ctx)) return FALSE;
        StatusSet(ctx, ST_PM_DOC);
        opened = true;
    }
    BOOL result = TRUE;
    DWORD error = 0;
    if (ctx->cbPending) {
        PendingWrite pending(ctx);
        if (pending.busy()) {
            result = FALSE;
            error = ERROR_BUSY;
        } else if (pending.block()) {
            DWORD w = 0;
            BOOL ok = WriteWithRetries(ctx, pending.block(), pending.size(), &w, &error, pending.discarded());
            pending.Done(w);
            if (!w || (!ok && UsbPort(ctx))) {
                result = FALSE;
            } else if (w < pending.size()) {
                result = FALSE;
                error = 0;
            }
        }
    }
    if (result && pBuf && cb) {
        DWORD w = 0;
        BOOL ok = WriteWithRetries(ctx, pBuf, cb, &w, &error);
        if (w && (ok || !UsbPort(ctx))) {
            if (w < cb) AppendPending(ctx, pBuf + w, cb - w);
            *pcbWritten = w;
            error = 0;
        } else {
            result = FALSE;
        }
    }
    if (opened) {
        PMEndDocPort(ctx);
        StatusClear(ctx, ST_PM_DOC);
    }
    SetLastError(error);
    return result;
}
