#include "status/devcheck.h"
#include "status/devpoll.h"

// --- Not built yet: the device status poll. Until then the printer is
// never polled and writes always go ahead. ---
BOOL CheckDeviceId(PortContext* ctx) { return TRUE; }         // placeholder
BOOL CheckDeviceIdOnWrite(PortContext* ctx) { return TRUE; }  // placeholder
// Not polled: reported as no answer, with no change of state (as when the
// printer's address is unknown).
BOOL CheckDeviceId_SNMP(PortContext* ctx) { return FALSE; }   // placeholder
