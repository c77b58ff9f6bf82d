// Cancelling the current job on the printer: its job control object set to
// cancel, with the device poll between attempts.
#include "jobpath/jobcancel.h"

#include <cstdio>

#include "diag/trace.h"
#include "history/printcheck.h"
#include "jobtrack/jobtrack.h"
#include "portinfo/portkind.h"
#include "snmp/snmp.h"
#include "state/jobqueue.h"
#include "state/jobrelease.h"
#include "state/statusvar.h"
#include "status/devpoll.h"

namespace {

// The printer's job control object; 1414 cancels the job.
constexpr char kOidJobControlFmt[] = "1.3.6.1.4.1.253.8.76.3.2.1.1.1.%s";
constexpr LONG kJobControlCancel = 1414;

constexpr DWORD kCancelSettleMs = 2000;     // before the first attempt and after the last
constexpr DWORD kCancelRetryMs = 1000;      // before the re-poll of a failed attempt
constexpr int kCancelAttempts = 3;

bool PrinterGone(const PortContext* ctx) { return (ctx->status & (ST_NO_ANSWER | ST_JOB_LOST)) != 0; }

}  // namespace

BOOL DEP_CancelJob_SNMP(PortContext* ctx) {
    const bool trace = TraceOn(ctx, TRC_JOB);
    if (trace) TraceWrite(ctx, "DEPEND_SNMP:DEP_CancelJob_SNMP -START-");
    JobQueueEntry* tail = ctx->pJobQueueTail;
    if (!tail) return FALSE;
    BOOL result = FALSE;
    if (!GetPrinterIPAddress(ctx, ctx->pszPortName)) {
        result = FALSE;
    } else if (!tail->szUIDIndex[0]) {
        // "DEPEND_SNMP:CheckJCID_SNMP JCID未解析"
        if (trace) TraceWrite(ctx, "DEPEND_SNMP:CheckJCID_SNMP JCID\x96\xa2\x89\xf0\x90\xcd");
    } else if (!tail->szFWID[0] && !GetAndCheckJCID(ctx, tail)) {
        if (trace) TraceWriteRaw(ctx, "DEPEND_SNMP:DEP_CancelJob_SNMP CP@2\r\n");
    } else {
        char oid[256];
        snprintf(oid, sizeof(oid), kOidJobControlFmt, tail->szFWID);
        LONG value = kJobControlCancel;
        result = SnmpSetInteger(ctx->szPrinterAddress, &value, oid, ctx->szCommunity) ? TRUE : FALSE;
        if (trace) {
            TraceWriteRaw(ctx, "DEPEND_SNMP:DEP_CancelJob_SNMP CP@1\r\n");
            TraceWriteRaw(ctx, "DEPEND_SNMP:DEP_CancelJob_SNMP CP@2\r\n");
        }
    }
    if (trace)
        TraceWriteRaw(ctx, result ? "DEPEND_SNMP:DEP_CancelJob_SNMP -SUCCESS-\r\n"
                                  : "DEPEND_SNMP:DEP_CancelJob_SNMP - FALSE -\r\n");
    return result;
}

BOOL JobCancel(PortContext* ctx, BOOL setJobStatus) {
    if (!ctx) return FALSE;
    const bool trace = TraceOn(ctx, TRC_JOB);
    if (trace) TraceWrite(ctx, "VJLMON:JobCancel -- START --");
    if (setJobStatus) SetJobStatusBits(ctx, JOBSTATUS_DELETING, TRUE);
    bool done = false;
    if (PrinterGone(ctx)) {
        if (trace) TraceWrite(ctx, "VJLMON:JobCancel [EXIT @PWOFF or OPP]");
        done = true;
    } else {
        // The printer needs a moment to file the job before it can cancel it,
        // and another to act on the cancel before the queue is emptied.
        Sleep(kCancelSettleMs);
        for (int attempt = 0; attempt < kCancelAttempts && !done; ++attempt) {
            if (DEP_CancelJob_SNMP(ctx)) {
                done = true;
                break;
            }
            if (trace) TraceWrite(ctx, "VJLMON:JobCancel [SNMP send again]");
            Sleep(kCancelRetryMs);
            CheckDeviceId_SNMP(ctx);
            if (PrinterGone(ctx)) done = true;
        }
        Sleep(kCancelSettleMs);
    }
    StatusSet(ctx, ST_CANCEL_REQ | ST_CANCEL_SENT);
    if (trace) TraceWrite(ctx, done ? "VJLMON:JobCancel -- SUCCESS --" : "VJLMON:JobCancel --  FALSE  --");
    OutPrnHist_JobStatus(ctx, ctx->JobId, "Cancel");
    return done ? TRUE : FALSE;
}
