// The monitor imports the spooler API through the system import libraries;
// under Wine those imports must land in the doubles beside the executable.
// This executable links only the system import libraries and reaches the
// doubles' control functions by name, as nothing else would.
#include <windows.h>
#include <winspool.h>
#include <winsplp.h>

#include <gtest/gtest.h>

#include <string>

namespace {

std::wstring Folder(HMODULE m) {
    wchar_t path[MAX_PATH];
    DWORD n = GetModuleFileNameW(m, path, MAX_PATH);
    std::wstring s(path, n);
    return s.substr(0, s.find_last_of(L"\\/") + 1);
}

template <class F>
F Proc(HMODULE m, const char* name) {
    return reinterpret_cast<F>(reinterpret_cast<void*>(GetProcAddress(m, name)));
}

TEST(ImportRedirection, SystemImportLibrariesReachTheDoubles) {
    HMODULE spool = GetModuleHandleW(L"winspool.drv");
    ASSERT_NE(spool, nullptr);
    EXPECT_EQ(Folder(spool), Folder(nullptr));
    auto reset = Proc<void (*)()>(spool, "FakeSpool_Reset");
    auto calls = Proc<DWORD (*)(LPCSTR)>(spool, "FakeSpool_CallCount");
    auto counts = Proc<void (*)(DWORD*, DWORD*)>(spool, "FakeSpool_GetImpersonationCounts");
    ASSERT_TRUE(reset && calls && counts) << "winspool.drv is not the test spooler";

    reset();
    HANDLE h = nullptr;
    EXPECT_FALSE(OpenPrinterW(const_cast<LPWSTR>(L"Nobody's Printer"), &h, nullptr));
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_INVALID_PRINTER_NAME);
    EXPECT_EQ(calls("OpenPrinterW"), 1u);

    HMODULE ss = GetModuleHandleW(L"spoolss.dll");
    ASSERT_NE(ss, nullptr);
    EXPECT_EQ(Folder(ss), Folder(nullptr));
    HANDLE token = RevertToPrinterSelf();
    EXPECT_NE(token, nullptr);
    EXPECT_TRUE(ImpersonatePrinterClient(token));
    DWORD imp = 0, rev = 0;
    counts(&imp, &rev);
    EXPECT_EQ(imp, 1u);
    EXPECT_EQ(rev, 1u);
}

}  // namespace
