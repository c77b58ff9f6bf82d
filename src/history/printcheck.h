// Print history files and the lost-job check.
#pragma once
#include "monitor/portctx.h"

BOOL GetPrintCheckInfo(PortContext* ctx);
void ResetPrintCheckInfo(PortContext* ctx);
void OutPrnHist_JobStatus(PortContext* ctx, DWORD jobId, const char* statusWord);
void PrnLostChk(PortContext* ctx, DWORD bit, const char* label);
