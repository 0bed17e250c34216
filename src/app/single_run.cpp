#include "app/single_run.h"

#include "app/main_window.h"

namespace {

// Window properties that carry the claim's identity across processes.
const char kVolumeProperty[] = "BHPatcherVolume";
const char kIndexHighProperty[] = "BHPatcherIndexHigh";
const char kIndexLowProperty[] = "BHPatcherIndexLow";

bool ReadIdentity(const char *install_dir, RunClaim *claim)
{
    HANDLE folder = CreateFileA(install_dir, FILE_READ_ATTRIBUTES,
                                FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, NULL,
                                OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, NULL);
    if (folder == INVALID_HANDLE_VALUE)
        return false;
    BY_HANDLE_FILE_INFORMATION info;
    bool read = GetFileInformationByHandle(folder, &info) != 0;
    CloseHandle(folder);
    if (read) {
        claim->volume = info.dwVolumeSerialNumber;
        claim->index_high = info.nFileIndexHigh;
        claim->index_low = info.nFileIndexLow;
    }
    return read;
}

bool IsClaimWindow(HWND window, const RunClaim *claim)
{
    char name[sizeof(kMainWindowClass) + 1];
    return GetClassNameA(window, name, sizeof(name)) > 0 && lstrcmpA(name, kMainWindowClass) == 0 &&
           (DWORD)(UINT_PTR)GetPropA(window, kVolumeProperty) == claim->volume &&
           (DWORD)(UINT_PTR)GetPropA(window, kIndexHighProperty) == claim->index_high &&
           (DWORD)(UINT_PTR)GetPropA(window, kIndexLowProperty) == claim->index_low;
}

BOOL CALLBACK BringForwardIfClaims(HWND window, LPARAM context)
{
    if (!IsClaimWindow(window, (const RunClaim *)context))
        return TRUE;
    if (IsIconic(window))
        ShowWindow(window, SW_RESTORE);
    SetForegroundWindow(window);
    return FALSE;
}

} // namespace

int ClaimInstallation(const char *install_dir, RunClaim *claim)
{
    ZeroMemory(claim, sizeof(*claim));
    if (!install_dir || !ReadIdentity(install_dir, claim))
        return 1;
    claim->known = 1;
    // Global: one installation, whichever session starts its patcher.
    char name[64];
    wsprintfA(name, "Global\\BHPatcher-%08lX-%08lX%08lX", (unsigned long)claim->volume,
              (unsigned long)claim->index_high, (unsigned long)claim->index_low);
    claim->mutex = CreateMutexA(NULL, FALSE, name);
    DWORD error = GetLastError();
    if (claim->mutex && error != ERROR_ALREADY_EXISTS)
        return 1;
    // Held by another patcher, or squatted by a program that may only keep
    // this one from running.
    if (claim->mutex)
        CloseHandle(claim->mutex);
    claim->mutex = NULL;
    EnumWindows(BringForwardIfClaims, (LPARAM)claim);
    return 0;
}

void MarkClaimWindow(HWND window, const RunClaim *claim)
{
    if (!claim->known)
        return;
    SetPropA(window, kVolumeProperty, (HANDLE)(UINT_PTR)claim->volume);
    SetPropA(window, kIndexHighProperty, (HANDLE)(UINT_PTR)claim->index_high);
    SetPropA(window, kIndexLowProperty, (HANDLE)(UINT_PTR)claim->index_low);
}

void UnmarkClaimWindow(HWND window)
{
    RemovePropA(window, kVolumeProperty);
    RemovePropA(window, kIndexHighProperty);
    RemovePropA(window, kIndexLowProperty);
}
