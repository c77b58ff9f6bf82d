// UDP transport of the SNMP client: a fresh non-blocking socket per
// exchange, waits in one-second slices so a silent printer costs about two
// seconds, and a hard close after any error.
#include "snmp/snmp.h"

namespace {

// Waits up to two one-second slices for the socket to become ready.
// Always "fails": the caller reads or gives up depending on the code set.
int WaitReady(SnmpExchange* x, bool forWrite) {
    for (int slice = 0; slice < 2; slice++) {
        fd_set set;
        FD_ZERO(&set);
        FD_SET(x->sock, &set);
        timeval tv = {1, 0};
        int r = forWrite ? select(0, nullptr, &set, nullptr, &tv) : select(0, &set, nullptr, nullptr, &tv);
        if (r == SOCKET_ERROR) {
            x->dwError = SNMP_ERR_FAILED;
            return -1;
        }
        if (r > 0) {
            x->dwError = SNMP_ERR_NONE;
            return -1;
        }
    }
    x->dwError = SNMP_ERR_TIMEOUT;
    return -1;
}

} // namespace

SOCKET SnmpOpen(SnmpExchange* x) {
    x->sock = INVALID_SOCKET;
    unsigned long addr = inet_addr(x->szHost);
    if (addr == INADDR_NONE && strcmp(x->szHost, SNMP_BROADCAST) != 0) {
        hostent* he = gethostbyname(x->szHost);
        if (!he || he->h_addrtype != AF_INET || he->h_length != 4 || !he->h_addr_list || !he->h_addr_list[0]) {
            x->dwError = SNMP_ERR_RESOLVE;
            return INVALID_SOCKET;
        }
        memcpy(&addr, he->h_addr_list[0], 4);
    }
    x->dwAddr = addr;

    SOCKET s = socket(AF_INET, SOCK_DGRAM, 0);
    if (s == INVALID_SOCKET) {
        x->dwError = SNMP_ERR_SOCKET;
        return INVALID_SOCKET;
    }
    u_long nonBlocking = 1;
    ioctlsocket(s, FIONBIO, &nonBlocking);
    BOOL broadcast = TRUE;
    if (setsockopt(s, SOL_SOCKET, SO_BROADCAST, reinterpret_cast<const char*>(&broadcast), sizeof broadcast) ==
        SOCKET_ERROR) {
        closesocket(s);
        x->dwError = SNMP_ERR_SOCKET;
        return INVALID_SOCKET;
    }
    // Never bound: the first send picks a fresh local port.
    x->sock = s;
    x->dwError = SNMP_ERR_NONE;
    return s;
}

int SnmpSend(SnmpExchange* x, const BYTE* bytes, int length, const sockaddr_in* dest) {
    int n = sendto(x->sock, reinterpret_cast<const char*>(bytes), length, 0,
                   reinterpret_cast<const sockaddr*>(dest), sizeof *dest);
    if (n > 0) return n;
    if (n == SOCKET_ERROR && WSAGetLastError() == WSAEWOULDBLOCK) return WaitReady(x, true);
    x->dwError = SNMP_ERR_FAILED;
    return -1;
}

int SnmpReceive(SnmpExchange* x, BYTE* buffer, int size, sockaddr_in* source) {
    int cbSource = sizeof *source;
    int n = recvfrom(x->sock, reinterpret_cast<char*>(buffer), size, 0, reinterpret_cast<sockaddr*>(source),
                     &cbSource);
    if (n > 0) return n;
    if (n == SOCKET_ERROR && WSAGetLastError() == WSAEWOULDBLOCK) return WaitReady(x, false);
    // Includes datagrams too big for the buffer and ICMP reports: try again.
    x->dwError = SNMP_ERR_FAILED;
    return -1;
}

void SnmpClose(SnmpExchange* x) {
    if (x->sock == INVALID_SOCKET) return;
    u_long blocking = 0;
    ioctlsocket(x->sock, FIONBIO, &blocking);
    if (x->dwError != SNMP_ERR_NONE) {
        // Drop whatever is still pending instead of lingering on it.
        linger lg = {1, 0};
        setsockopt(x->sock, SOL_SOCKET, SO_LINGER, reinterpret_cast<const char*>(&lg), sizeof lg);
    }
    closesocket(x->sock);
    x->sock = INVALID_SOCKET;
}

namespace {

DWORD gPauseSlot = TLS_OUT_OF_INDEXES;
INIT_ONCE gPauseSlotReady = INIT_ONCE_STATIC_INIT;

BOOL CALLBACK AllocPauseSlot(PINIT_ONCE, PVOID, PVOID*) {
    gPauseSlot = TlsAlloc();
    return TRUE;
}

DWORD PauseSlot() {
    InitOnceExecuteOnce(&gPauseSlotReady, AllocPauseSlot, nullptr, nullptr);
    return gPauseSlot;
}

} // namespace

void SnmpSetPauseBreak(HANDLE event) {
    DWORD slot = PauseSlot();
    if (slot != TLS_OUT_OF_INDEXES) TlsSetValue(slot, event);
}

bool SnmpPause(DWORD ms) {
    DWORD slot = PauseSlot();
    HANDLE event = slot != TLS_OUT_OF_INDEXES ? static_cast<HANDLE>(TlsGetValue(slot)) : nullptr;
    if (!event) {
        Sleep(ms);
        return false;
    }
    return WaitForSingleObject(event, ms) == WAIT_OBJECT_0;
}
