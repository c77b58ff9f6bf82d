// IconState: the icon class of PrinterStatus's words. The class comes from
// the status interpretation's icon table (status/, above the store); the
// store derives it again when it changes PrinterStatus itself, through the
// step the library entry hands here when it loads.
#pragma once
#include "core/portctx.h"

using IconStateStep = DWORD (*)(PortContext* ctx, DWORD h, DWORD m, DWORD l);
void SetIconStateStep(IconStateStep step);
// Runs the handed step; 0 (nothing changed) before one was handed.
DWORD UpdateIconState(PortContext* ctx, DWORD h, DWORD m, DWORD l);
