// The quick check's record. What the file system says of a file (its
// facts) is read before its bytes, so that a change during a full check
// leaves facts that no longer match. The facts, all compared:
// - where the volume keeps a change journal, the file's update sequence
//   number and the journal's id: any write to the file changes the number,
//   even one that restores the size and the times, and only the system sets
//   it; a journal deleted and made anew has another id;
// - everywhere, the file id (volume serial and file index: a file replaced
//   by another of the same size and times has another id), the size, the
//   last-write time and the change time (which SetFileTime cannot restore,
//   though a program may set it on Windows; Wine reports the write time).
// A record is trusted only whole: its magic, this build's stamp, its size
// and the hash of its body must hold, and every entry lie within it.
#include "patch/quick_check.h"

#include "patch/install_paths.h"
#include "patch/path_rules.h"
#include "transfer/crc32.h"

#include <sddl.h>
#include <string.h>
#include <winioctl.h>

namespace {

// The same owner and access list as the staging folder's: the administrators
// own it, they and the system alone change it, the users read it.
const char kRecordFolderSecurity[] = "O:BAD:P(A;OICI;FA;;;BA)(A;OICI;FA;;;SY)(A;OICI;FRFX;;;BU)";
const char kRecordName[] = "record.bin";
const char kNewRecordName[] = "record.new";
const BYTE kRecordMagic[8] = {'B', 'H', 'P', 'Q', 'R', 'E', 'C', '1'};
// Another build may lay out or judge its facts otherwise: its records are not read.
const char kBuildStamp[] = __DATE__ " " __TIME__;
const DWORD kStampSize = 32;
const DWORD kHeaderSize = 8 + kStampSize + 4 + 4 + 8; // magic, stamp, count, body size, hash
const DWORD kFactsSize = 6 * 8 + 4;
const DWORD kEntryFixedSize = 4 + kSha256Size + kFactsSize + 2; // crc, sha, facts, name length
// Far above a real installation's record (about 130 bytes an entry), and a
// bound on what a run reads and holds for it.
const DWORD kMaxRecordSize = 64 << 20;
const DWORD kSecurityBufferSize = 4096;

struct FileFacts {
    ULONGLONG size;
    ULONGLONG write_time;
    ULONGLONG change_time;
    ULONGLONG file_index;
    ULONGLONG journal_id; // 0: no journal vouches for usn
    ULONGLONG usn;
    DWORD volume_serial;
};

// What the run learnt of one manifest entry. facts is written once, by the
// thread that checks the entry, before the worker reads checked.
struct EntryNote {
    volatile LONG checked; // facts describe the file as it was found up to date
    bool confirmed;        // the run reported it; the worker alone
    FileFacts facts;
};

// Written by the worker in BeginQuickCheck and FinishQuickCheck, while no
// other thread of the run exists; only read in between, but for the notes.
struct QuickCheck {
    int enabled;              // window thread, before any run
    int full_check_requested; // window thread sets, the worker clears
    bool active;              // a run keeps a record
    const UpdateManifest *manifest;
    const SignedEntry *signed_entries;
    HANDLE held; // the record's folder, held against renames
    char folder[kJoinedPathCapacity];
    BYTE *record; // the loaded record, or NULL
    DWORD record_size;
    DWORD *slots; // hash table: offset of an entry in record, 0 empty
    DWORD slot_mask;
    EntryNote *notes; // one per manifest entry
    ULONGLONG journal_id;
    DWORD journal_serial;
};
QuickCheck g_quick = {};

ULONGLONG HashBytes(const BYTE *data, DWORD size)
{
    ULONGLONG hash = 14695981039346656037ULL; // FNV-1a, 64 bits
    for (DWORD i = 0; i < size; i++)
        hash = (hash ^ data[i]) * 1099511628211ULL;
    return hash;
}

ULONGLONG Join(DWORD high, DWORD low) { return ((ULONGLONG)high << 32) | low; }

void Put(BYTE *out, DWORD *at, const void *data, DWORD size)
{
    CopyMemory(out + *at, data, size);
    *at += size;
}

void PutFacts(BYTE *out, DWORD *at, const FileFacts *facts)
{
    Put(out, at, &facts->size, 8);
    Put(out, at, &facts->write_time, 8);
    Put(out, at, &facts->change_time, 8);
    Put(out, at, &facts->file_index, 8);
    Put(out, at, &facts->journal_id, 8);
    Put(out, at, &facts->usn, 8);
    Put(out, at, &facts->volume_serial, 4);
}

void GetFacts(const BYTE *in, FileFacts *facts)
{
    CopyMemory(&facts->size, in, 8);
    CopyMemory(&facts->write_time, in + 8, 8);
    CopyMemory(&facts->change_time, in + 16, 8);
    CopyMemory(&facts->file_index, in + 24, 8);
    CopyMemory(&facts->journal_id, in + 32, 8);
    CopyMemory(&facts->usn, in + 40, 8);
    CopyMemory(&facts->volume_serial, in + 48, 4);
}

bool SameFacts(const FileFacts *a, const FileFacts *b)
{
    return a->size == b->size && a->write_time == b->write_time &&
           a->change_time == b->change_time && a->file_index == b->file_index &&
           a->journal_id == b->journal_id && a->usn == b->usn &&
           a->volume_serial == b->volume_serial;
}

// The last journal number of the open file, where the run found a journal on
// its volume; 0 elsewhere.
ULONGLONG ReadUsn(HANDLE file, DWORD volume_serial)
{
    if (!g_quick.journal_id || volume_serial != g_quick.journal_serial)
        return 0;
    // A record of version 2 (64-bit file numbers) or 3 (128-bit), with the
    // file's name after it: its length, its version, then the numbers.
    const DWORD kVersionAt = 4, kUsnAtV2 = 24, kUsnAtV3 = 40;
    BYTE buffer[kUsnAtV3 + 8 + 2 * MAX_PATH];
    DWORD got = 0;
    WORD version = 0;
    ULONGLONG usn = 0;
    if (!DeviceIoControl(file, FSCTL_READ_FILE_USN_DATA, NULL, 0, buffer, sizeof(buffer), &got,
                         NULL) ||
        got < kVersionAt + 2)
        return 0;
    CopyMemory(&version, buffer + kVersionAt, 2);
    DWORD at = version == 2 ? kUsnAtV2 : version == 3 ? kUsnAtV3 : 0;
    if (at == 0 || got < at + 8)
        return 0;
    CopyMemory(&usn, buffer + at, 8);
    return usn;
}

// The facts of the file at path itself; false for a link (its target may
// change under it) or a file that cannot be looked at.
bool ReadFacts(const char *path, FileFacts *facts)
{
    ZeroMemory(facts, sizeof(*facts));
    HANDLE file = CreateFileA(path, FILE_READ_ATTRIBUTES,
                              FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, NULL,
                              OPEN_EXISTING, FILE_FLAG_OPEN_REPARSE_POINT, NULL);
    if (file == INVALID_HANDLE_VALUE)
        return false;
    BY_HANDLE_FILE_INFORMATION info;
    FILE_BASIC_INFO basic;
    bool read = GetFileInformationByHandle(file, &info) &&
                GetFileInformationByHandleEx(file, FileBasicInfo, &basic, sizeof(basic)) &&
                !(info.dwFileAttributes &
                  (FILE_ATTRIBUTE_REPARSE_POINT | FILE_ATTRIBUTE_DIRECTORY));
    if (read) {
        facts->size = Join(info.nFileSizeHigh, info.nFileSizeLow);
        facts->write_time = Join(info.ftLastWriteTime.dwHighDateTime,
                                 info.ftLastWriteTime.dwLowDateTime);
        facts->change_time = (ULONGLONG)basic.ChangeTime.QuadPart;
        facts->file_index = Join(info.nFileIndexHigh, info.nFileIndexLow);
        facts->volume_serial = info.dwVolumeSerialNumber;
        facts->usn = ReadUsn(file, info.dwVolumeSerialNumber);
        facts->journal_id = facts->usn ? g_quick.journal_id : 0;
    }
    CloseHandle(file);
    return read;
}

// The journal of the installation's volume, asked through the record's
// folder or else through the volume itself.
void FindJournal(const char *install_dir)
{
    USN_JOURNAL_DATA journal;
    BY_HANDLE_FILE_INFORMATION info;
    DWORD got = 0;
    if (GetFileInformationByHandle(g_quick.held, &info) &&
        DeviceIoControl(g_quick.held, FSCTL_QUERY_USN_JOURNAL, NULL, 0, &journal, sizeof(journal),
                        &got, NULL)) {
        g_quick.journal_id = journal.UsnJournalID;
        g_quick.journal_serial = info.dwVolumeSerialNumber;
        return;
    }
    char root[MAX_PATH];
    DWORD serial = 0;
    if (!GetVolumePathNameA(install_dir, root, MAX_PATH) || lstrlenA(root) != 3 ||
        root[1] != ':' || !GetVolumeInformationA(root, NULL, 0, &serial, NULL, NULL, NULL, 0))
        return;
    char device[] = "\\\\.\\X:";
    device[4] = root[0];
    HANDLE volume = CreateFileA(device, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, NULL,
                                OPEN_EXISTING, 0, NULL);
    if (volume == INVALID_HANDLE_VALUE)
        return;
    if (DeviceIoControl(volume, FSCTL_QUERY_USN_JOURNAL, NULL, 0, &journal, sizeof(journal), &got,
                        NULL)) {
        g_quick.journal_id = journal.UsnJournalID;
        g_quick.journal_serial = serial;
    }
    CloseHandle(volume);
}

// The owner and access list of the held folder as the system reports them,
// as SDDL (LocalFree), or NULL.
char *DescribeSecurity(HANDLE held)
{
    BYTE buffer[kSecurityBufferSize];
    DWORD needed = 0;
    char *text = NULL;
    const SECURITY_INFORMATION what = OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION;
    if (!GetKernelObjectSecurity(held, what, buffer, sizeof(buffer), &needed) ||
        !ConvertSecurityDescriptorToStringSecurityDescriptorA(buffer, SDDL_REVISION_1, what, &text,
                                                              NULL))
        return NULL;
    return text;
}

bool IsRealFolder(HANDLE held, const char *path)
{
    BY_HANDLE_FILE_INFORMATION info;
    DWORD by_name = GetFileAttributesA(path);
    if (!GetFileInformationByHandle(held, &info) || by_name == INVALID_FILE_ATTRIBUTES)
        return false;
    return (info.dwFileAttributes & by_name & FILE_ATTRIBUTE_DIRECTORY) &&
           !((info.dwFileAttributes | by_name) & FILE_ATTRIBUTE_REPARSE_POINT);
}

// Makes or takes over the record's folder and holds it. *trusted: it was
// already what the patcher makes of it (owner and access list alike), so
// that only an elevated program can have written what it holds.
bool OpenRecordFolder(const char *install_dir, bool *trusted)
{
    *trusted = false;
    if (!JoinLocalPath(install_dir, kQuickCheckFolderName, g_quick.folder, kJoinedPathCapacity))
        return false;
    PSECURITY_DESCRIPTOR security = NULL;
    if (!ConvertStringSecurityDescriptorToSecurityDescriptorA(kRecordFolderSecurity,
                                                              SDDL_REVISION_1, &security, NULL))
        return false;
    bool ready = false;
    char *before = NULL, *after = NULL;
    SECURITY_ATTRIBUTES attributes = {sizeof(attributes), security, FALSE};
    HANDLE held = INVALID_HANDLE_VALUE;
    if (!CreateDirectoryA(g_quick.folder, &attributes) && GetLastError() != ERROR_ALREADY_EXISTS)
        goto done;
    held = CreateFileA(g_quick.folder,
                       FILE_LIST_DIRECTORY | READ_CONTROL | WRITE_DAC | WRITE_OWNER |
                           FILE_READ_ATTRIBUTES,
                       FILE_SHARE_READ | FILE_SHARE_WRITE, NULL, OPEN_EXISTING,
                       FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, NULL);
    if (held == INVALID_HANDLE_VALUE || !IsRealFolder(held, g_quick.folder))
        goto done;
    before = DescribeSecurity(held);
    // On the folder alone: nothing is handed down to what another owner left in it.
    if (!SetKernelObjectSecurity(held, OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION,
                                 security))
        goto done;
    after = DescribeSecurity(held);
    *trusted = before && after && lstrcmpA(before, after) == 0;
    ready = true;
done:
    if (before)
        LocalFree(before);
    if (after)
        LocalFree(after);
    LocalFree(security);
    if (!ready && held != INVALID_HANDLE_VALUE)
        CloseHandle(held);
    g_quick.held = ready ? held : INVALID_HANDLE_VALUE;
    return ready;
}

bool JoinRecordPath(const char *name, char *path)
{
    return JoinLocalPath(g_quick.folder, name, path, kJoinedPathCapacity) != 0;
}

void FreeRecord()
{
    HANDLE heap = GetProcessHeap();
    if (g_quick.record)
        HeapFree(heap, 0, g_quick.record);
    if (g_quick.slots)
        HeapFree(heap, 0, g_quick.slots);
    g_quick.record = NULL;
    g_quick.slots = NULL;
    g_quick.record_size = 0;
    g_quick.slot_mask = 0;
}

DWORD HashName(const BYTE *name, DWORD length) { return (DWORD)HashBytes(name, length); }

// Checks the loaded record whole and indexes its entries by name; false
// (nothing indexed) at the first fault.
bool IndexRecord()
{
    const BYTE *record = g_quick.record;
    DWORD size = g_quick.record_size;
    BYTE stamp[kStampSize] = {};
    CopyMemory(stamp, kBuildStamp, sizeof(kBuildStamp) < kStampSize ? sizeof(kBuildStamp) : kStampSize);
    DWORD count = 0, body_size = 0;
    ULONGLONG hash = 0;
    if (size < kHeaderSize || memcmp(record, kRecordMagic, 8) != 0 ||
        memcmp(record + 8, stamp, kStampSize) != 0)
        return false;
    CopyMemory(&count, record + 8 + kStampSize, 4);
    CopyMemory(&body_size, record + 12 + kStampSize, 4);
    CopyMemory(&hash, record + 16 + kStampSize, 8);
    if (body_size != size - kHeaderSize || HashBytes(record + kHeaderSize, body_size) != hash ||
        count > body_size / kEntryFixedSize)
        return false;
    DWORD slot_count = 16;
    while (slot_count < 2 * count)
        slot_count *= 2;
    g_quick.slots = (DWORD *)HeapAlloc(GetProcessHeap(), HEAP_ZERO_MEMORY, slot_count * sizeof(DWORD));
    if (!g_quick.slots)
        return false;
    g_quick.slot_mask = slot_count - 1;
    DWORD at = kHeaderSize;
    for (DWORD i = 0; i < count; i++) {
        WORD length = 0;
        if (size - at < kEntryFixedSize)
            return false;
        CopyMemory(&length, record + at + kEntryFixedSize - 2, 2);
        if (length == 0 || length >= kJoinedPathCapacity || size - at - kEntryFixedSize < length)
            return false;
        DWORD slot = HashName(record + at + kEntryFixedSize, length) & g_quick.slot_mask;
        while (g_quick.slots[slot])
            slot = (slot + 1) & g_quick.slot_mask;
        g_quick.slots[slot] = at;
        at += kEntryFixedSize + length;
    }
    return at == size;
}

// Reads the record whole, if it is a plain file within its bound.
bool LoadRecord()
{
    char path[kJoinedPathCapacity];
    if (!JoinRecordPath(kRecordName, path))
        return false;
    HANDLE file = CreateFileA(path, GENERIC_READ, FILE_SHARE_READ, NULL, OPEN_EXISTING,
                              FILE_FLAG_OPEN_REPARSE_POINT, NULL);
    if (file == INVALID_HANDLE_VALUE)
        return false;
    bool loaded = false;
    BY_HANDLE_FILE_INFORMATION info;
    DWORD got = 0;
    if (!GetFileInformationByHandle(file, &info) ||
        (info.dwFileAttributes & (FILE_ATTRIBUTE_REPARSE_POINT | FILE_ATTRIBUTE_DIRECTORY)) ||
        info.nFileSizeHigh != 0 || info.nFileSizeLow > kMaxRecordSize)
        goto done;
    g_quick.record_size = info.nFileSizeLow;
    g_quick.record = (BYTE *)HeapAlloc(GetProcessHeap(), 0, g_quick.record_size + 1);
    loaded = g_quick.record &&
             ReadFile(file, g_quick.record, g_quick.record_size, &got, NULL) &&
             got == g_quick.record_size && IndexRecord();
done:
    CloseHandle(file);
    if (!loaded)
        FreeRecord();
    return loaded;
}

// The listed checksums of entry index: its CRC-32 and, with a key, its SHA-256.
void ListedSha(DWORD index, BYTE sha[kSha256Size])
{
    ZeroMemory(sha, kSha256Size);
    if (g_quick.signed_entries)
        CopyMemory(sha, g_quick.signed_entries[index].sha256, kSha256Size);
}

bool RecordVouches(DWORD index, const FileFacts *facts)
{
    if (!g_quick.slots)
        return false;
    const BYTE *name = (const BYTE *)g_quick.manifest->paths[index];
    DWORD length = (DWORD)lstrlenA((const char *)name);
    DWORD crc = g_quick.manifest->checksums[index];
    BYTE sha[kSha256Size];
    ListedSha(index, sha);
    for (DWORD slot = HashName(name, length) & g_quick.slot_mask; g_quick.slots[slot];
         slot = (slot + 1) & g_quick.slot_mask) {
        const BYTE *entry = g_quick.record + g_quick.slots[slot];
        WORD entry_length = 0;
        DWORD entry_crc = 0;
        FileFacts recorded;
        CopyMemory(&entry_length, entry + kEntryFixedSize - 2, 2);
        CopyMemory(&entry_crc, entry, 4);
        GetFacts(entry + 4 + kSha256Size, &recorded);
        if (entry_length == length && memcmp(entry + kEntryFixedSize, name, length) == 0 &&
            entry_crc == crc && memcmp(entry + 4, sha, kSha256Size) == 0 &&
            SameFacts(&recorded, facts))
            return true;
    }
    return false;
}

// Reads an installed download again, after its facts: it is recorded only
// as found, whatever happened to it after its move.
bool InstalledMatchesListing(DWORD index, const char *file)
{
    DWORD crc = 0;
    return FileCrc32(file, &crc) && crc == g_quick.manifest->checksums[index] &&
           (!g_quick.signed_entries ||
            FileMatchesSignedEntry(file, &g_quick.signed_entries[index]));
}

// The record of the confirmed entries, in manifest order, as many as the
// bound holds. NULL when there is no memory for it.
BYTE *BuildRecord(DWORD *size)
{
    const UpdateManifest *manifest = g_quick.manifest;
    DWORD total = kHeaderSize, count = 0;
    for (DWORD i = 0; i < manifest->count; i++) {
        DWORD entry = kEntryFixedSize + (DWORD)lstrlenA(manifest->paths[i]);
        if (!g_quick.notes[i].confirmed || total + entry > kMaxRecordSize)
            continue;
        total += entry;
        count++;
    }
    BYTE *record = (BYTE *)HeapAlloc(GetProcessHeap(), HEAP_ZERO_MEMORY, total);
    if (!record)
        return NULL;
    DWORD at = kHeaderSize, written = 0;
    for (DWORD i = 0; i < manifest->count && written < count; i++) {
        WORD length = (WORD)lstrlenA(manifest->paths[i]);
        if (!g_quick.notes[i].confirmed || at + kEntryFixedSize + length > total)
            continue;
        BYTE sha[kSha256Size];
        ListedSha(i, sha);
        Put(record, &at, &manifest->checksums[i], 4);
        Put(record, &at, sha, kSha256Size);
        PutFacts(record, &at, &g_quick.notes[i].facts);
        Put(record, &at, &length, 2);
        Put(record, &at, manifest->paths[i], length);
        written++;
    }
    ULONGLONG hash = HashBytes(record + kHeaderSize, at - kHeaderSize);
    DWORD body_size = at - kHeaderSize, header = 0;
    Put(record, &header, kRecordMagic, 8);
    CopyMemory(record + header, kBuildStamp,
               sizeof(kBuildStamp) < kStampSize ? sizeof(kBuildStamp) : kStampSize);
    header += kStampSize;
    Put(record, &header, &written, 4);
    Put(record, &header, &body_size, 4);
    Put(record, &header, &hash, 8);
    *size = at;
    return record;
}

// Written under a new name, then moved over the old: a run cut off at any
// point leaves no record or a whole one.
void WriteRecord()
{
    char new_path[kJoinedPathCapacity], final_path[kJoinedPathCapacity];
    DWORD size = 0, written = 0;
    if (!JoinRecordPath(kNewRecordName, new_path) || !JoinRecordPath(kRecordName, final_path))
        return;
    BYTE *record = BuildRecord(&size);
    if (!record)
        return;
    HANDLE file = CreateFileA(new_path, GENERIC_WRITE, 0, NULL, CREATE_ALWAYS,
                              FILE_ATTRIBUTE_NORMAL, NULL);
    bool ok = file != INVALID_HANDLE_VALUE && WriteFile(file, record, size, &written, NULL) &&
              written == size && FlushFileBuffers(file);
    if (file != INVALID_HANDLE_VALUE)
        CloseHandle(file);
    HeapFree(GetProcessHeap(), 0, record);
    if (!ok || !MoveFileExA(new_path, final_path, MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH))
        DeleteFileA(new_path);
}

} // namespace

void UseQuickCheck(int enabled) { g_quick.enabled = enabled; }

void RequestFullCheck() { g_quick.full_check_requested = 1; }

void BeginQuickCheck(const char *install_dir, const UpdateManifest *manifest,
                     const SignedEntry *signed_entries)
{
    FinishQuickCheck();
    if (!g_quick.enabled || !install_dir || !manifest || manifest->count == 0)
        return;
    bool full = g_quick.full_check_requested != 0;
    g_quick.full_check_requested = 0;
    g_quick.manifest = manifest;
    g_quick.signed_entries = signed_entries;
    g_quick.notes = (EntryNote *)HeapAlloc(GetProcessHeap(), HEAP_ZERO_MEMORY,
                                           manifest->count * sizeof(EntryNote));
    bool trusted = false;
    if (!g_quick.notes || !OpenRecordFolder(install_dir, &trusted)) {
        FinishQuickCheck();
        return;
    }
    g_quick.active = true;
    FindJournal(install_dir);
    if (trusted && !full)
        LoadRecord();
    char path[kJoinedPathCapacity];
    if (JoinRecordPath(kRecordName, path))
        DeleteFileA(path);
}

bool CheckEntryWithRecord(DWORD index, const char *file, FullCheckFn full_check,
                          const void *context)
{
    if (!g_quick.active)
        return full_check(context, index, file);
    EntryNote *note = &g_quick.notes[index];
    bool known = ReadFacts(file, &note->facts);
    if (known && RecordVouches(index, &note->facts)) {
        InterlockedExchange(&note->checked, 1);
        return true;
    }
    bool current = full_check(context, index, file);
    if (current && known)
        InterlockedExchange(&note->checked, 1);
    return current;
}

void ConfirmEntry(DWORD index, const char *installed)
{
    if (!g_quick.active || index >= g_quick.manifest->count)
        return;
    EntryNote *note = &g_quick.notes[index];
    if (installed)
        note->checked = ReadFacts(installed, &note->facts) &&
                        InstalledMatchesListing(index, installed);
    note->confirmed = note->checked != 0;
}

void FinishQuickCheck()
{
    if (g_quick.active)
        WriteRecord();
    FreeRecord();
    if (g_quick.notes)
        HeapFree(GetProcessHeap(), 0, g_quick.notes);
    if (g_quick.held != INVALID_HANDLE_VALUE && g_quick.held)
        CloseHandle(g_quick.held);
    g_quick.held = INVALID_HANDLE_VALUE;
    g_quick.notes = NULL;
    g_quick.active = false;
    g_quick.manifest = NULL;
    g_quick.signed_entries = NULL;
    g_quick.journal_id = 0;
    g_quick.journal_serial = 0;
}
