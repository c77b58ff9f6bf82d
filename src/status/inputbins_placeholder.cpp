#include "status/devpoll.h"

// --- Not built yet: reading the input bins. Until then no bin is read and
// the configuration variables keep their defaults. ---
BOOL ReadInputBins(PollRecord* poll, const char* address, char* oid, DWORD waitMs, const char* community) {
    return FALSE;   // placeholder
}
