// The waiting-job thread: while the printer is in error and jobs wait for
// it, keep binding managers and checking the printer between documents.
#pragma once
#include "core/portctx.h"

BOOL StartWaitingJobThread(PortContext* ctx);
DWORD WINAPI WaitingJobThread(LPVOID param);
