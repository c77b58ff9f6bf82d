// DeleteJob on a port context over the spooler double: which queued jobs it
// lets go at once, which it leaves to the end of the open document, and
// that no job hears of it twice.
#include "state/jobqueue.h"
#include "state/jobrelease.h"
#include "state/binding.h"
#include "threads/refresh.h"
#include "support/whitebox.h"
#include "fakespool.h"

#include <gtest/gtest.h>

#include <vector>

namespace {

constexpr wchar_t kPrinter[] = L"Delete Desk";

class Deletion : public ::testing::Test {
protected:
    void SetUp() override {
        EnsureMonitorProcess();
        FakeSpool_Reset();
        FakeSpool_AddDriver(L"Delete Driver", L"Other Monitor");
        FakeSpool_AddPrinter(kPrinter, L"Delete Driver", L"IP_DEL", 0, L"winprint", 0);
        ctx = NewContext(L"IP_DEL", kPrinter);
        ASSERT_NE(ctx, nullptr);
        ASSERT_TRUE(OpenPrinterW(const_cast<LPWSTR>(kPrinter), &bind.hPrinter, nullptr));
        for (DWORD id : {61u, 62u, 63u}) {
            FakeSpool_AddJob(kPrinter, id, 0, L"doc", L"ana", 1);
            ctx->pCurBind = &bind;
            InJobQueue(id, ctx);
        }
        // Without a manager the sending information cannot be cleared.
        ctx->pCurBind = nullptr;
        ctx->JobId = 63;
    }
    void TearDown() override {
        while (JobQueueEntry* e = ctx->pJobQueueHead) {
            ctx->pJobQueueHead = e->pNext;
            MemFree(e);
        }
        ctx->pJobQueueTail = nullptr;
        ClosePrinter(bind.hPrinter);
        FreeContext(ctx);
    }
    std::vector<DWORD> Log(DWORD command) {
        std::vector<DWORD> out;
        for (const auto& r : FakeSpoolSetJobLog())
            if (r.command == command) out.push_back(r.jobId);
        return out;
    }
    size_t Queued() {
        size_t n = 0;
        for (JobQueueEntry* e = ctx->pJobQueueHead; e; e = e->pNext) ++n;
        return n;
    }
    PortContext* ctx = nullptr;
    SrmBinding bind{};
};

TEST_F(Deletion, AnOpenDocumentKeepsItsJobUntilItsEndAndNoJobHearsTwice) {
    StatusSet(ctx, ST_IN_DOC);
    SysFlagSet(ctx, SYS_DATA_SENT);
    OpenOwedEjects(ctx);
    ctx->pJobQueueHead->dwReportFlags |= 0x10;   // already let go by the printer's report

    EXPECT_FALSE(DeleteJob(ctx, FALSE));
    EXPECT_EQ(Log(JOB_CONTROL_LAST_PAGE_EJECTED), std::vector<DWORD>{62}) << "61 had its notice";
    EXPECT_TRUE(Log(JOB_CONTROL_DELETE).empty()) << "flag 0 never deletes";
    ASSERT_EQ(Queued(), 1u) << "the sending information stayed: the open job stays queued";
    EXPECT_EQ(ctx->pJobQueueTail, ctx->pJobQueueHead);

    // The end of the document, past its own deletion of the queue: the open
    // job is owed to the payment, not notified here as well.
    StatusClear(ctx, ST_IN_DOC);
    EXPECT_FALSE(DeleteJob(ctx, TRUE));
    EXPECT_EQ(Queued(), 0u);
    EXPECT_EQ(Log(JOB_CONTROL_LAST_PAGE_EJECTED), std::vector<DWORD>{62});
    EXPECT_EQ(TakeOwedEjects(ctx), 1u);
    EXPECT_EQ(ctx->bPayAtEndDoc, 0u);
}

TEST_F(Deletion, WithoutAnOpenDocumentEveryJobIsLetGoAtOnce) {
    SysFlagSet(ctx, SYS_DATA_SENT);
    EXPECT_FALSE(DeleteJob(ctx, TRUE)) << "no document to delete";
    EXPECT_EQ(Log(JOB_CONTROL_LAST_PAGE_EJECTED), (std::vector<DWORD>{61, 62, 63}));
    EXPECT_TRUE(Log(JOB_CONTROL_DELETE).empty());
    EXPECT_EQ(Queued(), 0u);
    EXPECT_EQ(ctx->cLastPageEjected, 0u);
    EXPECT_FALSE(DeleteJob(ctx, TRUE));
    EXPECT_EQ(FakeSpoolSetJobLog().size(), 3u) << "an empty queue tells the spooler nothing";
}

TEST_F(Deletion, TheOpenDocumentsJobIsDeletedOnceWhenItsDataLeft) {
    StatusSet(ctx, ST_IN_DOC);
    SysFlagSet(ctx, SYS_DATA_SENT);
    OpenOwedEjects(ctx);
    EXPECT_TRUE(DeleteJob(ctx, TRUE));
    EXPECT_TRUE(DeleteJob(ctx, TRUE));
    EXPECT_EQ(Log(JOB_CONTROL_DELETE), std::vector<DWORD>{63}) << "deleted once";
    EXPECT_EQ(Log(JOB_CONTROL_LAST_PAGE_EJECTED), (std::vector<DWORD>{61, 62}));
    EXPECT_TRUE(ctx->status & ST_JOB_DELETING);
}

// The document's job let go before its EndDocPort paid for it (a round
// that ends on a suite's "Suspend" ejects every queued job; a deletion
// drops an entry that had its notice): the end must not let it go again,
// whether or not its entry is still queued.
TEST_F(Deletion, ADocumentsJobLetGoBeforeItsEndIsNotPaidAgain) {
    OpenOwedEjects(ctx);
    JobQueueEntry* own = ctx->pJobQueueTail;
    ASSERT_EQ(own->dwJobId, 63u);
    own->dwReportFlags |= REPORT_EJECTED;   // its notice went out
    ASSERT_FALSE(DeleteJob(ctx, FALSE));    // no open document: every entry leaves
    EXPECT_EQ(Queued(), 0u);
    EXPECT_EQ(Log(JOB_CONTROL_LAST_PAGE_EJECTED), (std::vector<DWORD>{61, 62}));
    ++ctx->cLastPageEjected;   // the end's own count: nobody follows the job
    EXPECT_EQ(TakeOwedEjects(ctx), 0u) << "63 had its notice; a payment would be its second";
}

// A deletion of the open document's job (its data lost on the way) meets a
// job that was let go already: its notice went out (the printer reported it
// cancelled at the panel while the spooler still wrote), or it was the
// older job left at the tail once the document's own entry left.
TEST_F(Deletion, AJobLetGoAlreadyIsNotDeletedAsWell) {
    StatusSet(ctx, ST_IN_DOC);
    SysFlagSet(ctx, SYS_DATA_SENT);
    OpenOwedEjects(ctx);
    ctx->pJobQueueTail->dwReportFlags |= REPORT_EJECTED;
    EXPECT_TRUE(DeleteJob(ctx, TRUE));
    EXPECT_TRUE(Log(JOB_CONTROL_DELETE).empty()) << "63 had its notice";

    StatusClear(ctx, ST_JOB_DELETING);
    ctx->bEjectSent = 1;   // the document's job paid for, its entry gone
    ctx->pJobQueueHead->dwReportFlags |= REPORT_EJECTED;
    ctx->pJobQueueTail = ctx->pJobQueueHead;   // 61 is the tail now
    JobQueueEntry* rest = ctx->pJobQueueHead->pNext;
    ctx->pJobQueueHead->pNext = nullptr;
    while (rest) {
        JobQueueEntry* next = rest->pNext;
        MemFree(rest);
        rest = next;
    }
    EXPECT_TRUE(DeleteJob(ctx, TRUE));
    EXPECT_TRUE(Log(JOB_CONTROL_DELETE).empty()) << "61 had its notice";
}

TEST_F(Deletion, ASuspendedRoundsEjectOfTheDocumentsJobCountsAsItsPayment) {
    ASSERT_NE(ctx->pVarTable, nullptr);
    OpenOwedEjects(ctx);
    EXPECT_TRUE(EjectQueuedJobs(ctx));
    EXPECT_EQ(Log(JOB_CONTROL_LAST_PAGE_EJECTED), (std::vector<DWORD>{61, 62, 63}));
    // The entries stay queued with their notice marked; were they dropped
    // before the end, the end would find no entry to tell it so.
    while (JobQueueEntry* e = ctx->pJobQueueHead) {
        ctx->pJobQueueHead = e->pNext;
        MemFree(e);
    }
    ctx->pJobQueueTail = nullptr;
    ++ctx->cLastPageEjected;
    EXPECT_EQ(TakeOwedEjects(ctx), 0u);
}

// The document's job queued while its printer had no binding (a notification
// had just dropped it) has no handle to be let go through: the round does not
// mark it as let go, so that the end, which opens its printer, still pays.
TEST_F(Deletion, AJobWithoutAPrinterHandleIsNotMarkedAsLetGo) {
    ASSERT_NE(ctx->pVarTable, nullptr);
    OpenOwedEjects(ctx);
    ctx->pJobQueueTail->pBind = nullptr;
    EXPECT_TRUE(EjectQueuedJobs(ctx));
    EXPECT_EQ(Log(JOB_CONTROL_LAST_PAGE_EJECTED), (std::vector<DWORD>{61, 62}));
    EXPECT_FALSE(ctx->pJobQueueTail->dwReportFlags & REPORT_EJECTED);
    ++ctx->cLastPageEjected;
    EXPECT_EQ(TakeOwedEjects(ctx), 1u) << "the end still owes 63 its release";

    // Nor does a deletion that drops it take the end's debt away.
    OpenOwedEjects(ctx);
    EXPECT_FALSE(DeleteJob(ctx, FALSE));
    EXPECT_EQ(Queued(), 0u);
    EXPECT_EQ(TakeOwedEjects(ctx), 1u);
}

}  // namespace
