// WritePort throughput under Wine: a 256 MiB job in 64 KiB blocks through
// the monitor (a plain port, and the full network path of a Standard TCP/IP
// port with a bound printer) against the port monitor double called
// directly, all sending to a TCP sink on loopback. Prints ratios; no bar is
// asserted here.
//
//   writeport_bench [MiB]        (default 256)
#include "spoolhost.h"
#include "pmdouble.h"
#include "fakespool.h"
#include "srmdouble.h"
#include "support/served_model.h"

#include <winsock2.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

namespace {

constexpr DWORD kBlock = 64 * 1024;
constexpr DWORD kRounds = 7;
constexpr wchar_t kModel[] = L"VEK Tessaroline 7700 (LV)";
// Accepts one connection at a time on 127.0.0.1 and throws the bytes away.
struct Sink {
    SOCKET listener = INVALID_SOCKET;
    unsigned short port = 0;
    std::atomic<unsigned long long> bytes{0};
    std::atomic<bool> stop{false};
    std::thread thread;

    bool Start() {
        WSADATA wsa;
        WSAStartup(MAKEWORD(2, 2), &wsa);
        listener = socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        if (bind(listener, reinterpret_cast<sockaddr*>(&a), sizeof(a)) || listen(listener, 4)) return false;
        int len = sizeof(a);
        getsockname(listener, reinterpret_cast<sockaddr*>(&a), &len);
        port = ntohs(a.sin_port);
        thread = std::thread([this] {
            static char buf[1 << 16];
            while (!stop) {
                SOCKET s = accept(listener, nullptr, nullptr);
                if (s == INVALID_SOCKET) break;
                int n;
                while ((n = recv(s, buf, sizeof(buf), 0)) > 0) bytes += static_cast<unsigned long long>(n);
                closesocket(s);
            }
        });
        return true;
    }
    void Stop() {
        stop = true;
        closesocket(listener);
        thread.join();
    }
};

double Seconds(std::chrono::steady_clock::time_point t0) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
}

// The double's own table, called the way the monitor calls it.
double Direct(const std::string& block, unsigned long long total) {
    MONITOR2* t = PmDouble_Table();
    HANDLE h = nullptr;
    t->pfnOpenPort(nullptr, const_cast<LPWSTR>(L"DIRECT"), &h);
    DOC_INFO_1W di{const_cast<LPWSTR>(L"bench"), nullptr, nullptr};
    auto t0 = std::chrono::steady_clock::now();
    t->pfnStartDocPort(h, const_cast<LPWSTR>(kModel), 1, 1, reinterpret_cast<BYTE*>(&di));
    for (unsigned long long sent = 0; sent < total;) {
        DWORD w = 0;
        t->pfnWritePort(h, reinterpret_cast<BYTE*>(const_cast<char*>(block.data())), kBlock, &w);
        sent += w;
    }
    t->pfnEndDocPort(h);
    double s = Seconds(t0);
    t->pfnClosePort(h);
    return s;
}

double ThroughMonitor(SpoolHost& host, const wchar_t* port, DWORD jobId, const std::string& block,
                      unsigned long long total) {
    HANDLE h = nullptr;
    if (!host.OpenPort(port, kModel, &h)) {
        fprintf(stderr, "open %ls failed: %lu\n", port, GetLastError());
        return -1;
    }
    auto t0 = std::chrono::steady_clock::now();
    host.StartDoc(h, kModel, jobId, L"bench");
    for (unsigned long long sent = 0; sent < total;) {
        DWORD w = 0;
        if (!host.Write(h, block.data(), kBlock, &w)) break;
        sent += w;
    }
    host.EndDoc(h);
    double s = Seconds(t0);
    host.ClosePort(h);
    return s;
}

}  // namespace

int main(int argc, char** argv) {
    unsigned long long mib = argc > 1 ? strtoull(argv[1], nullptr, 10) : 256;
    unsigned long long total = mib * 1024 * 1024;
    std::string block(kBlock, 'x');
    block.replace(0, 9, "\x1b%-12345X");

    Sink sink;
    if (!sink.Start()) {
        fprintf(stderr, "no sink\n");
        return 1;
    }
    PmDouble_Reset();
    PmDouble_KeepData(false);
    PmDouble_SetTcpSink(sink.port);

    FakeSpool_Reset();
    FakeSpool_AddDriver(kModel, kServedMonitorName);
    FakeSpool_AddPort(L"IP_127.0.0.1", L"TCPMON.DLL", PORT_TYPE_WRITE | PORT_TYPE_READ, L"Standard TCP/IP Port");
    FakeSpool_SetXcvIPAddress(L"IP_127.0.0.1", L"127.0.0.1");
    FakeSpool_AddPrinter(kModel, kModel, L"IP_127.0.0.1", PRINTER_ATTRIBUTE_ENABLE_BIDI, L"winprint", 0);
    SrmDouble_Reset();
    ServedModelKeys keys{"VEK Tessaroline 7700 (LV)"};

    SpoolHost host;
    if (!host.Load() || !host.Initialize()) {
        fprintf(stderr, "cannot load vjlmon.dll\n");
        return 1;
    }
    // Each round runs the three cases back to back, in a rotating order, and
    // gives one ratio per case; the median of the rounds is reported, so a
    // passing hiccup of the machine does not decide it.
    std::vector<double> direct, plain, network, plainRatio, networkRatio;
    for (DWORD round = 0; round < kRounds; ++round) {
        double t[3] = {};
        for (DWORD k = 0; k < 3; ++k) {
            DWORD which = (round + k) % 3;
            if (which == 0) t[0] = Direct(block, total);
            if (which == 1) t[1] = ThroughMonitor(host, L"USB001", 10 + round, block, total);
            if (which == 2) t[2] = ThroughMonitor(host, L"IP_127.0.0.1", 20 + round, block, total);
        }
        direct.push_back(t[0]);
        plain.push_back(t[1]);
        network.push_back(t[2]);
        plainRatio.push_back(t[0] / t[1]);
        networkRatio.push_back(t[0] / t[2]);
    }
    unsigned managers = SrmDouble_CallCount("OpenManagerExW");
    host.Unload();
    sink.Stop();

    auto rate = [total](double s) { return s > 0 ? total / s / (1024.0 * 1024.0) : 0.0; };
    auto median = [](std::vector<double> v) {
        std::sort(v.begin(), v.end());
        return v[v.size() / 2];
    };
    printf("WritePort, %llu MiB in 64 KiB blocks to a TCP sink on 127.0.0.1, %lu rounds (%llu bytes arrived)\n", mib,
           kRounds, sink.bytes.load());
    printf("  %-34s %8.1f MiB/s (median)\n", "port monitor double, direct", rate(median(direct)));
    printf("  %-34s %8.1f MiB/s  ratio %.3f (median; rounds %.3f..%.3f)\n", "through vjlmon, plain USB port",
           rate(median(plain)), median(plainRatio), *std::min_element(plainRatio.begin(), plainRatio.end()),
           *std::max_element(plainRatio.begin(), plainRatio.end()));
    printf("  %-34s %8.1f MiB/s  ratio %.3f (median; rounds %.3f..%.3f)\n", "through vjlmon, TCP/IP full path",
           rate(median(network)), median(networkRatio), *std::min_element(networkRatio.begin(), networkRatio.end()),
           *std::max_element(networkRatio.begin(), networkRatio.end()));
    printf("(ratio = monitor throughput / direct throughput; bar: at least 0.95; managers opened: %u)\n", managers);
    return 0;
}
