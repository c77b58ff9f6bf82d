// Under Wine: one SnmpGetString exchange against the native responder, next
// to a bare socket-per-request round trip (socket, sendto, select, recvfrom,
// closesocket) with the same request bytes, in the same run. Prints the
// medians of interleaved rounds and their ratio.
// Usage: snmp_exchange_bench [rounds] [requests per round]
#include <winsock2.h>
#include <windows.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <vector>

#include "bytes.h"
#include "native_helpers.h"
#include "snmp/snmp.h"
#include "support/whitebox.h"
#include "../support/roundtrip.h"

namespace {

const char kAddr[] = "127.0.3.200";


} // namespace

int main(int argc, char** argv) {
    int rounds = argc > 1 ? atoi(argv[1]) : 21;
    int perRound = argc > 2 ? atoi(argv[2]) : 100;
    WSADATA wsa;
    WSAStartup(MAKEWORD(1, 1), &wsa);
    EnsureMonitorProcess();

    Bytes answer = Message(Response(kEchoId, {Binding(SysDescrName(), Tlv(0x04, Str("VEK Tessaroline 7700 ")))}));
    NativeProcess responder(kAddr);
    if (!responder.StartResponder(kAddr, "reply-always\nanswer " + HexOf(answer) + "\n")) {
        fprintf(stderr, "%s\n", responder.error.c_str());
        return 1;
    }

    // The very request an exchange sends.
    const BareRequest request = SysDescrRequest(kAddr);

    char value[SNMP_TEXT];
    int failures = 0;
    for (int i = 0; i < 50; i++) {   // warm-up
        failures += !SnmpGetString(kAddr, value, "1.3.6.1.2.1.1.1.0", "ravine");
        failures += !BareRoundTrip(request, false);
    }
    // The three kinds take turns request by request, so that a busy machine
    // slows them alike; each figure is the median of its rounds.
    std::vector<double> ours, bare, bareNb;
    for (int r = 0; r < rounds; r++) {
        double sum[3] = {0, 0, 0};
        for (int i = 0; i < perRound; i++) {
            double t0 = NowMs();
            failures += !SnmpGetString(kAddr, value, "1.3.6.1.2.1.1.1.0", "ravine");
            double t1 = NowMs();
            failures += !BareRoundTrip(request, false);
            double t2 = NowMs();
            failures += !BareRoundTrip(request, true);
            double t3 = NowMs();
            sum[0] += t1 - t0;
            sum[1] += t2 - t1;
            sum[2] += t3 - t2;
        }
        ours.push_back(sum[0] / perRound * 1e3);
        bare.push_back(sum[1] / perRound * 1e3);
        bareNb.push_back(sum[2] / perRound * 1e3);
    }
    responder.Stop();
    double o = Median(ours), b = Median(bare), nb = Median(bareNb);
    printf("rounds %d x %d requests each, failures %d\n", rounds, perRound, failures);
    printf("SnmpGetString exchange                  %8.1f us (median of rounds)\n", o);
    printf("bare socket round trip                  %8.1f us   ratio %.2f (bar: at most 1.3)\n", b, o / b);
    printf("bare round trip, non-blocking socket    %8.1f us   ratio %.2f (for reference)\n", nb, o / nb);
    return failures ? 1 : 0;
}
