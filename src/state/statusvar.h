// Per-port status variables: the fixed template, lookup, publication to the
// status report managers, the fixed states, and the spooler port status
// that mirrors PrinterStatus.
#pragma once
#include "core/portctx.h"

constexpr DWORD VF_AT_BIND = 0x1;
constexpr DWORD VF_KEEP_VALUE = 0x2;
constexpr DWORD VF_JOB_FINISHED = 0x100;
constexpr DWORD VF_CLEAR_JOBID = 0x200;
constexpr DWORD VAR_SIZE_VARIABLE = 0xFFFFFFFF;

// Publication kinds (dwPublishKind).
constexpr DWORD PUB_NONE = 0;        // served by the manager itself, never sent
constexpr DWORD PUB_ALL = 1;         // every binding
constexpr DWORD PUB_JOB = 2;         // the binding of the job named in the value
constexpr DWORD PUB_QUEUE = 5;       // the binding of each queued job, once each
constexpr DWORD PUB_CURRENT = 6;     // the binding of the current document
constexpr DWORD PUB_STATUS = 8;      // every binding, other models see a neutral status
constexpr DWORD PUB_MODEL = 9;       // bindings of the recognised model only

// Trace category of the publication dump.
constexpr DWORD TRC_SRM = 0x4;

struct StatusVariable {
    const char* pszName;
    DWORD qwModelMask[2];
    void* pValue;
    DWORD cbValue;
    DWORD cbElement;
    DWORD dwPublishKind;
    DWORD bChanged;
    DWORD dwRefreshClass;
    DWORD dwFlags;
};

constexpr int kStatusVariableRows = 26;

// A heap copy of the template (rows plus the null-name end row).
StatusVariable* CopyStatusTemplate();
// Frees every value and the table itself.
void FreeVarTable(StatusVariable* table);

StatusVariable* FindStatusVariable(const char* name, StatusVariable* table, PortContext* ctx, BOOL create);
// FindStatusVariable without creating.
StatusVariable* LookupStatusVariable(const char* name, StatusVariable* table, PortContext* ctx);
// As LookupStatusVariable, with the binding's model mask in place of the port's.
StatusVariable* FindBindingStatusVariable(const char* name, StatusVariable* table, PortContext* ctx,
                                          SrmBinding* bind);
DWORD VariableValueSize(const StatusVariable* row);

DWORD UpdateSRM_All(PortContext* ctx);
DWORD PublishAtBind(PortContext* ctx, SrmBinding* bind);

BOOL ResetPrinterStatus(PortContext* ctx, BOOL publish);
BOOL ResetErrVariables(PortContext* ctx, BOOL publish);
BOOL ResetJobStatus(PortContext* ctx);
BOOL ResetConfigVariables(PortContext* ctx, BOOL publish);
BOOL SetPrintingStatus(PortContext* ctx, BOOL on);
BOOL SetJobStatusBits(PortContext* ctx, DWORD mask, BOOL set);
BOOL SetPrinterExtStatus(PortContext* ctx);

BOOL SetPortStatusAll(PortContext* ctx);
// words: H, M, L, or null for an all-zero status (clears the port status).
BOOL SetPortStatus(PortContext* ctx, SrmBinding* bind, const DWORD* words);
// The port status row chosen for a status: first matching row, else 0/0.
void ChoosePortStatus(const DWORD* words, DWORD* status, DWORD* severity);
