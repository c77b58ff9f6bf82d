// The port's status refresh thread and the steps of its cycle.
#pragma once
#include "core/portctx.h"

// Port kinds that have a refresh thread.
constexpr DWORD kRefreshPortKinds = 0x19A;

BOOL StartUstatusThread(PortContext* ctx);
DWORD WINAPI UstatusThread2(LPVOID param);
// 1 when the thread must end.
BOOL IsRefreshDone(PortContext* ctx);
BOOL ReadStatus2(PortContext* ctx);
BOOL EndRefreshCycle(PortContext* ctx);
BOOL EjectQueuedJobs(PortContext* ctx);
BOOL SendUstatusOff(PortContext* ctx);
BOOL OpenPortForStatus(PortContext* ctx);
void ResetPortState(PortContext* ctx);
// Releases every queued job once and empties the queue and the JCID list.
void ReleaseQueuedJobs(PortContext* ctx);

// Sleep between cycles when the interval is not variable, in ms.
constexpr DWORD kBusyCycleMs = 3000;
constexpr DWORD kIdleCycleMs = 4000;
