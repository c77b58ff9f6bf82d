// Job queue entry: one record per job sent to a bidirectional port.
#pragma once
#include "core/portctx.h"

struct JobQueueEntry {
    DWORD dwJobId;
    DWORD dwJobFlags;
    char szFWID[256];
    char szUIDIndex[256];
    char szUID[81];
    char szStartedUID[81];
    char szEOJUID[81];
    SrmBinding* pBind;
    DWORD dwReportFlags;
    JobQueueEntry* pNext;
};
static_assert(sizeof(JobQueueEntry) == 792, "job queue entry is a 792-byte record");

// dwJobFlags: the printer has been seen processing the job; the printer
// finished it; EndDocPort has sent the job's last byte; the printer aborted
// it.
constexpr DWORD JOBF_SEEN_PROCESSING = 0x1;
constexpr DWORD JOBF_FINISHED = 0x2;
constexpr DWORD JOBF_LOST_CHECKED = 0x4;      // a cancel at the printer went to the lost-job check
constexpr DWORD JOBF_DOC_ENDED = 0x20;
constexpr DWORD JOBF_ABORTED = 0x80000000;

// dwReportFlags: the job's finish was published to its manager; the job's
// LAST_PAGE_EJECTED was given.
constexpr DWORD REPORT_FINISHED = 0x1;
constexpr DWORD REPORT_EJECTED = 0x10;

// The document path and the refresh thread both set flags of an entry.
inline void JobFlagSet(JobQueueEntry* e, DWORD bits) {
    InterlockedOr(reinterpret_cast<volatile LONG*>(&e->dwJobFlags), static_cast<LONG>(bits));
}

struct StatusVariable;

JobQueueEntry* InJobQueue(DWORD jobId, PortContext* ctx);
BOOL OutJobQueue(PortContext* ctx);
// Takes a job that has just been released some other way off the queue,
// without a further notice; FALSE when it is not queued.
BOOL DropJobEntry(PortContext* ctx, DWORD jobId);
BOOL PublishJobVariable(PortContext* ctx, StatusVariable* var, DWORD size);
void RetireOlderJobs(JobQueueEntry* entry, StatusVariable* var, PortContext* ctx);
SrmBinding* FindBinding(const wchar_t* printerName, PortContext* ctx);
// The queue as trace lines.
BOOL DumpJobQueue(PortContext* ctx);

// Where a job-naming status value keeps its job id and its second word.
constexpr DWORD kJobVarJobIdOffset = 288;
constexpr DWORD kJobVarSecondOffset = 292;
