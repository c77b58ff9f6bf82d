// Per-port status variables: the fixed template, lookup, and the fixed
// states the port session needs.
#pragma once
#include "monitor/portctx.h"

constexpr DWORD VF_AT_BIND = 0x1;
constexpr DWORD VF_KEEP_VALUE = 0x2;
constexpr DWORD VF_JOB_FINISHED = 0x100;
constexpr DWORD VF_CLEAR_JOBID = 0x200;
constexpr DWORD VAR_SIZE_VARIABLE = 0xFFFFFFFF;

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
DWORD VariableValueSize(const StatusVariable* row);

DWORD UpdateSRM_All(PortContext* ctx);
BOOL ResetErrVariables(PortContext* ctx, BOOL publish);
BOOL ResetJobStatus(PortContext* ctx);
BOOL ResetConfigVariables(PortContext* ctx, BOOL publish);
BOOL SetPrinterExtStatus(PortContext* ctx);
BOOL SetPortStatusAll(PortContext* ctx);
