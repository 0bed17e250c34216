#include "patch/file_replace.h"

#include "patch/install_paths.h"

#include <windows.h>

namespace {

// Appended to a target that is in use to set it aside until the next sweep.
const char kLeftoverSuffix[] = ".old";
const int kLeftoverSuffixLength = 4;

// MoveFileA copies and deletes the source when the target is on another
// volume, and fails when the destination exists.
int MoveInto(const char *source, const char *target)
{
    return MoveFileA(source, target) ? 1 : 0;
}

// The target cannot be deleted: rename it to target + ".old" and move the new
// file in; when that fails, put the old file back so the target is kept.
int SetAsideAndMoveIn(const char *source, const char *target)
{
    int length = lstrlenA(target);
    if (length == 0 || length + kLeftoverSuffixLength >= kJoinedPathCapacity)
        return 0;

    char leftover[kJoinedPathCapacity];
    CopyMemory(leftover, target, length);
    CopyMemory(leftover + length, kLeftoverSuffix, kLeftoverSuffixLength + 1);

    // A leftover of an earlier run that cannot go makes the rename fail.
    DeleteFileA(leftover);
    if (!MoveFileA(target, leftover))
        return 0;
    if (MoveInto(source, target))
        return 1;
    MoveFileA(leftover, target);
    return 0;
}

bool IsDotEntry(const char *name)
{
    return name[0] == '.' && (name[1] == '\0' || (name[1] == '.' && name[2] == '\0'));
}

bool HasLeftoverSuffix(const char *name)
{
    int length = lstrlenA(name);
    return length >= kLeftoverSuffixLength &&
           lstrcmpiA(name + length - kLeftoverSuffixLength, kLeftoverSuffix) == 0;
}

} // namespace

int ReplaceInstalledFile(const char *source, const char *target)
{
    if (!source || !target)
        return 0;
    if (DeleteFileA(target))
        return MoveInto(source, target);
    DWORD error = GetLastError();
    if (error == ERROR_FILE_NOT_FOUND)
        return MoveInto(source, target);
    if (error == ERROR_ACCESS_DENIED || error == ERROR_SHARING_VIOLATION)
        return SetAsideAndMoveIn(source, target);
    return 0;
}

void DeleteLeftoverOldFiles(const char *folder)
{
    if (!folder || folder[0] == '\0')
        return;
    char pattern[kJoinedPathCapacity];
    if (!JoinLocalPath(folder, "*", pattern, kJoinedPathCapacity))
        return;

    WIN32_FIND_DATAA entry;
    HANDLE listing = FindFirstFileA(pattern, &entry);
    if (listing == INVALID_HANDLE_VALUE)
        return;
    do {
        if (IsDotEntry(entry.cFileName))
            continue;
        char path[kJoinedPathCapacity];
        if (!JoinLocalPath(folder, entry.cFileName, path, kJoinedPathCapacity))
            continue;
        if (entry.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
            // A junction or symbolic link may lead anywhere on the machine, and
            // the patcher runs elevated: sweep only the folder's own tree.
            if (!(entry.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT))
                DeleteLeftoverOldFiles(path);
        } else if (HasLeftoverSuffix(entry.cFileName)) {
            DeleteFileA(path);
        }
    } while (FindNextFileA(listing, &entry));
    FindClose(listing);
}
