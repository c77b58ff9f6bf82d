// A job the spooler sends again after the printer lost power in the middle
// of it, and the spooler's view of the current job for the refresh thread.
#include "jobtrack/jobtrack.h"

#include <cstring>

#include "diag/trace.h"
#include "history/printcheck.h"
#include "state/binding.h"
#include "state/jobrelease.h"
#include "state/statusvar.h"

namespace {

// The second sending's delete needs a moment before its data arrives.
constexpr DWORD kResentDeletePauseMs = 1000;

// Status word of the current spooler job through the current binding;
// false when there is no binding, handle, memory or answer.
bool ReadCurrentJobStatus(PortContext* ctx, DWORD* status) {
    // The binding must not be dropped while its handle is in use.
    PortLock lock(ctx);
    SrmBinding* bind = ctx->pCurBind;
    if (!bind || !bind->hPrinter) return false;
    DWORD needed = 0;
    GetJobW(bind->hPrinter, ctx->JobId, 1, nullptr, 0, &needed);
    if (needed < sizeof(JOB_INFO_1W)) return false;
    auto* info = static_cast<JOB_INFO_1W*>(MemAlloc(needed));
    if (!info) return false;
    bool ok = GetJobW(bind->hPrinter, ctx->JobId, 1, reinterpret_cast<BYTE*>(info), needed, &needed) != FALSE;
    if (ok) *status = info->Status;
    MemFree(info);
    return ok;
}

}  // namespace

BOOL DEP_RestartJob_SNMP(PortContext* ctx) {
    const bool trace = TraceOn(ctx, TRC_JOB);
    if (trace) TraceWrite(ctx, "DEPEND_SNMP:DEP_RestartJob_SNMP -START-");
    if (!ctx->szPWOFFJCID[0]) return 0;
    if (trace) {
        TraceRawF(ctx, "DEPEND_SNMP:DEP_RestartJob_SNMP[%s]\r\n", ctx->szPWOFFJCID);
        TraceRawF(ctx, "DEPEND_SNMP:DEP_RestartJob_SNMP[%s]\r\n", ctx->szJCID);
    }
    if (strncmp(ctx->szPWOFFJCID, ctx->szJCID, sizeof(ctx->szPWOFFJCID)) == 0) {
        // "DEPEND_SNMP:DEP_RestartJob_SNMP [電源OFF時の再送ジョブと判定]"
        if (trace)
            TraceWriteRaw(ctx, "DEPEND_SNMP:DEP_RestartJob_SNMP [\x93\x64\x8c\xb9OFF\x8e\x9e\x82\xcc\x8d\xc4\x91\x97"
                               "\x83\x57\x83\x87\x83\x75\x82\xc6\x94\xbb\x92\xe8]\r\n");
        PrnLostChk(ctx, LOST_JOB_SUSPENDED, "JobSuspended");
        {
            PortLock lock(ctx);
            if (ctx->pCurBind && ctx->pCurBind->hPrinter)
                DeleteSpoolerJob(ctx, ctx->pCurBind->hPrinter, ctx->JobId);
        }
        Sleep(kResentDeletePauseMs);
        SysFlagSet(ctx, SYS_RESENT_JOB);
    }
    // A recorded JCID is compared with exactly one following job.
    memset(ctx->szPWOFFJCID, 0, sizeof(ctx->szPWOFFJCID));
    return 1;
}

BOOL WatchSpoolerJob(PortContext* ctx) {
    DWORD status = 0;
    if (!ReadCurrentJobStatus(ctx, &status)) return FALSE;
    SetJobStatusBits(ctx, JOBSTATUS_PAUSED, (status & JOB_STATUS_PAUSED) && (ctx->status & ST_IN_DOC));
    if ((status & JOB_STATUS_DELETING) && TraceOn(ctx)) TraceWrite(ctx, "VJLMON:Job canceled by Spooler @Watch Job");
    return TRUE;
}

BOOL WatchSpoolerJobNW(PortContext* ctx) {
    DWORD status = 0;
    if (!ReadCurrentJobStatus(ctx, &status)) return FALSE;
    if ((status & JOB_STATUS_DELETING) && TraceOn(ctx)) TraceWrite(ctx, "VJLMON:Job canceled by Spooler @Watch Job NW");
    return TRUE;
}
