// Job queue entry: one record per job sent to a bidirectional port.
#pragma once
#include "monitor/portctx.h"

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
