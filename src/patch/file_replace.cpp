#include "patch/file_replace.h"

#include "patch/install_paths.h"

#include <aclapi.h>
#include <windows.h>

namespace {

// Appended to a target that is in use to set it aside until the next sweep.
const char kLeftoverSuffix[] = ".old";
const int kLeftoverSuffixLength = 4;
// A file from another volume is copied beside the target under this name
// first; as it ends in ".old", a copy that was cut off goes at the next sweep.
const char kStagedSuffix[] = ".new.old";
const int kStagedSuffixLength = 8;
// The copy across volumes moves this much per read and write: as fast as
// CopyFileA under Wine, where 1 MiB pieces, too big for the processor's
// cache, copied at half the speed. Taken from the heap at every copy, which
// may run on any thread.
const DWORD kCopyChunkBytes = 64 * 1024;

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

// Refuses a folder, which would be set aside whole, and a link, through which
// the elevated patcher would act outside the installation; other reparse
// points are files like any other. Under Wine a link to a file looks like a
// file; the target is only ever renamed over or renamed away, never deleted
// or written, so that acts on the link itself. A missing target is fine; a
// missing folder is not.
bool MayReplace(const char *target)
{
    DWORD attributes = GetFileAttributesA(target);
    if (attributes == INVALID_FILE_ATTRIBUTES)
        return GetLastError() == ERROR_FILE_NOT_FOUND;
    return !(attributes & FILE_ATTRIBUTE_DIRECTORY) && !IsLinkedName(target, attributes);
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
    if (error != ERROR_ACCESS_DENIED && error != ERROR_SHARING_VIOLATION)
        return 0;
    // Either name may be the one held: a scanner reading the download fails
    // the rename as a loaded target does. Opening the source as a rename does
    // tells them apart, so a target that nobody uses is never set aside; the
    // handle stays open until the move is done, so that no program can take
    // the source in between without allowing its rename.
    const DWORD share_all = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;
    HANDLE held = CreateFileA(source, DELETE, share_all, NULL, OPEN_EXISTING,
                              FILE_FLAG_OPEN_REPARSE_POINT, NULL);
    if (held == INVALID_HANDLE_VALUE)
        return 0;
    int moved = SetAsideAndMoveIn(source, target);
    error = GetLastError();
    CloseHandle(held);
    SetLastError(error);
    return moved;
}

// Reads all of from into to; 0 on a failed or short read or write, or when
// from did not hold exactly size bytes. Counts are 64-bit: files reach 4 GiB.
int CopyContent(HANDLE from, HANDLE to, ULONGLONG size, BYTE *buffer)
{
    ULONGLONG copied = 0;
    for (;;) {
        DWORD got = 0;
        if (!ReadFile(from, buffer, kCopyChunkBytes, &got, NULL))
            return 0;
        if (got == 0)
            return copied == size;
        DWORD written = 0;
        if (!WriteFile(to, buffer, got, &written, NULL))
            return 0;
        if (written != got) {
            SetLastError(ERROR_DISK_FULL);
            return 0;
        }
        copied += got;
        if (copied > size)
            return 0;
    }
}

// Copies source into a file that this call creates at staged. Creating it
// new with FILE_FLAG_OPEN_REPARSE_POINT means that anything standing at that
// name, a link included, fails the call instead of being followed (CopyFileA
// follows a link at its destination before deciding that it exists). A copy
// that fails is deleted through its own handle, never by name.
int CopyToNewFile(const char *source, const char *staged)
{
    int copied = 0;
    DWORD error = ERROR_SUCCESS;
    HANDLE from = INVALID_HANDLE_VALUE, to = INVALID_HANDLE_VALUE;
    BYTE *buffer = (BYTE *)HeapAlloc(GetProcessHeap(), 0, kCopyChunkBytes);
    LARGE_INTEGER size;
    size.QuadPart = 0;
    if (!buffer) {
        error = ERROR_NOT_ENOUGH_MEMORY;
        goto done;
    }
    from = CreateFileA(source, GENERIC_READ, FILE_SHARE_READ, NULL, OPEN_EXISTING,
                       FILE_FLAG_SEQUENTIAL_SCAN, NULL);
    if (from == INVALID_HANDLE_VALUE || !GetFileSizeEx(from, &size)) {
        error = GetLastError();
        goto done;
    }
    to = CreateFileA(staged, GENERIC_WRITE | DELETE, 0, NULL, CREATE_NEW,
                     FILE_FLAG_OPEN_REPARSE_POINT | FILE_FLAG_SEQUENTIAL_SCAN, NULL);
    if (to == INVALID_HANDLE_VALUE) {
        error = GetLastError();
        goto done;
    }
    copied = CopyContent(from, to, (ULONGLONG)size.QuadPart, buffer);
    if (!copied) {
        error = GetLastError();
        if (error == ERROR_SUCCESS)
            error = ERROR_HANDLE_EOF; // the source changed size while copied
        FILE_DISPOSITION_INFO remove = {TRUE};
        SetFileInformationByHandle(to, FileDispositionInfo, &remove, sizeof(remove));
    }
done:
    if (to != INVALID_HANDLE_VALUE)
        CloseHandle(to);
    if (from != INVALID_HANDLE_VALUE)
        CloseHandle(from);
    if (buffer)
        HeapFree(GetProcessHeap(), 0, buffer);
    if (!copied)
        SetLastError(error);
    return copied;
}

// A move across volumes is a copy: made beside the target first, so that the
// target never holds a part of a file.
int CopyBesideAndMoveIn(const char *source, const char *target)
{
    char staged[kJoinedPathCapacity];
    if (!AppendSuffix(target, kStagedSuffix, kStagedSuffixLength, staged))
        return 0;
    if (!CopyToNewFile(source, staged))
        return 0;
    if (!MoveIn(staged, target)) {
        DeleteFileA(staged);
        return 0;
    }
    DeleteFileA(source);
    return 1;
}

// The list the patcher's token gives a file made where nothing is handed
// down (in ->DefaultDacl); NULL when it cannot be read. Freed from the heap.
TOKEN_DEFAULT_DACL *TokenDefaultAcl()
{
    HANDLE token = NULL;
    if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token))
        return NULL;
    TOKEN_DEFAULT_DACL *given = NULL;
    DWORD size = 0;
    GetTokenInformation(token, TokenDefaultDacl, NULL, 0, &size);
    if (size > 0)
        given = (TOKEN_DEFAULT_DACL *)HeapAlloc(GetProcessHeap(), 0, size);
    if (given && (!GetTokenInformation(token, TokenDefaultDacl, given, size, &size) ||
                  !given->DefaultDacl)) {
        HeapFree(GetProcessHeap(), 0, given);
        given = NULL;
    }
    CloseHandle(token);
    return given;
}

// Whether the file's list, as it now stands, lets anybody in.
bool HasAnyEntry(HANDLE file)
{
    PACL dacl = NULL;
    PSECURITY_DESCRIPTOR descriptor = NULL;
    if (GetSecurityInfo(file, SE_FILE_OBJECT, DACL_SECURITY_INFORMATION, NULL, NULL, &dacl, NULL,
                        &descriptor) != ERROR_SUCCESS)
        return true; // unknown: left as it is
    bool any = !dacl || dacl->AceCount > 0; // no list at all lets everybody in
    LocalFree(descriptor);
    return any;
}

// A rename keeps the file's own permissions, which it inherited in the
// temporary folder of the elevated account (another account than the
// player's, when an administrator's password was typed): reset them to what
// its new folder hands down, as a file made there gets. A folder may hand
// nothing down to files (its entries only for folders, or none inheritable):
// a file made there gets the token's default list, and so does this one,
// rather than an empty list that lets nobody read it. Through a handle opened
// before the move, so that whatever is put at the name meanwhile (a hard link
// to a system file) is not what changes. Not a failure when it cannot be
// done: the file is in place, and a volume without permissions (FAT) refuses
// the call.
void TakeFolderPermissions(HANDLE moved)
{
    ACL empty;
    if (moved == INVALID_HANDLE_VALUE || !InitializeAcl(&empty, sizeof(empty), ACL_REVISION))
        return;
    const SECURITY_INFORMATION inherit =
        DACL_SECURITY_INFORMATION | UNPROTECTED_DACL_SECURITY_INFORMATION;
    // An empty, unprotected list: the entries inherited from the folder only.
    if (SetSecurityInfo(moved, SE_FILE_OBJECT, inherit, NULL, NULL, &empty, NULL) !=
            ERROR_SUCCESS ||
        HasAnyEntry(moved))
        return;
    TOKEN_DEFAULT_DACL *fallback = TokenDefaultAcl();
    if (fallback) {
        SetSecurityInfo(moved, SE_FILE_OBJECT, inherit, NULL, NULL, fallback->DefaultDacl, NULL);
        HeapFree(GetProcessHeap(), 0, fallback);
    }
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

int ReplaceInstalledFile(const char *base, const char *source, const char *target)
{
    if (!source)
        return 0;
    // Every folder between the installation folder and the target is held
    // from the moment it is looked at until the move is done, so that the
    // names made in them (the staged copy above all) stay in them.
    HeldFolders held;
    int replaced = 0;
    if (HoldFoldersBelow(base, target, 0, &held) && MayReplace(target)) {
        // Allows the renames; permissions are no data, so it keeps nobody out.
        HANDLE moved = CreateFileA(source, READ_CONTROL | WRITE_DAC,
                                   FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, NULL,
                                   OPEN_EXISTING, FILE_FLAG_OPEN_REPARSE_POINT, NULL);
        replaced = MoveIn(source, target);
        DWORD error = GetLastError();
        if (replaced)
            TakeFolderPermissions(moved);
        if (moved != INVALID_HANDLE_VALUE)
            CloseHandle(moved);
        // A copy is made in the target's folder, and takes its permissions there.
        if (!replaced && error == ERROR_NOT_SAME_DEVICE)
            replaced = CopyBesideAndMoveIn(source, target);
    }
    ReleaseFolders(&held);
    return replaced;
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
        bool link = IsLinkEntry(&entry) != 0;
        if (entry.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
            // A junction or symbolic link may lead anywhere on the machine, and
            // the patcher runs elevated: sweep only the folder's own tree.
            if (!link)
                DeleteLeftoverOldFiles(path);
        } else if (HasLeftoverSuffix(entry.cFileName) && !link) {
            // A link named *.old is nobody's leftover: neither it nor what it
            // leads to is touched.
            DeleteLeftover(path, entry.dwFileAttributes);
        }
    } while (FindNextFileA(listing, &entry));
    FindClose(listing);
}
