// A directory link that Wine shows as a reparse point: a Unix symbolic link
// made by the host's ln, which the test program runs as a Unix process.
// Windows' own link calls are not modelled by Wine.
#pragma once
#include <windows.h>

#include <string>

namespace vjltest {

// The Unix path of a Windows path (that need not exist yet).
inline std::string UnixPathOf(const std::wstring& winPath) {
    using Fn = char*(__cdecl*)(LPCWSTR);
    auto fn = reinterpret_cast<Fn>(
        reinterpret_cast<void*>(GetProcAddress(GetModuleHandleW(L"kernel32.dll"), "wine_get_unix_file_name")));
    if (!fn) return {};
    char* p = fn(winPath.c_str());
    if (!p) return {};
    std::string s = p;
    HeapFree(GetProcessHeap(), 0, p);
    return s;
}

// Wine runs a Unix program given by its Unix path as a Unix process. It
// cannot be waited on (and its handles are not real ones, so they are left
// alone): the caller waits for the program's effect instead.
inline bool RunUnix(std::string cmd) {
    STARTUPINFOA si = {};
    si.cb = sizeof si;
    PROCESS_INFORMATION pi = {};
    return CreateProcessA(nullptr, &cmd[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr, &si, &pi) != FALSE;
}

template <typename Cond>
bool WaitFor(Cond cond) {
    for (int polls = 0; polls < 1000; ++polls) {   // at most about ten seconds
        if (cond()) return true;
        Sleep(10);
    }
    return cond();
}

inline bool IsFolderLink(const std::wstring& path) {
    DWORD a = GetFileAttributesW(path.c_str());
    return a != INVALID_FILE_ATTRIBUTES && (a & FILE_ATTRIBUTE_REPARSE_POINT);
}

// Makes link (a Windows path) a link to the folder target; true when the
// monitor will see it as a reparse point.
inline bool MakeFolderLink(const std::wstring& link, const std::wstring& target) {
    std::string l = UnixPathOf(link), t = UnixPathOf(target);
    if (l.empty() || t.empty() || !RunUnix("/bin/ln -sfn \"" + t + "\" \"" + l + "\"")) return false;
    return WaitFor([&] { return IsFolderLink(link); });
}

// Removes the link itself, never what it points to.
inline void RemoveFolderLink(const std::wstring& link) {
    std::string l = UnixPathOf(link);
    if (!l.empty() && RunUnix("/bin/rm -f \"" + l + "\""))
        WaitFor([&] { return GetFileAttributesW(link.c_str()) == INVALID_FILE_ATTRIBUTES; });
}

}  // namespace vjltest
