// The word-level pieces of the job completion check: the job index carried
// by a mapping identifier, the JCID test of a returned identifier, and the
// page count of the printing job's notice.
#include "support/whitebox.h"
#include "jobtrack/jobtrack.h"
#include "state/jobqueue.h"
#include "state/statusvar.h"

#include <gtest/gtest.h>

#include <string>

namespace {

const std::string kMap = "1.3.6.1.4.1.253.8.59.8.1.1.2.";

TEST(JcidWords, TheJobIndexIsTheCountAndThatManySubIdentifiers) {
    const std::string prefix = kMap + "3.65.66.67";
    char fwid[256];
    ASSERT_TRUE(ExtractFWID((prefix + ".1.7").c_str(), prefix.size(), fwid, sizeof fwid));
    EXPECT_STREQ(fwid, "1.7");
    ASSERT_TRUE(ExtractFWID((prefix + ".3.10.20.12").c_str(), prefix.size(), fwid, sizeof fwid));
    EXPECT_STREQ(fwid, "3.10.20.12");
    ASSERT_TRUE(ExtractFWID((prefix + ".2.10.5.99").c_str(), prefix.size(), fwid, sizeof fwid));
    EXPECT_STREQ(fwid, "2.10.5") << "what follows the index is not part of it";
    for (const char* bad : {"", ".", ".3.10.20", ".0", ".1", ".1.", ".x.1", "5.1.7"}) {
        EXPECT_FALSE(ExtractFWID((prefix + bad).c_str(), prefix.size(), fwid, sizeof fwid)) << bad;
        EXPECT_STREQ(fwid, "");
    }
    char small[4];
    EXPECT_FALSE(ExtractFWID((prefix + ".2.100.200").c_str(), prefix.size(), small, sizeof small));
}

TEST(JcidWords, AnIdentifierBelongsToTheJcidOnlyUpToAPoint) {
    PortContext* ctx = NewContext(L"IP_127.0.12.90", L"Words");
    ASSERT_NE(ctx, nullptr);
    ctx->dwJcidFailCount = 2;
    EXPECT_TRUE(IsValidJCID(ctx, "2.65.25", (kMap + "2.65.25.1.4").c_str()));
    EXPECT_EQ(ctx->dwJcidFailCount, 0u);
    // A last byte of 250 begins with the text of 25, yet is another JCID.
    EXPECT_FALSE(IsValidJCID(ctx, "2.65.25", (kMap + "2.65.250.1.4").c_str()));
    EXPECT_FALSE(IsValidJCID(ctx, "2.65.25", "1.3.6.1.4.1.253.8.59.16.1.1.5.1.1.4"));
    EXPECT_EQ(ctx->dwJcidFailCount, 2u);
    FreeContext(ctx);
}

TEST(JcidWords, PagesOnlyGrowAndStartAfreshWithANewNotice) {
    PortContext* ctx = NewContext(L"IP_127.0.12.91", L"Words");
    ASSERT_NE(ctx, nullptr);
    StatusVariable* var = LookupStatusVariable("PrintingJobInfo", ctx->pVarTable, ctx);
    ASSERT_NE(var, nullptr);
    auto page = [&] { return reinterpret_cast<const DWORD*>(static_cast<BYTE*>(var->pValue) + kJobVarSecondOffset)[0]; };
    auto job = [&] { return reinterpret_cast<const DWORD*>(static_cast<BYTE*>(var->pValue) + kJobVarJobIdOffset)[0]; };
    EXPECT_FALSE(AddJobPages(ctx, 3)) << "no notice, nothing to count into";
    ASSERT_TRUE(BeginJobInfo(ctx));
    ASSERT_TRUE(InstallJobInfo(ctx, 41));
    EXPECT_EQ(job(), 41u);
    EXPECT_EQ(var->dwFlags, VF_JOB_FINISHED | VF_KEEP_VALUE);
    EXPECT_TRUE(AddJobPages(ctx, 2));
    EXPECT_TRUE(AddJobPages(ctx, 3));
    EXPECT_FALSE(AddJobPages(ctx, 3));
    EXPECT_FALSE(AddJobPages(ctx, 1)) << "the printer's next job: the count does not fall";
    EXPECT_FALSE(AddJobPages(ctx, 0));
    EXPECT_EQ(page(), 3u);
    ASSERT_TRUE(EndJobInfo(ctx));
    ASSERT_TRUE(InstallJobInfo(ctx, 41));
    EXPECT_EQ(var->dwFlags, VF_JOB_FINISHED | VF_KEEP_VALUE | VF_CLEAR_JOBID);
    EXPECT_EQ(page(), 0u);
    EXPECT_TRUE(AddJobPages(ctx, 1)) << "a fresh notice counts from the start";
    EXPECT_EQ(page(), 1u);
    FreeContext(ctx);
}

}  // namespace
