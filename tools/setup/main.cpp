// vjlmon-setup.exe: the command line around RunSetup.
#include <windows.h>
#include <shellapi.h>

#include <cstdio>

#include "setup.h"

namespace {

void Print(FILE* stream, const std::wstring& text) {
    if (text.empty()) return;
    UINT cp = GetConsoleOutputCP();
    int n = WideCharToMultiByte(cp ? cp : CP_ACP, 0, text.c_str(), static_cast<int>(text.size()), nullptr, 0, nullptr,
                                nullptr);
    std::string bytes(static_cast<size_t>(n), '\0');
    WideCharToMultiByte(cp ? cp : CP_ACP, 0, text.c_str(), static_cast<int>(text.size()), bytes.data(), n, nullptr,
                        nullptr);
    fwrite(bytes.data(), 1, bytes.size(), stream);
}

}  // namespace

int main() {
    int argc = 0;
    LPWSTR* argv = CommandLineToArgvW(GetCommandLineW(), &argc);
    std::vector<std::wstring> args;
    for (int i = 1; argv && i < argc; ++i) args.emplace_back(argv[i]);
    if (argv) LocalFree(argv);
    std::wstring out, err;
    int rc = RunSetup(args, &out, &err);
    Print(stdout, out);
    Print(stderr, err);
    return rc;
}
