#include "jobpath/pjl_scan.h"

#include <cstring>

namespace {
bool StartsWith(const uint8_t* p, size_t cb, const void* text, size_t n) {
    return cb >= n && memcmp(p, text, n) == 0;
}
}  // namespace

int PjlOnJob(const uint8_t* line, size_t cbLeft, PjlScan* scan) {
    scan->dwJobType = PJL_TYPE_OTHER;
    memset(scan->szJCID, 0, sizeof(scan->szJCID));

    // Only the driver's exact layout is understood: a NAME of 24 characters
    // moves the JCID to a fixed offset; without NAME it must follow "JOB" at once.
    size_t pos = kPjlJobCmdSize;
    if (cbLeft > pos && StartsWith(line + pos, cbLeft - pos, kPjlNamePrefix, kPjlPrefixSize)) pos = kPjlAfterName;

    size_t close = pos;
    if (cbLeft > pos && StartsWith(line + pos, cbLeft - pos, kPjlJcidPrefix, kPjlPrefixSize)) {
        size_t from = pos + kPjlPrefixSize;
        // A line cut by the end of the block keeps the JCID bytes the block
        // holds; its closing position lies beyond the block, so the job is
        // not taken as carrying a complete JCID.
        size_t n = cbLeft - from < kPjlJcidSize ? cbLeft - from : kPjlJcidSize;
        memcpy(scan->szJCID, line + from, n);
        close = from + kPjlJcidSize;
    }

    memcpy(scan->szJobJCID, scan->szJCID, sizeof(scan->szJobJCID));
    if (close < cbLeft && line[close] == '"') scan->dwJobType = PJL_TYPE_JCID;

    if (scan->pfnJobLine) scan->pfnJobLine(scan, scan->user);
    return 1;
}

int PjlOnEnter(const uint8_t*, size_t, PjlScan* scan) {
    scan->bEnter = 1;
    return 1;
}

PjlScanEnd PjlScanHeader(PjlScan* scan, const uint8_t* p, size_t cb) {
    if (scan->dwJobType == PJL_TYPE_POSTSCRIPT || scan->dwJobType == PJL_TYPE_JCID) return PJL_END_KNOWN;

    if (cb < kPjlMinBlock) {
        scan->dwJobType = PJL_TYPE_OTHER;
        return PJL_END_SHORT;
    }

    if (StartsWith(p, cb, kUel, kUelSize)) {
        scan->bEnter = 0;
        const uint8_t* line = p + kUelSize;
        size_t left = cb - kUelSize;
        while (left && !scan->bEnter) {
            for (const PjlCommand* c = kPjlCommands; c->text; ++c) {
                if (StartsWith(line, left, c->text, c->length)) {
                    c->handler(line, left, scan);
                    break;
                }
            }
            const void* lf = memchr(line, '\n', left);
            size_t step = lf ? static_cast<size_t>(static_cast<const uint8_t*>(lf) - line) + 1 : left;
            line += step;
            left -= step;
        }
        if (scan->dwJobType == PJL_TYPE_UNPARSED) scan->dwJobType = PJL_TYPE_OTHER;
        return PJL_END_UEL;
    }

    if (StartsWith(p, cb, kPostScriptMagic, kPostScriptMagicSize)) {
        scan->dwJobType = PJL_TYPE_POSTSCRIPT;
        memcpy(scan->szJobJCID, scan->szJCID, sizeof(scan->szJobJCID));
        return PJL_END_POSTSCRIPT;
    }

    scan->dwJobType = PJL_TYPE_OTHER;
    return PJL_END_OTHER;
}
