// Switches tracing on for a test through VEKLMLOG.INI and reads the trace
// file of a printer back.
#pragma once
#include <windows.h>

#include <string>
#include <vector>

class TraceOnForTest {
public:
    TraceOnForTest() {
        wchar_t dir[MAX_PATH];
        GetWindowsDirectoryW(dir, MAX_PATH);
        windir_ = dir;
        ini_ = windir_ + L"\\VEKLMLOG.INI";
        WritePrivateProfileStringW(L"VEKTL7700", L"MODE", L"1", ini_.c_str());
        WritePrivateProfileStringW(nullptr, nullptr, nullptr, ini_.c_str());
    }
    ~TraceOnForTest() {
        DeleteFileW(ini_.c_str());
        WritePrivateProfileStringW(nullptr, nullptr, nullptr, ini_.c_str());
        // VJL_KEEP_TRACE=1 leaves the trace files behind to read after a run.
        if (!GetEnvironmentVariableW(L"VJL_KEEP_TRACE", nullptr, 0))
            for (const auto& f : used_) DeleteFileW(f.c_str());
    }
    std::wstring FileFor(const std::wstring& printer) {
        std::wstring f = windir_.substr(0, 2) + L"\\VEKTL7700LOG\\VEKLM-" + printer + L".TRG";
        used_.push_back(f);
        DeleteFileW(f.c_str());
        return f;
    }
    static std::vector<std::string> Lines(const std::wstring& file) {
        std::vector<std::string> out;
        HANDLE h = CreateFileW(file.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                               0, nullptr);
        if (h == INVALID_HANDLE_VALUE) return out;
        std::string all;
        char buf[4096];
        DWORD got = 0;
        while (ReadFile(h, buf, sizeof(buf), &got, nullptr) && got) all.append(buf, got);
        CloseHandle(h);
        size_t pos = 0;
        while (pos < all.size()) {
            size_t end = all.find("\r\n", pos);
            if (end == std::string::npos) end = all.size();
            out.push_back(all.substr(pos, end - pos));
            pos = end + 2;
        }
        return out;
    }
    // The texts of a file's lines, without their time stamps.
    static std::vector<std::string> Texts(const std::wstring& file) {
        std::vector<std::string> out;
        for (const auto& l : Lines(file)) out.push_back(Text(l));
        return out;
    }
    // The text of a time-stamped line ("MM/DD hh:mm:ss:mmm<TAB>text"), or
    // the line itself when it has no stamp.
    static std::string Text(const std::string& line) {
        size_t tab = line.find('\t');
        return (tab == 18) ? line.substr(19) : line;
    }

private:
    std::wstring windir_, ini_;
    std::vector<std::wstring> used_;
};
