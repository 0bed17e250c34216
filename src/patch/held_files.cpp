#include "patch/held_files.h"

#include <windows.h>
#include <winternl.h>

// What mingw's headers leave out.
extern "C" NTSTATUS NTAPI NtQueryDirectoryFile(HANDLE file, HANDLE event, PVOID apc_routine,
                                               PVOID apc_context, PIO_STATUS_BLOCK io,
                                               PVOID buffer, ULONG length,
                                               FILE_INFORMATION_CLASS information_class,
                                               BOOLEAN single_entry, PUNICODE_STRING file_name,
                                               BOOLEAN restart_scan);

namespace {

const int kMaxNameChars = 256; // a component's UTF-16 units, with room for the NUL
const ACCESS_MASK kHeldFolderAccess =
    FILE_LIST_DIRECTORY | FILE_TRAVERSE | FILE_READ_ATTRIBUTES | SYNCHRONIZE;
const ULONG kHeldFolderShare = FILE_SHARE_READ | FILE_SHARE_WRITE;
const DWORD kListingBytes = 4096;

bool IsLinkTag(DWORD tag)
{
    // Only the system's own tags say what a reparse point is; another
    // vendor's filter may lead anywhere.
    return !IsReparseTagMicrosoft(tag) || IsReparseTagNameSurrogate(tag);
}

// One component into UTF-16; false for none, a separator or a wildcard
// (the listing's name filter would take it as a pattern).
bool WideName(const char *name, WCHAR *wide)
{
    if (!name || name[0] == '\0')
        return false;
    for (const char *p = name; *p; p++)
        if (*p == '\\' || *p == '/' || *p == '*' || *p == '?' || *p == '<' || *p == '>' ||
            *p == '"' || *p == ':')
            return false;
    UINT code_page = AreFileApisANSI() ? CP_ACP : CP_OEMCP;
    int length = MultiByteToWideChar(code_page, 0, name, -1, wide, kMaxNameChars);
    return length > 1;
}

void CountedString(WCHAR *text, UNICODE_STRING *counted)
{
    counted->Buffer = text;
    counted->Length = (USHORT)(lstrlenW(text) * sizeof(WCHAR));
    counted->MaximumLength = counted->Length;
}

HANDLE OpenRelative(HANDLE folder, WCHAR *wide, ACCESS_MASK access, ULONG share,
                    ULONG disposition, ULONG options, PSECURITY_DESCRIPTOR security)
{
    UNICODE_STRING counted;
    CountedString(wide, &counted);
    OBJECT_ATTRIBUTES attributes;
    InitializeObjectAttributes(&attributes, &counted, OBJ_CASE_INSENSITIVE, folder, security);
    IO_STATUS_BLOCK io;
    HANDLE opened = NULL;
    NTSTATUS status = NtCreateFile(&opened, access | SYNCHRONIZE, &attributes, &io, NULL,
                                   FILE_ATTRIBUTE_NORMAL, share, disposition,
                                   options | FILE_SYNCHRONOUS_IO_NONALERT, NULL, 0);
    if (status < 0) {
        SetLastError(RtlNtStatusToDosError(status));
        return INVALID_HANDLE_VALUE;
    }
    return opened;
}

// The entry folder lists under name, through a handle of its own: a
// listing's name filter is fixed by the first query on a handle.
bool ListedEntry(HANDLE folder, WCHAR *wide, DWORD *attributes, DWORD *tag, LONGLONG *id)
{
    WCHAR self[1] = {0};
    HANDLE listing = OpenRelative(folder, self, FILE_LIST_DIRECTORY,
                                  FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                  FILE_OPEN, FILE_DIRECTORY_FILE, NULL);
    if (listing == INVALID_HANDLE_VALUE)
        return false;
    BYTE buffer[sizeof(FILE_ID_BOTH_DIR_INFORMATION) + kMaxNameChars * sizeof(WCHAR)];
    UNICODE_STRING filter;
    CountedString(wide, &filter);
    IO_STATUS_BLOCK io;
    NTSTATUS status = NtQueryDirectoryFile(listing, NULL, NULL, NULL, &io, buffer, sizeof(buffer),
                                           FileIdBothDirectoryInformation, TRUE, &filter, TRUE);
    CloseHandle(listing);
    if (status < 0)
        return false;
    const FILE_ID_BOTH_DIR_INFORMATION *entry = (const FILE_ID_BOTH_DIR_INFORMATION *)buffer;
    *attributes = entry->FileAttributes;
    *tag = entry->EaSize; // holds the reparse tag of a reparse point
    *id = entry->FileId.QuadPart;
    return true;
}

} // namespace

HANDLE HoldInstallationFolder(const char *path)
{
    if (!path || path[0] == '\0')
        return INVALID_HANDLE_VALUE;
    return CreateFileA(path, kHeldFolderAccess, kHeldFolderShare, NULL, OPEN_EXISTING,
                       FILE_FLAG_BACKUP_SEMANTICS, NULL);
}

HANDLE OpenInFolder(HANDLE folder, const char *name, ACCESS_MASK access, ULONG share,
                    ULONG disposition, ULONG options, PSECURITY_DESCRIPTOR security)
{
    WCHAR wide[kMaxNameChars];
    if (folder == INVALID_HANDLE_VALUE || !folder || !WideName(name, wide)) {
        SetLastError(ERROR_INVALID_NAME);
        return INVALID_HANDLE_VALUE;
    }
    return OpenRelative(folder, wide, access, share, disposition,
                        options | FILE_OPEN_REPARSE_POINT, security);
}

static int IsPlainEntry(HANDLE folder, const char *name, HANDLE opened)
{
    WCHAR wide[kMaxNameChars];
    FILE_ATTRIBUTE_TAG_INFO own;
    BY_HANDLE_FILE_INFORMATION identity;
    if (!WideName(name, wide) ||
        !GetFileInformationByHandleEx(opened, FileAttributeTagInfo, &own, sizeof(own)) ||
        !GetFileInformationByHandle(opened, &identity))
        return 0;
    if ((own.FileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) && IsLinkTag(own.ReparseTag))
        return 0;
    DWORD listed = 0, tag = 0;
    LONGLONG id = 0;
    if (!ListedEntry(folder, wide, &listed, &tag, &id))
        return 0;
    if ((listed & FILE_ATTRIBUTE_REPARSE_POINT) && IsLinkTag(tag))
        return 0;
    // What the name leads to now is what was opened: not a link followed,
    // nor another file put in its place since.
    LONGLONG held = ((LONGLONG)identity.nFileIndexHigh << 32) | identity.nFileIndexLow;
    return id == held ? 1 : 0;
}

HANDLE OpenPlainInFolder(HANDLE folder, const char *name, ACCESS_MASK access, ULONG share,
                         ULONG disposition, ULONG options)
{
    HANDLE opened = OpenInFolder(folder, name, access, share, disposition, options, NULL);
    if (opened == INVALID_HANDLE_VALUE)
        return opened;
    if (!IsPlainEntry(folder, name, opened)) {
        CloseHandle(opened);
        SetLastError(ERROR_CANT_ACCESS_FILE);
        return INVALID_HANDLE_VALUE;
    }
    return opened;
}

HANDLE HoldFolderIn(HANDLE folder, const char *name, int make)
{
    return OpenPlainInFolder(folder, name, kHeldFolderAccess, kHeldFolderShare,
                             make ? FILE_OPEN_IF : FILE_OPEN, FILE_DIRECTORY_FILE);
}

int RenameInto(HANDLE file, HANDLE folder, const char *name, int replace)
{
    WCHAR wide[kMaxNameChars];
    if (!WideName(name, wide)) {
        SetLastError(ERROR_INVALID_NAME);
        return 0;
    }
    // The record ends in the name; the root makes it relative to the held
    // folder, whatever its path now leads to.
    BYTE record[sizeof(FILE_RENAME_INFORMATION) + kMaxNameChars * sizeof(WCHAR)];
    ZeroMemory(record, sizeof(record));
    FILE_RENAME_INFORMATION *rename = (FILE_RENAME_INFORMATION *)record;
    rename->ReplaceIfExists = replace ? TRUE : FALSE;
    rename->RootDirectory = folder;
    rename->FileNameLength = (ULONG)(lstrlenW(wide) * sizeof(WCHAR));
    CopyMemory(rename->FileName, wide, rename->FileNameLength);
    IO_STATUS_BLOCK io;
    NTSTATUS status = NtSetInformationFile(file, &io, rename, sizeof(record),
                                           FileRenameInformation);
    if (status < 0) {
        SetLastError(RtlNtStatusToDosError(status));
        return 0;
    }
    return 1;
}

int DeleteThrough(HANDLE file)
{
    FILE_DISPOSITION_INFO remove = {TRUE};
    return SetFileInformationByHandle(file, FileDispositionInfo, &remove, sizeof(remove)) ? 1 : 0;
}

void VisitFolder(HANDLE folder, FolderVisitor visit, void *context)
{
    BYTE *buffer = (BYTE *)HeapAlloc(GetProcessHeap(), 0, kListingBytes);
    if (!buffer)
        return;
    bool going = GetFileInformationByHandleEx(folder, FileIdBothDirectoryRestartInfo, buffer,
                                              kListingBytes) != 0;
    UINT code_page = AreFileApisANSI() ? CP_ACP : CP_OEMCP;
    while (going) {
        for (const BYTE *at = buffer; going; ) {
            const FILE_ID_BOTH_DIR_INFO *entry = (const FILE_ID_BOTH_DIR_INFO *)at;
            char name[kMaxNameChars * 2];
            BOOL lossy = FALSE;
            int length = WideCharToMultiByte(code_page, WC_NO_BEST_FIT_CHARS, entry->FileName,
                                             (int)(entry->FileNameLength / sizeof(WCHAR)), name,
                                             (int)sizeof(name) - 1, NULL, &lossy);
            // A name the code page cannot carry is no name the patcher uses.
            if (length > 0 && !lossy) {
                name[length] = '\0';
                bool dots = name[0] == '.' &&
                            (name[1] == '\0' || (name[1] == '.' && name[2] == '\0'));
                if (!dots && !visit(context, folder, name, entry->FileAttributes))
                    going = false;
            }
            if (entry->NextEntryOffset == 0)
                break;
            at += entry->NextEntryOffset;
        }
        going = going && GetFileInformationByHandleEx(folder, FileIdBothDirectoryInfo, buffer,
                                                      kListingBytes);
    }
    HeapFree(GetProcessHeap(), 0, buffer);
}
