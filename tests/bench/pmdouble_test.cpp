// The port monitor double: scripts must hit exactly the call they name, and
// the log must say what the port monitor really accepted.
#include <winsock2.h>
#include <windows.h>

#include <gtest/gtest.h>

#include <cstring>
#include <thread>

#include "pmdouble.h"

namespace {

class PmDoubleTest : public ::testing::Test {
protected:
    void SetUp() override {
        PmDouble_Reset();
        t = PmDouble_Table();
        ASSERT_TRUE(t->pfnOpenPort(nullptr, const_cast<LPWSTR>(L"IP_127.0.0.5"), &h));
    }
    void TearDown() override {
        EXPECT_TRUE(t->pfnClosePort(h));
        EXPECT_EQ(PmDouble_OpenPortCount(), 0u);
        EXPECT_EQ(PmDouble_BadHandleCount(), 0u);
    }
    BOOL Start(DWORD job) {
        DOC_INFO_1W di{const_cast<LPWSTR>(L"doc"), nullptr, const_cast<LPWSTR>(L"RAW")};
        return t->pfnStartDocPort(h, const_cast<LPWSTR>(L"P"), job, 1, reinterpret_cast<BYTE*>(&di));
    }
    BOOL Write(const char* s, DWORD* n) {
        return t->pfnWritePort(h, reinterpret_cast<BYTE*>(const_cast<char*>(s)), (DWORD)strlen(s), n);
    }
    MONITOR2* t = nullptr;
    HANDLE h = nullptr;
};

TEST_F(PmDoubleTest, TableHasTheNineteenSlotLayoutAndResetRestoresIt) {
    EXPECT_EQ(t->cbSize, 160u);
    EXPECT_EQ(offsetof(MONITOR2, pfnSendRecvBidiDataFromPort) + sizeof(void*), 160u);
    t->pfnSetPortTimeOuts = nullptr;
    PmDouble_Reset();
    EXPECT_NE(t->pfnSetPortTimeOuts, nullptr);
}

TEST_F(PmDoubleTest, ScriptedFailuresAndShortWritesHitTheNamedCalls) {
    PmDouble_Fail(PM_WRITE, 2, 1, WSAECONNRESET);   // the third write
    PmDouble_ShortWrites(3, 1);                      // the first write
    ASSERT_TRUE(Start(4));
    DWORD n = 0;
    EXPECT_TRUE(Write("abcdef", &n));
    EXPECT_EQ(n, 3u);
    EXPECT_TRUE(Write("def", &n));
    SetLastError(0);
    EXPECT_FALSE(Write("ghi", &n));
    EXPECT_EQ(GetLastError(), (DWORD)WSAECONNRESET);
    EXPECT_EQ(n, 0u);
    EXPECT_TRUE(Write("ghi", &n));
    EXPECT_TRUE(t->pfnEndDocPort(h));
    ASSERT_TRUE(Start(5));
    EXPECT_TRUE(Write("next", &n));
    EXPECT_TRUE(t->pfnEndDocPort(h));

    auto docs = PmDouble_Documents();
    ASSERT_EQ(docs.size(), 2u);
    EXPECT_EQ(docs[0], "abcdefghi");
    EXPECT_EQ(docs[1], "next");
    auto writes = PmDouble_Calls(PM_WRITE);
    ASSERT_EQ(writes.size(), 5u);
    EXPECT_EQ(writes[0].cbRequested, 6u);
    EXPECT_EQ(writes[0].data, "abc");
    EXPECT_FALSE(writes[2].result);
    auto starts = PmDouble_Calls(PM_STARTDOC);
    EXPECT_EQ(starts[1].jobId, 5u);
    EXPECT_EQ(starts[1].docName, L"doc");
    EXPECT_EQ(starts[1].portName, L"IP_127.0.0.5");
    EXPECT_LT(starts[1].seq, writes[4].seq);
}

TEST_F(PmDoubleTest, DeviceControlAnswersAsScripted) {
    std::string id = PmDouble_DeviceIdBlock("MFG:VEK;MDL:Tessaroline 7700;");
    EXPECT_EQ((unsigned char)id[1], id.size());
    PmDouble_SetDeviceControl(kIoctlParQueryDeviceId, id);
    char out[256];
    DWORD got = 0;
    ASSERT_TRUE(t->pfnGetPrinterDataFromPort(h, kIoctlParQueryDeviceId, nullptr, nullptr, 0,
                                             reinterpret_cast<LPWSTR>(out), sizeof out, &got));
    EXPECT_EQ(std::string(out, got), id);
    EXPECT_FALSE(t->pfnGetPrinterDataFromPort(h, kIoctlParQueryDeviceId, nullptr, nullptr, 0,
                                              reinterpret_cast<LPWSTR>(out), 4, &got));
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_INSUFFICIENT_BUFFER);
    EXPECT_FALSE(t->pfnGetPrinterDataFromPort(h, 0x1234, nullptr, nullptr, 0,
                                              reinterpret_cast<LPWSTR>(out), sizeof out, &got));
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_NOT_SUPPORTED);
}

TEST_F(PmDoubleTest, HeldWriteWaitsForRelease) {
    ASSERT_TRUE(Start(1));
    PmDouble_HoldWrites();
    DWORD n = 0;
    std::thread writer([&] { Write("late", &n); });
    ASSERT_TRUE(PmDouble_WaitWriteHeld(5000));
    EXPECT_EQ(PmDouble_CallCount(PM_WRITE), 0u) << "a held write has not returned";
    PmDouble_ReleaseWrites();
    writer.join();
    EXPECT_EQ(n, 4u);
    EXPECT_TRUE(t->pfnEndDocPort(h));
}

}  // namespace
