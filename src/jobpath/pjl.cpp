#include "jobpath/pjl.h"

#include <objbase.h>

#include <cstring>

#include "diag/trace.h"
#include "jobtrack/jobtrack.h"
#include "pm/forward.h"
#include "portinfo/portkind.h"
#include "send/write.h"
#include "state/jobqueue.h"

// Trace texts in code page 932.
#define PJL_TRC "VJLMON:ParseJobHeader -"
#define PJL_KAISEKI "\x89\xf0\x90\xcd"                     // 解析
#define PJL_SHURYO PJL_KAISEKI "\x8f\x49\x97\xb9"          // 解析終了
static const char kTrcStart[] = PJL_TRC PJL_KAISEKI "\x8a\x4a\x8e\x6e-";      // -解析開始-
static const char kTrcKnown[] = PJL_TRC PJL_SHURYO " @1-";                     // -解析終了 @1-
static const char kTrcShort[] = PJL_TRC PJL_SHURYO " @2-";                     // -解析終了 @2-
static const char kTrcPostScript[] = PJL_TRC PJL_SHURYO " @3-";                // -解析終了 @3-
static const char kTrcOther[] = PJL_TRC PJL_SHURYO " @4-";                     // -解析終了 @4-
static const char kTrcDone[] = PJL_TRC PJL_KAISEKI "\x8a\xae\x97\xb9-";       // -解析完了-
#undef PJL_SHURYO
#undef PJL_KAISEKI
#undef PJL_TRC

namespace {

void LoadScan(PjlScan* scan, const PortContext* ctx) {
    memset(scan, 0, sizeof(*scan));
    scan->dwJobType = ctx->dwJobType;
    memcpy(scan->szJCID, ctx->szJCID, sizeof(scan->szJCID));
    memcpy(scan->szJobJCID, ctx->szJobJCID, sizeof(scan->szJobJCID));
    scan->bEnter = ctx->bEnter;
}

void SaveScan(PortContext* ctx, const PjlScan* scan) {
    ctx->dwJobType = scan->dwJobType;
    memcpy(ctx->szJCID, scan->szJCID, sizeof(ctx->szJCID));
    memcpy(ctx->szJobJCID, scan->szJobJCID, sizeof(ctx->szJobJCID));
    ctx->bEnter = scan->bEnter;
}

// What a job line means for the port beyond its JCID: the header the start
// of job waits for has come, and a job the printer lost may be back.
void JobLineTaken(PjlScan* scan, void* user) {
    auto* ctx = static_cast<PortContext*>(user);
    SaveScan(ctx, scan);
    if (ctx->szJobJCID[0]) StatusClear(ctx, ST_WAIT_JOBHDR);
    if (ctx->dwSysFlag & SYS_RESTART_CHECK) {
        DEP_RestartJob_SNMP(ctx);
        SysFlagClear(ctx, SYS_RESTART_CHECK);
    }
}

void CopyJcid(char* dst, const char* src) {
    size_t n = strnlen(src, kJcidSize - 1);
    memcpy(dst, src, n);
    memset(dst + n, 0, kJcidSize - n);
}

}  // namespace

int ParseJobHeader(PortContext* ctx, const BYTE* pBuf, DWORD cb) {
    if (!ctx) return 0;
    if (TraceOn(ctx)) TraceWrite(ctx, kTrcStart);
    if (!pBuf) cb = 0;

    PjlScan scan;
    LoadScan(&scan, ctx);
    scan.pfnJobLine = JobLineTaken;
    scan.user = ctx;
    PjlScanEnd end = PjlScanHeader(&scan, pBuf, cb);
    SaveScan(ctx, &scan);

    switch (end) {
    case PJL_END_KNOWN:
        if (TraceOn(ctx)) TraceWrite(ctx, kTrcKnown);
        return 0;
    case PJL_END_SHORT:
        if (TraceOn(ctx)) TraceWrite(ctx, kTrcShort);
        break;
    case PJL_END_UEL:
        if (TraceOn(ctx)) {
            TraceRawF(ctx, "       dwJobType:%d\r\n", static_cast<int>(ctx->dwJobType));
            TraceRawF(ctx, "       JCID:%s\r\n", ctx->szJCID);
            TraceRawF(ctx, "       bEnter:%d\r\n", static_cast<int>(ctx->bEnter));
            TraceWrite(ctx, kTrcDone);
        }
        break;
    case PJL_END_POSTSCRIPT:
        if (TraceOn(ctx)) TraceWrite(ctx, kTrcPostScript);
        break;
    case PJL_END_OTHER:
        if (TraceOn(ctx)) TraceWrite(ctx, kTrcOther);
        break;
    }
    return 1;
}

int OnPjlJob(const BYTE* line, PortContext* ctx, DWORD cbLeft) {
    PjlScan scan;
    LoadScan(&scan, ctx);
    scan.pfnJobLine = JobLineTaken;
    scan.user = ctx;
    return PjlOnJob(line, cbLeft, &scan);
}

int OnPjlEnter(const BYTE*, PortContext* ctx) {
    ctx->bEnter = 1;
    return 1;
}

int MakeHostJCID(char* out) {
    char small[255];
    DWORD cch = sizeof(small);
    const char* name = nullptr;
    HeapBlock big;
    if (GetComputerNameA(small, &cch)) {
        name = small;
    } else if (GetLastError() == ERROR_BUFFER_OVERFLOW) {
        // cch now holds the size needed, terminator included.
        big.p = MemAlloc(cch + 1);
        if (big.p && GetComputerNameA(static_cast<char*>(big.p), &cch)) name = static_cast<const char*>(big.p);
    }
    if (!name) cch = 0;
    FormatHostJcid(out, reinterpret_cast<const uint8_t*>(name), cch, GetTickCount());
    return 1;
}

int MakeGuidJCID(char* out) {
    out[0] = '\0';
    GUID g;
    if (FAILED(CoCreateGuid(&g))) return 0;
    FormatGuidJcid(out, g.Data1, g.Data2, g.Data3, g.Data4);
    return 1;
}

void ChooseJobJCID(PortContext* ctx) {
    if (!ctx) return;
    memset(ctx->szJCID, 0, sizeof(ctx->szJCID));
    // Without a GUID the job still gets a JCID of its own.
    if ((ctx->dwPortStatus & (PORTKIND_DPU | PORTKIND_TCPMON)) && MakeGuidJCID(ctx->szJCID)) return;
    MakeHostJCID(ctx->szJCID);
}

int StoreJobJCID(const char* text, DWORD which, PortContext* ctx) {
    if (!text || !ctx) return 0;
    JobQueueEntry* e = ctx->pJobQueueTail;
    if (!e) {
        e = ctx->pJobQueueHead;
        while (e && e->pNext) e = e->pNext;
    }
    if (!e) return 0;
    if (which & JCID_STORE_UID) {
        CopyJcid(e->szUID, text);
        MakeJcidIndex(e->szUIDIndex, e->szUID);
    }
    if (which & JCID_STORE_EOJ) CopyJcid(e->szEOJUID, text);
    return 1;
}

LangHeaderResult SendLanguageHeader(PortContext* ctx, const BYTE* firstBlock, DWORD cb) {
    if (!ctx || (ctx->status & ST_FIRST_WRITE) || ctx->dwEnterLanguage) return LANGHDR_NOT_SENT;
    if (firstBlock && cb >= kUelSize && memcmp(firstBlock, kUel, kUelSize) == 0) {
        StatusSet(ctx, ST_FIRST_WRITE);
        return LANGHDR_NOT_SENT;
    }
    // Sending without the right could mix with the status thread's own sends
    // in the pending buffer. Without it, the spooler sends this block again
    // and the header goes ahead of it then.
    SpoolerRightGuard right(ctx);
    if (!right.held()) {
        if (TraceOn(ctx))
            TraceWrite(ctx, "VJLMON:SendLanguageHeader -END[GetSpoolerAccessRights() -> Error(TIMEOUT)]-");
        return LANGHDR_RETRY;
    }
    // Once per job from here, whatever the send does: a header in the middle
    // of the job's data would be worse than none.
    StatusSet(ctx, ST_FIRST_WRITE);
    HeapBlock buf(MemAlloc(kLanguageHeaderBuffer));
    if (!buf.p) return LANGHDR_NOT_SENT;
    BYTE* hdr = static_cast<BYTE*>(buf.p);
    memcpy(hdr, kUel, kUelSize);
    memcpy(hdr + kUelSize, kPjlEnterLanguage, sizeof(kPjlEnterLanguage) - 1);
    DWORD written = 0;
    return PMSendData(ctx, hdr, kLanguageHeaderSize, &written) ? LANGHDR_SENT : LANGHDR_NOT_SENT;
}
