#include "support/nt_file_hook.h"

#include "support/iat_patch.h"

#include <mutex>

namespace {

typedef NTSTATUS(NTAPI *CreateFn)(PHANDLE, ACCESS_MASK, POBJECT_ATTRIBUTES, PIO_STATUS_BLOCK,
                                  PLARGE_INTEGER, ULONG, ULONG, ULONG, ULONG, PVOID, ULONG);
typedef NTSTATUS(NTAPI *SetInformationFn)(HANDLE, PIO_STATUS_BLOCK, PVOID, ULONG,
                                          FILE_INFORMATION_CLASS);

NtFileBefore *g_before = NULL;
CreateFn g_real_create = NULL;
SetInformationFn g_real_set = NULL;
std::recursive_mutex g_lock; // the patcher's threads call at once

NTSTATUS Before(NtFileCall call, const WCHAR *name, size_t length)
{
    std::lock_guard<std::recursive_mutex> guard(g_lock);
    return g_before ? (*g_before)(call, std::wstring(name, length)) : 0;
}

NTSTATUS NTAPI HookedCreate(PHANDLE handle, ACCESS_MASK access, POBJECT_ATTRIBUTES attributes,
                            PIO_STATUS_BLOCK io, PLARGE_INTEGER size, ULONG file_attributes,
                            ULONG share, ULONG disposition, ULONG options, PVOID ea, ULONG ea_length)
{
    if (attributes && attributes->ObjectName) {
        NTSTATUS status = Before(kNtOpen, attributes->ObjectName->Buffer,
                                 attributes->ObjectName->Length / sizeof(WCHAR));
        if (status < 0)
            return status;
    }
    return g_real_create(handle, access, attributes, io, size, file_attributes, share, disposition,
                         options, ea, ea_length);
}

NTSTATUS NTAPI HookedSet(HANDLE file, PIO_STATUS_BLOCK io, PVOID information, ULONG length,
                         FILE_INFORMATION_CLASS information_class)
{
    if (information_class == FileRenameInformation) {
        const FILE_RENAME_INFORMATION *rename = (const FILE_RENAME_INFORMATION *)information;
        NTSTATUS status =
            Before(kNtRename, rename->FileName, rename->FileNameLength / sizeof(WCHAR));
        if (status < 0)
            return status;
    }
    return g_real_set(file, io, information, length, information_class);
}

} // namespace

NtFileHook::NtFileHook(NtFileBefore before)
{
    g_before = new NtFileBefore(before);
    g_real_create = (CreateFn)PatchImport("ntdll.dll", "NtCreateFile", (void *)HookedCreate);
    g_real_set =
        (SetInformationFn)PatchImport("ntdll.dll", "NtSetInformationFile", (void *)HookedSet);
    hooked = g_real_create && g_real_set;
}

NtFileHook::~NtFileHook()
{
    if (g_real_create)
        PatchImport("ntdll.dll", "NtCreateFile", (void *)g_real_create);
    if (g_real_set)
        PatchImport("ntdll.dll", "NtSetInformationFile", (void *)g_real_set);
    std::lock_guard<std::recursive_mutex> guard(g_lock);
    delete g_before;
    g_before = NULL;
}

std::string NarrowName(const std::wstring &name)
{
    std::string narrow;
    for (WCHAR c : name)
        narrow += c < 0x80 ? (char)c : '?';
    return narrow;
}
