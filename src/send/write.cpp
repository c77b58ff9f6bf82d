#include "send/write.h"
#include "diag/trace.h"
#include "pm/forward.h"
#include "portinfo/portkind.h"
#include "state/jobrelease.h"
#include "status/devcheck.h"

namespace {

bool UsbPort(const PortContext* ctx) { return IsUsbPort(ctx->pszPortName); }

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
