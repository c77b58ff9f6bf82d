// The notification thread of a managed binding: it hears from the manager
// and from the suite's named events, and drops or renames its binding.
#pragma once
#include "core/portctx.h"

constexpr wchar_t kDelPrnEventFmt[] = L"VKLVJPPWD:DEL_PRN:%s";
constexpr wchar_t kStartStatusEvent[] = L"Global\\VKLVJPSDB:START_STATUS";
constexpr wchar_t kPwdJobEventFmt[] = L"Global\\PWDJOBEVENT:%s";

// One notification thread, kept on the port's pNotifyThreads from its start
// until the port reaps it after it has ended. The thread is handed this
// record: pBind is its binding, set to null (under the port lock) when
// UnbindSRM drops the binding.
struct NotifyThread {
    PortContext* pPort;
    SrmBinding* pBind;
    HANDLE hThread;
    NotifyThread* pNext;
};

// Starts the binding's notification thread; nothing on a closing port.
BOOL StartSRMNotifyThread(PortContext* ctx, SrmBinding* bind);
DWORD WINAPI SRMNotifyThread(LPVOID param);

// Waits (at most timeoutMs in all) for every notification thread of the
// port to end and reaps them; the caller has signalled hCloseEvent. FALSE
// when some still run. Not with the port lock held.
BOOL StopNotifyThreads(PortContext* ctx, DWORD timeoutMs);

// Frees the records of notification threads that have ended (every record
// with `all`, once no thread can run any more). Under the port lock.
void ReapNotifyThreads(PortContext* ctx, bool all);

// UnbindSRM: the binding's thread no longer serves it. Under the port lock.
void ForgetNotifyBinding(PortContext* ctx, SrmBinding* bind);
