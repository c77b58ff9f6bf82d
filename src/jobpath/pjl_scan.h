// Reading the PJL header at the head of a job's first block: the kind of
// job, and the job control ID (JCID) its own @PJL JOB line gives it.
// OS-free; the port-context side is in pjl.cpp.
#pragma once
#include <cstddef>
#include <cstdint>

#include "jobpath/jcid.h"

// Universal Exit Language: ESC "%-12345X".
inline constexpr uint8_t kUel[] = {0x1B, '%', '-', '1', '2', '3', '4', '5', 'X'};
constexpr size_t kUelSize = sizeof(kUel);

// A first block shorter than this is not examined at all.
constexpr size_t kPjlMinBlock = 20;

inline constexpr char kPostScriptMagic[] = "%!PS-Adobe";
constexpr size_t kPostScriptMagicSize = sizeof(kPostScriptMagic) - 1;

// dwJobType values.
constexpr int32_t PJL_TYPE_UNPARSED = 0;
constexpr int32_t PJL_TYPE_POSTSCRIPT = 1;
constexpr int32_t PJL_TYPE_JCID = 2;       // @PJL JOB with a complete, quoted JCID
constexpr int32_t PJL_TYPE_OTHER = -1;     // parsed, no usable JCID

// Fixed layout of the driver's job line, counted from the "@" of "@PJL JOB":
//   @PJL JOB NAME="<24 chars>" @JCID="<45 chars>"
inline constexpr char kPjlNamePrefix[] = " NAME=\"";
inline constexpr char kPjlJcidPrefix[] = "@JCID=\"";
constexpr size_t kPjlJobCmdSize = 8;       // "@PJL JOB"
constexpr size_t kPjlPrefixSize = 7;       // either prefix
constexpr size_t kPjlNameSize = 24;
constexpr size_t kPjlAfterName = kPjlJobCmdSize + kPjlPrefixSize + kPjlNameSize + 2;  // closing quote, blank: 41
constexpr size_t kPjlJcidSize = 45;
constexpr size_t kPjlJobLineMax = kPjlAfterName + kPjlPrefixSize + kPjlJcidSize + 1;  // 94 bytes read at most

// The per-job fields the scan reads and writes (mirrors the port context).
struct PjlScan {
    int32_t dwJobType;
    char szJCID[kJcidSize];
    char szJobJCID[kJcidSize];
    uint32_t bEnter;
    // Called after each @PJL JOB line has been taken in, before the scan goes
    // on, so the caller can act on that line's JCID while it is current.
    void (*pfnJobLine)(PjlScan* scan, void* user);
    void* user;
};

// Command table handlers: `line` is the start of the matched command,
// `cbLeft` the bytes from there to the end of the block. Both return 1.
int PjlOnJob(const uint8_t* line, size_t cbLeft, PjlScan* scan);
int PjlOnEnter(const uint8_t* line, size_t cbLeft, PjlScan* scan);

struct PjlCommand {
    const char* text;
    size_t length;
    int (*handler)(const uint8_t* line, size_t cbLeft, PjlScan* scan);
};

// Compared at each line start in this order; the first match wins.
inline constexpr PjlCommand kPjlCommands[] = {
    {"@PJL JOB", 8, PjlOnJob},
    {"@PJL ENTER", 10, PjlOnEnter},
    {nullptr, 0, nullptr},
};

// How the scan ended; the caller traces it.
enum PjlScanEnd {
    PJL_END_KNOWN,        // type already 1 or 2: nothing done
    PJL_END_SHORT,        // block under 20 bytes
    PJL_END_UEL,          // PJL header scanned
    PJL_END_POSTSCRIPT,   // "%!PS-Adobe"
    PJL_END_OTHER,        // neither
};

// Examines one block. Reads only the `cb` bytes at `p`, whatever they hold.
PjlScanEnd PjlScanHeader(PjlScan* scan, const uint8_t* p, size_t cb);
