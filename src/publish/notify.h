// The notification thread of a managed binding: it hears from the manager
// and from the suite's named events, and drops or renames its binding.
#pragma once
#include "monitor/portctx.h"

constexpr wchar_t kDelPrnEventFmt[] = L"VKLVJPPWD:DEL_PRN:%s";
constexpr wchar_t kStartStatusEvent[] = L"Global\\VKLVJPSDB:START_STATUS";
constexpr wchar_t kPwdJobEventFmt[] = L"Global\\PWDJOBEVENT:%s";

BOOL StartSRMNotifyThread(PortContext* ctx, SrmBinding* bind);
DWORD WINAPI SRMNotifyThread(LPVOID param);

// Waits until every notification thread of the port has ended; FALSE when
// some were still running after timeoutMs.
BOOL WaitNotifyThreadsEnded(PortContext* ctx, DWORD timeoutMs);

// Stops the port's worker thread unless it is the waiting-job thread, and
// waits until it has gone (it clears hWakeEvent as its last act).
void StopWorkerForNotify(PortContext* ctx);
