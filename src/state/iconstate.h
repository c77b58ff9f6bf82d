// Icon class of the printer's status words.
#pragma once
#include "core/portctx.h"

DWORD SetIconState(PortContext* ctx, DWORD h, DWORD m, DWORD l);
