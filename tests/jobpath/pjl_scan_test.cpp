// The header scan over a job's first block.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "jobpath/pjl_scan.h"

namespace {

const std::string U(reinterpret_cast<const char*>(kUel), kUelSize);
const std::string kJcid = "0123456789ABCDEF0123456789ABCDEF0123456789ABC";  // 45 characters
const std::string kOther = "Q" + kJcid.substr(1);
const char kGenerated[] = "03414200009738000012AB";

std::string Job(const std::string& jcid, const std::string& name = "Document_0123456789abcde") {
    return "@PJL JOB NAME=\"" + name + "\" @JCID=\"" + jcid + "\"";
}

// Scans an exact-size copy of `data`, so the block ends where the data does.
PjlScan Scan(const std::string& data, PjlScanEnd* end = nullptr) {
    PjlScan s{};
    strcpy(s.szJCID, kGenerated);
    std::vector<uint8_t> block(data.begin(), data.end());
    PjlScanEnd e = PjlScanHeader(&s, block.data(), block.size());
    if (end) *end = e;
    return s;
}

TEST(PjlScan, Headers) {
    struct Case {
        const char* what;
        std::string data;
        int32_t type;
        std::string jcid;
        uint32_t enter;
    } cases[] = {
        {"19 bytes are never examined", (U + "@PJL ENTER\n").substr(0, 19), -1, kGenerated, 0},
        {"20 bytes are", U + "@PJL ENTER\n", -1, kGenerated, 1},
        {"NAME and JCID", U + "@PJL SET X=1\r\n" + Job(kJcid) + "\r\n@PJL ENTER\r\n", 2, kJcid, 1},
        {"LF alone", U + "@PJL SET X=1\n" + Job(kJcid) + "\n@PJL ENTER\n", 2, kJcid, 1},
        {"JCID straight after JOB", U + "@PJL JOB@JCID=\"" + kJcid + "\"\n", 2, kJcid, 0},
        {"no NAME: the blank stands at offset 8", U + "@PJL JOB @JCID=\"" + kJcid + "\"\n", -1, "", 0},
        {"NAME of another length", U + Job(kJcid, "short") + "\n", -1, "", 0},
        {"44 characters take the quote along", U + Job(kJcid.substr(0, 44)) + " \n", -1, kJcid.substr(0, 44) + "\"", 0},
        {"46 characters", U + Job(kJcid + "Z") + "\n", -1, kJcid, 0},
        {"a later job line replaces", U + Job(kJcid) + "\n" + Job(kOther) + "\n", 2, kOther, 0},
        {"nothing after ENTER counts", U + Job(kJcid) + "\n@PJL ENTER\n" + Job(kOther) + "\n", 2, kJcid, 1},
        {"ENTER first", U + "@PJL ENTER LANGUAGE=VPDL\r\n" + Job(kJcid) + "\r\n", -1, kGenerated, 1},
        {"commands only at a line start", U + "@PJL COMMENT " + Job(kJcid) + " @PJL ENTER\n", -1, kGenerated, 0},
        {"PostScript", "%!PS-Adobe-3.0\n%%Title: x\n", 1, kGenerated, 0},
        {"no UEL", Job(kJcid) + "\r\n", -1, kGenerated, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        PjlScan s = Scan(c.data);
        EXPECT_EQ(s.dwJobType, c.type);
        EXPECT_EQ(std::string(s.szJCID), c.jcid);
        EXPECT_EQ(s.bEnter, c.enter);
        // The job's own JCID follows a job line, and a PostScript job keeps the generated one.
        bool own = c.jcid != kGenerated || c.type == 1;
        EXPECT_EQ(std::string(s.szJobJCID), own ? c.jcid : "");
    }
}

TEST(PjlScan, KnownTypeIsLeftAlone) {
    std::string hdr = U + Job(kJcid) + "\n";
    for (int32_t type : {1, 2}) {
        PjlScan s{};
        s.dwJobType = type;
        EXPECT_EQ(PjlScanHeader(&s, reinterpret_cast<const uint8_t*>(hdr.data()), hdr.size()), PJL_END_KNOWN);
        EXPECT_EQ(s.dwJobType, type);
        EXPECT_STREQ(s.szJCID, "");
    }
}

TEST(PjlScan, BlockEndingInsideTheJobLine) {
    std::string full = U + "@PJL\n" + Job(kJcid);
    size_t line = U.size() + 5, jcidAt = line + kPjlAfterName + kPjlPrefixSize;
    for (size_t cb = kPjlMinBlock; cb <= full.size(); ++cb) {
        SCOPED_TRACE(cb);
        PjlScan s = Scan(full.substr(0, cb));
        // Only the whole line, closing quote included, gives a complete JCID;
        // a cut one keeps the bytes the block holds.
        EXPECT_EQ(s.dwJobType, cb == full.size() ? 2 : -1);
        std::string want = cb < line + kPjlJobCmdSize ? kGenerated : cb <= jcidAt ? "" : kJcid.substr(0, cb - jcidAt);
        EXPECT_EQ(std::string(s.szJCID), want);
    }
}

}  // namespace
