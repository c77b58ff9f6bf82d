// Status report manager bindings: one per printer on the port, each with
// the manager library loaded for it when its model reports status.
#pragma once
#include "core/portctx.h"
#include "state/srm.h"

constexpr DWORD BF_SENT = 0x1;
constexpr DWORD BF_SUPPRESSED = 0x2;
constexpr DWORD BF_SEEN = 0x10000;
constexpr DWORD BF_REPUBLISH = 0x20000;   // scratch mark: there before a model change

struct SrmBinding {
    wchar_t* pszPrinterName;
    HMODULE hSrmLib;
    SRMHANDLE hManager;
    HANDLE hPrinter;
    // Entry points of the manager library (null when not resolved).
    PFN_OpenManagerExW pfnOpenManagerExW;
    PFN_CloseManager pfnCloseManager;
    PFN_GetPrinterStatusA pfnGetPrinterStatusA;
    PFN_GetPrinterStatusW pfnGetPrinterStatusW;
    PFN_SetReqPrinterStatusEventA pfnSetReqPrinterStatusEventA;
    PFN_ResSetPrinterStatus pfnResSetPrinterStatus;
    PFN_UpdatePrinterStatusA pfnUpdatePrinterStatusA;
    PFN_SetNotificationEventA pfnSetNotificationEventA;
    PFN_SetNotificationEventExA pfnSetNotificationEventExA;
    PFN_KillNotificationEvent pfnKillNotificationEvent;
    PFN_SetNotificationCallbackExA pfnSetNotificationCallbackExA;
    PFN_KillNotificationCallback pfnKillNotificationCallback;
    DWORD dwNotifyThreadId;
    HANDLE hUnbindEvent;
    HANDLE hPrinterReady;
    DWORD dwFlags;
    DWORD qwModelMask[2];
    SrmBinding* pNext;
};

// A printer that prints to the port through this monitor (EnumPortPrinters).
struct PortPrinter {
    wchar_t* pszPrinterName;
    DWORD Attributes;
    PortPrinter* pNext;
};

// A model registered for status reporting (EnumStatusModels).
struct StatusModel {
    wchar_t* pszModel;
    StatusModel* pNext;
};

// Registry places read here (under HKEY_LOCAL_MACHINE).
constexpr wchar_t kPrintersKey[] = L"System\\CurrentControlSet\\control\\Print\\Printers";
constexpr wchar_t kStatusModelsKey[] = L"SOFTWARE\\VEK\\Lorvane\\Printers";
constexpr wchar_t kDefaultMonitorName[] = L"Lorvane Language Monitor for VEK Tessaroline 7700 (LV)";

// A managed binding's notification thread lives in threads/, above the
// store, for it polls the printer: the library entry hands its start, and
// the step that parts it from a dropped binding, here when it loads.
struct NotifyThreadCalls {
    BOOL (*start)(PortContext* ctx, SrmBinding* bind);
    void (*forget)(PortContext* ctx, SrmBinding* bind);
};
void SetNotifyThreadCalls(const NotifyThreadCalls& calls);

SrmBinding* BindSRM(PortContext* ctx, const wchar_t* printerName, BOOL publishAtBind);
BOOL BindSRM_All(PortContext* ctx);
// Drops a binding. One that queued jobs still name moves to pRetiredBinds
// with its printer handle, so that those jobs can still be released.
BOOL UnbindSRM(SrmBinding* bind, PortContext* ctx);
// Frees the retired bindings no queued job names any more (all of them with
// `all`).
void FreeRetiredBindings(PortContext* ctx, bool all);
BOOL RefreshSRMBindings(PortContext* ctx);
BOOL EnumPortPrinters(PortContext* ctx, PortPrinter** list);
void FreePortPrinters(PortPrinter* list);
BOOL IsStatusPrinter(const wchar_t* printerName);
BOOL EnumStatusModels(StatusModel** list);
void FreeStatusModels(StatusModel* list);
BOOL GetPrinterModelMask(const wchar_t* printerName, SrmBinding* bind);
BOOL OpenBindingPrinter(SrmBinding* bind);

// The manager's "Port" value keeps the printer on this port: its first text
// begins with the port's name (any case) and its second text is empty.
bool SrmPortNamesPort(const PortContext* ctx, const SrmPortValue* value);
