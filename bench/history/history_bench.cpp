// One print history line (the spooler asked for the job's document name,
// then the line written under the history lock) against a plain WriteFile
// of the same bytes, under Wine with the test spooler. Two history cases:
// a port without a bound manager opens the printer for every line (the
// spooler thread's Start), a bound one uses the binding's handle (the
// refresh thread's End). Prints per-line times and the median ratio of
// seven rounds; no bar is asserted here.
//
//   history_bench [lines per round]   (default 900: one file, no roll-over)
#include "history/printcheck.h"
#include "state/binding.h"
#include "support/whitebox.h"
#include "../support/timing.h"
#include "fakespool.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;
constexpr int kRounds = 7;
constexpr wchar_t kPrinter[] = L"Bench Printer";

double Micros(Clock::time_point t0, int lines) {
    return std::chrono::duration<double, std::micro>(Clock::now() - t0).count() / lines;
}

}  // namespace

int main(int argc, char** argv) {
    int lines = argc > 1 ? atoi(argv[1]) : 900;
    if (lines < 1 || lines >= static_cast<int>(kHistoryMaxLines)) lines = 900;
    EnsureMonitorProcess();
    FakeSpool_Reset();

    char tmp[MAX_PATH];
    GetTempPathA(MAX_PATH, tmp);
    std::string base = std::string(tmp) + "vjlhistbench" + std::to_string(GetCurrentProcessId());
    std::string dir = base + "\\RAS\\Trc";
    CreateDirectoryA(base.c_str(), nullptr);
    CreateDirectoryA((base + "\\RAS").c_str(), nullptr);
    CreateDirectoryA(dir.c_str(), nullptr);
    TestRegKey prnChk(kPrnChkKey), baseDir(kBaseDirKey);
    prnChk.SetDword("PrnOrdChk", 1);
    baseDir.SetString("BaseDir", base);

    FakeSpool_AddDriver(L"Bench Driver", L"Other Monitor");
    FakeSpool_AddPrinter(kPrinter, L"Bench Driver", L"USBB01", 0, L"winprint", 0);
    DWORD job = FakeSpool_AddJob(kPrinter, 0, 0, L"Quorvex-Monthly report 2024-01", L"user", 3);
    const char line[] = "Quorvex-Monthly report 2024-01\tStart\r\n";
    const DWORD cbLine = sizeof(line) - 1;

    PortContext* ctx = NewContext(L"USBB01", kPrinter);
    if (!ctx) return 1;
    GetPrintCheckInfo(ctx);
    auto* bind = static_cast<SrmBinding*>(MemAlloc(sizeof(SrmBinding)));
    OpenPrinterW(const_cast<LPWSTR>(kPrinter), &bind->hPrinter, nullptr);

    std::vector<double> opened, bound, plain, ratioOpened, ratioBound;
    std::string plainFile = dir + "\\plain.txt";
    for (int r = 0; r < kRounds; ++r) {
        // Rotate the order so that no case always runs on a warm cache.
        for (int k = 0; k < 3; ++k) {
            int which = (r + k) % 3;
            auto t0 = Clock::now();
            if (which == 2) {
                HANDLE h = CreateFileA(plainFile.c_str(), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                       nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
                DWORD n = 0;
                for (int i = 0; i < lines; ++i) WriteFile(h, line, cbLine, &n, nullptr);
                CloseHandle(h);
                plain.push_back(Micros(t0, lines));
                continue;
            }
            ctx->pCurBind = which == 1 ? bind : nullptr;
            for (int i = 0; i < lines; ++i) OutPrnHist_JobStatus(ctx, job, "Start");
            ResetPrintCheckInfo(ctx);
            (which == 1 ? bound : opened).push_back(Micros(t0, lines));
        }
        ratioOpened.push_back(opened.back() / plain.back());
        ratioBound.push_back(bound.back() / plain.back());
    }
    ctx->pCurBind = nullptr;

    printf("history line, printer opened per line: %8.2f us (median of %d rounds of %d lines)\n", Median(opened),
           kRounds, lines);
    printf("history line, bound printer handle:    %8.2f us\n", Median(bound));
    printf("plain WriteFile of the same bytes:     %8.2f us\n", Median(plain));
    printf("ratio (opened / plain): %.1f   ratio (bound / plain): %.1f\n", Median(ratioOpened), Median(ratioBound));

    ClosePrinter(bind->hPrinter);
    MemFree(bind);
    FreeContext(ctx);
    WIN32_FIND_DATAA fd;
    HANDLE h = FindFirstFileA((dir + "\\*").c_str(), &fd);
    if (h != INVALID_HANDLE_VALUE) {
        do DeleteFileA((dir + "\\" + fd.cFileName).c_str());
        while (FindNextFileA(h, &fd));
        FindClose(h);
    }
    RemoveDirectoryA(dir.c_str());
    RemoveDirectoryA((base + "\\RAS").c_str());
    RemoveDirectoryA(base.c_str());
    return 0;
}
