// Our BER codec against Net-SNMP's library on the same messages: encoding
// the GetRequest of sysDescr.0, decoding GetResponses carrying a 21-byte
// OCTET STRING and an INTEGER. Prints the time ratios and the heap
// allocations per call of each side.
#include <benchmark/benchmark.h>

#include <net-snmp/net-snmp-config.h>
#include <net-snmp/net-snmp-includes.h>

#include <atomic>
#include <cstdio>
#include <cstring>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "snmp/ber.h"

// Every heap allocation of the process, ours and the library's, is counted.
extern "C" void* __libc_malloc(size_t);
extern "C" void* __libc_calloc(size_t, size_t);
extern "C" void* __libc_realloc(void*, size_t);
static std::atomic<long> gAllocs{0};
extern "C" void* malloc(size_t n) {
    gAllocs.fetch_add(1, std::memory_order_relaxed);
    return __libc_malloc(n);
}
extern "C" void* calloc(size_t a, size_t b) {
    gAllocs.fetch_add(1, std::memory_order_relaxed);
    return __libc_calloc(a, b);
}
extern "C" void* realloc(void* p, size_t n) {
    gAllocs.fetch_add(1, std::memory_order_relaxed);
    return __libc_realloc(p, n);
}

namespace {

const uint32_t kSysDescr[] = {1, 3, 6, 1, 2, 1, 1, 1, 0};
const oid kSysDescrOid[] = {1, 3, 6, 1, 2, 1, 1, 1, 0};
const char kCommunity[] = "ravine";

// GetResponse of sysDescr.0: "VEK Tessaroline 7700 " (21 bytes), and of
// sysServices.0: INTEGER 72.
std::vector<uint8_t> ResponseWith(const std::vector<uint8_t>& name, const std::vector<uint8_t>& value) {
    auto tlv = [](uint8_t tag, const std::vector<uint8_t>& c) {
        std::vector<uint8_t> out{tag, static_cast<uint8_t>(c.size())};
        out.insert(out.end(), c.begin(), c.end());
        return out;
    };
    auto cat = [](std::initializer_list<std::vector<uint8_t>> parts) {
        std::vector<uint8_t> out;
        for (auto& p : parts) out.insert(out.end(), p.begin(), p.end());
        return out;
    };
    auto binding = tlv(0x30, cat({tlv(0x06, name), value}));
    auto pdu = tlv(0xA2, cat({tlv(0x02, {1}), tlv(0x02, {0}), tlv(0x02, {0}), tlv(0x30, binding)}));
    return tlv(0x30, cat({tlv(0x02, {0}), tlv(0x04, {'r', 'a', 'v', 'i', 'n', 'e'}), pdu}));
}
const std::vector<uint8_t> kStringResponse =
    ResponseWith({0x2B, 6, 1, 2, 1, 1, 1, 0}, {0x04, 21, 'V', 'E', 'K', ' ', 'T', 'e', 's', 's', 'a', 'r', 'o',
                                               'l', 'i', 'n', 'e', ' ', '7', '7', '0', '0', ' '});
const std::vector<uint8_t> kIntegerResponse = ResponseWith({0x2B, 6, 1, 2, 1, 1, 7, 0}, {0x02, 0x01, 72});

// ------------------------------------------------------------------ ours

SnmpMessage* gRequest = new SnmpMessage();
SnmpMessage* gResponse = new SnmpMessage();

// Fills the request record as a request does (the record itself is cleared
// once per exchange) and encodes it.
uint32_t OurEncode(uint8_t* buf, uint8_t valueType = BER_OCTET_STRING) {
    SnmpMessage& m = *gRequest;
    m.Version = 0;
    memcpy(m.szCommunity, kCommunity, sizeof kCommunity);
    m.bPduKind = SNMP_PDU_GET;
    m.Pdu.RequestId = 1;
    m.Pdu.cBindings = 1;
    SnmpVarBind& vb = m.Pdu.Bindings[0];
    memcpy(vb.Name, kSysDescr, sizeof kSysDescr);
    vb.cbName = sizeof kSysDescr;
    vb.bType = valueType;
    vb.cbValue = valueType == BER_OCTET_STRING ? 1 : 0;
    vb.Value[0] = 0;
    return SnmpEncodeMessage(&m, buf, 2048);
}

int OurDecode(const std::vector<uint8_t>& dg) {
    return SnmpDecodeMessage(gResponse, dg.data(), static_cast<uint32_t>(dg.size()));
}

// ------------------------------------------------------------------ Net-SNMP

netsnmp_session gSession;

// snmp_build may grow the buffer with realloc and writes backwards: the
// message is the last `offset` bytes of it.
u_char* gBuildBuf = static_cast<u_char*>(malloc(2048));
size_t gBuildLen = 2048;

size_t NetSnmpEncode(uint8_t* out) {
    netsnmp_pdu* pdu = snmp_pdu_create(SNMP_MSG_GET);
    pdu->version = SNMP_VERSION_1;
    pdu->community = reinterpret_cast<u_char*>(strdup(kCommunity));
    pdu->community_len = strlen(kCommunity);
    pdu->reqid = 1;
    snmp_add_null_var(pdu, kSysDescrOid, OID_LENGTH(kSysDescrOid));
    size_t offset = 0;
    int rc = snmp_build(&gBuildBuf, &gBuildLen, &offset, &gSession, pdu);
    snmp_free_pdu(pdu);
    if (rc != 0) return 0;
    if (out) memcpy(out, gBuildBuf + gBuildLen - offset, offset);
    return offset;
}

int NetSnmpDecode(const std::vector<uint8_t>& dg) {
    netsnmp_pdu* pdu = static_cast<netsnmp_pdu*>(calloc(1, sizeof(netsnmp_pdu)));
    int rc = snmp_parse(nullptr, &gSession, pdu, const_cast<u_char*>(dg.data()), dg.size());
    snmp_free_pdu(pdu);
    return rc;
}

// ------------------------------------------------------------------ benchmarks

void Encode_Ours(benchmark::State& st) {
    uint8_t buf[2048];
    for (auto _ : st) {
        benchmark::DoNotOptimize(OurEncode(buf));
        benchmark::ClobberMemory();
    }
}
void Encode_NetSnmp(benchmark::State& st) {
    uint8_t buf[2048];
    for (auto _ : st) {
        benchmark::DoNotOptimize(NetSnmpEncode(nullptr));
        (void)buf;
        benchmark::ClobberMemory();
    }
}
void DecodeString_Ours(benchmark::State& st) {
    for (auto _ : st) {
        benchmark::DoNotOptimize(OurDecode(kStringResponse));
        benchmark::ClobberMemory();
    }
}
void DecodeString_NetSnmp(benchmark::State& st) {
    for (auto _ : st) benchmark::DoNotOptimize(NetSnmpDecode(kStringResponse));
}
void DecodeInteger_Ours(benchmark::State& st) {
    for (auto _ : st) {
        benchmark::DoNotOptimize(OurDecode(kIntegerResponse));
        benchmark::ClobberMemory();
    }
}
void DecodeInteger_NetSnmp(benchmark::State& st) {
    for (auto _ : st) benchmark::DoNotOptimize(NetSnmpDecode(kIntegerResponse));
}
BENCHMARK(Encode_Ours);
BENCHMARK(Encode_NetSnmp);
BENCHMARK(DecodeString_Ours);
BENCHMARK(DecodeString_NetSnmp);
BENCHMARK(DecodeInteger_Ours);
BENCHMARK(DecodeInteger_NetSnmp);

struct RatioReporter : benchmark::ConsoleReporter {
    std::map<std::string, double> ns;
    std::map<std::string, bool> medians;
    void ReportRuns(const std::vector<Run>& runs) override {
        ConsoleReporter::ReportRuns(runs);
        // One figure per benchmark: the run itself, or the median of repetitions.
        for (const Run& r : runs) {
            const std::string& name = r.run_name.function_name;
            if (r.run_type == Run::RT_Iteration && !medians.count(name)) ns[name] = r.GetAdjustedRealTime();
            if (r.run_type == Run::RT_Aggregate && r.aggregate_name == "median") {
                ns[name] = r.GetAdjustedRealTime();
                medians[name] = true;
            }
        }
    }
};

template <typename F>
double AllocsPerCall(F f) {
    const int n = 1000;
    long before = gAllocs.load();
    for (int i = 0; i < n; i++) f();
    return static_cast<double>(gAllocs.load() - before) / n;
}

// Both sides must agree on what the bytes say before they are timed. Net-SNMP
// sends a NULL placeholder where we send the one-byte string; with a NULL
// placeholder of our own the two encodings must be identical.
bool SameResults() {
    uint8_t a[2048], b[2048];
    uint32_t na = OurEncode(a, BER_NULL);
    size_t nb = NetSnmpEncode(b);
    if (na != nb || memcmp(a, b, na) != 0 || OurEncode(a) != 41) {
        fprintf(stderr, "encodings differ\n");
        return false;
    }
    if (OurDecode(kStringResponse) != 0 || OurDecode(kIntegerResponse) != 0) return false;
    if (NetSnmpDecode(kStringResponse) != 0 || NetSnmpDecode(kIntegerResponse) != 0) {
        fprintf(stderr, "Net-SNMP does not parse the responses\n");
        return false;
    }
    return true;
}

} // namespace

int main(int argc, char** argv) {
    setenv("MIBS", "", 1);
    netsnmp_ds_set_boolean(NETSNMP_DS_LIBRARY_ID, NETSNMP_DS_LIB_DONT_READ_CONFIGS, 1);
    netsnmp_ds_set_boolean(NETSNMP_DS_LIBRARY_ID, NETSNMP_DS_LIB_DISABLE_PERSISTENT_LOAD, 1);
    netsnmp_ds_set_boolean(NETSNMP_DS_LIBRARY_ID, NETSNMP_DS_LIB_DISABLE_PERSISTENT_SAVE, 1);
    init_snmp("vjl-codec-bench");
    snmp_sess_init(&gSession);
    gSession.version = SNMP_VERSION_1;
    gSession.community = reinterpret_cast<u_char*>(const_cast<char*>(kCommunity));
    gSession.community_len = strlen(kCommunity);
    if (!SameResults()) {
        fprintf(stderr, "the two codecs disagree on the benchmark messages\n");
        return 1;
    }

    benchmark::Initialize(&argc, argv);
    RatioReporter rep;
    benchmark::RunSpecifiedBenchmarks(&rep);

    uint8_t buf[2048];
    printf("\n%-14s %10s %10s %8s   %s\n", "operation", "ours ns", "Net-SNMP", "ratio", "heap allocations per call (ours / Net-SNMP)");
    struct Row { const char* op; std::string a, b; double oursAllocs, theirAllocs; } rows[] = {
        {"encode get", "Encode_Ours", "Encode_NetSnmp", AllocsPerCall([&] { OurEncode(buf); }),
         AllocsPerCall([&] { NetSnmpEncode(nullptr); })},
        {"decode string", "DecodeString_Ours", "DecodeString_NetSnmp", AllocsPerCall([] { OurDecode(kStringResponse); }),
         AllocsPerCall([] { NetSnmpDecode(kStringResponse); })},
        {"decode integer", "DecodeInteger_Ours", "DecodeInteger_NetSnmp",
         AllocsPerCall([] { OurDecode(kIntegerResponse); }), AllocsPerCall([] { NetSnmpDecode(kIntegerResponse); })},
    };
    for (const Row& r : rows) {
        if (!rep.ns.count(r.a) || !rep.ns.count(r.b)) continue;
        double ours = rep.ns[r.a], theirs = rep.ns[r.b];
        printf("%-14s %10.1f %10.1f %7.1fx   %.0f / %.1f\n", r.op, ours, theirs, theirs / ours, r.oursAllocs,
               r.theirAllocs);
    }
    benchmark::Shutdown();
    return 0;
}
