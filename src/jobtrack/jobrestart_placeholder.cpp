#include "jobtrack/jobtrack.h"

// --- Not built yet: the restart check of a job that the printer lost when
// it lost power, and the watchers of the spooler's current job. Until then
// no job is taken for a second sending and the spooler's job is not read. ---
BOOL DEP_RestartJob_SNMP(PortContext* ctx) { return 1; }   // placeholder
BOOL WatchSpoolerJob(PortContext* ctx) { return FALSE; }   // placeholder
BOOL WatchSpoolerJobNW(PortContext* ctx) { return FALSE; } // placeholder
