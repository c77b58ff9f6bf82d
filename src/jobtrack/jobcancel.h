#pragma once
#include "monitor/portctx.h"

BOOL DeleteJob(PortContext* ctx, BOOL deleteCurrent);
