#include "patch/file_replace.h"

#include "patch/held_files.h"
#include "patch/install_paths.h"

#include <aclapi.h>
#include <windows.h>

namespace {

// Appended to a target that is in use to set it aside until the next sweep.
const char kLeftoverSuffix[] = ".old";
const int kLeftoverSuffixLength = 4;
const ULONG kShareAll = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;

// Writes name + suffix into out (kJoinedPathCapacity bytes); 0 when it
// would not fit.
int AppendSuffix(const char *name, const char *suffix, int suffix_length, char *out)
{
    int length = lstrlenA(name);
    if (length == 0 || length + suffix_length >= kJoinedPathCapacity)
        return 0;
    CopyMemory(out, name, length);
    CopyMemory(out + length, suffix, suffix_length + 1);
    return 1;
}

bool EndsWith(const char *name, const char *suffix, int suffix_length)
{
    int length = lstrlenA(name);
    return length >= suffix_length && lstrcmpiA(name + length - suffix_length, suffix) == 0;
}

// The installed file at name in folder, opened as a rename needs it, shared
// with everyone (a loaded image allows renames only). Refuses a folder, which
// would be set aside whole, and a link, through which the elevated patcher
// would act outside the installation; other reparse points are files like
// any other. Under Wine a link to a file looks like the file: it is only
// ever renamed over or away, which acts on the link itself. *missing is set
// when nothing stands there.
HANDLE OpenInstalled(HANDLE folder, const char *name, bool *missing)
{
    *missing = false;
    HANDLE target = OpenPlainInFolder(folder, name, DELETE | FILE_READ_ATTRIBUTES, kShareAll,
                                      FILE_OPEN, FILE_NON_DIRECTORY_FILE);
    if (target == INVALID_HANDLE_VALUE)
        *missing = GetLastError() == ERROR_FILE_NOT_FOUND;
    return target;
}

// The target is in use (a loaded image, a handle that allows only renames):
// rename it, through its own handle, to name + ".old", over a leftover of an
// earlier run, and move the new file into the free name; when that fails,
// put the old file back through its handle, over whatever took the name
// meanwhile. On 0 the last error is that of the step that failed.
int SetAsideAndMoveIn(HANDLE staged, HANDLE folder, const char *name)
{
    char leftover[kJoinedPathCapacity];
    bool missing = false;
    if (!AppendSuffix(name, kLeftoverSuffix, kLeftoverSuffixLength, leftover))
        return 0;
    HANDLE target = OpenInstalled(folder, name, &missing);
    if (target == INVALID_HANDLE_VALUE)
        return 0;
    int moved = 0;
    DWORD error = ERROR_SUCCESS;
    if (RenameInto(target, folder, leftover, 1)) {
        moved = RenameInto(staged, folder, name, 1);
        error = GetLastError();
        if (!moved)
            RenameInto(target, folder, name, 1);
    } else {
        error = GetLastError();
    }
    CloseHandle(target);
    SetLastError(error);
    return moved;
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
// staging folder (the administrators and the system only): reset them to
// what its new folder hands down, as a file made there gets. A folder may hand
// nothing down to files (its entries only for folders, or none inheritable):
// a file made there gets the token's default list, and so does this one,
// rather than an empty list that lets nobody read it. Through the handle that
// moved it, so that whatever is put at the name meanwhile (a hard link to a
// system file) is not what changes. Not a failure when it cannot be
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

bool HasLeftoverSuffix(const char *name)
{
    return EndsWith(name, kLeftoverSuffix, kLeftoverSuffixLength);
}

// Makes a read-only leftover writable through its handle, or it would stay
// for good.
void ClearReadOnly(HANDLE file)
{
    FILE_BASIC_INFO basic;
    if (!GetFileInformationByHandleEx(file, FileBasicInfo, &basic, sizeof(basic)) ||
        !(basic.FileAttributes & FILE_ATTRIBUTE_READONLY))
        return;
    basic.FileAttributes &= ~(DWORD)FILE_ATTRIBUTE_READONLY;
    if (basic.FileAttributes == 0)
        basic.FileAttributes = FILE_ATTRIBUTE_NORMAL;
    SetFileInformationByHandle(file, FileBasicInfo, &basic, sizeof(basic));
}

// A leftover whose own name is free was set aside by a run that could then
// neither move the new file in nor put it back (a run cut off between the
// two, a name held meanwhile): it is the installed file, so it goes back to
// its name, never over anything. A staged copy (x.new.old) is nobody's file.
bool PutBackUnderOwnName(HANDLE folder, HANDLE file, const char *name)
{
    char own[kJoinedPathCapacity];
    int length = lstrlenA(name) - kLeftoverSuffixLength;
    if (length <= 0 || length >= kJoinedPathCapacity)
        return false;
    lstrcpynA(own, name, length + 1);
    return !EndsWith(own, ".new", 4) && RenameInto(file, folder, own, 0);
}

// Deletes a leftover through its own handle, opened relative to the held
// folder that listed it, unless it goes back to its own name.
void SweepLeftover(HANDLE folder, const char *name)
{
    // A link named *.old is nobody's leftover: neither it nor what it leads
    // to is touched.
    HANDLE file = OpenPlainInFolder(folder, name,
                                    DELETE | FILE_READ_ATTRIBUTES | FILE_WRITE_ATTRIBUTES,
                                    kShareAll, FILE_OPEN, FILE_NON_DIRECTORY_FILE);
    if (file == INVALID_HANDLE_VALUE)
        return;
    if (PutBackUnderOwnName(folder, file, name)) {
        CloseHandle(file);
        return;
    }
    ClearReadOnly(file);
    DeleteThrough(file);
    CloseHandle(file);
}

int SweepEntry(void *, HANDLE folder, const char *name, DWORD attributes)
{
    if (attributes & FILE_ATTRIBUTE_DIRECTORY) {
        // A junction or symbolic link may lead anywhere on the machine, and
        // the patcher runs elevated: sweep only the folder's own tree.
        HANDLE below = HoldFolderIn(folder, name, 0);
        if (below != INVALID_HANDLE_VALUE) {
            DeleteLeftoverOldFiles(below);
            CloseHandle(below);
        }
    } else if (HasLeftoverSuffix(name)) {
        SweepLeftover(folder, name);
    }
    return 1;
}

} // namespace

int ReplaceInstalledFile(HANDLE folder, HANDLE staged, const char *name)
{
    if (!folder || folder == INVALID_HANDLE_VALUE || !staged || staged == INVALID_HANDLE_VALUE ||
        !name || name[0] == '\0')
        return 0;
    bool missing = false;
    HANDLE target = OpenInstalled(folder, name, &missing);
    if (target == INVALID_HANDLE_VALUE && !missing)
        return 0;
    // Renaming over a file fails while any handle to it is open, this one too.
    if (target != INVALID_HANDLE_VALUE)
        CloseHandle(target);
    // Within the held folder only: a name put there meanwhile, a link
    // included, is replaced itself, never followed.
    int replaced = RenameInto(staged, folder, name, 1);
    if (!replaced && !missing) {
        DWORD error = GetLastError();
        // The download is shared with nobody, so the name in use is the target's.
        if (error == ERROR_ACCESS_DENIED || error == ERROR_SHARING_VIOLATION)
            replaced = SetAsideAndMoveIn(staged, folder, name);
    }
    if (replaced)
        TakeFolderPermissions(staged);
    return replaced;
}

void DeleteLeftoverOldFiles(HANDLE folder)
{
    if (!folder || folder == INVALID_HANDLE_VALUE)
        return;
    VisitFolder(folder, SweepEntry, NULL);
}
