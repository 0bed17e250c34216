#pragma once

#include <windows.h>
#include <winternl.h>

#include <functional>
#include <string>

// Stand-ins for the native calls through which the patcher reaches names
// relative to held folders: before every NtCreateFile (opens and makes) and
// every rename through NtSetInformationFile, the test's function runs with
// the name as given (relative to a held folder) and may change what the name
// leads to, as another program could between two calls; a failure status it
// returns fails the call without making it, 0 lets it through.
enum NtFileCall { kNtOpen, kNtRename };
typedef std::function<NTSTATUS(NtFileCall call, const std::wstring &name)> NtFileBefore;

struct NtFileHook {
    explicit NtFileHook(NtFileBefore before);
    ~NtFileHook();
    NtFileHook(const NtFileHook &) = delete;
    NtFileHook &operator=(const NtFileHook &) = delete;
    bool hooked = false;
};

// The name in ANSI, for tests that compare it with their own.
std::string NarrowName(const std::wstring &name);
