#include "patch/staging_folder.h"

#include "patch/install_paths.h"

#include <sddl.h>
#include <windows.h>

namespace {

// Owned by the administrators, so that no user's account has an owner's
// rights over it; full control for the administrators and the system, and
// reading for the users (a download changed nothing, and a file whose
// permissions could not be reset after its move stays usable), handed down to
// what is made in it; nothing taken from the installation folder.
const char kStagingSecurity[] = "O:BAD:P(A;OICI;FA;;;BA)(A;OICI;FA;;;SY)(A;OICI;FRFX;;;BU)";
const char kStagedPrefix[] = "BHP";
const char kStagedSuffix[] = ".tmp";
// GetTempFileNameA takes folders of up to MAX_PATH - 14 characters.
const int kMaxStagingPath = MAX_PATH - 14;

// Written by the worker thread alone, in OpenStagingFolder and
// CloseStagingFolder, while no other thread makes files; only read between.
struct StagingFolder {
    HANDLE held;         // the folder, opened without FILE_SHARE_DELETE
    char path[MAX_PATH]; // its full name while held
};
StagingFolder g_staging = {INVALID_HANDLE_VALUE, ""};

// Whether the name stands for a real folder, not a file and not a link of any
// kind. Looked at by name once the folder is held: Wine shows a link's
// reparse attribute on its name only, and what is held cannot be replaced.
bool IsRealFolder(HANDLE held, const char *path)
{
    BY_HANDLE_FILE_INFORMATION info;
    DWORD by_name = GetFileAttributesA(path);
    if (!GetFileInformationByHandle(held, &info) || by_name == INVALID_FILE_ATTRIBUTES)
        return false;
    return (info.dwFileAttributes & by_name & FILE_ATTRIBUTE_DIRECTORY) &&
           !((info.dwFileAttributes | by_name) & FILE_ATTRIBUTE_REPARSE_POINT);
}

// Sets the owner and the access list on the held folder alone: unlike
// SetSecurityInfo, this hands nothing down to what a previous owner left in
// it, so that no link there leads the change elsewhere.
bool TakeOver(HANDLE held, PSECURITY_DESCRIPTOR security)
{
    return SetKernelObjectSecurity(held, OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION,
                                   security) != 0;
}

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

// Deletes the files of runs that were cut off (the window closed during a
// download). Fails at a link or other reparse point under a name that
// GetTempFileNameA may pick: creating a new file there could make one where it
// leads. Only a folder taken over can hold one.
bool DeleteLeftovers(const char *folder)
{
    char pattern[kJoinedPathCapacity];
    if (!JoinLocalPath(folder, "*", pattern, kJoinedPathCapacity))
        return false;
    WIN32_FIND_DATAA entry;
    HANDLE listing = FindFirstFileA(pattern, &entry);
    if (listing == INVALID_HANDLE_VALUE)
        return false;
    bool swept = true;
    do {
        char path[kJoinedPathCapacity];
        if (!IsStagedName(entry.cFileName))
            continue;
        if (entry.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT)
            swept = false;
        else if (!(entry.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) &&
                 JoinLocalPath(folder, entry.cFileName, path, kJoinedPathCapacity))
            DeleteFileA(path);
    } while (swept && FindNextFileA(listing, &entry));
    FindClose(listing);
    return swept;
}

// Through a handle that keeps the name from being replaced once it is
// looked at: whatever was put in the folder's place after it was let go is
// left alone. Removing fails, leaving the folder, when anything is in it.
void RemoveIfEmpty(const char *path)
{
    HANDLE folder = CreateFileA(path, DELETE | FILE_READ_ATTRIBUTES,
                                FILE_SHARE_READ | FILE_SHARE_WRITE, NULL, OPEN_EXISTING,
                                FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, NULL);
    if (folder == INVALID_HANDLE_VALUE)
        return;
    if (IsRealFolder(folder, path)) {
        FILE_DISPOSITION_INFO remove = {TRUE};
        SetFileInformationByHandle(folder, FileDispositionInfo, &remove, sizeof(remove));
    }
    CloseHandle(folder);
}

} // namespace

int OpenStagingFolder(const char *install_dir)
{
    CloseStagingFolder();
    char path[kJoinedPathCapacity];
    if (!install_dir || install_dir[0] == '\0' ||
        !JoinLocalPath(install_dir, kStagingFolderName, path, kJoinedPathCapacity) ||
        lstrlenA(path) > kMaxStagingPath)
        return 0;
    PSECURITY_DESCRIPTOR security = NULL;
    if (!ConvertStringSecurityDescriptorToSecurityDescriptorA(kStagingSecurity, SDDL_REVISION_1,
                                                              &security, NULL))
        return 0;
    int ready = 0;
    HANDLE held = INVALID_HANDLE_VALUE;
    SECURITY_ATTRIBUTES attributes = {sizeof(attributes), security, FALSE};
    if (!CreateDirectoryA(path, &attributes) && GetLastError() != ERROR_ALREADY_EXISTS)
        goto done;
    // Without FILE_SHARE_DELETE nobody can rename or delete it, nor a folder
    // above it, while it is held; a program that holds it for that already
    // makes the open fail. Share modes bind only handles with data or delete
    // access, hence FILE_LIST_DIRECTORY; not DELETE, as listing the folder
    // (Wine's FindFirstFileA) shares reading and writing only. The name
    // itself is opened, never what it leads to.
    held = CreateFileA(path,
                       FILE_LIST_DIRECTORY | READ_CONTROL | WRITE_DAC | WRITE_OWNER |
                           FILE_READ_ATTRIBUTES,
                       FILE_SHARE_READ | FILE_SHARE_WRITE, NULL, OPEN_EXISTING,
                       FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, NULL);
    if (held == INVALID_HANDLE_VALUE)
        goto done;
    // Also a folder made just now: another program may have put its own in
    // its place before the open.
    ready = IsRealFolder(held, path) && TakeOver(held, security) && DeleteLeftovers(path);
done:
    LocalFree(security);
    if (!ready) {
        if (held != INVALID_HANDLE_VALUE)
            CloseHandle(held);
        return 0;
    }
    g_staging.held = held;
    lstrcpyA(g_staging.path, path);
    return 1;
}

int MakeStagedFile(char *buffer, int capacity)
{
    char name[MAX_PATH];
    if (!buffer || capacity <= 0 || g_staging.held == INVALID_HANDLE_VALUE ||
        !GetTempFileNameA(g_staging.path, kStagedPrefix, 0, name))
        return 0;
    if (lstrlenA(name) >= capacity) {
        DeleteFileA(name);
        return 0;
    }
    lstrcpyA(buffer, name);
    return 1;
}

void CloseStagingFolder()
{
    if (g_staging.held == INVALID_HANDLE_VALUE)
        return;
    CloseHandle(g_staging.held);
    g_staging.held = INVALID_HANDLE_VALUE;
    RemoveIfEmpty(g_staging.path);
    g_staging.path[0] = '\0';
}
