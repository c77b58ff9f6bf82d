// The baseline the SNMP benchmarks measure against: one bare UDP request
// and its answer, with nothing of the monitor in between.
#pragma once
#include <winsock2.h>

#include <algorithm>
#include <cstdint>
#include <memory>
#include <vector>

#include "snmp/snmp.h"
#include "timing.h"

// True when an answer came back within 2 s.
inline bool BareRoundTrip(const sockaddr_in& dest, const uint8_t* req, int cb, bool nonBlocking = false) {
    SOCKET s = socket(AF_INET, SOCK_DGRAM, 0);
    if (s == INVALID_SOCKET) return false;
    if (nonBlocking) {
        u_long one = 1;
        ioctlsocket(s, FIONBIO, &one);
    }
    char buf[SNMP_BUFFER];
    int n = -1;
    if (sendto(s, reinterpret_cast<const char*>(req), cb, 0, reinterpret_cast<const sockaddr*>(&dest), sizeof dest) == cb) {
        fd_set set;
        FD_ZERO(&set);
        FD_SET(s, &set);
        timeval tv = {2, 0};
        if (select(0, &set, nullptr, nullptr, &tv) == 1) {
            sockaddr_in from;
            int fl = sizeof from;
            n = recvfrom(s, buf, sizeof buf, 0, reinterpret_cast<sockaddr*>(&from), &fl);
        }
    }
    closesocket(s);
    return n > 0;
}

// The same round trip through the socket calls the monitor's transport makes
// for every exchange (a socket of its own that may broadcast, non-blocking,
// made writable and readable by select, blocking again before the close):
// the floor of an exchange's cost through the wineserver, without its codec.
inline bool TransportRoundTrip(const sockaddr_in& dest, const uint8_t* req, int cb) {
    SOCKET s = socket(AF_INET, SOCK_DGRAM, 0);
    if (s == INVALID_SOCKET) return false;
    u_long one = 1, zero = 0;
    ioctlsocket(s, FIONBIO, &one);
    BOOL broadcast = TRUE;
    setsockopt(s, SOL_SOCKET, SO_BROADCAST, reinterpret_cast<const char*>(&broadcast), sizeof broadcast);
    char buf[SNMP_BUFFER];
    int n = -1;
    fd_set set;
    FD_ZERO(&set);
    FD_SET(s, &set);
    timeval tv = {1, 0};
    if (select(0, nullptr, &set, nullptr, &tv) == 1 &&
        sendto(s, reinterpret_cast<const char*>(req), cb, 0, reinterpret_cast<const sockaddr*>(&dest), sizeof dest) == cb) {
        FD_ZERO(&set);
        FD_SET(s, &set);
        tv = {1, 0};
        if (select(0, &set, nullptr, nullptr, &tv) == 1) {
            sockaddr_in from;
            int fl = sizeof from;
            n = recvfrom(s, buf, sizeof buf, 0, reinterpret_cast<sockaddr*>(&from), &fl);
        }
    }
    ioctlsocket(s, FIONBIO, &zero);
    closesocket(s);
    return n > 0;
}

// The system description request of an SNMP exchange, ready to send bare.
struct BareRequest {
    uint8_t bytes[SNMP_BUFFER];
    int cb = 0;
    sockaddr_in dest = {};
};
inline BareRequest SysDescrRequest(const char* address) {
    BareRequest r;
    auto x = std::make_unique<SnmpExchange>();
    SnmpPrepareExchange(x.get(), address, "1.3.6.1.2.1.1.1.0", "ravine", SNMP_PDU_GET, BER_OCTET_STRING, 0);
    r.cb = static_cast<int>(SnmpEncodeMessage(&x->Request, r.bytes, sizeof r.bytes));
    r.dest.sin_family = AF_INET;
    r.dest.sin_port = htons(SNMP_PORT);
    r.dest.sin_addr.s_addr = inet_addr(address);
    return r;
}
inline bool BareRoundTrip(const BareRequest& r, bool nonBlocking = false) {
    return BareRoundTrip(r.dest, r.bytes, r.cb, nonBlocking);
}
inline bool TransportRoundTrip(const BareRequest& r) { return TransportRoundTrip(r.dest, r.bytes, r.cb); }
