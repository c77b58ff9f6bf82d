// Base of the tests that drive the document calls: after each test, every
// port it watched must have its spooler-access right free and its lock
// depth back at 0. Both are re-entrant for their owner, so the check runs
// on a thread of its own.
#pragma once
#include "core/portctx.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <thread>
#include <vector>

inline void ExpectPortReleased(PortContext* ctx) {
    DWORD rc = WAIT_TIMEOUT;
    bool lockFree = true;
    std::thread other([&] {
        rc = AcquireSpoolerRight(ctx->pSpoolerRight, 0);
        if (rc == WAIT_OBJECT_0) ReleaseSpoolerRight(ctx->pSpoolerRight);
        if (ctx->pCritSec) {
            lockFree = TryEnterCriticalSection(ctx->pCritSec) != FALSE;
            if (lockFree) LeaveCriticalSection(ctx->pCritSec);
        }
    });
    other.join();
    EXPECT_EQ(rc, static_cast<DWORD>(WAIT_OBJECT_0)) << "the spooler-access right is still held";
    EXPECT_TRUE(lockFree) << "the port lock is still held";
    EXPECT_EQ(ctx->cLockDepth, 0);
}

class DocCallTest : public ::testing::Test {
protected:
    PortContext* Watch(PortContext* ctx) {
        if (ctx) watched_.push_back(ctx);
        return ctx;
    }
    // Checks a port now, before the test closes it.
    void Release(PortContext* ctx) {
        auto it = std::find(watched_.begin(), watched_.end(), ctx);
        if (it == watched_.end()) return;
        watched_.erase(it);
        ExpectPortReleased(ctx);
    }
    void TearDown() override {
        for (PortContext* ctx : watched_) ExpectPortReleased(ctx);
        watched_.clear();
    }

private:
    std::vector<PortContext*> watched_;
};
