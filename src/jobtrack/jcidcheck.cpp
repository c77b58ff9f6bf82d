// Following the port's queued jobs in the printer's job table by their JCID:
// the index check, the full walk of the table, the printing test of the
// status interpretation, and the PrintingJobInfo notices they give.
//
// SNMP requests are made without the port lock; the step that acts on an
// answer takes it and first makes sure the entry is still queued, since the
// document path or a deletion may have taken it off meanwhile.
#include "jobtrack/jobtrack.h"

#include <cstdio>
#include <cstring>

#include "diag/trace.h"
#include "history/printcheck.h"
#include "portinfo/portkind.h"
#include "snmp/snmp.h"
#include "state/binding.h"
#include "state/bintables.h"
#include "state/jobqueue.h"
#include "state/jobrelease.h"
#include "state/statusvar.h"

namespace {

constexpr char kOidJcidColumn[] = "1.3.6.1.4.1.253.8.59.6.1.1.3";
constexpr char kOidJcidMap[] = "1.3.6.1.4.1.253.8.59.8.1.1.2";
constexpr char kFmtState[] = "1.3.6.1.4.1.253.8.59.6.1.1.9.%s";
constexpr char kFmtReason[] = "1.3.6.1.4.1.253.8.59.6.1.1.10.%s";
constexpr char kFmtPages[] = "1.3.6.1.4.1.253.8.59.16.1.1.5.%s";
// Where a column-3 identifier names its column, and where its row begins.
constexpr size_t kColumnAt = 27;
constexpr size_t kRowAt = 29;
constexpr size_t kMinJcidMatch = 10;
constexpr DWORD kMapLookupPauseMs = 1000;
// Walks end here whatever the printer answers: more rows than the printer's
// job table holds (32) and than a mapping walk meets for one JCID.
constexpr DWORD kMaxWalkRows = 64;
constexpr DWORD kMaxJobsPerCheck = 256;

constexpr DWORD JOB_STATE_CREATING = 3;
constexpr DWORD JOB_STATE_PROCESSING = 7;
constexpr DWORD JOB_STATE_PAUSED = 13;
constexpr DWORD JOB_STATE_TERMINATING = 14;
constexpr DWORD JOB_STATE_COMPLETED = 17;

constexpr DWORD JOB_REASON_CANCELED_BY_USER = 0x80;
constexpr DWORD JOB_REASON_ABORT_BY_SYSTEM = 0x200;

// PrintingJobInfo flags of a start notice.
constexpr DWORD kStartNoticeFlags = VF_JOB_FINISHED | VF_KEEP_VALUE;

struct StateText {
    DWORD state;
    const char* text;
};
constexpr StateText kStateTexts[] = {
    {2, "Status:unknown\r\n"},     {3, "Status:Creating\r\n"},  {6, "Status:Pending\r\n"},
    {7, "Status:Processing\r\n"},  {8, "Status:Interrupted\r\n"}, {11, "Status:Retained\r\n"},
    {12, "Status:Held\r\n"},       {13, "Status:Paused\r\n"},   {14, "Status:Terminating\r\n"},
    {17, "Status:Completed\r\n"},
};
struct ReasonText {
    DWORD bit;
    const char* text;
};
constexpr ReasonText kReasonTexts[] = {
    {0x10, "Reason:SuccessfulCompletion\r\n"}, {0x20, "Reason:CompletedWithWarning\r\n"},
    {0x40, "Reason:CompletedWithError\r\n"},   {0x80, "Reason:CanceledByUser\r\n"},
    {0x100, "Reason:CanceledByOperator\r\n"},  {0x200, "Reason:AbortBySystem\r\n"},
};
constexpr char kStars[] = "***************************************\r\n";

bool TraceJob(const PortContext* ctx) { return TraceOn(ctx, TRC_JOB); }

// Work buffers of one walk: the identifier asked with, the one returned and
// the value (the refresh thread's stack is small).
struct WalkBuffers {
    char asked[SNMP_TEXT];
    char oid[SNMP_TEXT];
    char value[SNMP_TEXT];
};

// One get-next of a text that moved on: false when the request failed, the
// printer returned no name, or a name not after the one asked (an error
// answer carries the request's name back).
bool NextText(PortContext* ctx, WalkBuffers* w) {
    strcpy(w->asked, w->oid);
    memset(w->value, 0, sizeof(w->value));
    if (!SnmpGetNextString(ctx->szPrinterAddress, w->value, w->oid, ctx->szCommunity) || !w->oid[0]) return false;
    return OidAdvances(w->asked, w->oid);
}

LONG GetRowInteger(PortContext* ctx, const char* fmt, const char* row, BOOL* ok) {
    char oid[SNMP_TEXT];
    snprintf(oid, sizeof(oid), fmt, row);
    LONG v = 0;
    *ok = SnmpGetInteger(ctx->szPrinterAddress, &v, oid, ctx->szCommunity);
    return *ok ? v : 0;
}

struct RowValues {
    DWORD state = 0, reason = 0, pages = 0;
};

// The three integers of a job row, one request after the other; a failed
// request leaves its value 0. The result is that of the last request.
BOOL ReadRow(PortContext* ctx, const char* row, RowValues* out) {
    BOOL ok = FALSE;
    out->state = static_cast<DWORD>(GetRowInteger(ctx, kFmtState, row, &ok));
    out->reason = static_cast<DWORD>(GetRowInteger(ctx, kFmtReason, row, &ok));
    out->pages = static_cast<DWORD>(GetRowInteger(ctx, kFmtPages, row, &ok));
    return ok;
}

bool IsQueued(const PortContext* ctx, const JobQueueEntry* e) {
    for (const JobQueueEntry* q = ctx->pJobQueueHead; q; q = q->pNext)
        if (q == e) return true;
    return false;
}

StatusVariable* JobInfoVar(PortContext* ctx) {
    return LookupStatusVariable("PrintingJobInfo", ctx->pVarTable, ctx);
}

JobInfoSlot* Slot(PortContext* ctx) { return static_cast<JobInfoSlot*>(ctx->pJobInfoSlot); }

// Puts a zero-filled value of the variable's size in the staging record.
bool PrepareNotice(PortContext* ctx, StatusVariable* var, DWORD flags) {
    JobInfoSlot* slot = Slot(ctx);
    if (!slot) return false;
    MemFree(slot->pValue);
    slot->pValue = nullptr;
    slot->cbValue = 0;
    DWORD size = var->cbValue;
    if (size < kJobVarSecondOffset + sizeof(DWORD)) return false;
    slot->pValue = MemAlloc(size);
    if (!slot->pValue) return false;
    slot->cbValue = size;
    slot->dwFlags = flags;
    return true;
}

DWORD* VarWord(StatusVariable* var, DWORD offset) {
    return reinterpret_cast<DWORD*>(static_cast<BYTE*>(var->pValue) + offset);
}

void TraceRow(PortContext* ctx, const char* idLine, const RowValues& v) {
    TraceWriteRaw(ctx, kStars);
    TraceWriteRaw(ctx, idLine);
    TraceRawF(ctx, "Page  [%03d]\r\n", v.pages);
    TraceRawF(ctx, "Status[%08x]\r\nReason[%08x]\r\n", v.state, v.reason);
    bool named = false;
    for (const StateText& s : kStateTexts)
        if (s.state == v.state) {
            TraceWriteRaw(ctx, s.text);
            named = true;
        }
    if (!named) TraceRawF(ctx, "%d\r\n", v.state);
    for (const ReasonText& r : kReasonTexts)
        if (v.reason & r.bit) TraceWriteRaw(ctx, r.text);
    TraceRawF(ctx, "%s\r\n", kStars);
}

bool PrinterDone(DWORD state, DWORD flags) {
    return state == JOB_STATE_TERMINATING || (state == JOB_STATE_COMPLETED && (flags & JOBF_DOC_ENDED));
}

// The end notice of a finished job: its publication takes the job off the
// queue with its one LAST_PAGE_EJECTED. Should no notice go out (no value to
// end, no memory), the job is let go here all the same.
void EndFinishedJob(PortContext* ctx, JobQueueEntry* e) {
    const DWORD jobId = e->dwJobId;
    if (EndJobInfo(ctx)) InstallJobInfo(ctx, jobId);
    UpdateSRM_All(ctx);
    if (!IsQueued(ctx, e)) return;
    if (e == ctx->pJobQueueHead) {
        OutJobQueue(ctx);
        return;
    }
    ReleaseQueuedJob(ctx, e, "VJLMON:SetJob[LAST_PAGE_EJECTED @5(%d)]");
    DropJobEntry(ctx, jobId);
}

enum class Step { Next, Stop };

// Acts on what the printer reports of one queued job; called with the port
// lock held and the entry queued.
Step JobStep(PortContext* ctx, JobQueueEntry* e, const char* idLine, const RowValues& v) {
    if (TraceJob(ctx)) TraceRow(ctx, idLine, v);

    if (v.reason & JOB_REASON_ABORT_BY_SYSTEM) {
        const char* uid = e->szStartedUID[0] ? e->szStartedUID : e->szUID;
        memcpy(ctx->szPWOFFJCID, uid, sizeof(ctx->szPWOFFJCID));
        ctx->szPWOFFJCID[sizeof(ctx->szPWOFFJCID) - 1] = '\0';
        if (TraceJob(ctx)) TraceRawF(ctx, "szPWOFFJCID[%s]\r\n", ctx->szPWOFFJCID);
        JobFlagSet(e, JOBF_ABORTED);
        StatusSet(ctx, ST_JOB_LOST);
        return Step::Stop;
    }
    if (v.reason & JOB_REASON_CANCELED_BY_USER) {
        // Checked once per job; a job cancelled at the printer is let go once
        // the printer is done with it, like any other.
        if (!(e->dwJobFlags & JOBF_LOST_CHECKED)) {
            JobFlagSet(e, JOBF_LOST_CHECKED);
            if (!(ctx->status & (ST_CANCEL_REQ | ST_CANCEL_SENT))) PrnLostChk(ctx, LOST_JOB_SUSPENDED, "JobSuspended");
        }
        if (PrinterDone(v.state, e->dwJobFlags)) {
            JobFlagSet(e, JOBF_FINISHED);
            EndFinishedJob(ctx, e);
        }
        return Step::Next;
    }

    if (!(e->dwJobFlags & JOBF_SEEN_PROCESSING)) {
        JobFlagSet(e, JOBF_SEEN_PROCESSING);
        BeginJobInfo(ctx);
        if (e->szUID[0]) memcpy(e->szStartedUID, e->szUID, sizeof(e->szStartedUID));
        memset(e->szUID, 0, sizeof(e->szUID));
        InstallJobInfo(ctx, e->dwJobId);
        if (TraceJob(ctx)) TraceRawF(ctx, "szStartedUID[%s]\r\n", e->szStartedUID);
        UpdateSRM_All(ctx);
    }
    if (AddJobPages(ctx, v.pages)) UpdateSRM_All(ctx);
    if (PrinterDone(v.state, e->dwJobFlags)) {
        // A finished job whose notice is owed from an earlier round is not
        // written to the history twice.
        if (!(e->dwJobFlags & JOBF_FINISHED)) {
            OutPrnHist_JobStatus(ctx, e->dwJobId, "End");
            JobFlagSet(e, JOBF_FINISHED);
        }
        EndFinishedJob(ctx, e);
        return Step::Next;
    }
    return Step::Stop;
}

}  // namespace

// ---------------------------------------------------------------- words

BOOL ExtractFWID(const char* oid, size_t prefixLen, char* fwid, size_t cchFwid) {
    if (!oid || !fwid || !cchFwid) return FALSE;
    fwid[0] = '\0';
    if (strlen(oid) <= prefixLen || oid[prefixLen] != '.') return FALSE;
    const char* start = oid + prefixLen + 1;
    const char* p = start;
    // The count, then that many sub-identifiers; anything after them is not
    // part of the index.
    unsigned long count = 0, arcs = 0;
    bool first = true;
    for (;;) {
        if (*p < '0' || *p > '9') return FALSE;
        unsigned long n = 0;
        while (*p >= '0' && *p <= '9') {
            n = n * 10 + static_cast<unsigned long>(*p - '0');
            if (n > 0xFFFFFFFFul) return FALSE;
            ++p;
        }
        if (first) {
            if (n == 0) return FALSE;
            count = n;
            first = false;
        } else if (++arcs == count) {
            break;
        }
        if (*p != '.') return FALSE;
        ++p;
    }
    size_t len = static_cast<size_t>(p - start);
    if (len >= cchFwid || len > 255) return FALSE;
    memcpy(fwid, start, len);
    fwid[len] = '\0';
    return TRUE;
}

BOOL IsValidJCID(PortContext* ctx, const char* uidIndex, const char* oid) {
    char expected[SNMP_TEXT];
    snprintf(expected, sizeof(expected), "%s.%s", kOidJcidMap, uidIndex ? uidIndex : "");
    size_t n = strlen(expected);
    // The index ends at a point: a longer last byte is another JCID's.
    if (oid && strncmp(oid, expected, n) == 0 && (oid[n] == '.' || oid[n] == '\0')) {
        ctx->dwJcidFailCount = 0;
        if (TraceJob(ctx)) TraceWriteRaw(ctx, "DEPEND_SNMP:IsValidJCID -SUCCESS-\r\n");
        return TRUE;
    }
    ++ctx->dwJcidFailCount;
    if (TraceJob(ctx)) {
        TraceWriteRaw(ctx, "DEPEND_SNMP:IsValidJCID -ERROR-\r\n");
        TraceRawF(ctx, "     [%s]\r\n", expected);
        TraceRawF(ctx, "     [%s]\r\n", oid ? oid : "");
    }
    return FALSE;
}

JobQueueEntry* FindJobByJCID(const char* jcid, PortContext* ctx) {
    if (!jcid || !ctx || strlen(jcid) < kMinJcidMatch) return nullptr;
    for (JobQueueEntry* e = ctx->pJobQueueHead; e; e = e->pNext)
        if (strcmp(e->szUID, jcid) == 0 || strcmp(e->szEOJUID, jcid) == 0) return e;
    return nullptr;
}

// ---------------------------------------------------------------- notices

BOOL BeginJobInfo(PortContext* ctx) {
    PortLock lock(ctx);
    StatusVariable* var = JobInfoVar(ctx);
    if (!var) return FALSE;
    return PrepareNotice(ctx, var, (var->dwFlags & ~VF_CLEAR_JOBID) | kStartNoticeFlags);
}

BOOL EndJobInfo(PortContext* ctx) {
    PortLock lock(ctx);
    ctx->dwLastPageCount = 0;
    StatusVariable* var = JobInfoVar(ctx);
    if (!var || !var->pValue) return FALSE;
    return PrepareNotice(ctx, var, var->dwFlags | VF_CLEAR_JOBID);
}

BOOL InstallJobInfo(PortContext* ctx, DWORD jobId) {
    PortLock lock(ctx);
    StatusVariable* var = JobInfoVar(ctx);
    JobInfoSlot* slot = Slot(ctx);
    if (!var || !slot || !slot->pValue) return FALSE;
    MemFree(var->pValue);
    var->pValue = slot->pValue;
    var->dwFlags = slot->dwFlags;
    *VarWord(var, kJobVarJobIdOffset) = jobId;
    var->bChanged = 1;
    slot->pValue = nullptr;
    slot->cbValue = 0;
    ctx->dwLastPageCount = 0;
    return TRUE;
}

BOOL AddJobPages(PortContext* ctx, DWORD pages) {
    if (!pages) return FALSE;
    PortLock lock(ctx);
    StatusVariable* var = JobInfoVar(ctx);
    if (!var || !var->pValue || var->cbValue < kJobVarSecondOffset + sizeof(DWORD)) return FALSE;
    DWORD* count = VarWord(var, kJobVarSecondOffset);
    // A count below the last one is the printer's next job: nothing is taken
    // off, and a notice that starts again from 0 counts from the start.
    if (*count == 0) ctx->dwLastPageCount = 0;
    if (pages <= ctx->dwLastPageCount) return FALSE;
    *count += pages - ctx->dwLastPageCount;
    ctx->dwLastPageCount = pages;
    var->bChanged = 1;
    return TRUE;
}

void FreeJobInfoSlot(PortContext* ctx) {
    if (JobInfoSlot* slot = ctx ? Slot(ctx) : nullptr) {
        MemFree(slot->pValue);
        slot->pValue = nullptr;
        slot->cbValue = 0;
    }
}

// ---------------------------------------------------------------- lookups

BOOL GetAndCheckJCID(PortContext* ctx, JobQueueEntry* entry) {
    char index[SNMP_TEXT];
    {
        PortLock lock(ctx);
        if (!IsQueued(ctx, entry)) return FALSE;
        memset(entry->szFWID, 0, sizeof(entry->szFWID));
        memcpy(index, entry->szUIDIndex, sizeof(index));
    }
    HeapBlock block(MemAlloc(sizeof(WalkBuffers)));
    auto* w = static_cast<WalkBuffers*>(block.p);
    if (!w) return FALSE;
    char found[SNMP_TEXT] = "";
    snprintf(w->oid, sizeof(w->oid), "%s.%s", kOidJcidMap, index);
    const size_t prefixLen = strlen(w->oid);
    SnmpPause(kMapLookupPauseMs);

    bool accepted = false;
    for (DWORD row = 0; row < kMaxWalkRows; ++row) {
        strcpy(w->asked, w->oid);
        if (!SnmpGetNextString(ctx->szPrinterAddress, w->value, w->oid, ctx->szCommunity) || !w->oid[0]) {
            if (TraceJob(ctx)) TraceWriteRaw(ctx, "DEPEND_SNMP:GetAndCheckJCID ERROR[Func]\r\n");
            break;
        }
        if (!OidAdvances(w->asked, w->oid)) {
            // An error answer (the name asked with comes back) is no row of
            // this JCID either: it counts towards the full walk.
            ++ctx->dwJcidFailCount;
            if (TraceJob(ctx)) TraceWriteRaw(ctx, "DEPEND_SNMP:GetAndCheckJCID ERROR[Func]\r\n");
            break;
        }
        if (strlen(w->oid) < prefixLen) {
            if (TraceJob(ctx)) TraceWriteRaw(ctx, "DEPEND_SNMP:GetAndCheckJCID ERROR[length]\r\n");
            break;
        }
        if (!IsValidJCID(ctx, index, w->oid)) {
            if (TraceJob(ctx)) TraceWriteRaw(ctx, "DEPEND_SNMP:GetAndCheckJCID ERROR[NoID]\r\n");
            break;
        }
        char fwid[SNMP_TEXT];
        if (!ExtractFWID(w->oid, prefixLen, fwid, sizeof(fwid))) {
            if (TraceJob(ctx)) TraceWriteRaw(ctx, "DEPEND_SNMP:GetAndCheckJCID ERROR[length]\r\n");
            break;
        }
        strcpy(found, fwid);
        accepted = true;
        if (TraceJob(ctx)) TraceWriteRaw(ctx, "DEPEND_SNMP:GetAndCheckJCID SUCCESS [FWID]\r\n");
    }
    if (!accepted) return FALSE;
    PortLock lock(ctx);
    if (!IsQueued(ctx, entry)) return FALSE;
    strcpy(entry->szFWID, found);
    return TRUE;
}

BOOL CheckJCID_SNMP(PortContext* ctx) {
    const bool trace = TraceJob(ctx);
    if (trace) TraceWrite(ctx, "DEPEND_SNMP:CheckJCID_SNMP -START-");
    if (!ctx->pJobQueueHead) {
        if (trace) TraceWrite(ctx, "DEPEND_SNMP:CheckJCID_SNMP EXIT@1");
        return FALSE;
    }
    if (!GetPrinterIPAddress(ctx, ctx->pszPortName)) {
        if (trace) TraceWrite(ctx, "DEPEND_SNMP:CheckJCID_SNMP --END--");
        return FALSE;
    }
    BOOL result = FALSE;
    JobQueueEntry* e = nullptr;
    {
        PortLock lock(ctx);
        e = ctx->pJobQueueHead;
    }
    for (DWORD n = 0; e && n < kMaxJobsPerCheck; ++n) {
        char fwid[SNMP_TEXT];
        DWORD flags = 0;
        bool haveIndex = false;
        JobQueueEntry* next = nullptr;
        {
            PortLock lock(ctx);
            // The queue changed under the check: the next round starts afresh.
            if (!IsQueued(ctx, e)) break;
            flags = e->dwJobFlags;
            haveIndex = e->szUIDIndex[0] != '\0';
            memcpy(fwid, e->szFWID, sizeof(fwid));
            next = e->pNext;
        }
        if (flags & JOBF_ABORTED) {
            if (trace) TraceWrite(ctx, "DEPEND_SNMP:CheckJCID_SNMP JOB is Aborted");
            e = next;
            continue;
        }
        if (!haveIndex) {
            // "DEPEND_SNMP:CheckJCID_SNMP JCID未解析" (JCID not parsed yet)
            if (trace) TraceWrite(ctx, "DEPEND_SNMP:CheckJCID_SNMP JCID\x96\xa2\x89\xf0\x90\xcd");
            e = next;
            continue;
        }
        if (!fwid[0]) {
            result = GetAndCheckJCID(ctx, e);
            PortLock lock(ctx);
            if (!result || !IsQueued(ctx, e)) {
                if (!IsQueued(ctx, e)) break;
                e = e->pNext;
                continue;
            }
            memcpy(fwid, e->szFWID, sizeof(fwid));
        }
        char row[SNMP_TEXT];
        snprintf(row, sizeof(row), "1.%s", fwid);
        RowValues v;
        result = ReadRow(ctx, row, &v);

        PortLock lock(ctx);
        if (!IsQueued(ctx, e)) break;
        next = e->pNext;
        char idLine[SNMP_TEXT + 16];
        snprintf(idLine, sizeof(idLine), "PRID[%s]\r\n", e->szFWID);
        if (JobStep(ctx, e, idLine, v) == Step::Stop) break;
        e = IsQueued(ctx, next) ? next : nullptr;
    }
    if (trace) TraceWrite(ctx, "DEPEND_SNMP:CheckJCID_SNMP --END--");
    return result;
}

BOOL CheckJCID_SNMP_FD(PortContext* ctx) {
    if (!ctx->pJobQueueHead) return FALSE;
    const bool trace = TraceJob(ctx);
    if (trace) TraceWrite(ctx, "REFRESH:CheckJCID_SNMP_FD -START-");
    HeapBlock block(MemAlloc(sizeof(WalkBuffers)));
    auto* w = static_cast<WalkBuffers*>(block.p);
    if (!w || !GetPrinterIPAddress(ctx, ctx->pszPortName)) {
        if (trace) TraceWrite(ctx, "REFRESH:CheckJCID_SNMP_FD --END--");
        return FALSE;
    }
    BOOL result = FALSE;
    strcpy(w->oid, kOidJcidColumn);
    for (DWORD rowNo = 0; rowNo < kMaxWalkRows; ++rowNo) {
        bool moved = NextText(ctx, w);
        result = moved ? TRUE : FALSE;
        // Past column 3 (its position 27 then reads "4" or more) the walk is over.
        if (!moved || !OidInSubtree(w->oid, kOidJcidColumn) || w->oid[kColumnAt] == '4') break;
        JobQueueEntry* e = nullptr;
        {
            PortLock lock(ctx);
            e = FindJobByJCID(w->value, ctx);
        }
        if (!e) continue;
        const char* row = w->oid + kRowAt;
        RowValues v;
        result = ReadRow(ctx, row, &v);

        PortLock lock(ctx);
        if (!IsQueued(ctx, e)) continue;
        char idLine[2 * SNMP_TEXT + 16];
        snprintf(idLine, sizeof(idLine), "JCID[%s]\r\nPRID[%s]\r\n", w->value, w->oid);
        if (JobStep(ctx, e, idLine, v) == Step::Stop) break;
    }
    if (trace) TraceWrite(ctx, "REFRESH:CheckJCID_SNMP_FD --END--");
    return result;
}

BOOL DEP_CheckPrintingStatus_SNMP(PortContext* ctx) {
    if (ctx->status & ST_NO_ANSWER) return FALSE;
    const bool trace = TraceJob(ctx);
    if (trace) TraceWrite(ctx, "DEPEND_SNMP:DEP_CheckPrintingStatus_SNMP -START-");
    bool printing = false;
    HeapBlock block(MemAlloc(sizeof(WalkBuffers)));
    auto* w = static_cast<WalkBuffers*>(block.p);
    if (w && GetPrinterIPAddress(ctx, ctx->pszPortName)) {
        strcpy(w->oid, kOidJcidColumn);
        for (DWORD rowNo = 0; rowNo < kMaxWalkRows && !printing; ++rowNo) {
            if (!NextText(ctx, w) || !OidInSubtree(w->oid, kOidJcidColumn) || w->oid[kColumnAt] == '4') break;
            if (!w->value[0]) continue;
            BOOL ok = FALSE;
            DWORD state = static_cast<DWORD>(GetRowInteger(ctx, kFmtState, w->oid + kRowAt, &ok));
            printing = state == JOB_STATE_CREATING || state == JOB_STATE_PROCESSING || state == JOB_STATE_PAUSED;
        }
    }
    if (trace)
        TraceWrite(ctx, printing ? "DEPEND_SNMP:DEP_CheckPrintingStatus_SNMP --END[printing]--"
                                 : "DEPEND_SNMP:DEP_CheckPrintingStatus_SNMP --END[no printing]--");
    return printing ? TRUE : FALSE;
}
