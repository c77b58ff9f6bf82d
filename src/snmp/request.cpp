// The five SNMP request operations: one exchange each, on a heap record of
// its own (the record is far too big for the refresh thread's stack).
#include "core/globals.h"
#include "snmp/snmp.h"

#include <ntsecapi.h>

namespace {

constexpr int kMaxCommunity = 31;        // the port setting holds 32 bytes with its terminator

void CopyText(char* dst, const char* src, size_t cch) {
    size_t n = strnlen(src, cch - 1);
    memcpy(dst, src, n);
    dst[n] = '\0';
}

} // namespace

int SnmpPrepareExchange(SnmpExchange* x, const char* host, const char* oid, const char* community, BYTE kind,
            BYTE valueType, LONG setValue) {
    CopyText(x->szOid, oid, sizeof x->szOid);
    x->bValueType = valueType;
    CopyText(x->szHost, *host ? host : SNMP_BROADCAST, sizeof x->szHost);
    x->wPort = SNMP_PORT;
    x->lSetValue = setValue;
    x->sock = INVALID_SOCKET;

    SnmpMessage& m = x->Request;
    m.Version = 0;
    if (strlen(community) > kMaxCommunity) return 0;
    strcpy(m.szCommunity, *community ? community : SNMP_DEFAULT_COMMUNITY);
    m.bPduKind = kind;
    m.Pdu.RequestId = SnmpNewRequestId();
    m.Pdu.cBindings = 1;
    SnmpVarBind& vb = m.Pdu.Bindings[0];
    if (!SnmpParseOidText(x->szOid, &vb)) return 0;
    if (kind == SNMP_PDU_SET)
        SnmpVarBindSetInt(&vb, BER_INTEGER, setValue);
    else
        SnmpSetRequestValue(x->szOid, valueType, &vb);
    return 1;
}

int32_t SnmpNewRequestId() {
    uint32_t r = 0;
    if (!RtlGenRandom(&r, sizeof r)) {
        // No system random source: still different per exchange and hard
        // to guess from outside the process.
        static volatile LONG counter;
        LARGE_INTEGER qpc;
        QueryPerformanceCounter(&qpc);
        r = static_cast<uint32_t>(qpc.QuadPart) * 2654435761u ^ static_cast<uint32_t>(qpc.QuadPart >> 32) ^
            GetCurrentThreadId() << 16 ^ static_cast<uint32_t>(InterlockedIncrement(&counter)) * 40503u;
    }
    return static_cast<int32_t>(SNMP_REQUEST_ID_MIN + r % (SNMP_REQUEST_ID_MAX - SNMP_REQUEST_ID_MIN + 1));
}

bool SnmpFromDestination(const SnmpExchange* x, const sockaddr_in& source) {
    return source.sin_family == AF_INET && source.sin_addr.s_addr == x->dwAddr && source.sin_port == htons(x->wPort);
}

void SnmpConverse(SnmpExchange* x) {
    x->saDest.sin_family = AF_INET;
    x->saDest.sin_port = htons(x->wPort);
    x->saDest.sin_addr.s_addr = x->dwAddr;
    x->cbRequest = SnmpEncodeMessage(&x->Request, x->Buffer, sizeof x->Buffer);

    if (SnmpSend(x, x->Buffer, static_cast<int>(x->cbRequest), &x->saDest) < 0) x->dwError = SNMP_ERR_SEND;

    const bool broadcast = strcmp(x->szHost, SNMP_BROADCAST) == 0;
    for (int attempt = 0; attempt < SNMP_MAX_ATTEMPTS; attempt++) {
        int n = SnmpReceive(x, x->Buffer, sizeof x->Buffer, &x->saSource);
        if (n < 0) {
            if (x->dwError == SNMP_ERR_TIMEOUT) break;
            continue;
        }
        // Anything that is not our answer is ignored like a lost datagram:
        // a unicast answer comes from the agent that was asked, and every
        // answer carries this exchange's request id.
        if (!broadcast && !SnmpFromDestination(x, x->saSource)) continue;
        if (SnmpDecodeMessage(&x->Response, x->Buffer, static_cast<uint32_t>(n)) != 0 ||
            x->Response.bPduKind != SNMP_PDU_RESPONSE || x->Response.Pdu.RequestId != x->Request.Pdu.RequestId)
            continue;
        SnmpResult& r = x->Results[x->cResults++];
        SnmpFillResult(&r, &x->Response, x->bValueType);
        CopyText(r.szAddress, inet_ntoa(x->saSource.sin_addr), sizeof r.szAddress);
        if (x->cResults == SNMP_MAX_RESULTS || !broadcast) break;
    }
    if (x->cResults >= 2) SnmpSortResults(x->Results, x->cResults);
}

namespace {

// Exchange records (about 147 KB) are kept for reuse: allocating and freeing
// a block that size every request makes the heap give its pages back and
// fault them in again, which costs more than the network round trip. Each
// call still has a record of its own, cleared before use. The spares sit on
// an interlocked list, so taking and giving back never waits for another
// thread; the list grows to the most requests ever in flight at once, up to
// kSpareRecords, and a record beyond that goes back to the heap.
constexpr LONG kSpareRecords = 64;

struct alignas(MEMORY_ALLOCATION_ALIGNMENT) SpareRecord {
    SLIST_ENTRY link;
    SnmpExchange x;
};

SLIST_HEADER gSpares;
LONG volatile gSpareCount;
HANDLE volatile gSpareHeap;
INIT_ONCE gSparesReady = INIT_ONCE_STATIC_INIT;

BOOL CALLBACK InitSpares(PINIT_ONCE, PVOID, PVOID*) {
    InitializeSListHead(&gSpares);
    return TRUE;
}

// A new heap (the library was started again) took the old spares with it:
// they are forgotten, never touched.
void FollowHeap() {
    InitOnceExecuteOnce(&gSparesReady, InitSpares, nullptr, nullptr);
    HANDLE seen = gSpareHeap;
    if (seen == hHeap) return;
    if (InterlockedCompareExchangePointer(reinterpret_cast<PVOID volatile*>(&gSpareHeap), hHeap, seen) != seen) return;
    InterlockedFlushSList(&gSpares);
    InterlockedExchange(&gSpareCount, 0);
}

SnmpExchange* TakeExchange() {
    FollowHeap();
    if (auto* spare = reinterpret_cast<SpareRecord*>(InterlockedPopEntrySList(&gSpares))) {
        InterlockedDecrement(&gSpareCount);
        memset(&spare->x, 0, sizeof spare->x);
        return &spare->x;
    }
    auto* fresh = static_cast<SpareRecord*>(MemAlloc(sizeof(SpareRecord)));
    return fresh ? &fresh->x : nullptr;
}

void GiveBackExchange(SnmpExchange* x) {
    auto* spare = CONTAINING_RECORD(x, SpareRecord, x);
    if (gSpareHeap == hHeap && InterlockedIncrement(&gSpareCount) <= kSpareRecords) {
        InterlockedPushEntrySList(&gSpares, &spare->link);
        return;
    }
    InterlockedDecrement(&gSpareCount);
    MemFree(spare);
}

// Runs one request on a record of its own and hands the first result to
// `copy` on success.
template <typename Copy>
int Request(const char* host, const char* oid, const char* community, BYTE kind, BYTE valueType, LONG setValue,
            Copy copy) {
    SnmpExchange* x = TakeExchange();
    if (!x) return 0;
    int ok = SnmpRunExchange(x, host, oid, community, kind, valueType, setValue);
    if (ok) copy(x->Results[0]);
    GiveBackExchange(x);
    return ok;
}

} // namespace

int SnmpRunExchange(SnmpExchange* x, const char* host, const char* oid, const char* community, BYTE kind,
                    BYTE valueType, LONG setValue) {
    if (!SnmpPrepareExchange(x, host, oid, community, kind, valueType, setValue)) return 0;
    if (SnmpOpen(x) == INVALID_SOCKET) return 0;
    SnmpConverse(x);
    SnmpClose(x);
    return x->dwError != SNMP_ERR_TIMEOUT;
}

int SnmpGetString(const char* host, char* value, const char* oid, const char* community) {
    if (!host || !value || !oid || !community) return 0;
    return Request(host, oid, community, SNMP_PDU_GET, BER_OCTET_STRING, 0,
                   [&](const SnmpResult& r) { memcpy(value, r.szValue, SNMP_TEXT); });
}

int SnmpGetInteger(const char* host, LONG* value, const char* oid, const char* community) {
    if (!host || !value || !oid || !community) return 0;
    return Request(host, oid, community, SNMP_PDU_GET, BER_INTEGER, 0,
                   [&](const SnmpResult& r) { *value = r.lValue; });
}

int SnmpGetNextString(const char* host, char* value, char* oid, const char* community) {
    if (!host || !value || !oid || !community) return 0;
    return Request(host, oid, community, SNMP_PDU_GETNEXT, BER_OCTET_STRING, 0, [&](const SnmpResult& r) {
        memcpy(value, r.szValue, SNMP_TEXT);
        CopyText(oid, r.szName, SNMP_TEXT);
        memset(oid + strlen(oid), 0, SNMP_TEXT - strlen(oid));
    });
}

int SnmpGetNextInteger(const char* host, LONG* value, char* oid, const char* community) {
    if (!host || !value || !oid || !community) return 0;
    return Request(host, oid, community, SNMP_PDU_GETNEXT, BER_INTEGER, 0, [&](const SnmpResult& r) {
        *value = r.lValue;
        CopyText(oid, r.szName, SNMP_TEXT);
        memset(oid + strlen(oid), 0, SNMP_TEXT - strlen(oid));
    });
}

int SnmpSetInteger(const char* host, LONG* value, const char* oid, const char* community) {
    if (!host || !value || !oid || !community) return 0;
    return Request(host, oid, community, SNMP_PDU_SET, BER_INTEGER, *value,
                   [&](const SnmpResult& r) { *value = r.lValue; });
}
