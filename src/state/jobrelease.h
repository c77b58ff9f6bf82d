// Keeping the spooler's jobs and the printer's jobs in step.
#pragma once
#include "core/portctx.h"

struct JobQueueEntry;

// JobStatus bits set here.
constexpr DWORD JOBSTATUS_PAUSED = 0x2;     // the spooler job is paused while its document is open
constexpr DWORD JOBSTATUS_DELETING = 0x4;   // the job is being cancelled or deleted

// Empties the job queue; with deleteCurrent also deletes the spooler job of
// the open document once its data reached the printer (then 1).
BOOL DeleteJob(PortContext* ctx, BOOL deleteCurrent);
BOOL SendingJobInfo(PortContext* ctx, BOOL fill);
// Releases one entry leaving the queue, once, through its own printer's
// handle: owed to EndDocPort for the open document's job, else notified now
// (traceFmt names the place, with the job id).
void ReleaseJobEntry(PortContext* ctx, JobQueueEntry* e, const char* traceFmt);
// Frees every node of the port's JCID list and empties it.
void FreeJcidList(PortContext* ctx);
BOOL SetJobLastPageEjected(HANDLE hPrinter, DWORD jobId, DWORD level, LPBYTE data, JobQueueEntry* entry);

// The notices owed to the current document's job (cLastPageEjected):
// opened when its entry joins the queue, taken once by EndDocPort, which
// pays them. A job a deletion empties from the queue in between is counted
// there instead of being notified; one the printer finished leaves with its
// notice, and then nothing is owed. Never notified twice nor forgotten.
void OpenOwedEjects(PortContext* ctx);
// The entry is the open document's own job, whose notices EndDocPort gives:
// a notice given anywhere else as well would release the job twice.
bool OwedToEndDoc(const PortContext* ctx, const JobQueueEntry* e);
DWORD TakeOwedEjects(PortContext* ctx);
// Gives an entry leaving the queue its one LAST_PAGE_EJECTED, through its own
// printer's handle, at once: also the open document's job, which EndDocPort
// then owes nothing. Under the port lock.
void ReleaseQueuedJob(PortContext* ctx, JobQueueEntry* e, const char* traceFmt);
// Deletes a job at the spooler, under the port lock. The delete is the job's
// release: no LAST_PAGE_EJECTED follows it, owed or not.
void DeleteSpoolerJob(PortContext* ctx, HANDLE printer, DWORD jobId);
