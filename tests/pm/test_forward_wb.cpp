// Forwarding to the port monitor: the parallel-port mode handling, the
// maker's USB device ID, lenient USB reads and the monitor's own sends with
// their pending buffer.
#include "jobpath/docport.h"
#include "pm/forward.h"
#include "send/write.h"
#include "support/doccall_fixture.h"
#include "support/whitebox.h"
#include "fakespool.h"
#include "pmdouble.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

namespace {

std::string Words(WORD a, WORD b) {
    WORD w[2] = {a, b};
    return std::string(reinterpret_cast<char*>(w), 4);
}

class Forward : public DocCallTest {
protected:
    void SetUp() override {
        EnsureMonitorProcess();
        PmDouble_Reset();
        FakeSpool_Reset();
        dwOSMajor = 6;
        dwOSMinor = 1;
    }
    void TearDown() override {
        if (!ctx) return;
        Release(ctx);
        PJLMonClosePort(ctx);
    }
    void Open(const wchar_t* port) {
        ctx = Watch(OpenPortWb(port, L"Fwd Printer", PmDouble_Table()));
        ASSERT_NE(ctx, nullptr);
    }
    // Device-control calls the port monitor saw, as (code, input) pairs.
    static std::vector<std::pair<DWORD, std::string>> Controls() {
        std::vector<std::pair<DWORD, std::string>> v;
        for (const auto& c : PmDouble_Calls(PM_GETDATA)) v.emplace_back(c.controlId, c.inData);
        return v;
    }
    PortContext* ctx = nullptr;
};

TEST_F(Forward, ParallelResetRenegotiatesTheCachedModeOnce) {
    Open(L"LPT1:");
    PmDouble_SetDeviceControl(IOCTL_PAR_QUERY_MODE, Words(4, 0x100));
    PmDouble_SetDeviceControl(IOCTL_PAR_SET_MODE, Words(0, 0));
    PmDouble_SetDeviceControl(IOCTL_PAR_SET_INFO, "");
    BYTE reset = 1, out[4];
    DWORD got = 0;
    for (int round = 0; round < 2; ++round)
        ASSERT_TRUE(PMGetPrinterDataFromPort(ctx, IOCTL_PAR_SET_INFO, nullptr, &reset, 1, out, 4, &got));
    auto calls = Controls();
    ASSERT_EQ(calls.size(), 7u);
    EXPECT_EQ(calls[0], std::make_pair(IOCTL_PAR_QUERY_MODE, std::string()));
    EXPECT_EQ(calls[1], std::make_pair(IOCTL_PAR_SET_MODE, Words(0, 0)));
    EXPECT_EQ(calls[2], std::make_pair(IOCTL_PAR_SET_MODE, Words(4, 0x100)));
    EXPECT_EQ(calls[3], std::make_pair(IOCTL_PAR_SET_INFO, std::string("\x01", 1)));
    EXPECT_EQ(calls[4].first, IOCTL_PAR_SET_MODE) << "the cache is read only once";
    EXPECT_EQ(calls[5], std::make_pair(IOCTL_PAR_SET_MODE, Words(4, 0x100)));

    // Not a reset (other input), or not a parallel port: passed on as it is.
    PmDouble_Reset();
    BYTE other = 2;
    PmDouble_SetDeviceControl(IOCTL_PAR_SET_INFO, "");
    PMGetPrinterDataFromPort(ctx, IOCTL_PAR_SET_INFO, nullptr, &other, 1, out, 4, &got);
    EXPECT_EQ(Controls().size(), 1u);
}

TEST_F(Forward, StartOfJobRaisesAParallelPortToBidirectionalWrites) {
    Open(L"LPT2:");
    PmDouble_SetDeviceControl(IOCTL_PAR_QUERY_MODE, Words(4, 1));
    PmDouble_SetDeviceControl(IOCTL_PAR_QUERY_CAPS, std::string("\x10\x01", 2));  // 0x110
    PmDouble_SetDeviceControl(IOCTL_PAR_SET_MODE, Words(4, 0x100));
    DOC_INFO_1W di{const_cast<LPWSTR>(L"doc"), nullptr, nullptr};
    ASSERT_TRUE(PJLMonStartDocPort(ctx, const_cast<LPWSTR>(L"Fwd Printer"), 1, 1, reinterpret_cast<BYTE*>(&di)));
    EXPECT_TRUE(ctx->PortMode & 0x2);
    auto calls = Controls();
    ASSERT_EQ(calls.size(), 3u);
    EXPECT_EQ(calls[2], std::make_pair(IOCTL_PAR_SET_MODE, Words(4, 0x100)));
    ASSERT_TRUE(PJLMonEndDocPort(ctx));
    EXPECT_FALSE(ctx->PortMode & 0x2) << "the end of the job drops the mode bit";

    // The device refuses the mode: the first mode is negotiated back.
    PmDouble_Reset();
    PmDouble_SetDeviceControl(IOCTL_PAR_QUERY_MODE, Words(4, 1));
    PmDouble_SetDeviceControl(IOCTL_PAR_QUERY_CAPS, std::string("\x00\x01", 2));
    PmDouble_SetDeviceControl(IOCTL_PAR_SET_MODE, Words(4, 1));
    ASSERT_TRUE(PJLMonStartDocPort(ctx, const_cast<LPWSTR>(L"Fwd Printer"), 2, 1, reinterpret_cast<BYTE*>(&di)));
    EXPECT_FALSE(ctx->PortMode & 0x2);
    calls = Controls();
    ASSERT_EQ(calls.size(), 4u);
    EXPECT_EQ(calls[3], std::make_pair(IOCTL_PAR_SET_MODE, Words(4, 1)));
    ASSERT_TRUE(PJLMonEndDocPort(ctx));
}

TEST_F(Forward, MakersUsbDeviceIdDropsItsLengthPrefix) {
    Open(L"VEKUSB_01");
    std::string id = "MFG:VEK;MDL:Tessaroline 7700;";
    PmDouble_SetDeviceControl(IOCTL_VEKUSB_DEVICE_ID, std::string("\x00\x20", 2) + id);
    char out[128] = {};
    DWORD got = 0;
    ASSERT_TRUE(PMGetPrinterDataFromPort(ctx, IOCTL_DEVICE_ID, nullptr, nullptr, 0, out, 100, &got));
    EXPECT_EQ(got, id.size());
    EXPECT_EQ(std::string(out, got), id);
    auto calls = PmDouble_Calls(PM_GETDATA);
    ASSERT_EQ(calls.size(), 1u);
    EXPECT_EQ(calls[0].controlId, IOCTL_VEKUSB_DEVICE_ID);
    EXPECT_EQ(calls[0].cbOutBuffer, 102u);

    PmDouble_SetDeviceControl(IOCTL_VEKUSB_DEVICE_ID, std::string("\x00\x02", 2));
    EXPECT_FALSE(PMGetPrinterDataFromPort(ctx, IOCTL_DEVICE_ID, nullptr, nullptr, 0, out, 100, &got))
        << "a length with no ID is a failure";
}

TEST_F(Forward, UsbReadTimeoutCountsAsAFullRead) {
    Open(L"USB030");
    PmDouble_FailNext(PM_READ, 1, 31);
    BYTE buf[200];
    DWORD got = 7;
    EXPECT_TRUE(PMReadPort(ctx, buf, 200, &got));
    EXPECT_EQ(got, 192u);
    PmDouble_FailNext(PM_READ, 1, 5);
    EXPECT_FALSE(PMReadPort(ctx, buf, 200, &got));
}

TEST_F(Forward, OwnSendsKeepWhatThePortRefused) {
    Open(L"COM4:");
    // Nothing to send: the own document still opens and closes.
    DWORD w = 99;
    EXPECT_TRUE(PMSendData(ctx, nullptr, 0, &w));
    EXPECT_EQ(w, 0u);
    auto starts = PmDouble_Calls(PM_STARTDOC);
    ASSERT_EQ(starts.size(), 1u);
    EXPECT_EQ(starts[0].docName, L"VJLMON Doc");
    EXPECT_EQ(PmDouble_CallCount(PM_ENDDOC), 1u);

    std::string data(250, 'p');
    for (int i = 0; i < 250; ++i) data[i] = static_cast<char>('a' + i % 26);
    PmDouble_ShortWrites(100, 1);
    EXPECT_TRUE(PMSendData(ctx, reinterpret_cast<const BYTE*>(data.data()), 250, &w));
    EXPECT_EQ(w, 100u);
    EXPECT_EQ(ctx->cbPending, 150u);

    // The next send first delivers what was pending, in order.
    EXPECT_TRUE(PMSendData(ctx, reinterpret_cast<const BYTE*>("XYZ"), 3, &w));
    EXPECT_EQ(w, 3u);
    EXPECT_EQ(ctx->cbPending, 0u);
    EXPECT_EQ(PmDouble_AllWritten(), data + "XYZ");
}

TEST_F(Forward, FailedUsbWriteIsNotedForTheJob) {
    Open(L"USB031");
    PmDouble_FailNext(PM_WRITE, 1, 1167);
    DWORD w = 0;
    BYTE b[10] = {};
    EXPECT_FALSE(PMWritePort(ctx, b, 10, &w));
    EXPECT_EQ(GetLastError(), 1167u);
    EXPECT_EQ(ctx->bWriteFailed, 1u);
    EXPECT_EQ(ctx->dwLastWriteError, 1167u);
    EXPECT_TRUE(PMWritePort(ctx, b, 10, &w));
    EXPECT_EQ(ctx->bWriteFailed, 0u) << "every write starts clean";
    EXPECT_EQ(ctx->dwLastWriteError, 0u);
}

}  // namespace
