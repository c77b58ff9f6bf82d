#pragma once
#include "monitor/portctx.h"

BOOL GetPrintCheckInfo(PortContext* ctx);
void ResetPrintCheckInfo(PortContext* ctx);
