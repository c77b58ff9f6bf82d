#include "jobtrack/jobtrack.h"

// --- Not built yet: the job completion check by JCID. Until then no queued
// job is looked up on the printer and none is seen printing. ---
BOOL CheckJCID_SNMP(PortContext* ctx) { return FALSE; }                           // placeholder
BOOL CheckJCID_SNMP_FD(PortContext* ctx) { return FALSE; }                        // placeholder
BOOL GetAndCheckJCID(PortContext* ctx, JobQueueEntry* entry) { return FALSE; }    // placeholder
BOOL DEP_CheckPrintingStatus_SNMP(PortContext* ctx) { return FALSE; }             // placeholder
