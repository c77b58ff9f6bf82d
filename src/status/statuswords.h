// The printer's alert vocabulary and the arithmetic that turns a poll record
// into the three status words H, M, L, the icon class and the detail values.
// OS-free: the port-context side (store, lock, SNMP) is in interpret.cpp.
#pragma once
#include <cstddef>
#include <cstdint>

#include "core/pollrecord.h"

// Status word indexes in a PrinterStatus value.
constexpr int WORD_H = 0;
constexpr int WORD_M = 1;
constexpr int WORD_L = 2;

// Condition classes of the alert tables (ORed into one class word).
constexpr uint32_t CLS_SERVICEMAN    = 0x1;
constexpr uint32_t CLS_SIZE_ERROR    = 0x2;
constexpr uint32_t CLS_JAM           = 0x4;
constexpr uint32_t CLS_PICK_MISS     = 0x8;
constexpr uint32_t CLS_STACKER       = 0x10;
constexpr uint32_t CLS_CART_MISSING  = 0x20;
constexpr uint32_t CLS_CART_ERROR    = 0x40;
constexpr uint32_t CLS_NO_TONER      = 0x80;
constexpr uint32_t CLS_DRUM_LIFE     = 0x100;
constexpr uint32_t CLS_STAPLE        = 0x200;
constexpr uint32_t CLS_PUNCH         = 0x400;
constexpr uint32_t CLS_COVER         = 0x800;
constexpr uint32_t CLS_NO_CASSETTE   = 0x1000;
constexpr uint32_t CLS_NO_PAPER_SOFT = 0x2000;   // no paper while the bin still reports paper
constexpr uint32_t CLS_NO_PAPER      = 0x4000;
constexpr uint32_t CLS_MAINT_ALERT   = 0x8000;
constexpr uint32_t CLS_FORM_OVER     = 0x10000;
constexpr uint32_t CLS_LOW_TONER     = 0x20000;
constexpr uint32_t CLS_NEAR_DRUM     = 0x40000;
constexpr uint32_t CLS_MAINT_WARNING = 0x80000;
constexpr uint32_t CLS_OFFLINE       = 0x100000;
constexpr uint32_t CLS_RESET         = 0x80000000;   // never enters the class word

// Status word bits.
constexpr uint32_t M_CART_MISSING = 0x4;
constexpr uint32_t M_SERVICEMAN   = 0x80;
constexpr uint32_t M_NO_ANSWER    = 0x100;
constexpr uint32_t M_OTHER_MODEL  = 0x200;
constexpr uint32_t M_NOT_KNOWN    = 0x400;
constexpr uint32_t M_NOT_KNOWN_IP = 0x800;
constexpr uint32_t M_CLOSED       = 0x1000;
constexpr uint32_t M_FIXED_STATES = 0x1F00;      // 0x100 to 0x1000: ended by an interpreted poll
constexpr uint32_t M_PICK_MISS    = 0x2000;
constexpr uint32_t M_STAPLE       = 0x800000;
constexpr uint32_t M_PUNCH        = 0x2000000;
constexpr uint32_t L_ONLINE       = 0x1;
constexpr uint32_t L_LOW_TONER    = 0x2;
constexpr uint32_t L_PRINTING     = 0x8;
constexpr uint32_t L_WARMUP       = 0x10;
constexpr uint32_t L_POWER_SAVE   = 0x40;
constexpr uint32_t L_NEAR_DRUM    = 0x80;
constexpr uint32_t L_MAINT_WARNING = 0x800;
constexpr uint32_t L_OFFLINE      = 0x1000;
constexpr uint32_t L_NO_TONER     = 0x4000;
constexpr uint32_t L_COVER        = 0x8000;
constexpr uint32_t L_JAM          = 0x10000;
constexpr uint32_t L_SIZE_ERROR   = 0x40000;
constexpr uint32_t L_MAINT_ALERT  = 0x80000;
constexpr uint32_t L_FORM_OVER    = 0x400000;
constexpr uint32_t L_NO_PAPER     = 0x800000;
constexpr uint32_t L_STACKER      = 0x1000000;
constexpr uint32_t L_NO_PAPER_SOFT = 0x4000000;
constexpr uint32_t L_NO_PAPER_ANY = L_NO_PAPER | L_NO_PAPER_SOFT;
constexpr uint32_t L_DRUM_LIFE    = 0x20000000;
constexpr uint32_t L_NO_CASSETTE  = 0x40000000;
constexpr uint32_t L_CART_ERROR   = 0x80000000;
constexpr uint32_t L_SUPPLIES     = 0xA0004082;  // the L bits that keep ErrSupplies

// hrDeviceStatus / hrPrinterStatus values.
constexpr uint32_t HRDEV_DOWN = 5;
constexpr uint32_t HRPRT_OTHER = 1;
constexpr uint32_t HRPRT_IDLE = 3;
constexpr uint32_t HRPRT_PRINTING = 4;
constexpr uint32_t HRPRT_WARMUP = 5;

// Detail word indexes of dwAlertDetail.
constexpr int DETAIL_NONE = 0;
constexpr int DETAIL_JAM = 1;
constexpr int DETAIL_COVER = 2;
constexpr int DETAIL_PICK_MISS = 3;
constexpr int DETAIL_CASSETTE = 4;
constexpr int DETAIL_NO_PAPER = 5;
constexpr int DETAIL_SIZE_ERROR = 6;
constexpr int DETAIL_STACKER = 7;
constexpr int DETAIL_STAPLE = 8;
constexpr int DETAIL_PUNCH = 9;
constexpr int DETAIL_DRUM = 10;
constexpr int DETAIL_TONER = 11;
constexpr int ALERT_DETAIL_WORDS = 12;

// Bin ids shared with PrinterBinConfig.
constexpr uint32_t BIN_TRAY = 2001;
// Hopper bits of the pick-miss, cassette, no-paper and size-error details.
constexpr uint32_t DETAIL_HOP1 = 0x1;
constexpr uint32_t DETAIL_HOP2 = 0x2;
constexpr uint32_t DETAIL_HOP3 = 0x4;
constexpr uint32_t DETAIL_HOP4 = 0x8;
constexpr uint32_t DETAIL_HOP5 = 0x10;
constexpr uint32_t DETAIL_ANY_BIN = 0x80000000;   // "No Paper" / "Paper Size Error" without a hopper

// Jam detail bits by place, and the summary bits ErrPaperJam adds for them.
constexpr uint32_t JAM_SIDE_A = 0x1;
constexpr uint32_t JAM_DUPLEX = 0x8;
constexpr uint32_t JAM_SIDE_E = 0x10;
constexpr uint32_t JAM_FEED_PATH = 0xFE6;       // sides B and C, the hoppers, the tray, hopper 5 top
constexpr uint32_t JAM_FINISHER = 0xF000;       // top tray, finisher covers F to H
constexpr uint32_t JAM_SUM_SIDE_E = 0x10000;
constexpr uint32_t JAM_SUM_FEED_PATH = 0x20000;
constexpr uint32_t JAM_SUM_DUPLEX = 0x40000;
constexpr uint32_t JAM_SUM_FINISHER = 0x80000;
constexpr uint32_t JAM_ONLY_SIDE_A = 0x10001;   // side A alone
constexpr uint32_t JAM_ONLY_SIDE_A_STACKER = 0x90001;   // the same with the stacker tray present

struct AlertRow {
    const char* pszText;
    uint32_t dwClass;
    int iDetail;
    uint32_t dwDetailBits;
};
extern const AlertRow kBasicAlerts[5];
extern const AlertRow kDetailedAlerts[72];

struct ClassMapRow {
    uint32_t dwClass;
    int iWord;
    uint32_t dwBit;
};
extern const ClassMapRow kClassMap[21];

// Icon classes of IconState.
constexpr uint32_t ICON_NORMAL = 0;
constexpr uint32_t ICON_STOPPED = 1;      // a condition that stops printing
constexpr uint32_t ICON_ATTENTION = 2;    // needs attention, or the printer is not ready

struct IconRow {
    int iWord;
    uint32_t dwMask;
    uint32_t dwIcon;
};
extern const IconRow kIconTable[27];

struct NoPaperBinRow {
    const char* pszText;
    uint32_t dwBinId;
};
extern const NoPaperBinRow kNoPaperBins[6];

// Length of a text in a fixed field, never reading past it.
size_t FieldLength(const char* text, size_t size);
// Exact, case-sensitive match of a field against a zero-terminated text.
bool FieldEquals(const char* field, size_t size, const char* text);

// The table in force: the detailed one only while the printer reports
// itself down (hrPrinterStatus 1 with hrDeviceStatus 5).
bool UseDetailedAlerts(const PollRecord& poll);
// Row index of the first row matching the alert field, -1 for none.
int FindAlertRow(const AlertRow* table, size_t rows, const char* alert, size_t size);

// Class of a no-paper alert against a PrinterBinConfig value (count, then
// 12-byte entries; null or short for none): 0x2000 when the alert's bin
// still reports paper, else 0x4000.
uint32_t ClassifyNoPaperIn(const uint8_t* binConfig, size_t cbBinConfig, const char* alert, size_t size);

// What the alerts of one poll say.
struct AlertScan {
    uint32_t dwClassWord;
    uint32_t dwAlertDetail[ALERT_DETAIL_WORDS];
    bool bPrinterReset;
};
void ScanAlerts(const PollRecord& poll, const uint8_t* binConfig, size_t cbBinConfig, AlertScan* out);

// Sets or clears one status bit per class, in the map's order.
void ApplyClassMap(uint32_t words[3], uint32_t classWord);

// Icon class of the status words: the first icon table row that meets them.
uint32_t IconClassOf(uint32_t h, uint32_t m, uint32_t l);

// Everything the new status depends on besides the poll record.
struct StatusInputs {
    uint32_t adwOld[3];          // stored PrinterStatus
    bool bInDoc;                 // a document is open
    bool bJobQueued;
    bool bDataSent;              // job data reached the printer in this job
    bool bPrintingJob;           // the printer's job table shows a job printing
};
struct StatusOutcome {
    uint32_t adwNew[3];
    AlertScan scan;
    bool bJobLost;               // the printer was reset under a job it had received
    bool bPowerSaveChanged;
};
void ComputeStatus(const PollRecord& poll, const uint8_t* binConfig, size_t cbBinConfig, const StatusInputs& in,
                   StatusOutcome* out);
// Whether the printing bit needs the printer's job table: the printer is
// neither printing nor idle and no job of ours says it prints.
bool NeedsPrintingWalk(const PollRecord& poll, bool inDoc, bool jobQueued);

// Detail values.
uint32_t PaperJamValue(uint32_t detailJam, bool stackerTray);
// The bin a hopper detail word names, the highest first; 0 for none.
uint32_t BinIdOfDetail(uint32_t detail);
// Whether a detail variable's trigger is set in the old or the new status.
bool Triggered(const uint32_t oldWords[3], const uint32_t newWords[3], uint32_t maskM, uint32_t maskL);

// Operator panel: two rows of 32 bytes, each followed by a zero.
constexpr size_t CONSOLE_ROW = 33;
constexpr size_t CONSOLE_BUFFER = 2 * CONSOLE_ROW;
// The hardware error number on the panel's first row, or false when the
// row shows the serviceman-call text instead.
bool HardwareErrorOfDisplay(const char display[CONSOLE_BUFFER], uint32_t* number);
uint32_t ParseLeadingNumber(const char* text);
