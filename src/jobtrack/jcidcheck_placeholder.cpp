#include "jobtrack/jobtrack.h"
#include "jobpath/jobqueue.h"

// --- Not built yet: the job completion check by JCID. Until then no queued
// job is looked up on the printer and none is seen printing: a job whose
// last byte has left is taken as finished at the next round, so the spooler
// still lets go of every job a supported printer is sent. ---
BOOL CheckJCID_SNMP(PortContext* ctx) {                                           // placeholder
    PortLock lock(ctx);
    BOOL released = FALSE;
    while (ctx->pJobQueueHead && (ctx->pJobQueueHead->dwJobFlags & JOBF_DOC_ENDED)) released |= OutJobQueue(ctx);
    return released;
}
BOOL CheckJCID_SNMP_FD(PortContext* ctx) { return FALSE; }                        // placeholder
BOOL GetAndCheckJCID(PortContext* ctx, JobQueueEntry* entry) { return FALSE; }    // placeholder
BOOL DEP_CheckPrintingStatus_SNMP(PortContext* ctx) { return FALSE; }             // placeholder
