#include "status/iconstate.h"

// --- Not built yet: the status interpretation. Until then IconState is
// left as it stands. ---
DWORD SetIconState(PortContext* ctx, DWORD h, DWORD m, DWORD l) { return 0x40; }  // placeholder
