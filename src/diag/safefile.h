// Files the monitor writes as the spooler's account (trace, print history,
// the service's logs) in folders that ordinary users may be able to reach:
// a folder someone else made, or a link someone planted in the path, is
// never written through.
#pragma once
#include <windows.h>

// Why a folder or file is not used.
enum class PathVerdict {
    Ok,
    Link,        // the folder or file is a reparse point (junction, symbolic link, mount point)
    NotOwned,    // an existing folder owned by an account the monitor does not trust
    Missing,     // not there and not to be created, or not a folder
};

const char* PathVerdictText(PathVerdict v);

// SYSTEM, Administrators, TrustedInstaller, and the account the monitor
// itself runs as (SYSTEM inside the spooler).
bool IsTrustedOwner(PSID owner);
inline bool IsLinkAttributes(DWORD attributes) {
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_REPARSE_POINT);
}
// The check of one existing folder from what its handle tells.
PathVerdict JudgeFolder(DWORD attributes, PSID owner);
// The check of one opened file: no link, no folder, no second name.
PathVerdict JudgeFile(DWORD attributes, DWORD links);

// Each folder of path below its drive root (or UNC share), in turn, without
// following links. Missing folders are created when create is set, with
// the monitor's folder DACL (SYSTEM and Administrators full control, Users
// read, inherited by what is made inside). *created tells whether the last
// folder was made by this call.
PathVerdict CheckFolderPath(const wchar_t* path, bool create, bool* created = nullptr);
PathVerdict CheckFolderPathA(const char* path, bool create);

// CreateFileW that opens a link as itself and refuses it (and a file with
// more than one name): INVALID_HANDLE_VALUE with ERROR_CANT_ACCESS_FILE.
HANDLE OpenLogFile(const wchar_t* path, DWORD access, DWORD share, DWORD disposition, DWORD attributes,
                   SECURITY_ATTRIBUTES* sa);
HANDLE OpenLogFileA(const char* path, DWORD access, DWORD share, DWORD disposition, DWORD attributes,
                    SECURITY_ATTRIBUTES* sa);
// MoveFileExW once neither name is a link (a missing target is fine).
BOOL MoveLogFile(const wchar_t* from, const wchar_t* to, DWORD flags);

// Security descriptors the monitor puts on what it creates; built once,
// kept for the process's life.
PSECURITY_DESCRIPTOR FolderSecurity();
// Trace files: everyone reads, SYSTEM and Administrators write.
PSECURITY_DESCRIPTOR TraceFileSecurity();
