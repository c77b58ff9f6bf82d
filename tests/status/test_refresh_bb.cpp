// The live printer through the DLL: a job in progress on a Standard TCP/IP
// port with the printer's manager bound, polled every second by the refresh
// thread while the simulated printer raises and clears alerts, changes its
// trays, is switched off and on, replaced by another model, or stops
// answering properly.
#include "support/liveport.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <string>
#include <vector>

namespace {

constexpr wchar_t kPrinter[] = L"Live Desk";
constexpr DWORD M_NO_ANSWER = 0x100;
constexpr DWORD M_OTHER_MODEL = 0x200;
const std::string kEnd2 = "REFRESH:UstatusThread2 --END@2--";
const std::string kGetError = "VJLMON:CheckDeviceId_SNMP -GET ERROR-";
const std::string kGetSuccess = "VJLMON:CheckDeviceId_SNMP -GET SUCCESS-";
constexpr DWORD L_ONLINE = 0x1, L_LOW_TONER = 0x2, L_POWER_SAVE = 0x40, L_OFFLINE = 0x1000, L_JAM = 0x10000;
constexpr DWORD ICON_NORMAL = 0, ICON_ERROR = 1, ICON_WARNING = 2;
constexpr DWORD kIconUnknown = 0xFFFFFFFF;
constexpr DWORD JAM_AT_HOPPER1 = 0x20020;   // hopper 1 and the feed path it is on

std::vector<SrmDoubleUpdateRecord> Updates(const char* name) {
    std::vector<SrmDoubleUpdateRecord> all(SrmDouble_GetUpdateLog(nullptr, 0));
    all.resize(SrmDouble_GetUpdateLog(all.data(), static_cast<DWORD>(all.size())));
    std::vector<SrmDoubleUpdateRecord> out;
    for (const auto& r : all)
        if (std::string(r.name) == name) out.push_back(r);
    return out;
}
DWORD Word(const SrmDoubleUpdateRecord& r, int i) { return reinterpret_cast<const DWORD*>(r.value)[i]; }

size_t CountM(DWORD m) {
    size_t n = 0;
    for (const auto& r : Updates("PrinterStatus")) n += Word(r, 1) == m;
    return n;
}
// How often the published M turned into m: a state entered once is
// announced once, whatever else is republished while it lasts.
size_t EntriesInto(DWORD m) {
    size_t n = 0;
    DWORD last = 0xFFFFFFFF;
    for (const auto& r : Updates("PrinterStatus")) {
        n += Word(r, 1) == m && last != m;
        last = Word(r, 1);
    }
    return n;
}

class LivePrinter : public LivePortTest {
protected:
    LivePrinter() : LivePortTest("Live Desk") {}
    // The value a variable was last sent with after the first `from` updates.
    std::vector<DWORD> LastSent(const char* name, size_t from) {
        std::vector<SrmDoubleUpdateRecord> all(SrmDouble_GetUpdateLog(nullptr, 0));
        all.resize(SrmDouble_GetUpdateLog(all.data(), static_cast<DWORD>(all.size())));
        std::vector<DWORD> out;
        for (size_t i = from; i < all.size(); ++i)
            if (std::string(all[i].name) == name)
                out.assign(reinterpret_cast<const DWORD*>(all[i].value),
                           reinterpret_cast<const DWORD*>(all[i].value) + all[i].cbValue / 4);
        return out;
    }
    std::string Dump(size_t from) {
        std::vector<SrmDoubleUpdateRecord> all(SrmDouble_GetUpdateLog(nullptr, 0));
        all.resize(SrmDouble_GetUpdateLog(all.data(), static_cast<DWORD>(all.size())));
        std::string out;
        char buf[64];
        for (size_t i = from; i < all.size(); ++i) {
            out += std::string(" ") + all[i].name;
            for (DWORD k = 0; k + 4 <= all[i].cbValue && k < 12; k += 4) {
                snprintf(buf, sizeof buf, " %lx", *reinterpret_cast<const DWORD*>(all[i].value + k));
                out += buf;
            }
        }
        return out;
    }
    size_t UpdateCount() { return SrmDouble_GetUpdateLog(nullptr, 0); }
    std::vector<FakeSpoolSetPortRecord> PortsSince(size_t from) {
        auto all = FakeSpoolSetPortLog();
        return std::vector<FakeSpoolSetPortRecord>(all.begin() + static_cast<std::ptrdiff_t>(std::min(from, all.size())),
                                                   all.end());
    }
    // A job with a JCID of its own is followed on a supported printer; one
    // without is deleted from the queue at its end and released once.
    DWORD StartJob(DWORD spoolId, bool ownJcid, bool write = true) {
        DWORD job = FakeSpool_AddJob(kPrinter, spoolId, 0, L"live", L"ana", 1);
        EXPECT_TRUE(host.StartDoc(h, kPrinter, job, L"live"));
        const std::string uel = "\x1b%-12345X";
        std::string jcid = "LIVE" + std::to_string(spoolId);
        jcid.resize(45, 'J');   // the forms the header reader takes: 24 and 45 characters
        std::string body = ownJcid ? uel + "@PJL JOB NAME=\"" + std::string(24, 'N') + "\" @JCID=\"" + jcid +
                                         "\"\r\n@PJL ENTER LANGUAGE=VPDL\r\npage" + uel
                                   : "%%Page 1 of a job without PJL";
        if (write) {
            EXPECT_TRUE(host.WriteAll(h, body));
        }
        return job;
    }
};

TEST_F(LivePrinter, SwitchedOffDuringAJobReleasesItOnceAndRecoversOnTheFirstAnswer) {
    ASSERT_NO_FATAL_FAILURE(Begin("127.0.11.20"));
    DWORD job = StartJob(71, true);
    ASSERT_TRUE(printer->Command("power off"));

    ASSERT_TRUE(Eventually([&] { return CountM(M_NO_ANSWER) >= 1; })) << "the power-off was published";
    // Two more failed polls: the outage is handled once.
    ASSERT_TRUE(Eventually([&] { return CountLines(kGetError) >= 3; }));
    EXPECT_EQ(EntriesInto(M_NO_ANSWER), 1u) << "the outage is announced once";
    // After that, only the printing bit of L changes, as the queue empties.
    auto silent = Updates("PrinterStatus");
    for (size_t i = 1; i < silent.size(); ++i)
        if (Word(silent[i - 1], 1) == M_NO_ANSWER && Word(silent[i], 1) == M_NO_ANSWER) {
            EXPECT_EQ(Word(silent[i - 1], 2) ^ Word(silent[i], 2), 0x8u);
        }
    // The emptied queue republishes the icon of a silent printer: none.
    auto icons = Updates("IconState");
    ASSERT_FALSE(icons.empty());
    EXPECT_EQ(Word(icons.back(), 0), 0u);
    auto off = Updates("PrinterStatus");
    EXPECT_EQ(Word(off.back(), 2) & 0x8u, 0u) << "no job printing any more";
    for (const auto& r : off)
        if (Word(r, 1) == M_NO_ANSWER) {
            EXPECT_EQ(Word(r, 0), 0u);
        }
    EXPECT_EQ(Ejections(job), 0u);
    EXPECT_EQ(Controls(job, JOB_CONTROL_DELETE), 1u) << "the job being sent is deleted at the spooler";
    EXPECT_EQ(CountLines("VJLMON:CheckDeviceId_SNMP -Set PW OFF-"), 1u);

    EXPECT_TRUE(host.EndDoc(h));
    EXPECT_EQ(Releases(job), 1u) << "its delete was its release";
    ASSERT_TRUE(Eventually([&] { return CountLines(kEnd2) == 1; })) << "nothing holds the thread any more";

    ASSERT_TRUE(printer->Command("power on"));
    size_t errors = CountLines(kGetError);
    DWORD job2 = StartJob(72, false);
    EXPECT_EQ(CountLines(kGetError), errors) << "the first poll after power on got an answer";
    EXPECT_GE(CountLines(kGetSuccess), 1u);
    EXPECT_TRUE(host.EndDoc(h));
    std::vector<SimReceived> got;
    EXPECT_TRUE(printer->WaitUntil([&] {
        got = printer->Received();
        return !got.empty() && got.back().end == "closed";
    }));
    EXPECT_EQ(Releases(job2), 1u);
}

// Until jobs are followed on the printer, a supported printer's job is let
// go at the first round after its last byte left: never held, never twice.
TEST_F(LivePrinter, AHealthyPrintersJobIsReleasedOnceAfterItsEnd) {
    ASSERT_NO_FATAL_FAILURE(Begin("127.0.11.25"));
    DWORD job = StartJob(76, true);
    ASSERT_TRUE(Eventually([&] { return CountLines(kGetSuccess) >= 1; }));
    EXPECT_EQ(Ejections(job), 0u) << "not before its document ends";
    EXPECT_TRUE(host.EndDoc(h));
    ASSERT_TRUE(Eventually([&] { return CountLines(kEnd2) == 1; })) << "the released job holds the thread no more";
    EXPECT_EQ(Ejections(job), 1u);
    EXPECT_EQ(CountLines(kGetError), 0u);
}

TEST_F(LivePrinter, AnotherModelIsNeitherInterpretedNorFollowed) {
    ASSERT_NO_FATAL_FAILURE(Begin("127.0.11.21", {"--descr", "Other Printer 9"}));
    DWORD job = StartJob(73, true);
    ASSERT_TRUE(Eventually([&] { return CountM(M_OTHER_MODEL) >= 1; }));
    for (const auto& r : Updates("PrinterStatus"))
        if (Word(r, 1) == M_OTHER_MODEL) {
            EXPECT_EQ(Word(r, 0), 0u);
            EXPECT_EQ(Word(r, 2) & ~0x8u, 0u) << "L keeps its printing bit only";
        }
    EXPECT_TRUE(host.EndDoc(h));
    ASSERT_TRUE(Eventually([&] { return CountLines(kEnd2) == 1; }));
    EXPECT_EQ(Ejections(job), 1u);
    for (const auto& l : Lines()) EXPECT_EQ(l.rfind("SYS_PARSEDID:", 0), std::string::npos) << l;
    // Only the description is read from a printer of another model.
    EXPECT_EQ(printer->CountRequests("get", "1.3.6.1.2.1.25"), 0u);
    EXPECT_EQ(printer->CountRequests("getnext"), 0u);
}

// What a job's watcher sees of the printer's conditions: each one reaches the
// status variables and the spooler's port status once, its clearing too, and
// a round with nothing new sends nothing.
TEST_F(LivePrinter, AlertsDuringAJobReachTheManagerAndThePortStatus) {
    ASSERT_NO_FATAL_FAILURE(Begin("127.0.11.26"));
    StartJob(81, true);
    ASSERT_TRUE(Eventually([&] { return CountLines(kGetSuccess) >= 1; }));
    ASSERT_TRUE(NextRoundsEnd());

    size_t mark = UpdateCount(), ports = FakeSpoolSetPortLog().size();
    ASSERT_TRUE(printer->Command("alert add Hop1 Paper Jam"));
    ASSERT_TRUE(Eventually([&] { return LastSent("ErrPaperJam", mark) == std::vector<DWORD>{JAM_AT_HOPPER1}; }));
    auto status = LastSent("PrinterStatus", mark);
    ASSERT_EQ(status.size(), 3u);
    EXPECT_EQ(status[2] & (L_JAM | L_ONLINE), L_JAM | L_ONLINE) << std::hex << status[2];
    EXPECT_EQ(LastSent("IconState", mark), std::vector<DWORD>{ICON_ERROR});
    auto set = PortsSince(ports);
    ASSERT_EQ(set.size(), 1u);
    EXPECT_EQ(set[0].level, 3u);
    EXPECT_EQ(set[0].status, static_cast<DWORD>(PORT_STATUS_PAPER_JAM));
    EXPECT_EQ(set[0].severity, static_cast<DWORD>(PORT_STATUS_TYPE_ERROR));

    mark = UpdateCount(), ports = FakeSpoolSetPortLog().size();
    ASSERT_TRUE(printer->Command("alert del Hop1 Paper Jam"));
    ASSERT_TRUE(Eventually([&] { return LastSent("ErrPaperJam", mark) == std::vector<DWORD>{0}; }))
        << "the cleared jam is sent as cleared";
    EXPECT_EQ(LastSent("PrinterStatus", mark)[2] & L_JAM, 0u);
    EXPECT_EQ(LastSent("IconState", mark), std::vector<DWORD>{ICON_NORMAL});
    set = PortsSince(ports);
    ASSERT_EQ(set.size(), 1u);
    EXPECT_EQ(set[0].status, 0u);
    EXPECT_EQ(set[0].severity, 0u);

    // Two whole rounds with nothing new, counted between two round ends.
    ASSERT_TRUE(NextRoundsEnd());
    mark = UpdateCount(), ports = FakeSpoolSetPortLog().size();
    ASSERT_TRUE(NextRoundsEnd(2));
    EXPECT_EQ(UpdateCount(), mark) << "nothing changed, nothing is sent";
    EXPECT_EQ(FakeSpoolSetPortLog().size(), ports);

    // Low toner is a warning: the supplies detail says so, while the icon and
    // the port status of a printing printer stay normal.
    ASSERT_TRUE(printer->Command("alert add Low Toner"));
    ASSERT_TRUE(Eventually([&] { return LastSent("ErrSupplies", mark) == std::vector<DWORD>{2, 0, L_LOW_TONER}; }))
        << Dump(mark);
    status = LastSent("PrinterStatus", mark);
    ASSERT_EQ(status.size(), 3u);
    EXPECT_EQ(status[0], 0u) << "a warning, not an error";
    EXPECT_EQ(status[2] & (L_LOW_TONER | L_ONLINE | L_JAM), L_LOW_TONER | L_ONLINE) << std::hex << status[2];
    EXPECT_TRUE(LastSent("IconState", mark).empty()) << Dump(mark);
    set = PortsSince(ports);
    ASSERT_EQ(set.size(), 1u);
    EXPECT_EQ(set[0].status, 0u);
    EXPECT_EQ(set[0].severity, 0u);

    mark = UpdateCount(), ports = FakeSpoolSetPortLog().size();
    ASSERT_TRUE(printer->Command("alert clear"));
    ASSERT_TRUE(printer->Command("offline on"));
    ASSERT_TRUE(Eventually([&] {
        auto s = LastSent("PrinterStatus", mark);
        return s.size() == 3 && (s[2] & L_OFFLINE);
    })) << Dump(mark);
    EXPECT_EQ(LastSent("IconState", mark), std::vector<DWORD>{ICON_WARNING}) << "offline needs attention";
    set = PortsSince(ports);
    ASSERT_FALSE(set.empty());
    EXPECT_EQ(set.back().status, static_cast<DWORD>(PORT_STATUS_OFFLINE));

    mark = UpdateCount(), ports = FakeSpoolSetPortLog().size();
    ASSERT_TRUE(printer->Command("offline off"));
    ASSERT_TRUE(printer->Command("powersave on"));
    ASSERT_TRUE(Eventually([&] {
        auto s = LastSent("PrinterStatus", mark);
        return s.size() == 3 && (s[2] & L_POWER_SAVE) && !(s[2] & L_OFFLINE);
    })) << Dump(mark);
    EXPECT_EQ(LastSent("IconState", mark), std::vector<DWORD>{ICON_NORMAL});
    set = PortsSince(ports);
    ASSERT_FALSE(set.empty());
    EXPECT_EQ(set.back().status, 0u);
    EXPECT_TRUE(host.EndDoc(h));
}

// A port with a job reads no tables in its rounds, but a round that finds
// the printer in error reads the trays and outputs itself: trays and the
// stacker changed during a job reach the manager with the next error.
TEST_F(LivePrinter, TraysAndStackerChangedDuringAJobFollowTheNextError) {
    ASSERT_NO_FATAL_FAILURE(Begin("127.0.11.27"));
    DWORD job = StartJob(83, true);
    ASSERT_TRUE(Eventually([&] { return CountLines(kGetSuccess) >= 1; }));
    for (const char* c : {"bins 3", "bin 1 desc A4TYPE", "bin 2 desc A4TYPE,CURRENT", "stacker off"})
        ASSERT_TRUE(printer->Command(c)) << c;
    ASSERT_TRUE(NextRoundsEnd(2));
    size_t mark = UpdateCount();
    ASSERT_TRUE(NextRoundsEnd(2));
    EXPECT_TRUE(LastSent("PrinterBinConfig", mark).empty()) << Dump(mark);

    ASSERT_TRUE(printer->Command("alert add Hop1 Paper Jam"));
    ASSERT_TRUE(Eventually([&] { return !LastSent("ErrPaperJam", mark).empty(); })) << Dump(mark);
    EXPECT_EQ(LastSent("PrinterOptConfig", mark), (std::vector<DWORD>{1, 1 | 1 << 16, 0})) << "the stacker has gone";
    EXPECT_EQ(LastSent("CurrentFeeder", mark), std::vector<DWORD>{2});
    auto bins = LastSent("PrinterBinConfig", mark);
    ASSERT_FALSE(bins.empty());
    EXPECT_EQ(bins[0], 3u) << "three hoppers left";
    EXPECT_EQ(LastSent("ErrPaperJam", mark), std::vector<DWORD>{JAM_AT_HOPPER1}) << "no stacker to name";
    // A jammed printer holds the job, and ClosePort would wait for it.
    ASSERT_TRUE(printer->Command("alert del Hop1 Paper Jam"));
    EXPECT_TRUE(host.EndDoc(h));
    EXPECT_TRUE(Eventually([&] { return Releases(job) == 1; })) << "printed once the jam is cleared";
}

// An idle port that the suite woke reads the trays and outputs in every
// round: trays and the stacker changed while idle reach the manager without
// an error, and so does the stacker's return.
TEST_F(LivePrinter, TraysAndStackerChangedWhileIdleFollowInTheNextRounds) {
    ASSERT_NO_FATAL_FAILURE(Begin("127.0.11.28"));
    DWORD answer = 0xAAAAAAAA, returned = 0;
    host.GetPrinterData(h, 0, L"Wake Up", nullptr, 0, &answer, sizeof(answer), &returned);
    ASSERT_EQ(answer, 0u);
    ASSERT_TRUE(Eventually([&] { return CountLines(kGetSuccess) >= 1; }));
    ASSERT_TRUE(NextRoundsEnd());
    size_t mark = UpdateCount();
    for (const char* c : {"bins 3", "bin 1 desc A4TYPE", "bin 2 desc A4TYPE,CURRENT", "stacker off"})
        ASSERT_TRUE(printer->Command(c)) << c;
    ASSERT_TRUE(Eventually([&] {
        return LastSent("PrinterOptConfig", mark) == std::vector<DWORD>{1, 1 | 1 << 16, 0} &&
               LastSent("CurrentFeeder", mark) == std::vector<DWORD>{2};
    })) << Dump(mark);
    auto bins = LastSent("PrinterBinConfig", mark);
    ASSERT_FALSE(bins.empty());
    EXPECT_EQ(bins[0], 3u) << "three hoppers left";
    EXPECT_TRUE(LastSent("ErrPaperJam", mark).empty()) << "no error was needed";

    mark = UpdateCount();
    ASSERT_TRUE(printer->Command("stacker on"));
    ASSERT_TRUE(Eventually([&] {
        auto opt = LastSent("PrinterOptConfig", mark);
        return !opt.empty() && opt != std::vector<DWORD>{1, 1 | 1 << 16, 0};
    })) << Dump(mark);
    EXPECT_TRUE(LastSent("PrinterBinConfig", mark).empty()) << "unchanged trays are not sent again";
    host.GetPrinterData(h, 0, L"Stop Polling", nullptr, 0, &answer, sizeof(answer), &returned);
    EXPECT_EQ(answer, 0u);
    ASSERT_TRUE(Eventually([&] { return CountLines(kEnd2) == 1; }));
}

// A printer that drops, delays past the exchange's time-out, or refuses with
// genErr every request: the job still ends, the thread after it, and the
// port closes.
class BadAgent : public LivePrinter, public ::testing::WithParamInterface<int> {};

TEST_P(BadAgent, ThreadEndsAfterTheJobAndClosePortReturnsWithABadAgent) {
    static const char* const kAddresses[] = {"127.0.11.22", "127.0.11.23", "127.0.11.24"};
    static const char* const kKnobs[] = {"snmp drop", "snmp delay 3000", "snmp generr"};
    ASSERT_NO_FATAL_FAILURE(Begin(kAddresses[GetParam()]));
    DWORD job = StartJob(74, true);
    // Ended on a supported printer, the job is left to the printer-side
    // tracking; the printer going bad then releases it.
    EXPECT_TRUE(host.EndDoc(h));
    ASSERT_TRUE(printer->Command(kKnobs[GetParam()]));
    ASSERT_TRUE(Eventually([&] { return CountLines(kEnd2) == 1; })) << kKnobs[GetParam()];
    EXPECT_EQ(Ejections(job), 1u);

    // A second job: the port is closed while the thread polls the bad agent.
    // The write path holds data while the printer does not answer: no write.
    DWORD job2 = StartJob(75, true, false);
    size_t reads = CountLines("REFRESH:ReadStatus2 -START-");
    ASSERT_TRUE(Eventually([&] { return CountLines("REFRESH:ReadStatus2 -START-") > reads; }));
    EXPECT_TRUE(host.EndDoc(h));
    EXPECT_TRUE(host.ClosePort(h));
    h = nullptr;
    EXPECT_EQ(CountLines(kEnd2), 2u) << "the second thread ended through its end path as well";
    EXPECT_EQ(Releases(job2), 1u) << "an unwritten job is released by its end";
}
std::string AgentName(const ::testing::TestParamInfo<int>& i) {
    static const char* const kNames[] = {"Drops", "Delays", "GenErr"};
    return kNames[i.param];
}
INSTANTIATE_TEST_SUITE_P(Agents, BadAgent, ::testing::Values(0, 1, 2), AgentName);

}  // namespace
