#include "status/statuswords.h"

#include <cstring>

const AlertRow kBasicAlerts[] = {
    {"Printer Offline", CLS_OFFLINE, DETAIL_NONE, 0},
    {"Low Toner", CLS_LOW_TONER, DETAIL_TONER, 0x2},
    {"Near Drum Life", CLS_NEAR_DRUM, DETAIL_DRUM, 0x2},
    {"Maintenance Request Warning", CLS_MAINT_WARNING, DETAIL_NONE, 0},
    {"Printer Reset", CLS_RESET, DETAIL_NONE, 0},
};

const AlertRow kDetailedAlerts[] = {
    {"Printer Offline", CLS_OFFLINE, DETAIL_NONE, 0},
    {"SideA Cover Paper Jam", CLS_JAM, DETAIL_JAM, 0x1},
    {"SideB Cover Paper Jam", CLS_JAM, DETAIL_JAM, 0x2},
    {"SideC Cover Paper Jam", CLS_JAM, DETAIL_JAM, 0x4},
    {"DuplexD Cover Paper Jam", CLS_JAM, DETAIL_JAM, 0x8},
    {"SideE Cover Paper Jam", CLS_JAM, DETAIL_JAM, 0x10},
    {"Hop1 Paper Jam", CLS_JAM, DETAIL_JAM, 0x20},
    {"Hop2 Paper Jam", CLS_JAM, DETAIL_JAM, 0x40},
    {"Hop3 Paper Jam", CLS_JAM, DETAIL_JAM, 0x80},
    {"Hop4 Paper Jam", CLS_JAM, DETAIL_JAM, 0x100},
    {"Hop5 Paper Jam", CLS_JAM, DETAIL_JAM, 0x200},
    {"Tray Paper Jam", CLS_JAM, DETAIL_JAM, 0x400},
    {"Hop5 Top Cover Paper Jam", CLS_JAM, DETAIL_JAM, 0x800},
    {"Top Tray Paper Jam", CLS_JAM, DETAIL_JAM, 0x1000},
    {"FinisherF Cover Paper Jam", CLS_JAM, DETAIL_JAM, 0x2000},
    {"FinisherG Cover Paper Jam", CLS_JAM, DETAIL_JAM, 0x4000},
    {"FinisherH Cover Paper Jam", CLS_JAM, DETAIL_JAM, 0x8000},
    {"Front Cover Open", CLS_COVER, DETAIL_COVER, 0x10000},
    {"SideA Cover Open", CLS_COVER, DETAIL_COVER, 0x20001},
    {"SideB Cover Open", CLS_COVER, DETAIL_COVER, 0x20002},
    {"SideC Cover Open", CLS_COVER, DETAIL_COVER, 0x20004},
    {"DuplexD Cover Open", CLS_COVER, DETAIL_COVER, 0x40000},
    {"SideE Cover Open", CLS_COVER, DETAIL_COVER, 0x20008},
    {"HOP5 Top Cover Open", CLS_COVER, DETAIL_COVER, 0x80000},
    {"FinisherF Cover Open", CLS_COVER, DETAIL_COVER, 0x100010},
    {"FinisherG Cover Open", CLS_COVER, DETAIL_COVER, 0x100020},
    {"FinisherH Cover Open", CLS_COVER, DETAIL_COVER, 0x100040},
    {"Low Toner", CLS_LOW_TONER, DETAIL_TONER, 0x2},
    {"No Toner", CLS_NO_TONER, DETAIL_TONER, 0x4},
    {"Hop1 Pick Miss", CLS_PICK_MISS, DETAIL_PICK_MISS, 0x1},
    {"Hop2 Pick Miss", CLS_PICK_MISS, DETAIL_PICK_MISS, 0x2},
    {"Hop3 Pick Miss", CLS_PICK_MISS, DETAIL_PICK_MISS, 0x4},
    {"Hop4 Pick Miss", CLS_PICK_MISS, DETAIL_PICK_MISS, 0x8},
    {"Hop1 Paper Size Error", CLS_SIZE_ERROR, DETAIL_SIZE_ERROR, 0x1},
    {"Hop2 Paper Size Error", CLS_SIZE_ERROR, DETAIL_SIZE_ERROR, 0x2},
    {"Hop3 Paper Size Error", CLS_SIZE_ERROR, DETAIL_SIZE_ERROR, 0x4},
    {"Hop4 Paper Size Error", CLS_SIZE_ERROR, DETAIL_SIZE_ERROR, 0x8},
    {"Hop5 Paper Size Error", CLS_SIZE_ERROR, DETAIL_SIZE_ERROR, 0x10},
    {"Paper Size Error", CLS_SIZE_ERROR, DETAIL_SIZE_ERROR, DETAIL_ANY_BIN},
    {"Hop1 No Cassette", CLS_NO_CASSETTE, DETAIL_CASSETTE, 0x1},
    {"Hop2 No Cassette", CLS_NO_CASSETTE, DETAIL_CASSETTE, 0x2},
    {"Hop3 No Cassette", CLS_NO_CASSETTE, DETAIL_CASSETTE, 0x4},
    {"Hop4 No Cassette", CLS_NO_CASSETTE, DETAIL_CASSETTE, 0x8},
    {"Hop5 No Cassette", CLS_NO_CASSETTE, DETAIL_CASSETTE, 0x10},
    {"Hop1 No Paper", CLS_NO_PAPER, DETAIL_NO_PAPER, 0x1},
    {"Hop2 No Paper", CLS_NO_PAPER, DETAIL_NO_PAPER, 0x2},
    {"Hop3 No Paper", CLS_NO_PAPER, DETAIL_NO_PAPER, 0x4},
    {"Hop4 No Paper", CLS_NO_PAPER, DETAIL_NO_PAPER, 0x8},
    {"Hop5 No Paper", CLS_NO_PAPER, DETAIL_NO_PAPER, 0x10},
    {"No Paper", CLS_NO_PAPER, DETAIL_NO_PAPER, DETAIL_ANY_BIN},
    {"Face Down Tray Stacker Full", CLS_STACKER, DETAIL_STACKER, 0x10000},
    {"Top Tray Stacker Full", CLS_STACKER, DETAIL_STACKER, 0x20000},
    {"Stacker Tray Stacker Full", CLS_STACKER, DETAIL_STACKER, 0x40001},
    {"Stacker Tray Stacker Mix Full", CLS_STACKER, DETAIL_STACKER, 0x40002},
    {"Stacker Tray Staple Set Over", CLS_STACKER, DETAIL_STACKER, 0x40004},
    {"Stacker Tray Down Error", CLS_STACKER, DETAIL_STACKER, 0x40008},
    {"No Staple", CLS_STAPLE, DETAIL_STAPLE, 0x1},
    {"Staple Missfeed", CLS_STAPLE, DETAIL_STAPLE, 0x2},
    {"Staple Miss", CLS_STAPLE, DETAIL_STAPLE, 0x4},
    {"Punch Box Full", CLS_PUNCH, DETAIL_PUNCH, 0x1},
    {"No Punch Box", CLS_PUNCH, DETAIL_PUNCH, 0x2},
    {"No Drum Cartridge", CLS_CART_MISSING, DETAIL_DRUM, 0x1},
    {"No Toner Cartridge", CLS_CART_MISSING, DETAIL_TONER, 0x1},
    {"Drum Cartridge Error", CLS_CART_ERROR, DETAIL_DRUM, 0x8},
    {"Toner Cartridge Error", CLS_CART_ERROR, DETAIL_TONER, 0x8},
    {"Drum Life", CLS_DRUM_LIFE, DETAIL_DRUM, 0x4},
    {"Near Drum Life", CLS_NEAR_DRUM, DETAIL_DRUM, 0x2},
    {"Maintenance Request Alert", CLS_MAINT_ALERT, DETAIL_NONE, 0},
    {"Maintenance Request Warning", CLS_MAINT_WARNING, DETAIL_NONE, 0},
    {"Form Over", CLS_FORM_OVER, DETAIL_NONE, 0},
    {"Serviceman Call", CLS_SERVICEMAN, DETAIL_NONE, 0},
    {"Printer Reset", CLS_RESET, DETAIL_NONE, 0},
};

const ClassMapRow kClassMap[] = {
    {CLS_SERVICEMAN, WORD_M, M_SERVICEMAN},
    {CLS_SIZE_ERROR, WORD_L, L_SIZE_ERROR},
    {CLS_JAM, WORD_L, L_JAM},
    {CLS_PICK_MISS, WORD_M, M_PICK_MISS},
    {CLS_STACKER, WORD_L, L_STACKER},
    {CLS_CART_MISSING, WORD_M, M_CART_MISSING},
    {CLS_CART_ERROR, WORD_L, L_CART_ERROR},
    {CLS_NO_TONER, WORD_L, L_NO_TONER},
    {CLS_DRUM_LIFE, WORD_L, L_DRUM_LIFE},
    {CLS_STAPLE, WORD_M, M_STAPLE},
    {CLS_PUNCH, WORD_M, M_PUNCH},
    {CLS_COVER, WORD_L, L_COVER},
    {CLS_NO_CASSETTE, WORD_L, L_NO_CASSETTE},
    {CLS_NO_PAPER_SOFT, WORD_L, L_NO_PAPER_SOFT},
    {CLS_NO_PAPER, WORD_L, L_NO_PAPER},
    {CLS_MAINT_ALERT, WORD_L, L_MAINT_ALERT},
    {CLS_FORM_OVER, WORD_L, L_FORM_OVER},
    {CLS_OFFLINE, WORD_L, L_OFFLINE},
    {CLS_LOW_TONER, WORD_L, L_LOW_TONER},
    {CLS_NEAR_DRUM, WORD_L, L_NEAR_DRUM},
    {CLS_MAINT_WARNING, WORD_L, L_MAINT_WARNING},
};

// The first row that meets the status gives the icon: a printer that does
// not answer or is another model shows nothing else.
const IconRow kIconTable[] = {
    {WORD_M, M_OTHER_MODEL, ICON_NORMAL},
    {WORD_M, M_SERVICEMAN, ICON_STOPPED},
    {WORD_M, M_NO_ANSWER, ICON_NORMAL},
    {WORD_L, L_SIZE_ERROR, ICON_STOPPED},
    {WORD_L, L_JAM, ICON_STOPPED},
    {WORD_M, M_PICK_MISS, ICON_STOPPED},
    {WORD_L, L_STACKER, ICON_STOPPED},
    {WORD_M, M_CART_MISSING, ICON_STOPPED},
    {WORD_L, L_CART_ERROR, ICON_STOPPED},
    {WORD_L, L_NO_TONER, ICON_STOPPED},
    {WORD_L, L_DRUM_LIFE, ICON_STOPPED},
    {WORD_M, M_STAPLE, ICON_STOPPED},
    {WORD_M, M_PUNCH, ICON_STOPPED},
    {WORD_L, L_COVER, ICON_STOPPED},
    {WORD_L, L_NO_CASSETTE, ICON_STOPPED},
    {WORD_L, L_NO_PAPER_SOFT, ICON_STOPPED},
    {WORD_L, L_NO_PAPER, ICON_STOPPED},
    {WORD_L, L_MAINT_ALERT, ICON_ATTENTION},
    {WORD_L, L_FORM_OVER, ICON_STOPPED},
    {WORD_L, L_OFFLINE, ICON_ATTENTION},
    {WORD_L, L_WARMUP, ICON_ATTENTION},
    {WORD_L, L_POWER_SAVE, ICON_NORMAL},
    {WORD_L, L_PRINTING, ICON_NORMAL},
    {WORD_L, L_LOW_TONER, ICON_ATTENTION},
    {WORD_L, L_NEAR_DRUM, ICON_ATTENTION},
    {WORD_L, L_MAINT_WARNING, ICON_ATTENTION},
    {WORD_L, L_ONLINE, ICON_NORMAL},
};

const NoPaperBinRow kNoPaperBins[] = {
    {"Hop1 No Paper", 1}, {"Hop2 No Paper", 2}, {"Hop3 No Paper", 3},
    {"Hop4 No Paper", 4}, {"Hop5 No Paper", 5}, {"No Paper", BIN_TRAY},
};

namespace {

constexpr uint8_t kLevelSomeSheets = 100;   // level class of a bin with at least one sheet
constexpr uint8_t kLevelPartly = 254;       // any other non-zero level
constexpr size_t kBinEntrySize = 12;
constexpr size_t kBinLevelOffset = 6;

template <size_t N>
constexpr size_t Rows(const AlertRow (&)[N]) { return N; }

}  // namespace

size_t FieldLength(const char* text, size_t size) {
    const void* end = memchr(text, 0, size);
    return end ? static_cast<size_t>(static_cast<const char*>(end) - text) : size;
}

bool FieldEquals(const char* field, size_t size, const char* text) {
    size_t n = strlen(text);
    return FieldLength(field, size) == n && memcmp(field, text, n) == 0;
}

bool UseDetailedAlerts(const PollRecord& poll) {
    return poll.dwHrPrinterStatus == HRPRT_OTHER && poll.dwHrDeviceStatus == HRDEV_DOWN;
}

int FindAlertRow(const AlertRow* table, size_t rows, const char* alert, size_t size) {
    for (size_t i = 0; i < rows; ++i)
        if (FieldEquals(alert, size, table[i].pszText)) return static_cast<int>(i);
    return -1;
}

uint32_t ClassifyNoPaperIn(const uint8_t* binConfig, size_t cbBinConfig, const char* alert, size_t size) {
    if (!binConfig || cbBinConfig < 4) return CLS_NO_PAPER;
    const NoPaperBinRow* row = nullptr;
    for (const NoPaperBinRow& r : kNoPaperBins)
        if (FieldEquals(alert, size, r.pszText)) {
            row = &r;
            break;
        }
    uint32_t count;
    memcpy(&count, binConfig, 4);
    if (!row || count == 0) return CLS_NO_PAPER;
    size_t entries = (cbBinConfig - 4) / kBinEntrySize;
    if (count < entries) entries = count;
    for (size_t i = 0; i < entries; ++i) {
        const uint8_t* e = binConfig + 4 + i * kBinEntrySize;
        uint16_t id;
        memcpy(&id, e, 2);
        uint8_t level = e[kBinLevelOffset];
        if (id == row->dwBinId && (level == kLevelPartly || level == kLevelSomeSheets)) return CLS_NO_PAPER_SOFT;
    }
    return CLS_NO_PAPER;
}

void ScanAlerts(const PollRecord& poll, const uint8_t* binConfig, size_t cbBinConfig, AlertScan* out) {
    *out = AlertScan{};
    const AlertRow* table = kBasicAlerts;
    size_t rows = Rows(kBasicAlerts);
    if (UseDetailedAlerts(poll)) {
        table = kDetailedAlerts;
        rows = Rows(kDetailedAlerts);
    }
    uint32_t count = poll.dwAlertCount < POLL_ALERTS ? poll.dwAlertCount : POLL_ALERTS;
    for (uint32_t i = 0; i < count; ++i) {
        int r = FindAlertRow(table, rows, poll.szAlert[i], POLL_TEXT);
        if (r < 0) continue;
        const AlertRow& row = table[r];
        if (row.dwClass == CLS_NO_PAPER)
            out->dwClassWord |= ClassifyNoPaperIn(binConfig, cbBinConfig, poll.szAlert[i], POLL_TEXT);
        else if (row.dwClass == CLS_RESET)
            out->bPrinterReset = true;
        else
            out->dwClassWord |= row.dwClass;
        out->dwAlertDetail[row.iDetail] |= row.dwDetailBits;
    }
}

void ApplyClassMap(uint32_t words[3], uint32_t classWord) {
    for (const ClassMapRow& r : kClassMap) {
        if (classWord & r.dwClass)
            words[r.iWord] |= r.dwBit;
        else
            words[r.iWord] &= ~r.dwBit;
    }
}

uint32_t IconClassOf(uint32_t h, uint32_t m, uint32_t l) {
    const uint32_t words[3] = {h, m, l};
    for (const IconRow& r : kIconTable)
        if (words[r.iWord] & r.dwMask) return r.dwIcon;
    return ICON_NORMAL;
}

bool NeedsPrintingWalk(const PollRecord& poll, bool inDoc, bool jobQueued) {
    return poll.dwHrPrinterStatus != HRPRT_PRINTING && !inDoc && !jobQueued && poll.dwHrPrinterStatus != HRPRT_IDLE;
}

void ComputeStatus(const PollRecord& poll, const uint8_t* binConfig, size_t cbBinConfig, const StatusInputs& in,
                   StatusOutcome* out) {
    *out = StatusOutcome{};
    uint32_t* w = out->adwNew;
    memcpy(w, in.adwOld, sizeof(out->adwNew));
    w[WORD_M] &= ~M_FIXED_STATES;

    ScanAlerts(poll, binConfig, cbBinConfig, &out->scan);
    out->bJobLost = out->scan.bPrinterReset && in.bJobQueued && in.bDataSent;
    ApplyClassMap(w, out->scan.dwClassWord);

    w[WORD_L] &= ~L_PRINTING;
    if (poll.dwHrPrinterStatus == HRPRT_PRINTING || in.bInDoc || in.bJobQueued)
        w[WORD_L] |= L_PRINTING;
    else if (poll.dwHrPrinterStatus != HRPRT_IDLE && in.bPrintingJob)
        w[WORD_L] |= L_PRINTING;

    if (poll.dwHrPrinterStatus == HRPRT_WARMUP)
        w[WORD_L] |= L_WARMUP;
    else
        w[WORD_L] &= ~L_WARMUP;

    if (w[WORD_L] & L_OFFLINE)
        w[WORD_L] &= ~L_ONLINE;
    else
        w[WORD_L] |= L_ONLINE;

    uint32_t before = w[WORD_L] & L_POWER_SAVE;
    if (poll.dwPowerSave)
        w[WORD_L] |= L_POWER_SAVE;
    else
        w[WORD_L] &= ~L_POWER_SAVE;
    out->bPowerSaveChanged = before != (w[WORD_L] & L_POWER_SAVE);
}

uint32_t PaperJamValue(uint32_t d, bool stackerTray) {
    uint32_t v = d;
    if (d & JAM_SIDE_E) v += JAM_SUM_SIDE_E;
    if (d & JAM_FEED_PATH) v += JAM_SUM_FEED_PATH;
    if (d & JAM_DUPLEX) v += JAM_SUM_DUPLEX;
    if (d & JAM_FINISHER) v += JAM_SUM_FINISHER;
    if (v == JAM_SIDE_A) v = stackerTray ? JAM_ONLY_SIDE_A_STACKER : JAM_ONLY_SIDE_A;
    return v;
}

uint32_t BinIdOfDetail(uint32_t d) {
    if (!d) return 0;
    if (d & DETAIL_ANY_BIN) return BIN_TRAY;
    if (d & DETAIL_HOP5) return 5;
    if (d & DETAIL_HOP4) return 4;
    if (d & DETAIL_HOP3) return 3;
    if (d & DETAIL_HOP2) return 2;
    if (d & DETAIL_HOP1) return 1;
    return 0;
}

bool Triggered(const uint32_t o[3], const uint32_t n[3], uint32_t maskM, uint32_t maskL) {
    return (o[WORD_M] & maskM) || (o[WORD_L] & maskL) || (n[WORD_M] & maskM) || (n[WORD_L] & maskL);
}

uint32_t ParseLeadingNumber(const char* text) {
    uint32_t v = 0;
    for (; *text >= '0' && *text <= '9'; ++text) v = v * 10 + static_cast<uint32_t>(*text - '0');
    return v;
}

bool HardwareErrorOfDisplay(const char display[CONSOLE_BUFFER], uint32_t* number) {
    // "コール" (call) at bytes 8 to 13 of the first row: the panel asks for
    // the serviceman and shows no error number.
    static const char kCall[] = "\x83\x52\x81\x5b\x83\x8b";   // コール
    if (memcmp(display + 8, kCall, 6) == 0) return false;
    char row[CONSOLE_ROW];
    memcpy(row, display, CONSOLE_ROW - 1);
    row[CONSOLE_ROW - 1] = 0;
    *number = ParseLeadingNumber(row);
    return true;
}
