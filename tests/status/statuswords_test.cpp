// The status word arithmetic and the bin configuration builder over hand-made
// poll records: what each printer condition turns into.
#include "state/bintables.h"
#include "status/statuswords.h"

#include <gtest/gtest.h>

#include <cstring>
#include <initializer_list>
#include <vector>

namespace {

PollRecord Poll(std::initializer_list<const char*> alerts, uint32_t hrDev = 2, uint32_t hrPrt = 3) {
    PollRecord p{};
    p.dwHrDeviceStatus = hrDev;
    p.dwHrPrinterStatus = hrPrt;
    for (const char* a : alerts) strcpy(p.szAlert[p.dwAlertCount++], a);
    return p;
}
PollRecord Down(std::initializer_list<const char*> alerts) { return Poll(alerts, HRDEV_DOWN, HRPRT_OTHER); }

StatusOutcome Interpret(const PollRecord& p, StatusInputs in = {}, const std::vector<uint8_t>& bins = {}) {
    StatusOutcome out;
    ComputeStatus(p, bins.empty() ? nullptr : bins.data(), bins.size(), in, &out);
    return out;
}

void AddBin(PollRecord& p, const char* name, const char* media, const char* desc, int32_t level, uint32_t x,
            uint32_t y) {
    InputBinRecord& b = p.InputBin[p.dwInputCount++];
    strcpy(b.szName, name);
    strcpy(b.szMedia, media);
    strcpy(b.szDescription, desc);
    b.bCurrent = IsCurrentDescription(desc, BIN_TEXT);
    b.dwLevel = level;
    b.dwSizeX = x;
    b.dwSizeY = y;
}

std::vector<BinConfigEntry> Entries(const PollRecord& p, uint32_t* feeder) {
    uint8_t v[kBinConfigSize];
    BuildBinConfig(p, v, feeder);
    uint32_t count;
    memcpy(&count, v, 4);
    std::vector<BinConfigEntry> e(count);
    memcpy(e.data(), v + 4, count * sizeof(BinConfigEntry));
    return e;
}

TEST(StatusWords, QuietPrinterClearsEveryClassBitAndEndsTheFixedStates) {
    StatusInputs in{};
    in.adwOld[WORD_H] = 0x12;
    in.adwOld[WORD_M] = M_NO_ANSWER | M_SERVICEMAN | M_PICK_MISS;
    in.adwOld[WORD_L] = L_JAM | L_OFFLINE | L_COVER | L_PRINTING | L_WARMUP;
    StatusOutcome out = Interpret(Poll({}), in);
    EXPECT_EQ(out.adwNew[WORD_H], 0x12u) << "H is carried over";
    EXPECT_EQ(out.adwNew[WORD_M], 0u);
    EXPECT_EQ(out.adwNew[WORD_L], L_ONLINE);
    for (uint32_t d : out.scan.dwAlertDetail) EXPECT_EQ(d, 0u);
}

TEST(StatusWords, TableFollowsThePrinterState) {
    // Not down: the basic table only, so "No Toner" means nothing.
    StatusOutcome up = Interpret(Poll({"Low Toner", "No Toner", "Hop1 Paper Jam"}));
    EXPECT_EQ(up.adwNew[WORD_L], L_ONLINE | L_LOW_TONER);
    EXPECT_EQ(up.scan.dwAlertDetail[DETAIL_TONER], 0x2u);
    EXPECT_EQ(IconClassOf(0, up.adwNew[WORD_M], up.adwNew[WORD_L]), 2u) << "low toner warns";

    // Down: the detailed table, a repeated text counts once.
    StatusOutcome down = Interpret(Down({"SideA Cover Paper Jam", "SideA Cover Paper Jam", "No Toner", "Serviceman Call"}));
    EXPECT_EQ(down.adwNew[WORD_L], L_ONLINE | L_JAM | L_NO_TONER);
    EXPECT_EQ(down.adwNew[WORD_M], M_SERVICEMAN);
    EXPECT_EQ(down.scan.dwAlertDetail[DETAIL_JAM], 0x1u);
    EXPECT_EQ(down.scan.dwAlertDetail[DETAIL_TONER], 0x4u);
    EXPECT_EQ(IconClassOf(0, down.adwNew[WORD_M], down.adwNew[WORD_L]), 1u);

    // Texts are exact: other case or a trailing blank is no alert.
    EXPECT_EQ(Interpret(Down({"paper jam", "Printer Offline "})).scan.dwClassWord, 0u);
}

TEST(StatusWords, OfflinePowerSaveWarmupAndPrinting) {
    StatusOutcome off = Interpret(Poll({"Printer Offline"}));
    EXPECT_EQ(off.adwNew[WORD_L], L_OFFLINE);
    EXPECT_EQ(IconClassOf(0, 0, off.adwNew[WORD_L]), 2u);

    PollRecord saving = Poll({});
    saving.dwPowerSave = 1000;
    StatusOutcome ps = Interpret(saving);
    EXPECT_EQ(ps.adwNew[WORD_L], L_ONLINE | L_POWER_SAVE);
    EXPECT_TRUE(ps.bPowerSaveChanged);
    EXPECT_EQ(IconClassOf(0, 0, ps.adwNew[WORD_L]), 0u);
    StatusInputs again{};
    again.adwOld[WORD_L] = ps.adwNew[WORD_L];
    EXPECT_FALSE(Interpret(saving, again).bPowerSaveChanged);

    EXPECT_EQ(Interpret(Poll({}, 5, HRPRT_WARMUP)).adwNew[WORD_L], L_ONLINE | L_WARMUP);
    EXPECT_EQ(Interpret(Poll({}, 2, HRPRT_PRINTING)).adwNew[WORD_L], L_ONLINE | L_PRINTING);

    // The printer's job table is asked only when nothing else decides, and
    // its answer counts only then.
    EXPECT_FALSE(NeedsPrintingWalk(Poll({}, 2, HRPRT_IDLE), false, false));
    EXPECT_FALSE(NeedsPrintingWalk(Poll({}, 2, 1), true, false));
    EXPECT_TRUE(NeedsPrintingWalk(Poll({}, 2, 1), false, false));
    StatusInputs walked{};
    walked.bPrintingJob = true;
    EXPECT_EQ(Interpret(Poll({}, 2, 1), walked).adwNew[WORD_L] & L_PRINTING, L_PRINTING);
    EXPECT_EQ(Interpret(Poll({}, 2, HRPRT_IDLE), walked).adwNew[WORD_L] & L_PRINTING, 0u);
}

TEST(StatusWords, PrinterResetLosesOnlyAJobThePrinterHad) {
    StatusInputs in{};
    in.bJobQueued = true;
    EXPECT_FALSE(Interpret(Poll({"Printer Reset"}), in).bJobLost);
    in.bDataSent = true;
    StatusOutcome out = Interpret(Poll({"Printer Reset"}), in);
    EXPECT_TRUE(out.bJobLost);
    EXPECT_EQ(out.scan.dwClassWord, 0u) << "a reset sets no status bit";
}

TEST(StatusWords, NoPaperIsSoftWhileItsBinStillReportsPaper) {
    PollRecord p{};
    AddBin(p, "HOPPER1", "PLAIN", "A4TYPE", -3, 210000, 297000);
    AddBin(p, "TRAY", "PLAIN", "", 0, 210000, 297000);
    uint8_t cfg[kBinConfigSize];
    uint32_t feeder;
    BuildBinConfig(p, cfg, &feeder);
    std::vector<uint8_t> bins(cfg, cfg + sizeof(cfg));
    EXPECT_EQ(ClassifyNoPaperIn(cfg, sizeof(cfg), "Hop1 No Paper", 14), CLS_NO_PAPER_SOFT);
    EXPECT_EQ(ClassifyNoPaperIn(cfg, sizeof(cfg), "No Paper", 9), CLS_NO_PAPER) << "the tray is empty";
    EXPECT_EQ(ClassifyNoPaperIn(nullptr, 0, "Hop1 No Paper", 14), CLS_NO_PAPER);
    StatusOutcome out = Interpret(Down({"Hop1 No Paper", "No Paper"}), {}, bins);
    EXPECT_EQ(out.adwNew[WORD_L] & L_NO_PAPER_ANY, L_NO_PAPER_ANY);
    EXPECT_EQ(BinIdOfDetail(out.scan.dwAlertDetail[DETAIL_NO_PAPER]), BIN_TRAY);
}

TEST(StatusWords, DetailValues) {
    EXPECT_EQ(PaperJamValue(0x1, false), 0x10001u);
    EXPECT_EQ(PaperJamValue(0x1, true), 0x90001u);
    EXPECT_EQ(PaperJamValue(0x21, false), 0x20021u);
    EXPECT_EQ(PaperJamValue(0x8 | 0x2000, false), 0x2008u + 0x40000 + 0x80000);
    EXPECT_EQ(BinIdOfDetail(0x1 | 0x4), 3u);
    EXPECT_EQ(BinIdOfDetail(0x1 | DETAIL_ANY_BIN), BIN_TRAY);
    EXPECT_EQ(BinIdOfDetail(0), 0u);

    char display[CONSOLE_BUFFER] = {};
    strcpy(display, "4711 SERVICE");
    uint32_t n = 0;
    EXPECT_TRUE(HardwareErrorOfDisplay(display, &n));
    EXPECT_EQ(n, 4711u);
    memcpy(display + 8, "\x83\x52\x81\x5b\x83\x8b", 6);   // コール
    EXPECT_FALSE(HardwareErrorOfDisplay(display, &n));
    EXPECT_EQ(ParseLeadingNumber("E12"), 0u);
}

TEST(StatusWords, IconOrder) {
    EXPECT_EQ(IconClassOf(0, M_NO_ANSWER, L_JAM | L_OFFLINE), 0u) << "no answer hides old L bits";
    EXPECT_EQ(IconClassOf(0, M_OTHER_MODEL | M_SERVICEMAN, 0), 0u);
    EXPECT_EQ(IconClassOf(0, 0, L_JAM | L_OFFLINE), 1u);
    EXPECT_EQ(IconClassOf(0, 0, L_PRINTING | L_LOW_TONER), 0u) << "printing comes before the toner warning";
    EXPECT_EQ(IconClassOf(0, 0, 0), 0u);
}

TEST(BinConfig, SlotsTypesSizesAndCurrentFeeder) {
    PollRecord p{};
    AddBin(p, "HOPPER1", "PLAIN", "A4TYPE", -3, 210000, 297000);
    AddBin(p, "TRAY", "PLAIN", "", 50, 297000, 210000);
    AddBin(p, "HOPPER2", "PLAIN", "A4TYPE", 0, 1, 2);
    uint32_t feeder = 0;
    auto e = Entries(p, &feeder);
    ASSERT_EQ(e.size(), 3u);
    EXPECT_EQ(e[0].wBinId, 1);
    EXPECT_EQ(e[1].wBinId, 2);
    EXPECT_EQ(e[2].wBinId, 2001) << "the tray takes the last counted slot";
    EXPECT_EQ(e[2].wType, BINTYPE_TRAY);
    EXPECT_EQ(e[0].wPaperSize, 9);
    EXPECT_EQ(e[2].wPaperSize, 9) << "either order";
    EXPECT_EQ(e[1].wPaperSize, PAPER_UNKNOWN);
    EXPECT_EQ(e[0].bLevelClass, LEVEL_SOME_SHEETS);
    EXPECT_EQ(e[2].bLevelClass, LEVEL_PARTLY);
    EXPECT_EQ(e[1].bLevelClass, 0);
    EXPECT_EQ(feeder, NO_CURRENT_FEEDER);

    PollRecord q{};
    AddBin(q, "HOPPER3", "PLAIN", "A4TYPE", -3, 0, 0);
    AddBin(q, "HOPPER3", "PLAIN", "A3TYPE", -3, 0, 0);
    AddBin(q, "HOPPER4", "PLAIN", "A4TYPE,CURRENT", -3, 0, 0);
    AddBin(q, "HOPPER5", "NON-STANDARD", "A4TYPE", -3, 210000, 297000);
    AddBin(q, "HOPPER4", "", "A4", -3, 210000, 297000);
    e = Entries(q, &feeder);
    EXPECT_EQ(e[0].wType, BINTYPE_A4_HOPPER3);
    EXPECT_EQ(e[1].wType, BINTYPE_CASSETTE);
    EXPECT_EQ(e[2].wType, BINTYPE_A4_CASSETTE);
    EXPECT_EQ(e[3].wType, BINTYPE_NON_STANDARD);
    EXPECT_EQ(e[3].wPaperSize, PAPER_NON_STANDARD);
    EXPECT_EQ(e[4].wType, BINTYPE_NON_STANDARD) << "an empty media name is a leading part of NON-STANDARD";
    EXPECT_EQ(feeder, 4u);
}

TEST(BinConfig, EmulationInfoInTableOrder) {
    uint8_t v[kEmulationMax];
    ASSERT_EQ(BuildEmulationInfo(0x3, v), 12u);
    uint32_t w[3];
    memcpy(w, v, 12);
    EXPECT_EQ(w[0], 2u);
    EXPECT_EQ(w[1], 0u);
    EXPECT_EQ(w[2], 1u);
    ASSERT_EQ(BuildEmulationInfo(0x2, v), 8u);
    memcpy(w, v, 8);
    EXPECT_EQ(w[1], 1u);
}

TEST(OidWalk, StopsWhenTheNameLeavesTheColumnOrDoesNotAdvance) {
    const char* col = "1.3.6.1.2.1.43.8.2.1.13";
    EXPECT_TRUE(OidInSubtree("1.3.6.1.2.1.43.8.2.1.13.1.1", col));
    EXPECT_FALSE(OidInSubtree("1.3.6.1.2.1.43.8.2.1.130.1", col));
    EXPECT_FALSE(OidInSubtree("1.3.6.1.2.1.43.8.2.1.13", col));
    EXPECT_TRUE(OidAdvances("1.3.6.1.2.1.43.8.2.1.13.1", "1.3.6.1.2.1.43.8.2.1.13.1.1"));
    EXPECT_TRUE(OidAdvances("1.3.6.1.2.1.43.8.2.1.13.1.9", "1.3.6.1.2.1.43.8.2.1.13.1.10"));
    EXPECT_FALSE(OidAdvances("1.3.6.1.2.1.43.8.2.1.13.1.1", "1.3.6.1.2.1.43.8.2.1.13.1.1"));
    EXPECT_FALSE(OidAdvances("1.3.6.1.2.1.43.8.2.1.13.1.2", "1.3.6.1.2.1.43.8.2.1.13.1.1"));
    EXPECT_FALSE(OidAdvances("1.3.6.1", "1.3.x"));
}

}  // namespace
