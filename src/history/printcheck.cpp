#include "history/printcheck.h"

// --- Not built yet: print history and the lost-job check. ---
BOOL GetPrintCheckInfo(PortContext* ctx) { return TRUE; }                          // placeholder
void ResetPrintCheckInfo(PortContext* ctx) {}                                      // placeholder
void OutPrnHist_JobStatus(PortContext* ctx, DWORD jobId, const char* statusWord) {}  // placeholder
void PrnLostChk(PortContext* ctx, DWORD bit, const char* label) {}                   // placeholder
