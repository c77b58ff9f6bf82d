// Feeds arbitrary first blocks to the PJL header scan. The input buffer has
// exactly the block's size, so any read past it is caught by the address
// sanitizer; the checks below hold for every block.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "jobpath/pjl_scan.h"

namespace {
const char kGenerated[] = "0341420000973812345678";

struct Seen {
    unsigned jobLines;
};

void Check(bool ok) {
    if (!ok) abort();
}

void OnJobLine(PjlScan* scan, void* user) {
    ++static_cast<Seen*>(user)->jobLines;
    // A job line's JCID is at most the 45 bytes copied, and always ends in the field.
    Check(strnlen(scan->szJCID, kJcidSize) <= kPjlJcidSize);
    Check(memcmp(scan->szJCID, scan->szJobJCID, kJcidSize) == 0);
}
}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    PjlScan scan;
    memset(&scan, 0, sizeof(scan));
    memcpy(scan.szJCID, kGenerated, sizeof(kGenerated));
    Seen seen{};
    scan.pfnJobLine = OnJobLine;
    scan.user = &seen;

    PjlScanEnd end = PjlScanHeader(&scan, data, size);
    Check(end != PJL_END_KNOWN);
    Check(scan.dwJobType == PJL_TYPE_OTHER || scan.dwJobType == PJL_TYPE_POSTSCRIPT ||
          scan.dwJobType == PJL_TYPE_JCID);
    Check(scan.szJCID[kJcidSize - 1] == 0 && scan.szJobJCID[kJcidSize - 1] == 0);
    if (scan.dwJobType == PJL_TYPE_JCID) Check(end == PJL_END_UEL && seen.jobLines > 0);
    if (end != PJL_END_UEL) Check(seen.jobLines == 0 && scan.bEnter == 0);
    if (!seen.jobLines) Check(strcmp(scan.szJCID, kGenerated) == 0);

    // A second call on a known job changes nothing.
    if (scan.dwJobType != PJL_TYPE_OTHER) {
        PjlScan again = scan;
        Check(PjlScanHeader(&again, data, size) == PJL_END_KNOWN);
        Check(memcmp(&again, &scan, sizeof(scan)) == 0);
    }

    // The job line handler alone, on a line that ends where the input does.
    if (size >= kPjlJobCmdSize) {
        PjlScan line;
        memset(&line, 0, sizeof(line));
        PjlOnJob(data, size, &line);
        Check(line.dwJobType == PJL_TYPE_OTHER || line.dwJobType == PJL_TYPE_JCID);
        Check(strnlen(line.szJCID, kJcidSize) <= kPjlJcidSize);
        char index[kJcidIndexSize];
        MakeJcidIndex(index, line.szJCID);
        Check(strnlen(index, kJcidIndexSize) < kJcidIndexSize);
    }
    return 0;
}
