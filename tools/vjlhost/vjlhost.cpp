// vjlhost: the spooler's side of a print, for a person to watch. Loads
// vjlmon.dll as the spooler does, opens one port of each kind, prints a
// small job through a plain port and one through the Standard TCP/IP port
// of the printer. With that job in the printer, the printer jams, is cleared
// and is switched off: each step shows, in words, what the suite would show
// (printer state, icon, error detail, the spooler's port status). Last comes
// what the monitor traced.
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

// Bits of the PrinterStatus words the demo puts in words.
constexpr DWORD M_NO_ANSWER = 0x100, M_OTHER_MODEL = 0x200, M_NOT_KNOWN = 0xC00, M_CLOSED = 0x1000,
                M_SERVICEMAN = 0x80;
struct BitWord {
    DWORD bit;
    const char* words;
};
constexpr BitWord kLWords[] = {
    {0x2, "low toner"},        {0x10, "warming up"},    {0x40, "power save"},     {0x80, "drum near its end"},
    {0x1000, "offline"},       {0x4000, "no toner"},    {0x8000, "cover open"},   {0x10000, "paper jam"},
    {0x40000, "paper size error"}, {0x800000, "no paper"}, {0x1000000, "stacker full"},
    {0x4000000, "paper problem"}, {0x20000000, "drum at its end"}, {0x40000000, "no cassette"},
};
constexpr DWORD L_ONLINE = 0x1, L_PRINTING = 0x8;
constexpr DWORD kResetValue = 0xFFFFFFFF;

// The printer's state in words, from the PrinterStatus words H, M, L.
std::string StateInWords(DWORD h, DWORD m, DWORD l) {
    if (m & M_CLOSED) return "port closed";
    if (m & M_NO_ANSWER) return "printer switched off (no answer)";
    if (m & M_OTHER_MODEL) return "another printer model answers";
    if (m & M_NOT_KNOWN) return "not read from the printer yet";
    std::string s;
    for (const auto& w : kLWords)
        if (l & w.bit) s += (s.empty() ? "" : ", ") + std::string(w.words);
    if (m & M_SERVICEMAN) s += (s.empty() ? "" : ", ") + std::string("service call");
    if (s.empty()) s = h ? "needs attention" : (l & L_ONLINE) ? "ready" : "not ready";
    if (l & L_PRINTING) s += ", printing";
    return s;
}

const char* IconInWords(DWORD icon) {
    switch (icon) {
    case 0: return "normal";
    case 1: return "error";
    case 2: return "warning";
    default: return "?";
    }
}

// Where a jam is, from the places ErrPaperJam names (its low bits).
std::string JamInWords(DWORD v) {
    static constexpr BitWord kPlaces[] = {
        {0x1, "side cover A"}, {0x2, "side cover B"}, {0x4, "side cover C"}, {0x8, "duplex unit"},
        {0x10, "side cover E"}, {0x20, "hopper 1"},   {0x40, "hopper 2"},     {0x80, "hopper 3"},
        {0x100, "hopper 4"},   {0x200, "hopper 5"},   {0x400, "tray"},        {0x800, "hopper 5 top cover"},
        {0x1000, "top tray"},  {0x2000, "finisher cover F"}, {0x4000, "finisher cover G"},
        {0x8000, "finisher cover H"},
    };
    if (!v) return "cleared";
    std::string s = "paper jam at";
    for (const auto& p : kPlaces)
        if (v & p.bit) s += " " + std::string(p.words);
    return s;
}

const char* PortStatusInWords(DWORD status) {
    switch (status) {
    case 0: return "no condition";
    case PORT_STATUS_OFFLINE: return "Offline";
    case PORT_STATUS_PAPER_JAM: return "Paper jam";
    case PORT_STATUS_PAPER_OUT: return "Paper out";
    case PORT_STATUS_OUTPUT_BIN_FULL: return "Output bin full";
    case PORT_STATUS_PAPER_PROBLEM: return "Paper problem";
    case PORT_STATUS_NO_TONER: return "No toner";
    case PORT_STATUS_DOOR_OPEN: return "Door open";
    case PORT_STATUS_USER_INTERVENTION: return "User intervention required";
    case PORT_STATUS_OUT_OF_MEMORY: return "Out of memory";
    case PORT_STATUS_TONER_LOW: return "Toner low";
    case PORT_STATUS_WARMING_UP: return "Warming up";
    case PORT_STATUS_POWER_SAVE: return "Power save";
    default: return "?";
    }
}

const char* SeverityInWords(DWORD severity) {
    switch (severity) {
    case 0: return "none";
    case PORT_STATUS_TYPE_ERROR: return "error";
    case PORT_STATUS_TYPE_WARNING: return "warning";
    case PORT_STATUS_TYPE_INFO: return "information";
    default: return "?";
    }
}

std::vector<SrmDoubleUpdateRecord> UpdateLog() {
    std::vector<SrmDoubleUpdateRecord> log(SrmDouble_GetUpdateLog(nullptr, 0));
    log.resize(SrmDouble_GetUpdateLog(log.data(), static_cast<DWORD>(log.size())));
    return log;
}

// What the suite would show, in the order the monitor published it: each
// PrinterStatus, icon and error detail sent to the printer's manager, and
// each port status the monitor gave the spooler, since the last call.
struct StatusView {
    size_t updates = 0, ports = 0;
    void ShowNew() {
        auto log = UpdateLog();
        for (size_t i = updates; i < log.size(); ++i) {
            const auto& u = log[i];
            const auto* w = reinterpret_cast<const DWORD*>(u.value);
            // The store's reset value: nothing known yet, nothing to show.
            if (u.cbValue >= 4 && w[0] == kResetValue) continue;
            if (!strcmp(u.name, "PrinterStatus") && u.cbValue >= 12) {
                printf("  printer state: %-36s (PrinterStatus %08lx %08lx %08lx)\n",
                       StateInWords(w[0], w[1], w[2]).c_str(), w[0], w[1], w[2]);
            } else if (!strcmp(u.name, "IconState") && u.cbValue >= 4) {
                printf("  icon:          %s\n", IconInWords(w[0]));
            } else if (!strcmp(u.name, "ErrPaperJam") && u.cbValue >= 4) {
                printf("  error detail:  %-36s (ErrPaperJam %08lx)\n", JamInWords(w[0]).c_str(), w[0]);
            } else if (!strcmp(u.name, "ErrSupplies") && u.cbValue >= 12) {
                // The first word counts the words after it.
                printf("  error detail:  %-36s (ErrSupplies %08lx %08lx %08lx)\n",
                       w[1] | w[2] ? "supplies warning or error" : "supplies fine", w[0], w[1], w[2]);
            } else if (!strncmp(u.name, "Err", 3) && u.cbValue >= 4) {
                printf("  error detail:  %-36s (%s %08lx)\n", w[0] ? "set" : "cleared", u.name, w[0]);
            }
        }
        updates = log.size();
        auto set = FakeSpoolSetPortLog();
        for (size_t i = ports; i < set.size(); ++i)
            printf("  port status:   %s, severity %s (SetPortW level %lu)\n", PortStatusInWords(set[i].status),
                   SeverityInWords(set[i].severity), set[i].level);
        ports = set.size();
    }
};

// The last value a DWORD variable was sent with after the first `from`
// updates, or `none`.
DWORD LastSent(const char* name, DWORD none, size_t from) {
    DWORD v = none;
    auto log = UpdateLog();
    for (size_t i = from; i < log.size(); ++i)
        if (!strcmp(log[i].name, name) && log[i].cbValue >= 4) v = *reinterpret_cast<const DWORD*>(log[i].value);
    return v;
}

// The M word of the last PrinterStatus published, the reset value left out.
DWORD StatusOf(const std::vector<SrmDoubleUpdateRecord>& log) {
    for (size_t i = log.size(); i-- > 0;) {
        const auto* w = reinterpret_cast<const DWORD*>(log[i].value);
        if (!strcmp(log[i].name, "PrinterStatus") && log[i].cbValue >= 12 && w[0] != kResetValue) return w[1];
    }
    return 0;
}

// Waits, bounded, for the refresh thread to publish what `done` looks for.
template <typename F>
bool WaitFor(F done) {
    for (int i = 0; i < 200; ++i) {
        if (done()) return true;
        Sleep(100);
    }
    return done();
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
    StatusView view;
    view.updates = SrmDouble_GetUpdateLog(nullptr, 0);
    view.ports = FakeSpoolSetPortLog().size();
    DWORD netJobId = FakeSpool_AddJob(kPrinter, 2, 0, L"vjlhost network demo", L"demo", 1);
    printf("\nprinting %zu bytes through %s (job %lu, JCID %s)\n", netJob.size(), Narrow(ipPort).c_str(), netJobId,
           jcid.c_str());
    h = nullptr;
    BOOL netOk = host.OpenPort(ipPort.c_str(), kPrinter, &h) &&
                 host.StartDoc(h, kPrinter, netJobId, L"vjlhost network demo") && host.WriteAll(h, netJob);
    ok = ok && netOk;
    std::string netSent = PmDouble_AllWritten();
    printf("job %s: %zu bytes reached the port monitor; the document is still open\n", netOk ? "sent" : "FAILED",
           netSent.size());
    view.ShowNew();
    printf("status report manager opened %lu time(s)\n", SrmDouble_CallCount("OpenManagerExW"));

    // How the spooler let go of a job since the first `from` SetJobW calls:
    // one LAST_PAGE_EJECTED or one delete is its release.
    auto controls = [&](DWORD id, DWORD command, size_t from) {
        auto log = FakeSpoolSetJobLog();
        DWORD n = 0;
        for (size_t i = from; i < log.size(); ++i)
            if (log[i].jobId == id && log[i].command == command) ++n;
        return n;
    };
    auto releases = [&](DWORD id, size_t from) {
        return controls(id, JOB_CONTROL_LAST_PAGE_EJECTED, from) + controls(id, JOB_CONTROL_DELETE, from);
    };
    if (forward && netOk) {
        // What the printer made of both jobs: every byte as the port monitor
        // sent it, and how often the monitor asked it over SNMP.
        std::vector<SimReceived> got;
        printer.WaitUntil([&] {
            got = printer.Received();
            return got.size() >= 2 && got[1].bytes >= netSent.size();
        }, 5000);
        const std::string sent[] = {job, netSent};
        printf("\nthe printer at %s received %zu job(s)%s\n", addr.c_str(), got.size(),
               printer.error.empty() ? "" : (": " + printer.error).c_str());
        for (size_t i = 0; i < got.size() && i < 2; ++i) {
            bool same = printer.Data(got[i].seq) == sent[i];
            ok = ok && same;
            printf("  job %u \"%s\" JCID \"%s\": %llu bytes, %s\n", got[i].job, got[i].name.c_str(),
                   got[i].jcid.c_str(), got[i].bytes, same ? "byte for byte" : "DIFFERENT from what was sent");
        }
        printf("  SNMP requests from the monitor: %lld\n", printer.Stat("requests"));
        printf("its job table:\n");
        for (const std::string& line : printer.Query("jobs")) printf("  %s\n", line.c_str());

        // The printer jams while the job is in it, the jam is cleared, and
        // then it is switched off with the job still followed: each step
        // reaches the suite within a poll or two.
        printf("\nthe printer jams at hopper 1 (alert \"Hop1 Paper Jam\")\n");
        size_t mark = UpdateLog().size();
        printer.Command("alert add Hop1 Paper Jam");
        bool seen = WaitFor([&] {
            DWORD v = LastSent("ErrPaperJam", 0, mark);
            return v != 0 && v != kResetValue;
        });
        view.ShowNew();
        if (!seen) printf("  (not published)\n");
        ok = ok && seen;

        printf("\nthe jam is cleared\n");
        mark = UpdateLog().size();
        printer.Command("alert del Hop1 Paper Jam");
        seen = WaitFor([&] { return LastSent("ErrPaperJam", 1, mark) == 0; });
        view.ShowNew();
        if (!seen) printf("  (not published)\n");
        ok = ok && seen;

        // Switched off with job 2 in it: the monitor lets the spooler go of
        // the job, by deleting it at the spooler when its data had reached
        // the printer, or by its last page ejected at the document's end.
        printf("\nthe printer is switched off\n");
        printer.Command("power off");
        seen = WaitFor([&] { return (StatusOf(UpdateLog()) & M_NO_ANSWER) != 0; });
        view.ShowNew();
        host.EndDoc(h);
        WaitFor([&] { return releases(netJobId, 0) >= 1; });
        DWORD deleted = controls(netJobId, JOB_CONTROL_DELETE, 0);
        DWORD ejected = controls(netJobId, JOB_CONTROL_LAST_PAGE_EJECTED, 0);
        if (deleted + ejected == 1)
            printf("  job %lu released once: %s\n", netJobId,
                   deleted ? "deleted at the spooler (its data had reached the printer)"
                           : "last page ejected, told to the spooler");
        else
            printf("  job %lu released %lu time(s) (%lu deleted, %lu last page ejected): WRONG, once is right\n",
                   netJobId, deleted + ejected, deleted, ejected);
        ok = ok && seen && deleted + ejected == 1;

        // Switched on again, the spooler sends the job a second time: the
        // monitor knows it by its JCID, deletes the copy and lets none of its
        // bytes reach the printer, so the page is not printed twice.
        printf("\nthe printer is switched on again\n");
        printer.Command("power on");
        // The port is idle now: the monitor asks the printer again at the
        // next job's start.
        ok = ok && printer.Command("received clear");
        printf("\nthe spooler sends job %lu again (its second sending after the power loss)\n", netJobId);
        size_t from = FakeSpoolSetJobLog().size();
        FakeSpool_RemoveJob(kPrinter, netJobId);
        FakeSpool_AddJob(kPrinter, netJobId, 0, L"vjlhost network demo", L"demo", 1);
        BOOL again = host.StartDoc(h, kPrinter, netJobId, L"vjlhost network demo") && host.WriteAll(h, netJob);
        host.EndDoc(h);
        DWORD copies = controls(netJobId, JOB_CONTROL_DELETE, from);
        printf("  restart check: %s\n", copies == 1 ? "recognised as the re-sent copy and deleted at the spooler"
                                                    : "NOT recognised as the re-sent copy");
        ok = ok && again && copies == 1 && controls(netJobId, JOB_CONTROL_LAST_PAGE_EJECTED, from) == 0;

        // The next job prints as usual once the printer's "Printer Reset"
        // notice is acknowledged at its panel (while it shows, the monitor
        // takes a job in the printer for lost); when the job is in, the
        // printer has everything it was sent since power on.
        printf("\nthe \"Printer Reset\" notice is acknowledged at the printer's panel\n");
        ok = ok && printer.Command("alert del Printer Reset");
        DWORD nextId = netJobId + 1;
        std::string nextJcid = jcid;
        nextJcid.back() = 'N';
        std::string nextJob = netJob;
        nextJob.replace(nextJob.find(jcid), jcid.size(), nextJcid);
        FakeSpool_AddJob(kPrinter, nextId, 0, L"vjlhost next job", L"demo", 1);
        printf("\nprinting job %lu (JCID %s) through %s\n", nextId, nextJcid.c_str(), Narrow(ipPort).c_str());
        BOOL nextOk = host.StartDoc(h, kPrinter, nextId, L"vjlhost next job") && host.WriteAll(h, nextJob) &&
                      host.EndDoc(h);
        view.ShowNew();
        got.clear();
        printer.WaitUntil([&] {
            got = printer.Received();
            return !got.empty() && got.back().end == "closed";
        }, 10000);
        bool onlyNext = got.size() == 1 && got[0].jcid == nextJcid;
        printf("  the printer received %zu job(s) since power on: %s\n", got.size(),
               onlyNext ? "this one only, none of the deleted copy" : "WRONG, the copy reached it");
        bool done = WaitFor([&] { return releases(nextId, 0) >= 1; });
        printf("  job %lu %s\n", nextId,
               done && controls(nextId, JOB_CONTROL_LAST_PAGE_EJECTED, 0) == 1
                   ? "completed on the printer: last page ejected, told to the spooler"
                   : "NOT released as completed");
        ok = ok && nextOk && onlyNext && done && controls(nextId, JOB_CONTROL_LAST_PAGE_EJECTED, 0) == 1 &&
             releases(nextId, 0) == 1;
    }
    if (h) {
        if (!forward || !netOk) host.EndDoc(h);
        host.ClosePort(h);
    }
    view.ShowNew();
    printf("spooler told that the last page was ejected for job(s):");
    for (DWORD id : FakeSpoolEjectedJobs()) printf(" %lu", id);
    printf("\n");
    printf("spooler told to delete job(s):");
    for (const auto& r : FakeSpoolSetJobLog())
        if (r.command == JOB_CONTROL_DELETE) printf(" %lu", r.jobId);
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
