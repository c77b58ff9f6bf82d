#include "publish/refresh.h"

// --- Not built yet: the status refresh thread. ---
BOOL StartUstatusThread(PortContext* ctx) { return FALSE; }  // placeholder
