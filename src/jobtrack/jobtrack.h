// Following the port's queued jobs on the printer by their JCID, and the
// spooler's view of the current job while the refresh thread runs.
#pragma once
#include "monitor/portctx.h"

struct JobQueueEntry;

// Looks each queued job up by its JCID index; result of the last request.
BOOL CheckJCID_SNMP(PortContext* ctx);
// Walks the printer's whole job table matching JCID texts (after three
// failed index lookups in a row); result of the last request.
BOOL CheckJCID_SNMP_FD(PortContext* ctx);
// Finds the printer's job index (FWID) of the entry; 1 when stored.
BOOL GetAndCheckJCID(PortContext* ctx, JobQueueEntry* entry);
// 1 when the printer has a job in state 3, 7 or 13.
BOOL DEP_CheckPrintingStatus_SNMP(PortContext* ctx);

// Recognises a job the spooler sends again after the printer lost power in
// the middle of it; 0 when no power-off JCID is recorded, else 1.
BOOL DEP_RestartJob_SNMP(PortContext* ctx);

// The spooler's current job while a document is open / while the printer
// does not answer; 1 when it could be read.
BOOL WatchSpoolerJob(PortContext* ctx);
BOOL WatchSpoolerJobNW(PortContext* ctx);
