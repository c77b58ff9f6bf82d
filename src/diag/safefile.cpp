// Path and file checks for everything the monitor writes. The spooler runs
// as SYSTEM, so a folder a user made first, or a junction or symbolic link
// a user put in the path, would have the monitor create, write and rename
// files as SYSTEM wherever the user points it.
#include "diag/safefile.h"

#include <aclapi.h>
#include <sddl.h>

#include <cwchar>

namespace {

// SYSTEM, Administrators, and the TrustedInstaller service.
constexpr const wchar_t* kTrustedOwners[] = {
    L"S-1-5-18",
    L"S-1-5-32-544",
    L"S-1-5-80-956008885-3418522649-1831038044-1853292631-2271478464",
};
// Folders: SYSTEM and Administrators full control, Users read; inherited.
constexpr wchar_t kFolderSddl[] = L"D:P(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)(A;OICI;FRFX;;;BU)";
// Trace files: readable by everyone (the suite and an operator read them).
constexpr wchar_t kTraceFileSddl[] = L"D:P(A;;FA;;;SY)(A;;FA;;;BA)(A;;FR;;;WD)";
constexpr size_t kMaxPath = 32768;
constexpr int kMaxFolderDepth = 64;        // components walked below the root


PSECURITY_DESCRIPTOR BuildOnce(INIT_ONCE* once, PSECURITY_DESCRIPTOR* slot, const wchar_t* sddl) {
    struct Arg {
        PSECURITY_DESCRIPTOR* slot;
        const wchar_t* sddl;
    } arg{slot, sddl};
    InitOnceExecuteOnce(
        once,
        [](PINIT_ONCE, PVOID p, PVOID*) -> BOOL {
            auto* a = static_cast<Arg*>(p);
            PSECURITY_DESCRIPTOR sd = nullptr;
            if (ConvertStringSecurityDescriptorToSecurityDescriptorW(a->sddl, SDDL_REVISION_1, &sd, nullptr))
                *a->slot = sd;   // kept for the process's life
            return TRUE;
        },
        &arg, nullptr);
    return *slot;
}

bool OwnSid(PSID owner) {
    HANDLE token = nullptr;
    if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token)) return false;
    BYTE buf[256];
    DWORD cb = 0;
    bool same = GetTokenInformation(token, TokenUser, buf, sizeof buf, &cb) &&
                EqualSid(reinterpret_cast<TOKEN_USER*>(buf)->User.Sid, owner);
    CloseHandle(token);
    return same;
}

// Length of the root ("C:\", "\\server\share\") that is not checked.
size_t RootLength(const wchar_t* path) {
    if (path[0] && path[1] == L':') return path[2] == L'\\' ? 3 : 2;
    if (path[0] == L'\\' && path[1] == L'\\') {
        const wchar_t* server = wcschr(path + 2, L'\\');
        const wchar_t* share = server ? wcschr(server + 1, L'\\') : nullptr;
        return share ? static_cast<size_t>(share - path) + 1 : wcslen(path);
    }
    return 0;
}

// Attributes and link count of an open file or folder. The basic and
// standard classes cost a fraction of the full record on some systems
// (its volume query is what is slow), and trace lines open a file each.
bool QueryHandle(HANDLE h, DWORD* attributes, DWORD* links) {
    FILE_BASIC_INFO basic = {};
    FILE_STANDARD_INFO standard = {};
    if (!GetFileInformationByHandleEx(h, FileBasicInfo, &basic, sizeof basic) ||
        !GetFileInformationByHandleEx(h, FileStandardInfo, &standard, sizeof standard))
        return false;
    *attributes = basic.FileAttributes;
    *links = standard.NumberOfLinks;
    return true;
}

// Opens an existing folder itself (not a link's target) and judges it.
PathVerdict CheckOneFolder(const wchar_t* folder) {
    HANDLE h = CreateFileW(folder, READ_CONTROL | FILE_READ_ATTRIBUTES,
                           FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                           FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    if (h == INVALID_HANDLE_VALUE) return PathVerdict::Missing;
    DWORD handleAttributes = 0, links = 0;
    PSID owner = nullptr;
    PSECURITY_DESCRIPTOR sd = nullptr;
    PathVerdict v = PathVerdict::Missing;
    if (QueryHandle(h, &handleAttributes, &links)) {
        DWORD rc = GetSecurityInfo(h, SE_FILE_OBJECT, OWNER_SECURITY_INFORMATION, &owner, nullptr, nullptr, nullptr,
                                   &sd);
        // The name is asked too: some file systems report the link only
        // there, and the handle's attributes then describe the target.
        DWORD byName = GetFileAttributesW(folder);
        DWORD attributes = handleAttributes | (IsLinkAttributes(byName) ? FILE_ATTRIBUTE_REPARSE_POINT : 0);
        v = JudgeFolder(attributes, rc == ERROR_SUCCESS ? owner : nullptr);
    }
    if (sd) LocalFree(sd);
    CloseHandle(h);
    return v;
}

}  // namespace

const char* PathVerdictText(PathVerdict v) {
    switch (v) {
    case PathVerdict::Ok: return "ok";
    case PathVerdict::Link: return "a junction or symbolic link";
    case PathVerdict::NotOwned: return "not owned by SYSTEM or Administrators";
    case PathVerdict::Missing: return "missing";
    }
    return "?";
}

bool IsTrustedOwner(PSID owner) {
    if (!owner || !IsValidSid(owner)) return false;
    for (const wchar_t* text : kTrustedOwners) {
        PSID sid = nullptr;
        if (!ConvertStringSidToSidW(text, &sid)) continue;
        bool same = EqualSid(sid, owner);
        LocalFree(sid);
        if (same) return true;
    }
    return OwnSid(owner);
}

PathVerdict JudgeFolder(DWORD attributes, PSID owner) {
    if (attributes == INVALID_FILE_ATTRIBUTES || !(attributes & FILE_ATTRIBUTE_DIRECTORY)) return PathVerdict::Missing;
    if (IsLinkAttributes(attributes)) return PathVerdict::Link;
    return IsTrustedOwner(owner) ? PathVerdict::Ok : PathVerdict::NotOwned;
}

PathVerdict JudgeFile(DWORD attributes, DWORD links) {
    if (IsLinkAttributes(attributes) || links > 1) return PathVerdict::Link;
    if (attributes & FILE_ATTRIBUTE_DIRECTORY) return PathVerdict::Missing;
    return PathVerdict::Ok;
}

PathVerdict CheckFolderPath(const wchar_t* path, bool create, bool* created) {
    if (created) *created = false;
    if (!path || !*path) return PathVerdict::Missing;
    size_t len = wcsnlen(path, kMaxPath);
    if (len >= kMaxPath) return PathVerdict::Missing;
    wchar_t* copy = static_cast<wchar_t*>(LocalAlloc(LMEM_FIXED, (len + 1) * sizeof(wchar_t)));
    if (!copy) return PathVerdict::Missing;
    wmemcpy(copy, path, len + 1);
    while (len > 0 && copy[len - 1] == L'\\') copy[--len] = 0;

    SECURITY_ATTRIBUTES sa = {sizeof sa, FolderSecurity(), FALSE};
    PathVerdict v = PathVerdict::Ok;
    size_t at = RootLength(copy);
    for (int depth = 0; at < len && depth < kMaxFolderDepth; ++depth) {
        wchar_t* end = wcschr(copy + at, L'\\');
        size_t next = end ? static_cast<size_t>(end - copy) : len;
        wchar_t keep = copy[next];
        copy[next] = 0;
        bool made = false;
        if (GetFileAttributesW(copy) == INVALID_FILE_ATTRIBUTES && create && sa.lpSecurityDescriptor)
            made = CreateDirectoryW(copy, &sa) != FALSE;
        // A folder made just now is the monitor's own; any other is looked at.
        if (!made) v = CheckOneFolder(copy);
        if (created) *created = made;
        copy[next] = keep;
        if (v != PathVerdict::Ok) break;
        at = next + 1;
    }
    if (at < len && v == PathVerdict::Ok) v = PathVerdict::Missing;   // deeper than the walk goes
    LocalFree(copy);
    return v;
}

PathVerdict CheckFolderPathA(const char* path, bool create) {
    wchar_t wide[MAX_PATH * 2];
    if (!path || !MultiByteToWideChar(CP_ACP, 0, path, -1, wide, MAX_PATH * 2)) return PathVerdict::Missing;
    return CheckFolderPath(wide, create);
}

HANDLE OpenLogFile(const wchar_t* path, DWORD access, DWORD share, DWORD disposition, DWORD attributes,
                   SECURITY_ATTRIBUTES* sa) {
    HANDLE h = CreateFileW(path, access, share, sa, disposition, attributes | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    if (h == INVALID_HANDLE_VALUE) return h;
    DWORD created = GetLastError();
    DWORD seen = INVALID_FILE_ATTRIBUTES, links = 0;
    if (!QueryHandle(h, &seen, &links)) seen = INVALID_FILE_ATTRIBUTES;
    if (seen != INVALID_FILE_ATTRIBUTES && IsLinkAttributes(GetFileAttributesW(path)))
        seen |= FILE_ATTRIBUTE_REPARSE_POINT;
    if (seen == INVALID_FILE_ATTRIBUTES || JudgeFile(seen, links) != PathVerdict::Ok) {
        CloseHandle(h);
        SetLastError(ERROR_CANT_ACCESS_FILE);
        return INVALID_HANDLE_VALUE;
    }
    SetLastError(created);   // callers read ERROR_ALREADY_EXISTS
    return h;
}

HANDLE OpenLogFileA(const char* path, DWORD access, DWORD share, DWORD disposition, DWORD attributes,
                    SECURITY_ATTRIBUTES* sa) {
    wchar_t wide[MAX_PATH * 2];
    if (!path || !MultiByteToWideChar(CP_ACP, 0, path, -1, wide, MAX_PATH * 2)) {
        SetLastError(ERROR_INVALID_NAME);
        return INVALID_HANDLE_VALUE;
    }
    return OpenLogFile(wide, access, share, disposition, attributes, sa);
}

BOOL MoveLogFile(const wchar_t* from, const wchar_t* to, DWORD flags) {
    if (IsLinkAttributes(GetFileAttributesW(from)) || IsLinkAttributes(GetFileAttributesW(to))) {
        SetLastError(ERROR_CANT_ACCESS_FILE);
        return FALSE;
    }
    return MoveFileExW(from, to, flags);
}

PSECURITY_DESCRIPTOR FolderSecurity() {
    static INIT_ONCE once = INIT_ONCE_STATIC_INIT;
    static PSECURITY_DESCRIPTOR sd;
    return BuildOnce(&once, &sd, kFolderSddl);
}

PSECURITY_DESCRIPTOR TraceFileSecurity() {
    static INIT_ONCE once = INIT_ONCE_STATIC_INIT;
    static PSECURITY_DESCRIPTOR sd;
    return BuildOnce(&once, &sd, kTraceFileSddl);
}
