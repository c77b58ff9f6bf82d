// The port's spooler-access right: a recursive lock with timed waits, held
// across whole document steps and worker-thread rounds. Taking and giving it
// back stays in user space when nobody waits (job data passes through it
// twice per WritePort), unlike a kernel mutex.
#pragma once
#include <windows.h>

// How long one wait for a port's right lasts (WaitSpoolerFunc), in ms.
// Process-wide; tests lower it so that three time-outs take moments.
constexpr DWORD kDefaultSpoolerWaitMs = 30000;
extern volatile DWORD dwSpoolerWaitMs;

struct SpoolerRight {
    SRWLOCK lock;               // zero-filled memory is an initialised lock
    CONDITION_VARIABLE freed;   // and condition variable
    DWORD owner;                // thread id, 0 when free
    DWORD depth;
};

// WAIT_OBJECT_0 when taken, WAIT_TIMEOUT after timeoutMs; with `wake`, also
// WAIT_OBJECT_0 + 1 as soon as that event is signalled (the right not taken).
DWORD AcquireSpoolerRight(SpoolerRight* r, DWORD timeoutMs, HANDLE wake = nullptr);
// Gives one level back; false when the calling thread does not hold it.
bool ReleaseSpoolerRight(SpoolerRight* r);
