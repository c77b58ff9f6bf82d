// Double of the job management service "VhPJMService", run inside the test
// program: a hidden top-level window of class "VhPJMService" on a thread of
// its own that logs the messages it gets and answers restart requests
// through the "VhLM_ALLOW%d" / "VhLM_OVER%d" events; the shared job list
// (mutex "VH_FILEMAPPING_MUTEX", mapping "VH_JOBPROCESS_FILEMAPPING"); and
// the service's entry in the service control manager (the binary never runs).
//
//   PjmDouble_Register();              // "installed"
//   PjmDouble_Start();                 // window
//   PjmDouble_CreateList(4096);        // mutex and mapping
//   PjmDouble_SetList(1, {12, 13});
//   PjmDouble_SetAnswer(PJM_ANSWER_ALLOW, 0);
//   ... print job 14 ...
//   PjmDouble_Messages();              // {0x8004, atom, 14, L"printer"}
//   PjmDouble_Reset();                 // all of it undone
#pragma once
#include <windows.h>

#include <string>
#include <vector>

enum PjmAnswer { PJM_ANSWER_NONE, PJM_ANSWER_ALLOW, PJM_ANSWER_OVER };

struct PjmMessage {
    UINT message;
    WPARAM wParam;
    LPARAM lParam;
    std::wstring printer;   // 0x8004: the atom's name, read when the message came
};

// Service entry "VhPJMService" in the service control manager.
bool PjmDouble_Register();
void PjmDouble_Unregister();

// The service window on its own thread.
bool PjmDouble_Start();
void PjmDouble_Stop();

// The shared job list: a mapping of cbMapping bytes and its mutex.
bool PjmDouble_CreateList(DWORD cbMapping = 4096);
void PjmDouble_DropList();
// Writes the list: valid flag, count (declaredCount, or the number of ids
// when ~0u) and the ids (each with a second word of 0).
void PjmDouble_SetList(DWORD valid, const std::vector<DWORD>& jobIds, DWORD declaredCount = ~0u);
// Takes the list's mutex on the calling thread, until PjmDouble_ReleaseMutex there.
bool PjmDouble_HoldMutex();
void PjmDouble_ReleaseMutex();

// How restart requests are answered, after delayMs.
void PjmDouble_SetAnswer(PjmAnswer answer, DWORD delayMs);
std::vector<PjmMessage> PjmDouble_Messages();
// Waits until at least n messages came; false after timeoutMs.
bool PjmDouble_WaitForMessages(size_t n, DWORD timeoutMs);
// Restart requests answered so far.
DWORD PjmDouble_Answers();

// Stop, DropList, Unregister and forget messages and answers.
void PjmDouble_Reset();
