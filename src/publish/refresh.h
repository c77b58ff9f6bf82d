// The port's status refresh thread.
#pragma once
#include "monitor/portctx.h"

BOOL StartUstatusThread(PortContext* ctx);
