#include "status/devcheck.h"

#include <cstdio>
#include <cstring>

#include "diag/trace.h"
#include "pm/forward.h"
#include "portinfo/portkind.h"
#include "snmp/snmp.h"
#include "state/binding.h"
#include "state/config.h"
#include "state/jobrelease.h"
#include "state/statusvar.h"
#include "status/devpoll.h"
#include "status/interpret.h"

namespace {

struct LangRow {
    const char* pszDescription;
    DWORD dwBits;
};
constexpr LangRow kLangTable[] = {
    {"VPDL Level2.201PL", 0x1},
    {"ESC/P", 0x2},
    {nullptr, 0xFFFFFFFF},
};

constexpr char kOidSysDescr[] = "1.3.6.1.2.1.1.1.0";
constexpr char kOidHrDeviceStatus[] = "1.3.6.1.2.1.25.3.2.1.5.1";
constexpr char kOidHrPrinterStatus[] = "1.3.6.1.2.1.25.3.5.1.1.1";
constexpr char kOidHrErrorState[] = "1.3.6.1.2.1.25.3.5.1.2.1";
constexpr char kOidConsoleOnTimeFmt[] = "1.3.6.1.2.1.43.17.6.1.2.1%s";
constexpr char kConsoleLightPowerSave[] = ".3";
constexpr char kOidAlertStart[] = "1.3.6.1.2.1.43.18.1.1.8.1";
constexpr char kOidAlertTree[] = "1.3.6.1.2";
constexpr size_t kAlertTreeMarkAt = 8;                // '2' of 1.3.6.1.2
constexpr char kOidInterpStart[] = "1.3.6.1.2.1.43.15.1.1.5.1";
constexpr char kOidInterpColumn[] = "1.3.6.1.2.1.43.15.1.1.5";
constexpr size_t kInterpColumnAt = 22;
constexpr DWORD kInterpRows = 2;
constexpr char kOidOutputStart[] = "1.3.6.1.2.1.43.9.2.1.7.1";
constexpr char kOidOutputColumn[] = "1.3.6.1.2.1.43.9.2.1.7";
constexpr size_t kOutputColumnAt = 21;
constexpr DWORD kOutputRows = 3;
constexpr char kStackerTray[] = "STACKER TRAY";
constexpr char kModelSuffix[] = " (LV)";

// PrinterStatus words and the bits this poll sets.
constexpr DWORD PS_L_PRINTING = 0x8;           // the only L bit kept
constexpr DWORD PS_M_NO_ANSWER = 0x100;
constexpr DWORD PS_M_OTHER_MODEL = 0x200;
constexpr DWORD JOBSTATUS_POWER_OFF = 0x4;
constexpr DWORD ST_MODEL_FIRST = 0x8000;       // set with ST_MODEL_CONFIRMED on first confirmation
constexpr DWORD ST_POWEROFF_CLEARS = 0x00080000 | 0x20000000;
constexpr DWORD PORT_POLLED = PORTKIND_TCPMON | PORTKIND_DPU;
constexpr DWORD VARKIND_REPUBLISH = 0x1 | 0x8;

// Numeric arcs of an OID text; false when it is not one.
bool ParseOid(const char* text, DWORD* arcs, int* count) {
    *count = 0;
    const char* p = text;
    while (*p) {
        if (*p < '0' || *p > '9' || *count >= 128) return false;
        DWORD v = 0;
        while (*p >= '0' && *p <= '9') v = v * 10 + static_cast<DWORD>(*p++ - '0');
        arcs[(*count)++] = v;
        if (*p == '.') ++p;
        else if (*p) return false;
    }
    return *count > 0;
}

// A get-next answer must lie past the name asked for and inside the subtree
// being walked; an agent that loops or wanders would otherwise hold the
// walk to its row limit with rubbish.
bool WalkAdvances(const char* asked, const char* returned, const char* tree) {
    size_t cchTree = strlen(tree);
    if (strncmp(returned, tree, cchTree) != 0 || (returned[cchTree] != '.' && returned[cchTree] != '\0')) return false;
    DWORD a[128], b[128];
    int na = 0, nb = 0;
    if (!ParseOid(asked, a, &na) || !ParseOid(returned, b, &nb)) return false;
    for (int i = 0; i < na && i < nb; ++i)
        if (a[i] != b[i]) return b[i] > a[i];
    return nb > na;
}

void Pause(const PortContext* ctx) { SnmpPause(ctx->dwSNMPIntervals); }

// Sets PrinterStatus to {0, m, L & 0x8} (unless keepIfAlready and it holds
// {0, m, 0} already), re-derives IconState and publishes it with the error
// and configuration variables and the spooler's port status.
void PublishCoarseStatus(PortContext* ctx, DWORD m, bool keepIfAlready) {
    {
        PortLock lock(ctx);
        StatusVariable* row = FindStatusVariable("PrinterStatus", ctx->pVarTable, ctx, TRUE);
        if (!row || !row->pValue) return;
        auto* w = static_cast<DWORD*>(row->pValue);
        if (keepIfAlready && w[0] == 0 && w[1] == m && w[2] == 0) return;
        w[2] &= PS_L_PRINTING;
        w[1] = m;
        w[0] = 0;
        row->bChanged = 1;
        SetIconState(ctx, w[0], w[1], w[2]);
        UpdateSRM_All(ctx);
        ResetErrVariables(ctx, TRUE);
        ResetConfigVariables(ctx, TRUE);
    }
    SetPortStatusAll(ctx);
}

// Every value the managers hold goes out again once the model is confirmed.
void MarkAllForRepublish(PortContext* ctx) {
    PortLock lock(ctx);
    if (!ctx->pVarTable) return;
    for (StatusVariable* row = ctx->pVarTable; row->pszName; ++row)
        if (row->pValue && (row->dwPublishKind & VARKIND_REPUBLISH)) row->bChanged = 1;
}

// Another model changes what the managers may be told: the bindings are
// refreshed for it, and each one that was there before is sent its bind
// values again (a binding made now had them as it was made).
void RebindForModel(PortContext* ctx) {
    PortLock lock(ctx);
    for (SrmBinding* b = ctx->pBindList; b; b = b->pNext) b->dwFlags |= BF_REPUBLISH;
    RefreshSRMBindings(ctx);
    for (SrmBinding* b = ctx->pBindList; b; b = b->pNext) {
        if (!(b->dwFlags & BF_REPUBLISH)) continue;
        b->dwFlags &= ~BF_REPUBLISH;
        PublishAtBind(ctx, b);
    }
}

void PowerOffQueuedJobs(PortContext* ctx) {
    SetJobStatusBits(ctx, JOBSTATUS_POWER_OFF, TRUE);
    Sleep(kPowerOffJobBitMs);
    if ((ctx->status & (ST_IN_DOC | ST_FIRST_WRITE)) != (ST_IN_DOC | ST_FIRST_WRITE))
        SetJobStatusBits(ctx, JOBSTATUS_POWER_OFF, FALSE);
    if (TraceOn(ctx, TRC_JOB)) TraceWrite(ctx, "VJLMON:Call DeleteJob @2");
    if (!(ctx->dwSysFlag & SYS_PWOFF_JCID)) {
        memcpy(ctx->szPWOFFJCID, ctx->szJCID, sizeof(ctx->szPWOFFJCID));
        ctx->szPWOFFJCID[sizeof(ctx->szPWOFFJCID) - 1] = '\0';
        SysFlagSet(ctx, SYS_PWOFF_JCID);
        if (TraceOn(ctx, TRC_JOB)) TraceRawF(ctx, "szPWOFFJCID[%s]\r\n", ctx->szPWOFFJCID);
    }
    DeleteJob(ctx, TRUE);
}

}  // namespace

DWORD GetLangFlag(const char* text) {
    if (!text || !*text) return 0;
    size_t cch = strlen(text);
    for (const LangRow* r = kLangTable; r->dwBits != 0xFFFFFFFF; ++r)
        if (strlen(r->pszDescription) == cch && memcmp(r->pszDescription, text, cch) == 0) return r->dwBits;
    return 0;
}

BOOL CheckSupportedModel(PortContext* ctx, const char* text) {
    const DWORD before[2] = {ctx->qwStatusMask[0], ctx->qwStatusMask[1]};
    size_t cch = text ? strlen(text) : 0;
    const SupportedModel* m = kSupportedModels;
    for (; m->pszShortName; ++m)
        if (m->cchFullName == cch && memcmp(m->pszFullName, text, cch) == 0) break;
    ctx->qwStatusMask[0] = m->qwStatusMask[0];
    ctx->qwStatusMask[1] = m->qwStatusMask[1];
    if (!(ctx->status & ST_IN_DOC) && !ctx->pJobQueueHead &&
        (before[0] != ctx->qwStatusMask[0] || before[1] != ctx->qwStatusMask[1]))
        RebindForModel(ctx);
    return m->pszShortName != nullptr;
}

BOOL GetDeviceInfo_SNMP(PortContext* ctx, const char* community) {
    PollRecord* p = &ctx->Poll;
    const char* host = ctx->szPrinterAddress;
    memset(p, 0, sizeof(*p));

    for (;;) {
        if (SnmpGetString(host, p->szSysDescr, kOidSysDescr, community) && p->szSysDescr[0]) break;
        if (p->dwDescrRetry >= ctx->dwSNMP_PWOFF) return FALSE;
        SnmpPause(kDescrRetryPauseMs);
        ++p->dwDescrRetry;
    }
    p->dwMibFlags |= MIBF_DESCR;
    // No room for the suffix: the text cannot be the supported model then.
    if (strlen(p->szSysDescr) + sizeof(kModelSuffix) <= sizeof(p->szSysDescr)) strcat(p->szSysDescr, kModelSuffix);
    if (!CheckSupportedModel(ctx, p->szSysDescr)) return TRUE;
    p->dwMibFlags |= MIBF_SUPPORTED;

    LONG value = 0;
    Pause(ctx);
    if (SnmpGetInteger(host, &value, kOidHrDeviceStatus, community)) p->dwHrDeviceStatus = static_cast<DWORD>(value);
    Pause(ctx);
    value = 0;
    if (SnmpGetInteger(host, &value, kOidHrPrinterStatus, community)) p->dwHrPrinterStatus = static_cast<DWORD>(value);
    Pause(ctx);
    char text[POLL_TEXT] = {};
    if (SnmpGetString(host, text, kOidHrErrorState, community)) memcpy(&p->dwHrErrorState, text, sizeof(DWORD));
    Pause(ctx);
    char oid[POLL_TEXT];
    snprintf(oid, sizeof(oid), kOidConsoleOnTimeFmt, kConsoleLightPowerSave);
    value = 0;
    if (SnmpGetInteger(host, &value, oid, community)) p->dwPowerSave = static_cast<DWORD>(value);

    char asked[POLL_TEXT];
    strcpy(oid, kOidAlertStart);
    for (DWORD row = 0; row < POLL_ALERTS; ++row) {
        Pause(ctx);
        strcpy(asked, oid);
        if (!SnmpGetNextString(host, p->szAlert[row], oid, community) || !oid[0]) break;
        p->dwMibFlags |= MIBF_ALERT;
        if (strlen(oid) <= kAlertTreeMarkAt || oid[kAlertTreeMarkAt] != '2') break;
        if (!WalkAdvances(asked, oid, kOidAlertTree)) break;
        ++p->dwAlertCount;
    }

    if (ctx->pJobQueueHead || (ctx->status & ST_IN_DOC)) return TRUE;

    strcpy(oid, kOidInterpStart);
    for (DWORD row = 0; row < kInterpRows; ++row) {
        Pause(ctx);
        strcpy(asked, oid);
        if (!SnmpGetNextString(host, p->szMibWork, oid, community) || !oid[0]) break;
        p->dwMibFlags |= MIBF_LANG;
        p->dwLangFlags |= GetLangFlag(p->szMibWork);
        if (strlen(oid) <= kInterpColumnAt || oid[kInterpColumnAt] != '5') break;
        if (!WalkAdvances(asked, oid, kOidInterpColumn)) break;
    }

    if (ReadInputBins(p, host, oid, ctx->dwSNMPIntervals, community)) p->dwMibFlags |= MIBF_INPUT;

    p->OptionBin[0].dwId = OPTION_ID_OUTPUT;
    strcpy(oid, kOidOutputStart);
    for (DWORD row = 0; row < kOutputRows; ++row) {
        Pause(ctx);
        memset(p->szMibWork, 0, sizeof(p->szMibWork));
        strcpy(asked, oid);
        if (!SnmpGetNextString(host, p->szMibWork, oid, community) || !oid[0]) break;
        if (strlen(oid) <= kOutputColumnAt || oid[kOutputColumnAt] != '7') break;
        if (!WalkAdvances(asked, oid, kOidOutputColumn)) break;
        if (strlen(p->szMibWork) == sizeof(kStackerTray) - 1 &&
            memcmp(p->szMibWork, kStackerTray, sizeof(kStackerTray) - 1) == 0) {
            p->OptionBin[1].dwId = OPTION_ID_STACKER;
            break;
        }
    }
    p->dwMibFlags |= MIBF_OUTPUT;
    return TRUE;
}

BOOL CheckDeviceId_SNMP(PortContext* ctx) {
    if (!GetPrinterIPAddress(ctx, ctx->pszPortName)) return FALSE;
    const bool trace = TraceOn(ctx, TRC_DEVICE);
    if (trace) TraceWrite(ctx, "VJLMON:CheckDeviceId_SNMP -START-");

    if (GetDeviceInfo_SNMP(ctx, ctx->szCommunity)) {
        if (trace) TraceWrite(ctx, "VJLMON:CheckDeviceId_SNMP -GET SUCCESS-");
        StatusClear(ctx, ST_NO_ANSWER);
        if (ctx->Poll.dwMibFlags & MIBF_SUPPORTED) {
            // "サポートプリンタ" (supported printer)
            if (trace) TraceWrite(ctx, "VJLMON:CheckDeviceId_SNMP -\x83\x54\x83\x7c\x81\x5b\x83\x67\x83\x76\x83\x8a\x83\x93\x83\x5e-");
            if (!(ctx->status & ST_MODEL_CONFIRMED)) {
                StatusSet(ctx, ST_MODEL_CONFIRMED | ST_MODEL_FIRST);
                MarkAllForRepublish(ctx);
            }
            ParseDeviceId_SYSPRINTER(ctx);
            return TRUE;
        }
        // "サポート外プリンタ" (unsupported printer)
        if (trace)
            TraceWrite(ctx, "VJLMON:CheckDeviceId_SNMP -\x83\x54\x83\x7c\x81\x5b\x83\x67\x8a\x4f\x83\x76\x83\x8a\x83\x93\x83\x5e-");
        PublishCoarseStatus(ctx, PS_M_OTHER_MODEL, true);
        StatusClear(ctx, ST_MODEL_CONFIRMED);
        return TRUE;
    }

    if (trace) TraceWrite(ctx, "VJLMON:CheckDeviceId_SNMP -GET ERROR-");
    // The refresh thread and the write path both poll: the outage is handled
    // by whichever fails first, once.
    if (StatusTestAndSet(ctx, ST_NO_ANSWER)) return FALSE;
    DiscardPending(ctx);
    if (trace) TraceWrite(ctx, "VJLMON:CheckDeviceId_SNMP -Set PW OFF-");
    PublishCoarseStatus(ctx, PS_M_NO_ANSWER, false);
    if (ctx->pJobQueueHead) PowerOffQueuedJobs(ctx);
    if (!(ctx->status & ST_IN_DOC)) PortModeClear(ctx, 0xFFFFFFFF);
    StatusClear(ctx, ST_MODEL_CONFIRMED | ST_POWEROFF_CLEARS);
    return FALSE;
}

BOOL CheckDeviceId(PortContext* ctx) {
    if (TraceOn(ctx)) TraceWrite(ctx, "VJLMON:CheckDeviceId -START-");
    BOOL ok = (ctx->dwPortStatus & PORT_POLLED) ? CheckDeviceId_SNMP(ctx) : TRUE;
    if (TraceOn(ctx)) TraceWrite(ctx, ok ? "VJLMON:CheckDeviceId -SUCCESS-\r\n" : "VJLMON:CheckDeviceId  -ERROR-\r\n");
    return ok;
}

BOOL CheckDeviceIdOnWrite(PortContext* ctx) {
    if (!(ctx->PortMode & 0x2)) return TRUE;
    ctx->bDataWritten = 0;
    Sleep(kWritePollPauseMs);
    return CheckDeviceId(ctx);
}
