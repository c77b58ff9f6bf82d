// The port's worker slot: the one worker thread a port may have (the
// waiting-job thread, or the status refresh thread). Every start and stop of
// a worker goes through here; the slot keeps the thread's handle so that a
// stop waits on the thread itself.
#pragma once
#include "core/portctx.h"

// Starts proc(ctx) as the port's worker: refused on a closing port and while
// another worker runs. A worker that has already cleared ST_THREAD_ALIVE is
// only returning, so it is waited for and replaced. A worker that is ending
// (or runs another procedure, which ends by itself) is recalled instead: it
// runs proc in its own thread rather than ending, and the call answers TRUE.
BOOL StartPortWorker(PortContext* ctx, LPTHREAD_START_ROUTINE proc);

// Clears ST_THREAD_RUN, wakes the worker and waits for its thread to end, at
// most timeoutMs. TRUE when no worker runs any more. Never called with the
// port lock held: the worker takes it on its way out.
BOOL StopPortWorker(PortContext* ctx, DWORD timeoutMs);

// Cuts the worker's sleep short (nothing when none runs).
void WakePortWorker(PortContext* ctx);

// The worker has decided to end: from here on a starter recalls it rather
// than taking it for running. Marked under the port lock before any step
// that can give the spooler-access right up; a worker that resets the port
// marks holding the right and checks its reasons to go on under the same
// lock.
void PortWorkerMarkEnding(PortContext* ctx);

// A document started on the port since the worker marked itself ending.
bool DocStartedSinceEnding(const PortContext* ctx);

// Counted by StartDocPort as it opens a document.
void NoteDocumentStart(PortContext* ctx);

// The ending worker's last decision, under the port lock: the procedure a
// starter recalled it to run (the mark is lifted and ST_THREAD_RUN set), or
// null when nobody did or the port is closing.
LPTHREAD_START_ROUTINE PortWorkerRecall(PortContext* ctx);

// The worker's own last steps, in order: it clears its bits and signals
// hRefreshDoneEvent here (under the port lock, together with its recall
// check), may then only give the spooler-access right back, and finally
// calls ReleasePortRef.
void PortWorkerEnding(PortContext* ctx);
