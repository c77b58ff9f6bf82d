// vjlhost: the spooler's side of a print, for a person to watch. Loads
// vjlmon.dll as the spooler does, opens one port of each kind, prints a
// small job through a plain port and one through the Standard TCP/IP port
// of the printer, and shows what the monitor traced.
//
//   vjlhost [--printer ADDR] [--job-bytes N] [--keep-trace]
//
// --printer ADDR  the printer's address (default 127.0.0.1): the TCP/IP
//                 ports are IP_ADDR and DPU_ADDR, the monitor polls
//                 ADDR:161, and the port monitor beneath sends the job data
//                 of both printed jobs to ADDR:9100. A simulated printer is
//                 started there unless one answers already (port 161 needs
//                 root).
#include "control.h"
#include "spoolhost.h"
#include "pmdouble.h"
#include "fakespool.h"
#include "spoolports.h"
#include "srmdouble.h"
#include "support/served_model.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {

constexpr wchar_t kPrinter[] = L"VEK Tessaroline 7700 (LV)";

std::wstring WinDir() {
    wchar_t dir[MAX_PATH];
    GetWindowsDirectoryW(dir, MAX_PATH);
    return dir;
}

std::string Narrow(const std::wstring& w) {
    char buf[1024];
    int n = WideCharToMultiByte(CP_ACP, 0, w.c_str(), -1, buf, sizeof(buf), nullptr, nullptr);
    return n > 0 ? std::string(buf) : std::string();
}

std::string ReadFileBytes(const std::wstring& path) {
    std::string out;
    HANDLE h = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, 0,
                           nullptr);
    if (h == INVALID_HANDLE_VALUE) return out;
    char buf[8192];
    DWORD got = 0;
    while (ReadFile(h, buf, sizeof(buf), &got, nullptr) && got) out.append(buf, got);
    CloseHandle(h);
    return out;
}

// The port kind the monitor traced in the settings block at open.
std::string TracedKind(const std::string& trace, size_t from) {
    size_t at = trace.find("dwPortStatus      [", from);
    if (at == std::string::npos) return "?";
    return trace.substr(at + 19, 8);
}

const char* KindName(const std::string& hex) {
    unsigned long v = strtoul(hex.c_str(), nullptr, 16);
    switch (v) {
    case 0x105: return "Standard TCP/IP port";
    case 0x85: return "VEK TCP/IP DPU port";
    case 0x3: return "local (USB or parallel)";
    case 0x11: return "serial";
    case 0x41: return "network share";
    case 0x21: return "other";
    default: return "?";
    }
}

// The printer's state in words, from the PrinterStatus words H, M, L.
std::string StateInWords(DWORD h, DWORD m, DWORD l) {
    if (m & 0x1000) return "port closed";
    if (m & 0x100) return "printer switched off (no answer)";
    if (m & 0x200) return "another printer model answers";
    if (m & 0xC00) return "not read from the printer yet";
    std::string s = h ? "needs attention" : "ready";
    if (l & 0x8) s += ", printing";
    return s;
}

// Prints each PrinterStatus the monitor published since the last call.
void ShowNewStates(size_t* seen) {
    std::vector<SrmDoubleUpdateRecord> log(SrmDouble_GetUpdateLog(nullptr, 0));
    log.resize(SrmDouble_GetUpdateLog(log.data(), static_cast<DWORD>(log.size())));
    for (size_t i = *seen; i < log.size(); ++i) {
        if (strcmp(log[i].name, "PrinterStatus") || log[i].cbValue < 12) continue;
        const auto* w = reinterpret_cast<const DWORD*>(log[i].value);
        printf("  printer state: %-36s (PrinterStatus %08lx %08lx %08lx)\n", StateInWords(w[0], w[1], w[2]).c_str(),
               w[0], w[1], w[2]);
    }
    *seen = log.size();
}

}  // namespace

int main(int argc, char** argv) {
    std::string addr;
    size_t jobBytes = 4096;
    bool keepTrace = false;
    for (int i = 1; i < argc; ++i) {
        if (!strcmp(argv[i], "--printer") && i + 1 < argc) addr = argv[++i];
        else if (!strcmp(argv[i], "--job-bytes") && i + 1 < argc) jobBytes = strtoul(argv[++i], nullptr, 10);
        else if (!strcmp(argv[i], "--keep-trace")) keepTrace = true;
        else {
            fprintf(stderr, "usage: vjlhost [--printer ADDR] [--job-bytes N] [--keep-trace]\n");
            return 2;
        }
    }
    bool forward = !addr.empty();
    if (!forward) addr = "127.0.0.1";
    SimProcess printer(addr);
    if (forward && !printer.Command("ping")) {
        if (printer.Start({"--page-ms", "200", "--pending-ms", "100"})) {
            printf("simulated printer started on %s (SNMP 161, job port 9100)\n", addr.c_str());
        } else {
            printf("no printer at %s: %s\n", addr.c_str(), printer.error.c_str());
            forward = false;
        }
    }
    const std::wstring waddr(addr.begin(), addr.end());
    const std::wstring ipPort = L"IP_" + waddr, dpuPort = L"DPU_" + waddr;

    // Tracing on, as a support engineer would switch it on.
    std::wstring ini = WinDir() + L"\\VEKLMLOG.INI";
    WritePrivateProfileStringW(L"VEKTL7700", L"MODE", L"1", ini.c_str());
    WritePrivateProfileStringW(L"VEKTL7700", L"LEVEL", L"3", ini.c_str());
    WritePrivateProfileStringW(nullptr, nullptr, nullptr, ini.c_str());
    std::wstring traceFile = WinDir().substr(0, 2) + L"\\VEKTL7700LOG\\VEKLM-VEK Tessaroline 7700 (LV).TRG";
    DeleteFileW(traceFile.c_str());

    // The spooler's ports, one of each kind.
    FakeSpool_Reset();
    SrmDouble_Reset();
    ServedModelKeys modelKeys{"VEK Tessaroline 7700 (LV)"};
    FakeSpool_AddDriver(kPrinter, kServedMonitorName);
    FakeSpool_AddPrinter(kPrinter, kServedDriver, ipPort.c_str(), PRINTER_ATTRIBUTE_ENABLE_BIDI, L"winprint", 0);
    AddStandardTcpPort(ipPort.c_str(), waddr.c_str());
    DpuPort dpu(dpuPort.c_str(), waddr.c_str());
    FakeSpool_AddPort(L"USB001", L"USB Monitor", PORT_TYPE_WRITE | PORT_TYPE_READ, L"Virtual printer port for USB");
    FakeSpool_AddPort(L"LPT1:", L"Local Port", PORT_TYPE_WRITE, L"Local Port");
    FakeSpool_AddPort(L"COM1:", L"Local Port", PORT_TYPE_WRITE, L"Local Port");
    FakeSpool_AddPort(L"FILE:", L"Local Port", PORT_TYPE_WRITE, L"Local Port");

    // The printer at the address takes the job data of its ports; the USB
    // port stands for a cable to the same printer.
    auto forwardPorts = [&] {
        if (!forward) return;
        PmDouble_SetPortTarget(ipPort.c_str(), addr.c_str());
        PmDouble_SetPortTarget(L"USB001", addr.c_str());
    };
    PmDouble_Reset();
    forwardPorts();

    SpoolHost host;
    if (!host.Load()) {
        fprintf(stderr, "vjlhost: cannot load vjlmon.dll (error %lu)\n", GetLastError());
        return 1;
    }
    MONITOR2* table = host.Initialize();
    if (!table) {
        fprintf(stderr, "vjlhost: InitializePrintMonitor2 failed (error %lu)\n", GetLastError());
        return 1;
    }
    printf("vjlmon.dll loaded: monitor table of %lu bytes\n\n", table->cbSize);

    const wchar_t* ports[] = {ipPort.c_str(), dpuPort.c_str(), L"USB001",
                              L"LPT1:",       L"COM1:",          L"\\\\printserver\\tessaroline", L"FILE:"};
    printf("%-30s %-10s %s\n", "port", "kind bits", "kind");
    for (const wchar_t* port : ports) {
        size_t before = ReadFileBytes(traceFile).size();
        HANDLE h = nullptr;
        if (!host.OpenPort(port, kPrinter, &h)) {
            printf("%-30s open failed, error %lu\n", Narrow(port).c_str(), GetLastError());
            continue;
        }
        std::string kind = TracedKind(ReadFileBytes(traceFile), before);
        printf("%-30s %-10s %s\n", Narrow(port).c_str(), kind.c_str(), KindName(kind));
        host.ClosePort(h);
    }

    // One job through a plain port.
    std::string job = "\x1b%-12345X@PJL JOB NAME=\"vjlhost demo\"\r\n@PJL ENTER LANGUAGE=PCL\r\n";
    while (job.size() < jobBytes) job += "The quick brown fox jumps over the lazy dog. ";
    job.resize(jobBytes);
    job += "\x1b%-12345X@PJL EOJ\r\n\x1b%-12345X";
    HANDLE h = nullptr;
    printf("\nprinting %zu bytes through USB001%s\n", job.size(), forward ? (" to " + addr + ":9100").c_str() : "");
    BOOL ok = host.OpenPort(L"USB001", kPrinter, &h) && host.PrintJob(h, kPrinter, 1, L"vjlhost demo", job);
    DWORD err = ok ? 0 : GetLastError();
    if (h) host.ClosePort(h);
    std::string written = PmDouble_AllWritten();
    printf("job %s: %zu bytes reached the port monitor%s\n", ok ? "printed" : "FAILED", written.size(),
           written == job ? ", byte for byte" : ", DIFFERENT from the job");
    if (!ok) printf("last error %lu\n", err);

    // One job through the Standard TCP/IP port: the start binds the printer's
    // status report manager, the job carries its own JCID for the printer to
    // report it under, and the end lets the spooler go of the job.
    const std::string uel = "\x1b%-12345X";
    std::string jcid = "VJLHOST-DEMO-";
    while (jcid.size() < 45) jcid += static_cast<char>('0' + jcid.size() % 10);
    std::string netJob = uel + "@PJL JOB NAME=\"vjlhost network demo job\" @JCID=\"" + jcid + "\"\r\n" +
                         "@PJL ENTER LANGUAGE=PCL\r\n" + job.substr(job.find("The quick")) ;
    PmDouble_Reset();
    forwardPorts();
    // The refresh thread polls every second while the port has a job.
    ShortPolling polling;
    size_t seenStates = SrmDouble_GetUpdateLog(nullptr, 0);
    DWORD netJobId = FakeSpool_AddJob(kPrinter, 2, 0, L"vjlhost network demo", L"demo", 1);
    printf("\nprinting %zu bytes through %s (job %lu, JCID %s)\n", netJob.size(), Narrow(ipPort).c_str(), netJobId,
           jcid.c_str());
    h = nullptr;
    BOOL netOk = host.OpenPort(ipPort.c_str(), kPrinter, &h) &&
                 host.PrintJob(h, kPrinter, netJobId, L"vjlhost network demo", netJob);
    ShowNewStates(&seenStates);
    ok = ok && netOk;
    printf("job %s: %zu bytes reached the port monitor\n", netOk ? "printed" : "FAILED", PmDouble_AllWritten().size());
    printf("status report manager opened %lu time(s); what the monitor published to it:\n",
           SrmDouble_CallCount("OpenManagerExW"));
    std::vector<SrmDoubleUpdateRecord> updates(SrmDouble_GetUpdateLog(nullptr, 0));
    updates.resize(SrmDouble_GetUpdateLog(updates.data(), static_cast<DWORD>(updates.size())));
    for (const auto& u : updates) {
        printf("  %-20s %4lu bytes:", u.name, u.cbValue);
        for (DWORD i = 0; i + 4 <= u.cbValue && i < 16; i += 4) printf(" %08lx", *reinterpret_cast<const DWORD*>(u.value + i));
        printf("%s\n", u.cbValue > 16 ? " ..." : "");
    }
    printf("spooler told that the last page was ejected for job(s):");
    for (DWORD id : FakeSpoolEjectedJobs()) printf(" %lu", id);
    printf("\n");

    // What the printer made of it: every job byte for byte as the port
    // monitor sent it, and how often the monitor asked it over SNMP.
    if (forward) {
        std::vector<SimReceived> got;
        printer.WaitUntil([&] { return (got = printer.Received()).size() >= 2; }, 5000);
        const std::string sent[] = {job, PmDouble_Documents().empty() ? std::string() : PmDouble_Documents()[0]};
        printf("\nthe printer at %s received %zu job(s)%s\n", addr.c_str(), got.size(),
               printer.error.empty() ? "" : (": " + printer.error).c_str());
        for (size_t i = 0; i < got.size() && i < 2; ++i) {
            bool same = printer.Data(got[i].seq) == sent[i];
            ok = ok && same;
            printf("  job %u \"%s\" JCID \"%s\": %llu bytes, %s\n", got[i].job, got[i].name.c_str(),
                   got[i].jcid.c_str(), got[i].bytes, same ? "byte for byte" : "DIFFERENT from what was sent");
        }
        printf("  SNMP requests from the monitor: %lld\n", printer.Stat("requests"));
        // Its job table once both jobs are printed.
        printer.WaitUntil([&] {
            auto jobs = printer.Jobs();
            return jobs.size() >= 2 && jobs[0].state == 17 && jobs[1].state == 17;
        }, 5000);
        printf("its job table:\n");
        for (const std::string& line : printer.Query("jobs")) printf("  %s\n", line.c_str());

        // The printer is switched off with the job still followed: the next
        // poll finds it silent, and the monitor lets the spooler go of the job.
        printf("\nswitching the printer off\n");
        printer.Command("power off");
        auto released = [&] {
            for (DWORD id : FakeSpoolEjectedJobs())
                if (id == netJobId) return true;
            return false;
        };
        for (int i = 0; i < 200 && !released(); ++i) Sleep(100);
        ShowNewStates(&seenStates);
        printer.Command("power on");
        printf("switched on again\n");
    }
    if (h) host.ClosePort(h);
    ShowNewStates(&seenStates);
    printf("spooler told that the last page was ejected for job(s):");
    for (DWORD id : FakeSpoolEjectedJobs()) printf(" %lu", id);
    printf("\n");

    host.Unload();
    DeleteFileW(ini.c_str());
    WritePrivateProfileStringW(nullptr, nullptr, nullptr, ini.c_str());

    printf("\ntrace file %s:\n", Narrow(traceFile).c_str());
    std::string trace = ReadFileBytes(traceFile);
    fwrite(trace.data(), 1, trace.size(), stdout);
    if (!keepTrace) DeleteFileW(traceFile.c_str());
    return ok && written == job ? 0 : 1;
}
