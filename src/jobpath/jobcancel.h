// The printer-side cancel of the current job.
#pragma once
#include "core/portctx.h"

// Cancels the current job on the printer; 1 when cancelled or not needed.
BOOL JobCancel(PortContext* ctx, BOOL setJobStatus);
// Sets the printer's job control object of the queue's tail job to cancel.
BOOL DEP_CancelJob_SNMP(PortContext* ctx);
