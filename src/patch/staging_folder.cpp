#include "patch/staging_folder.h"

#include "patch/held_files.h"
#include "patch/path_rules.h"

#include <sddl.h>
#include <windows.h>
#include <winternl.h>

namespace {

// Owned by the administrators, so that no user's account has an owner's
// rights over it; full control for the administrators and the system, handed
// down to what is made in it, and nobody else: no program the player runs
// can open a download at all. Protected: nothing taken from the game folder
// (whose inheritable grants are often Users: Modify).
const char kStagingSecurity[] = "O:BAD:P(A;OICI;FA;;;BA)(A;OICI;FA;;;SY)";
const char kStagedPrefix[] = "BHP";
const char kStagedSuffix[] = ".tmp";
// Names taken in a row before MakeStagedFile gives up: each run's folder is
// new, so only its own files can hold a name.
const int kNameTries = 16;
// Held without DELETE, which would keep anyone else from listing it.
const ACCESS_MASK kStagingAccess = FILE_LIST_DIRECTORY | FILE_TRAVERSE | FILE_READ_ATTRIBUTES;
const ACCESS_MASK kStagedAccess =
    GENERIC_READ | GENERIC_WRITE | DELETE | READ_CONTROL | WRITE_DAC;

// Written by the worker thread alone, in OpenStagingFolder and
// CloseStagingFolder, while no other thread makes files; only read between.
HANDLE g_staging = INVALID_HANDLE_VALUE; // the folder, opened without FILE_SHARE_DELETE
HANDLE g_install = INVALID_HANDLE_VALUE; // the held installation folder it is in (borrowed)
volatile LONG g_next_name = 0;           // the number of the next staged name

bool IsStagedName(const char *name)
{
    int length = lstrlenA(name);
    const int prefix = sizeof(kStagedPrefix) - 1, suffix = sizeof(kStagedSuffix) - 1;
    if (length < prefix + suffix)
        return false;
    char head[sizeof(kStagedPrefix)];
    lstrcpynA(head, name, prefix + 1);
    return lstrcmpiA(head, kStagedPrefix) == 0 && lstrcmpiA(name + length - suffix, kStagedSuffix) == 0;
}

struct Emptying {
    bool foreign; // something the patcher did not leave there
};

// Looks for anything but a download of a run cut off, before anything goes.
int FindForeign(void *context, HANDLE, const char *name, DWORD attributes)
{
    Emptying *emptying = (Emptying *)context;
    emptying->foreign = !IsStagedName(name) ||
                        (attributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT));
    return emptying->foreign ? 0 : 1;
}

// Deletes one download of a run cut off; anything else stops the emptying.
int DeleteLeftover(void *context, HANDLE folder, const char *name, DWORD attributes)
{
    Emptying *emptying = (Emptying *)context;
    if (FindForeign(context, folder, name, attributes) == 0)
        return 0;
    emptying->foreign = true;
    // Shared with nobody: a file another program holds is not the patcher's.
    HANDLE file = OpenPlainInFolder(folder, name, DELETE | FILE_READ_ATTRIBUTES, 0, FILE_OPEN,
                                    FILE_NON_DIRECTORY_FILE);
    if (file == INVALID_HANDLE_VALUE)
        return 0;
    if (DeleteThrough(file))
        emptying->foreign = false;
    CloseHandle(file);
    return emptying->foreign ? 0 : 1;
}

// The real folder at the name, opened to be removed; INVALID_HANDLE_VALUE
// for anything else.
HANDLE OpenToRemove(HANDLE install)
{
    return OpenPlainInFolder(install, kStagingFolderName, kStagingAccess | DELETE,
                             FILE_SHARE_READ | FILE_SHARE_WRITE, FILE_OPEN, FILE_DIRECTORY_FILE);
}

// Removes the folder a run cut off left at the name, which holds its
// downloads only; false, changing nothing, at anything else.
bool RemoveLeftFolder(HANDLE install)
{
    HANDLE folder = OpenToRemove(install);
    if (folder == INVALID_HANDLE_VALUE)
        return false;
    Emptying emptying = {false};
    VisitFolder(folder, FindForeign, &emptying);
    if (!emptying.foreign)
        VisitFolder(folder, DeleteLeftover, &emptying);
    bool removed = !emptying.foreign && DeleteThrough(folder);
    CloseHandle(folder);
    return removed;
}

HANDLE MakeFolder(HANDLE install, PSECURITY_DESCRIPTOR security)
{
    return OpenInFolder(install, kStagingFolderName, kStagingAccess,
                        FILE_SHARE_READ | FILE_SHARE_WRITE, FILE_CREATE, FILE_DIRECTORY_FILE,
                        security);
}

} // namespace

int OpenStagingFolder(HANDLE install)
{
    CloseStagingFolder();
    if (!install || install == INVALID_HANDLE_VALUE)
        return 0;
    PSECURITY_DESCRIPTOR security = NULL;
    if (!ConvertStringSecurityDescriptorToSecurityDescriptorA(kStagingSecurity, SDDL_REVISION_1,
                                                              &security, NULL))
        return 0;
    // Made new, so that no other program holds a handle to it; a folder at
    // the name goes first only when it is what a cut-off run left.
    HANDLE held = MakeFolder(install, security);
    if (held == INVALID_HANDLE_VALUE && GetLastError() == ERROR_ALREADY_EXISTS &&
        RemoveLeftFolder(install))
        held = MakeFolder(install, security);
    LocalFree(security);
    if (held == INVALID_HANDLE_VALUE)
        return 0;
    g_staging = held;
    g_install = install;
    g_next_name = 0;
    return 1;
}

int MakeStagedFile(HANDLE *file)
{
    if (!file)
        return 0;
    *file = NULL;
    if (g_staging == INVALID_HANDLE_VALUE)
        return 0;
    for (int i = 0; i < kNameTries; i++) {
        // Four hex digits, as GetTempFileNameA makes them: an 8.3 name.
        DWORD number = 0x1000 + ((DWORD)InterlockedIncrement(&g_next_name) - 1) % 0xF000;
        char name[16];
        wsprintfA(name, "%s%X%s", kStagedPrefix, (unsigned)number, kStagedSuffix);
        HANDLE made = OpenInFolder(g_staging, name, kStagedAccess, 0, FILE_CREATE,
                                   FILE_NON_DIRECTORY_FILE | FILE_SEQUENTIAL_ONLY, NULL);
        if (made != INVALID_HANDLE_VALUE) {
            *file = made;
            return 1;
        }
        if (GetLastError() != ERROR_ALREADY_EXISTS)
            return 0;
    }
    return 0;
}

void DropStagedFile(HANDLE file)
{
    if (!file || file == INVALID_HANDLE_VALUE)
        return;
    DeleteThrough(file);
    CloseHandle(file);
}

void CloseStagingFolder()
{
    if (g_staging == INVALID_HANDLE_VALUE)
        return;
    CloseHandle(g_staging);
    g_staging = INVALID_HANDLE_VALUE;
    // Opened again to be removed, by its name in the held installation
    // folder: whatever took the name meanwhile is inside the installation,
    // and a folder is removed only when nothing is in it.
    HANDLE folder = OpenToRemove(g_install);
    if (folder != INVALID_HANDLE_VALUE) {
        DeleteThrough(folder);
        CloseHandle(folder);
    }
    g_install = INVALID_HANDLE_VALUE;
}
