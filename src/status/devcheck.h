#pragma once
#include "monitor/portctx.h"

BOOL CheckDeviceId(PortContext* ctx);
BOOL CheckDeviceIdOnWrite(PortContext* ctx);
