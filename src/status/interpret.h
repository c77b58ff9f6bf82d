// Status interpretation: the poll record of a supported printer turned into
// PrinterStatus, IconState, the detail error variables and the printer's
// maker and model; and the bin and option configuration builders.
#pragma once
#include "core/portctx.h"
#include "status/statuswords.h"

// Change mask bits of the builders and of SetPrinterInfoToStatus.
constexpr DWORD CHG_MANUFACTURER = 0x1;
constexpr DWORD CHG_MODEL = 0x2;
constexpr DWORD CHG_EMULATION = 0x4;
constexpr DWORD CHG_CURRENT_FEEDER = 0x8;
constexpr DWORD CHG_BIN_CONFIG = 0x10;
constexpr DWORD CHG_OPT_CONFIG = 0x20;
constexpr DWORD CHG_ICON = 0x40;
constexpr DWORD CHG_STATUS = 0x80;
constexpr DWORD CHG_PAPER_JAM = 0x10000;
constexpr DWORD CHG_COVER_OPEN = 0x20000;
constexpr DWORD CHG_NO_PAPER = 0x40000;
constexpr DWORD CHG_NO_PAPER2 = 0x80000;
constexpr DWORD CHG_HW_ERROR = 0x100000;
constexpr DWORD CHG_SIZE_ERROR = 0x200000;
constexpr DWORD CHG_POWER_SAVE = 0x400000;
constexpr DWORD CHG_SUPPLIES = 0x2000000;
constexpr DWORD CHG_STACK_FULL = 0x4000000;
constexpr DWORD CHG_STAPLE = 0x8000000;
constexpr DWORD CHG_PUNCH = 0x10000000;

// Consecutive idle interpretations with jobs queued after which the jobs
// are taken as lost and deleted.
constexpr DWORD IDLE_CHECK_LIMIT = 50;

// The operator panel's display rows that SetErrHWError reads.
struct ConsoleDisplay {
    bool bRead;                    // the display was read (over SNMP, before the port lock)
    char szRows[CONSOLE_BUFFER];
};

DWORD SetPrinterInfoToStatus(PortContext* ctx);
// IconState of the status words by the icon table; CHG_ICON.
DWORD SetIconState(PortContext* ctx, DWORD h, DWORD m, DWORD l);
DWORD SetPrinterInfoToModel(PortContext* ctx);
DWORD SetErrNoPaper(PortContext* ctx, const uint32_t* oldWords, const uint32_t* newWords);
// display: the panel as read before the port lock was taken.
DWORD SetErrHWError(PortContext* ctx, const uint32_t* oldWords, const uint32_t* newWords, const ConsoleDisplay* display);
DWORD ClassifyNoPaperAlert(PortContext* ctx, const char* alert);
// Reads the two display rows into out (66 bytes, zero-filled here); the
// result of the last request (non-zero on success).
int GetConsoleDisplay(const char* address, char* out, DWORD waitMs, const char* community);

// The six input bin blocks of the trace dumps.
void DumpInputBins(PortContext* ctx);

DWORD SetPrinterInfoToEmulation(PortContext* ctx);
DWORD SetPrinterInfoToBinConfig(PortContext* ctx);
DWORD SetPrinterInfoToOptConfig(PortContext* ctx);

// Replaces a variable's value by a heap copy of value when the first
// cbCompare bytes differ (or it has none) and marks it changed. False when
// equal, or when no memory was left (the variable is then skipped).
bool ReplaceVariableValue(StatusVariable* row, const void* value, DWORD cb, DWORD cbCompare);
