// Keeping the spooler's jobs and the printer's jobs in step.
#pragma once
#include "monitor/portctx.h"

struct JobQueueEntry;

BOOL JobCancel(PortContext* ctx, BOOL setJobStatus);
BOOL DeleteJob(PortContext* ctx, BOOL deleteCurrent);
BOOL SendingJobInfo(PortContext* ctx, BOOL fill);
BOOL SetJobLastPageEjected(HANDLE hPrinter, DWORD jobId, DWORD level, LPBYTE data, JobQueueEntry* entry);
