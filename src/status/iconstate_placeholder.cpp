#include "status/devpoll.h"
#include "status/iconstate.h"

// --- Not built yet: the status interpretation. Until then IconState is
// left as it stands and a poll's answer changes no status variable. ---
DWORD SetIconState(PortContext* ctx, DWORD h, DWORD m, DWORD l) { return 0x40; }  // placeholder
void ParseDeviceId_SYSPRINTER(PortContext* ctx) {}                                 // placeholder
