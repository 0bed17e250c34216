#include "patch/file_replace.h"

#include "patch/install_paths.h"

#include <windows.h>

namespace {

// Appended to a target that is in use to set it aside until the next sweep.
const char kLeftoverSuffix[] = ".old";
const int kLeftoverSuffixLength = 4;
// A file from another volume is copied beside the target under this name
// first; as it ends in ".old", a copy that was cut off goes at the next sweep.
const char kStagedSuffix[] = ".new.old";
const int kStagedSuffixLength = 8;

// Writes target + suffix into out (kJoinedPathCapacity bytes); 0 when it
// would not fit.
int AppendSuffix(const char *target, const char *suffix, int suffix_length, char *out)
{
    int length = lstrlenA(target);
    if (length == 0 || length + suffix_length >= kJoinedPathCapacity)
        return 0;
    CopyMemory(out, target, length);
    CopyMemory(out + length, suffix, suffix_length + 1);
    return 1;
}

// Refuses a folder, which would be set aside whole, and a reparse point, through
// which the elevated patcher would act outside the installation. Under Wine a
// link to a file looks like a file; the target is only ever renamed over or
// renamed away, never deleted or written, so that acts on the link itself.
// A missing target is fine; a missing folder is not.
bool MayReplace(const char *target)
{
    DWORD attributes = GetFileAttributesA(target);
    if (attributes == INVALID_FILE_ATTRIBUTES)
        return GetLastError() == ERROR_FILE_NOT_FOUND;
    return !(attributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT));
}

// One rename within a volume, over what stands there: the name holds its old
// or its new file at every instant, also when the process is cut off. A link
// standing at the destination is replaced itself, never followed.
bool RenameOver(const char *from, const char *to)
{
    return MoveFileExA(from, to, MOVEFILE_REPLACE_EXISTING) != 0;
}

// The target is in use (a loaded image, a handle that allows only renames):
// rename it to target + ".old", over a leftover of an earlier run, and move
// the new file into the free name; when that fails, put the old file back.
// On 0 the last error is that of the step that failed.
int SetAsideAndMoveIn(const char *source, const char *target)
{
    char leftover[kJoinedPathCapacity];
    if (!AppendSuffix(target, kLeftoverSuffix, kLeftoverSuffixLength, leftover))
        return 0;
    if (!RenameOver(target, leftover))
        return 0;
    if (MoveFileExA(source, target, 0))
        return 1;
    DWORD error = GetLastError();
    MoveFileExA(leftover, target, 0);
    SetLastError(error);
    return 0;
}

// Source and target on one volume. On 0 the last error tells why:
// ERROR_NOT_SAME_DEVICE when they are not on one volume after all.
int MoveIn(const char *source, const char *target)
{
    if (RenameOver(source, target))
        return 1;
    DWORD error = GetLastError();
    if (error == ERROR_ACCESS_DENIED || error == ERROR_SHARING_VIOLATION)
        return SetAsideAndMoveIn(source, target);
    return 0;
}

// A move across volumes is a copy: made beside the target first, so that the
// target never holds a part of a file. The copy never opens an existing file
// (a link or another file under that name makes it fail).
int CopyBesideAndMoveIn(const char *source, const char *target)
{
    char staged[kJoinedPathCapacity];
    if (!AppendSuffix(target, kStagedSuffix, kStagedSuffixLength, staged))
        return 0;
    if (!CopyFileA(source, staged, TRUE)) {
        if (GetLastError() != ERROR_FILE_EXISTS)
            DeleteFileA(staged);
        return 0;
    }
    if (!MoveIn(staged, target)) {
        DeleteFileA(staged);
        return 0;
    }
    DeleteFileA(source);
    return 1;
}

// A read-only leftover is made writable first, or it would stay for good.
void DeleteLeftover(const char *path, DWORD attributes)
{
    if (attributes & FILE_ATTRIBUTE_READONLY) {
        DWORD writable = attributes & ~(DWORD)FILE_ATTRIBUTE_READONLY;
        SetFileAttributesA(path, writable ? writable : FILE_ATTRIBUTE_NORMAL);
    }
    DeleteFileA(path);
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
    if (!source || !target || !MayReplace(target))
        return 0;
    if (MoveIn(source, target))
        return 1;
    if (GetLastError() != ERROR_NOT_SAME_DEVICE)
        return 0;
    return CopyBesideAndMoveIn(source, target);
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
        } else if (HasLeftoverSuffix(entry.cFileName) &&
                   !(entry.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT)) {
            // A link named *.old is nobody's leftover: neither it nor what it
            // leads to is touched.
            DeleteLeftover(path, entry.dwFileAttributes);
        }
    } while (FindNextFileA(listing, &entry));
    FindClose(listing);
}
