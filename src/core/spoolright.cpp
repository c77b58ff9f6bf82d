#include "core/spoolright.h"

volatile DWORD dwSpoolerWaitMs = kDefaultSpoolerWaitMs;

namespace {
constexpr DWORD kWakeSliceMs = 50;
}

DWORD AcquireSpoolerRight(SpoolerRight* r, DWORD timeoutMs, HANDLE wake) {
    const DWORD me = GetCurrentThreadId();
    const ULONGLONG start = GetTickCount64();
    AcquireSRWLockExclusive(&r->lock);
    DWORD rc = WAIT_OBJECT_0;
    while (r->owner && r->owner != me) {
        if (wake && WaitForSingleObject(wake, 0) == WAIT_OBJECT_0) {
            rc = WAIT_OBJECT_0 + 1;
            break;
        }
        ULONGLONG elapsed = GetTickCount64() - start;
        if (timeoutMs != INFINITE && elapsed >= timeoutMs) {
            rc = WAIT_TIMEOUT;
            break;
        }
        DWORD slice = timeoutMs == INFINITE ? INFINITE : static_cast<DWORD>(timeoutMs - elapsed);
        if (wake && slice > kWakeSliceMs) slice = kWakeSliceMs;
        SleepConditionVariableSRW(&r->freed, &r->lock, slice, 0);
    }
    if (rc == WAIT_OBJECT_0) {
        r->owner = me;
        ++r->depth;
    }
    ReleaseSRWLockExclusive(&r->lock);
    return rc;
}

bool ReleaseSpoolerRight(SpoolerRight* r) {
    AcquireSRWLockExclusive(&r->lock);
    bool held = r->owner == GetCurrentThreadId();
    if (held && --r->depth == 0) {
        r->owner = 0;
        WakeConditionVariable(&r->freed);
    }
    ReleaseSRWLockExclusive(&r->lock);
    return held;
}
