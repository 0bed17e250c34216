#include "patch/install_paths.h"

#include <windows.h>

namespace {

int Length(const char *s) { return lstrlenA(s); }

} // namespace

int JoinLocalPath(const char *base, const char *relative, char *out, int capacity)
{
    if (!base || !relative || !out || capacity <= 0)
        return 0;
    const char *rest = SkipSeparators(relative);
    int base_length = Length(base);
    int rest_length = Length(rest);
    // One byte is always counted for the separator, inserted or not.
    if (base_length + rest_length + 1 >= capacity)
        return 0;

    CopyMemory(out, base, base_length);
    int at = base_length;
    if (base_length > 0 && !IsSeparator(base[base_length - 1]))
        out[at++] = '\\';
    CopyMemory(out + at, rest, rest_length);
    out[at + rest_length] = '\0';
    return 1;
}

int IsLinkedName(const char *path, DWORD attributes)
{
    if (!(attributes & FILE_ATTRIBUTE_REPARSE_POINT))
        return 0;
    // The listing gives the tag of the name itself; a wildcard would list others.
    for (const char *p = path; *p != '\0'; p++)
        if (*p == '*' || *p == '?')
            return 1;
    WIN32_FIND_DATAA entry;
    HANDLE listing = FindFirstFileA(path, &entry);
    if (listing == INVALID_HANDLE_VALUE)
        return 1;
    FindClose(listing);
    return IsLinkEntry(&entry);
}

int IsLinkEntry(const WIN32_FIND_DATAA *entry)
{
    if (!(entry->dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT))
        return 0;
    // Only the system's own tags say what a reparse point is; one of another
    // vendor's filter (and Wine's links, listed with no real tag) may lead
    // anywhere.
    DWORD tag = entry->dwReserved0;
    return !IsReparseTagMicrosoft(tag) || IsReparseTagNameSurrogate(tag) ? 1 : 0;
}

namespace {

// A junction, folder link or mount point may lead anywhere, and the patcher
// runs elevated: nothing is made or written through it.
bool IsPlainFolder(const char *folder, DWORD attributes)
{
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) &&
           !IsLinkedName(folder, attributes);
}

// Opens folder, without following a link there, so that nobody can rename or
// delete it while held; then looks at it: what is looked at is what stays.
// What another program made at a missing name first (CreateDirectoryA
// failing "already exists") is looked at like anything else found there.
bool HoldFolder(const char *folder, int make, HeldFolders *held)
{
    if (held->count == kMaxHeldFolders)
        return false;
    if (make && GetFileAttributesA(folder) == INVALID_FILE_ATTRIBUTES &&
        !CreateDirectoryA(folder, NULL) && GetLastError() != ERROR_ALREADY_EXISTS)
        return false;
    HANDLE handle = CreateFileA(folder, FILE_READ_ATTRIBUTES, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                NULL, OPEN_EXISTING,
                                FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, NULL);
    if (handle == INVALID_HANDLE_VALUE)
        return false;
    held->folders[held->count++] = handle;
    return IsPlainFolder(folder, GetFileAttributesA(folder));
}

} // namespace

int HoldFoldersBelow(const char *base, const char *target, int make, HeldFolders *held)
{
    if (!held)
        return 0;
    held->count = 0;
    if (!base || !target)
        return 0;
    int target_length = Length(target);
    if (target_length == 0 || target_length >= kJoinedPathCapacity)
        return 0;
    int base_length = Length(base);
    if (base_length == 0 || base_length >= target_length)
        return 0;
    for (int i = 0; i < base_length; i++)
        if (target[i] != base[i])
            return 0;

    char folder[kJoinedPathCapacity];
    CopyMemory(folder, target, target_length + 1);
    for (int i = base_length + 1; i < target_length; i++) {
        // A run of separators ends one folder, held once.
        if (!IsSeparator(folder[i]) || IsSeparator(folder[i - 1]))
            continue;
        char separator = folder[i];
        folder[i] = '\0';
        if (!HoldFolder(folder, make, held))
            return 0;
        folder[i] = separator;
    }
    return 1;
}

void ReleaseFolders(HeldFolders *held)
{
    if (!held)
        return;
    while (held->count > 0)
        CloseHandle(held->folders[--held->count]);
}

int EnsureParentFolders(const char *base, const char *target)
{
    HeldFolders held;
    int made = HoldFoldersBelow(base, target, 1, &held);
    ReleaseFolders(&held);
    return made;
}
