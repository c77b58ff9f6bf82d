#include "history/printcheck.h"

// --- Not built yet: print history and the lost-job check. ---
BOOL GetPrintCheckInfo(PortContext* ctx) { return TRUE; }  // placeholder
void ResetPrintCheckInfo(PortContext* ctx) {}              // placeholder
