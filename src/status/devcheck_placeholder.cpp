#include "status/devcheck.h"

// --- Not built yet: the device status poll. Until then the printer is
// never polled and writes always go ahead. ---
BOOL CheckDeviceId(PortContext* ctx) { return TRUE; }         // placeholder
BOOL CheckDeviceIdOnWrite(PortContext* ctx) { return TRUE; }  // placeholder
