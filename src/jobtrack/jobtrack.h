// Following the port's queued jobs on the printer by their JCID, and the
// spooler's view of the current job while the refresh thread runs.
#pragma once
#include "core/portctx.h"

struct JobQueueEntry;

// Looks each queued job up by its JCID index; result of the last request.
BOOL CheckJCID_SNMP(PortContext* ctx);
// Walks the printer's whole job table matching JCID texts (after three
// failed index lookups in a row); result of the last request.
BOOL CheckJCID_SNMP_FD(PortContext* ctx);
// Finds the printer's job index (FWID) of the entry; 1 when stored.
BOOL GetAndCheckJCID(PortContext* ctx, JobQueueEntry* entry);
// 1 when the printer has a job in state 3, 7 or 13. Makes SNMP requests:
// never called with the port lock held.
BOOL DEP_CheckPrintingStatus_SNMP(PortContext* ctx);
// 1 when the identifier the printer returned names a row of the JCID whose
// index text is given; counts the misses in dwJcidFailCount.
BOOL IsValidJCID(PortContext* ctx, const char* uidIndex, const char* oid);
// First queued entry whose szUID, or else szEOJUID, is the text; JCIDs of
// fewer than 10 characters match nothing.
JobQueueEntry* FindJobByJCID(const char* jcid, PortContext* ctx);
// The job index (FWID) carried by a mapping identifier after its first
// prefixLen characters: the count n and the n sub-identifiers that follow.
// False when the identifier holds no complete FWID.
BOOL ExtractFWID(const char* oid, size_t prefixLen, char* fwid, size_t cchFwid);

// PrintingJobInfo notices, prepared in the port's staging record and then
// installed (each under the port lock).
struct JobInfoSlot {
    void* pValue;     // prepared value, owned until installed
    DWORD cbValue;
    DWORD dwFlags;    // the variable flags to install with it
};
static_assert(sizeof(JobInfoSlot) <= 64, "the staging record is 64 bytes");
BOOL BeginJobInfo(PortContext* ctx);
BOOL EndJobInfo(PortContext* ctx);
// 1 when the printer's page count grew the variable's count.
BOOL AddJobPages(PortContext* ctx, DWORD pages);
BOOL InstallJobInfo(PortContext* ctx, DWORD jobId);
// Frees a notice still prepared when the port closes.
void FreeJobInfoSlot(PortContext* ctx);

// Recognises a job the spooler sends again after the printer lost power in
// the middle of it; 0 when no power-off JCID is recorded, else 1.
BOOL DEP_RestartJob_SNMP(PortContext* ctx);

// The spooler's current job while a document is open / while the printer
// does not answer; 1 when it could be read.
BOOL WatchSpoolerJob(PortContext* ctx);
BOOL WatchSpoolerJobNW(PortContext* ctx);
