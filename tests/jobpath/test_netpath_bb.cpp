// A job on a Standard TCP/IP port of a printer whose model reports status,
// through the DLL: the start binds the printer's manager and publishes, the
// write path adds the language header, the end lets the spooler go of the job.
#include "spoolhost.h"
#include "pmdouble.h"
#include "fakespool.h"
#include "srmdouble.h"
#include "support/served_model.h"
#include "support/simprinter.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

// The printer at the port's address is a simulated one: it answers the
// monitor's polls and takes the job data the port monitor sends it.
constexpr char kAddress[] = "127.0.5.30";
constexpr wchar_t kPort[] = L"IP_127.0.5.30";
constexpr wchar_t kPrinter[] = L"Front Desk";
const std::string kUel = "\x1b%-12345X";

std::vector<SrmDoubleUpdateRecord> Updates(const char* name) {
    std::vector<SrmDoubleUpdateRecord> all(SrmDouble_GetUpdateLog(nullptr, 0));
    all.resize(SrmDouble_GetUpdateLog(all.data(), static_cast<DWORD>(all.size())));
    std::vector<SrmDoubleUpdateRecord> out;
    for (const auto& r : all)
        if (std::string(r.name) == name) out.push_back(r);
    return out;
}

DWORD Word(const SrmDoubleUpdateRecord& r, int i) { return reinterpret_cast<const DWORD*>(r.value)[i]; }

class NetworkJob : public ::testing::Test {
protected:
    void SetUp() override {
        // Another model at the address: the jobs are not followed on the
        // printer, so each end lets the spooler go of its job.
        ASSERT_TRUE(printer.Start({"--pending-ms", "0", "--page-ms", "10", "--descr", "Other Printer 1"}))
            << printer.error;
        PmDouble_Reset();
        FakeSpool_Reset();
        SrmDouble_Reset();
        FakeSpool_AddPort(kPort, L"TCPMON.DLL", PORT_TYPE_WRITE | PORT_TYPE_READ, L"Standard TCP/IP Port");
        FakeSpool_SetXcvIPAddress(kPort, L"127.0.5.30");
        PmDouble_SetPortTarget(kPort, kAddress);
        FakeSpool_AddDriver(kServedDriver, kServedMonitorName);
        FakeSpool_AddPrinter(kPrinter, kServedDriver, kPort, PRINTER_ATTRIBUTE_ENABLE_BIDI, L"winprint", 0);
        ASSERT_TRUE(host.Load());
        ASSERT_NE(host.Initialize(), nullptr);
    }
    DWORD Ejections(DWORD jobId) {
        DWORD n = 0;
        for (const auto& r : FakeSpoolSetJobLog())
            if (r.jobId == jobId && r.command == JOB_CONTROL_LAST_PAGE_EJECTED) ++n;
        return n;
    }
    SimPrinter printer{kAddress};
    ServedModelKeys keys{"Front Desk"};
    SpoolHost host;
};

TEST_F(NetworkJob, StartBindsWritesAddTheHeaderEndReleasesTheJob) {
    HANDLE h = nullptr;
    ASSERT_TRUE(host.OpenPort(kPort, kPrinter, &h));
    DWORD job1 = FakeSpool_AddJob(kPrinter, 41, 0, L"report", L"ana", 1);
    std::string body = "%%Page 1 of a job that carries no PJL of its own";
    ASSERT_TRUE(host.PrintJob(h, kPrinter, job1, L"report", body, 16));

    EXPECT_EQ(SrmDouble_CallCount("OpenManagerExW"), 1u) << "the start bound the printer's manager";
    EXPECT_EQ(SrmDouble_OpenHandleCount(kPrinter), 1u);
    auto status = Updates("PrinterStatus");
    ASSERT_FALSE(status.empty()) << "the printer status was published at bind";
    EXPECT_EQ(Word(status.front(), 1), 2048u) << "a TCP/IP port starts as M 0x800";
    auto jobStatus = Updates("JobStatus");
    ASSERT_GE(jobStatus.size(), 2u);
    bool setDuringJob = false;
    for (const auto& r : jobStatus) setDuringJob |= (Word(r, 0) & 1u) != 0;
    EXPECT_TRUE(setDuringJob) << "job bit set at the start";
    EXPECT_EQ(Word(jobStatus.back(), 0) & 0x107u, 0u) << "and cleared at the end";

    std::vector<std::string> docs = PmDouble_Documents();
    ASSERT_EQ(docs.size(), 1u);
    EXPECT_EQ(docs[0], kUel + "@PJL ENTER LANGUAGE=VPDL\r\n" + body);
    // Without a JCID of its own the job cannot be followed: the end deletes it
    // from the queue and releases it, once.
    EXPECT_EQ(Ejections(job1), 1u);
    EXPECT_EQ(PmDouble_CallCount(PM_ENDDOC), 1u);

    // A second job keeps the binding and has its own PJL header.
    PmDouble_Reset();
    PmDouble_SetPortTarget(kPort, kAddress);
    DWORD job2 = FakeSpool_AddJob(kPrinter, 42, 0, L"second", L"ana", 1);
    std::string jcid(45, 'J');
    std::string own = kUel + "@PJL JOB NAME=\"" + std::string(24, 'N') + "\" @JCID=\"" + jcid + "\"\r\n" +
                      "@PJL ENTER LANGUAGE=VPDL\r\ndata" + kUel;
    ASSERT_TRUE(host.PrintJob(h, kPrinter, job2, L"second", own));
    EXPECT_EQ(SrmDouble_CallCount("OpenManagerExW"), 1u);
    ASSERT_EQ(PmDouble_Documents().size(), 1u);
    EXPECT_EQ(PmDouble_Documents()[0], own) << "no second header for a job with its own UEL";
    EXPECT_EQ(Ejections(job2), 1u) << "not followed on another model, so the end releases it once";

    ASSERT_TRUE(host.ClosePort(h));
    EXPECT_EQ(SrmDouble_OpenHandleCount(nullptr), 0u) << "the manager is closed with the port";
    EXPECT_EQ(FakeSpool_OpenHandleCount(nullptr), 0u);
    status = Updates("PrinterStatus");
    EXPECT_EQ(Word(status.back(), 1), 4096u) << "the closed state was published last";

    std::vector<SimReceived> got;
    EXPECT_TRUE(printer.WaitUntil([&] { return (got = printer.Received()).size() >= 2; }));
    ASSERT_EQ(got.size(), 2u) << "both jobs reached the printer";
    EXPECT_EQ(got[1].jcid, jcid);
}

}  // namespace
