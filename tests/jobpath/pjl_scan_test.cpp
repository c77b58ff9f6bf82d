// The header scan over a job's first block.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "jobpath/pjl_scan.h"

namespace {

const std::string kUelText(reinterpret_cast<const char*>(kUel), kUelSize);
const std::string kName24 = "Document_0123456789abcde";                       // 24 characters
const std::string kJcid45 = "0123456789ABCDEF0123456789ABCDEF0123456789ABC";  // 45 characters
const char kGenerated[] = "03414200009738000012AB";

std::string JobLine(const std::string& name, const std::string& jcid) {
    return "@PJL JOB NAME=\"" + name + "\" @JCID=\"" + jcid + "\"";
}

struct Scanned {
    PjlScanEnd end;
    PjlScan scan;
    std::vector<std::string> jobLines;  // szJCID at each job line, in order
};

void RecordJobLine(PjlScan* scan, void* user) {
    static_cast<Scanned*>(user)->jobLines.emplace_back(scan->szJCID);
}

// Scans a copy of `data` that has exactly its size, so the block ends where the data does.
Scanned Scan(const std::string& data, int32_t jobType = PJL_TYPE_UNPARSED) {
    Scanned r{};
    r.scan.dwJobType = jobType;
    strcpy(r.scan.szJCID, kGenerated);
    r.scan.pfnJobLine = RecordJobLine;
    r.scan.user = &r;
    std::vector<uint8_t> block(data.begin(), data.end());
    r.end = PjlScanHeader(&r.scan, block.data(), block.size());
    return r;
}

TEST(PjlScan, ShortBlockIsNeverExamined) {
    std::string hdr = kUelText + "@PJL ENTER\n";  // 20 bytes
    ASSERT_EQ(hdr.size(), 20u);
    Scanned r = Scan(hdr.substr(0, 19));
    EXPECT_EQ(r.end, PJL_END_SHORT);
    EXPECT_EQ(r.scan.dwJobType, PJL_TYPE_OTHER);
    EXPECT_EQ(r.scan.bEnter, 0u);
    EXPECT_STREQ(r.scan.szJCID, kGenerated);

    r = Scan(hdr);
    EXPECT_EQ(r.end, PJL_END_UEL);
    EXPECT_EQ(r.scan.bEnter, 1u);
}

TEST(PjlScan, KnownTypeIsLeftAlone) {
    std::string hdr = kUelText + JobLine(kName24, kJcid45) + "\r\n";
    for (int32_t type : {PJL_TYPE_POSTSCRIPT, PJL_TYPE_JCID}) {
        Scanned r = Scan(hdr, type);
        EXPECT_EQ(r.end, PJL_END_KNOWN);
        EXPECT_EQ(r.scan.dwJobType, type);
        EXPECT_STREQ(r.scan.szJCID, kGenerated);
        EXPECT_TRUE(r.jobLines.empty());
    }
}

TEST(PjlScan, JobLineForms) {
    // The driver's form: NAME of 24, then the quoted 45-character JCID.
    Scanned r = Scan(kUelText + "@PJL SET RESOLUTION=600\r\n" + JobLine(kName24, kJcid45) + "\r\n@PJL ENTER LANGUAGE=X\r\n");
    EXPECT_EQ(r.end, PJL_END_UEL);
    EXPECT_EQ(r.scan.dwJobType, PJL_TYPE_JCID);
    EXPECT_EQ(std::string(r.scan.szJCID), kJcid45);
    EXPECT_EQ(std::string(r.scan.szJobJCID), kJcid45);
    EXPECT_EQ(r.jobLines, std::vector<std::string>{kJcid45});

    // @JCID= straight after JOB is found at offset 8.
    r = Scan(kUelText + "@PJL JOB@JCID=\"" + kJcid45 + "\"\n");
    EXPECT_EQ(r.scan.dwJobType, PJL_TYPE_JCID);
    EXPECT_EQ(std::string(r.scan.szJCID), kJcid45);

    // Without NAME the blank after JOB stands at offset 8: no JCID, and the
    // generated one is gone all the same.
    r = Scan(kUelText + "@PJL JOB @JCID=\"" + kJcid45 + "\"\n");
    EXPECT_EQ(r.scan.dwJobType, PJL_TYPE_OTHER);
    EXPECT_STREQ(r.scan.szJCID, "");
    EXPECT_STREQ(r.scan.szJobJCID, "");
    EXPECT_EQ(r.jobLines.size(), 1u);

    // A NAME of another length puts something else at offset 41.
    r = Scan(kUelText + JobLine("short", kJcid45) + "\n");
    EXPECT_EQ(r.scan.dwJobType, PJL_TYPE_OTHER);
    EXPECT_STREQ(r.scan.szJCID, "");
}

TEST(PjlScan, JcidOfOtherLengths) {
    // 44 characters: the closing quote is copied as 45th byte; no quote after it.
    std::string jcid44 = kJcid45.substr(0, 44);
    Scanned r = Scan(kUelText + JobLine(kName24, jcid44) + " \r\n");
    EXPECT_EQ(r.scan.dwJobType, PJL_TYPE_OTHER);
    EXPECT_EQ(std::string(r.scan.szJCID), jcid44 + "\"");
    EXPECT_EQ(std::string(r.scan.szJobJCID), jcid44 + "\"");

    // 46 characters: the 46th stands where the quote should.
    r = Scan(kUelText + JobLine(kName24, kJcid45 + "Z") + "\n");
    EXPECT_EQ(r.scan.dwJobType, PJL_TYPE_OTHER);
    EXPECT_EQ(std::string(r.scan.szJCID), kJcid45);
}

TEST(PjlScan, LineScan) {
    // Nothing after ENTER is looked at.
    Scanned r = Scan(kUelText + "@PJL ENTER LANGUAGE=VPDL\r\n" + JobLine(kName24, kJcid45) + "\r\n");
    EXPECT_EQ(r.scan.bEnter, 1u);
    EXPECT_EQ(r.scan.dwJobType, PJL_TYPE_OTHER);
    EXPECT_STREQ(r.scan.szJCID, kGenerated);
    EXPECT_TRUE(r.jobLines.empty());

    std::string other = kJcid45.substr(1) + "Q";
    r = Scan(kUelText + JobLine(kName24, kJcid45) + "\n@PJL ENTER\n" + JobLine(kName24, other) + "\n");
    EXPECT_EQ(std::string(r.scan.szJCID), kJcid45);

    // A later job line replaces an earlier one; each is seen while current.
    r = Scan(kUelText + JobLine(kName24, kJcid45) + "\n" + JobLine(kName24, other) + "\n");
    EXPECT_EQ(std::string(r.scan.szJCID), other);
    EXPECT_EQ(r.jobLines, (std::vector<std::string>{kJcid45, other}));

    // CR LF and LF alone end lines alike; commands count only at a line start.
    std::string lf = kUelText + "@PJL COMMENT x\n" + JobLine(kName24, kJcid45) + "\n@PJL ENTER\n";
    std::string crlf = kUelText + "@PJL COMMENT x\r\n" + JobLine(kName24, kJcid45) + "\r\n@PJL ENTER\r\n";
    for (const std::string& hdr : {lf, crlf}) {
        r = Scan(hdr);
        EXPECT_EQ(r.scan.dwJobType, PJL_TYPE_JCID);
        EXPECT_EQ(std::string(r.scan.szJCID), kJcid45);
        EXPECT_EQ(r.scan.bEnter, 1u);
    }
    r = Scan(kUelText + "@PJL COMMENT " + JobLine(kName24, kJcid45) + " @PJL ENTER\n");
    EXPECT_EQ(r.scan.dwJobType, PJL_TYPE_OTHER);
    EXPECT_EQ(r.scan.bEnter, 0u);
    EXPECT_STREQ(r.scan.szJCID, kGenerated);
}

TEST(PjlScan, OtherJobKinds) {
    Scanned r = Scan("%!PS-Adobe-3.0\n%%Title: x\n");
    EXPECT_EQ(r.end, PJL_END_POSTSCRIPT);
    EXPECT_EQ(r.scan.dwJobType, PJL_TYPE_POSTSCRIPT);
    EXPECT_STREQ(r.scan.szJobJCID, kGenerated);

    r = Scan("@PJL JOB NAME=\"x\"\r\n@PJL ENTER LANGUAGE=VPDL\r\n");  // no UEL
    EXPECT_EQ(r.end, PJL_END_OTHER);
    EXPECT_EQ(r.scan.dwJobType, PJL_TYPE_OTHER);
    EXPECT_STREQ(r.scan.szJCID, kGenerated);
    EXPECT_STREQ(r.scan.szJobJCID, "");
}

TEST(PjlScan, BlockEndingInsideTheJobLine) {
    std::string line = JobLine(kName24, kJcid45);
    ASSERT_EQ(line.size(), kPjlJobLineMax);
    std::string full = kUelText + "@PJL\n" + line;
    size_t lineStart = kUelText.size() + 5;
    size_t jcidStart = lineStart + kPjlAfterName + kPjlPrefixSize;
    for (size_t cb = kPjlMinBlock; cb <= full.size(); ++cb) {
        SCOPED_TRACE(cb);
        Scanned r = Scan(full.substr(0, cb));
        // Only the whole line, closing quote included, is a complete JCID.
        EXPECT_EQ(r.scan.dwJobType, cb == full.size() ? PJL_TYPE_JCID : PJL_TYPE_OTHER);
        if (cb < lineStart + kPjlJobCmdSize) {
            EXPECT_STREQ(r.scan.szJCID, kGenerated);
        } else if (cb <= jcidStart) {
            EXPECT_STREQ(r.scan.szJCID, "");
        } else {
            // A cut JCID keeps the bytes the block holds.
            EXPECT_EQ(std::string(r.scan.szJCID), kJcid45.substr(0, cb - jcidStart));
        }
    }
}

}  // namespace
