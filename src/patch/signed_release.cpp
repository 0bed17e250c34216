#include "patch/signed_release.h"

#include "patch/held_files.h"
#include "patch/install_paths.h"

#include <bcrypt.h>

namespace {

// Written once by the window thread before any run starts; read by the worker.
const char *g_release_key_hex = NULL;

const DWORD kPublicKeySize = 64;          // X and Y of the P-256 point
const DWORD kSignatureSize = 64;          // r and s
// Signature lines read: one per key that signed, two while a studio changes
// keys; four leave room for a second change begun before the first ended.
// Each costs a verification, so a statement of many lines cannot hold a run.
const DWORD kMaxSignatureLines = 4;
const DWORD kMaxNumberFileSize = 64;      // bytes of the completed-release file
const ULONGLONG kUnixEpochAsFileTime = 116444736000000000ULL; // 100 ns units
const ULONGLONG kFileTimeUnitsPerSecond = 10000000ULL;
const char kFormatLine[] = "signed-release 1\n";
const char kReleaseTag[] = "release ";
const char kExpiresTag[] = "expires ";
const char kEntryTag[] = "entry ";
const char kSignatureTag[] = "signature ";
// The record's next value is written under this name first: it ends in ".old",
// so a copy left by a run cut off here goes with the next sweep.
const char kNewSuffix[] = ".new.old";

const char kErrorDamaged[] = "Error: the release signature is incomplete or damaged.";
const char kErrorOtherKey[] = "Error: the release is not signed with this patcher's key.";
const char kErrorUnchecked[] = "Error: unable to check the release signature.";
const char kErrorMismatch[] = "Error: the update manifest differs from the signed release.";
const char kErrorExpired[] = "Error: the signed release has expired.";
const char kErrorOlder[] =
    "Error: the update server offers an older release than the one installed.";

enum SignatureCheck { kSignatureHolds, kSignatureFails, kSignatureUnchecked };

int HexDigit(char c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    return -1;
}

// Reads 2 * size lowercase hex digits at *cursor into out and moves past them.
int ParseHex(const char **cursor, BYTE *out, DWORD size)
{
    const char *at = *cursor;
    for (DWORD i = 0; i < size; i++) {
        int high = HexDigit(at[0]);
        int low = high < 0 ? -1 : HexDigit(at[1]);
        if (low < 0)
            return 0;
        out[i] = (BYTE)(high * 16 + low);
        at += 2;
    }
    *cursor = at;
    return 1;
}

// Reads a decimal number of 1 to 19 digits (no sign, no blanks) and moves past it.
int ParseNumber(const char **cursor, ULONGLONG *value)
{
    const char *at = *cursor;
    ULONGLONG number = 0;
    int digits = 0;
    for (; *at >= '0' && *at <= '9'; at++, digits++) {
        if (digits == 19)
            return 0;
        number = number * 10 + (ULONGLONG)(*at - '0');
    }
    *value = number;
    *cursor = at;
    return digits > 0;
}

// Moves past text when the input starts with it.
int Expect(const char **cursor, const char *text)
{
    const char *at = *cursor;
    for (; *text; text++, at++)
        if (*at != *text)
            return 0;
    *cursor = at;
    return 1;
}

int ParseTaggedNumber(const char **cursor, const char *tag, ULONGLONG *value)
{
    return Expect(cursor, tag) && ParseNumber(cursor, value) && Expect(cursor, "\n");
}

// Whether one of count signatures holds for the key over digest. The key is
// imported once for all of them.
SignatureCheck VerifySignatures(const BYTE key_xy[kPublicKeySize],
                                const BYTE digest[kSha256Size],
                                const BYTE signatures[][kSignatureSize], DWORD count)
{
    BCRYPT_ALG_HANDLE provider = NULL;
    BCRYPT_KEY_HANDLE key = NULL;
    SignatureCheck check = kSignatureUnchecked;
    BYTE blob[sizeof(BCRYPT_ECCKEY_BLOB) + kPublicKeySize];
    BCRYPT_ECCKEY_BLOB *head = (BCRYPT_ECCKEY_BLOB *)blob;
    head->dwMagic = BCRYPT_ECDSA_PUBLIC_P256_MAGIC;
    head->cbKey = kPublicKeySize / 2;
    CopyMemory(blob + sizeof(BCRYPT_ECCKEY_BLOB), key_xy, kPublicKeySize);
    if (!BCRYPT_SUCCESS(BCryptOpenAlgorithmProvider(&provider, BCRYPT_ECDSA_P256_ALGORITHM, NULL, 0))) {
        provider = NULL;
        goto done;
    }
    if (!BCRYPT_SUCCESS(BCryptImportKeyPair(provider, NULL, BCRYPT_ECCPUBLIC_BLOB, &key, blob,
                                            sizeof(blob), 0))) {
        key = NULL;
        goto done;
    }
    check = kSignatureFails;
    for (DWORD i = 0; i < count && check != kSignatureHolds; i++) {
        NTSTATUS status = BCryptVerifySignature(key, NULL, (PUCHAR)digest, kSha256Size,
                                                (PUCHAR)signatures[i], kSignatureSize, 0);
        if (status == 0)
            check = kSignatureHolds;
        else if (status != (NTSTATUS)0xC000A000L) // STATUS_INVALID_SIGNATURE
            check = kSignatureUnchecked;
    }
done:
    if (key)
        BCryptDestroyKey(key);
    if (provider)
        BCryptCloseAlgorithmProvider(provider, 0);
    return check;
}

// Where the signature line that ends at line_end (just past its LF) starts,
// with its signature; 0 when the line there is not one.
int SignatureLineBefore(const char *text, DWORD line_end, DWORD *line_start,
                        BYTE signature[kSignatureSize])
{
    if (line_end < 2 || text[line_end - 1] != '\n')
        return 0;
    DWORD start = line_end - 1;
    while (start > 0 && text[start - 1] != '\n')
        start--;
    const char *at = text + start;
    if (!Expect(&at, kSignatureTag) || !ParseHex(&at, signature, kSignatureSize) ||
        at != text + line_end - 1)
        return 0;
    *line_start = start;
    return 1;
}

// The statement ends in one signature line per key that signed it, at most
// kMaxSignatureLines; one must hold for the built-in key. Sets *body_end to
// where those lines start. Returns NULL or the error line.
const char *CheckSignature(const char *text, DWORD size, const char **body_end)
{
    BYTE key[kPublicKeySize];
    const char *key_hex = g_release_key_hex;
    if (!ParseHex(&key_hex, key, kPublicKeySize))
        return kErrorUnchecked;
    // One more than allowed is read, to tell a statement that has too many.
    BYTE signatures[kMaxSignatureLines + 1][kSignatureSize];
    DWORD count = 0;
    DWORD body_size = size;
    DWORD line_start = 0;
    while (count <= kMaxSignatureLines &&
           SignatureLineBefore(text, body_size, &line_start, signatures[count])) {
        body_size = line_start;
        count++;
    }
    if (count == 0 || count > kMaxSignatureLines)
        return kErrorDamaged;
    BYTE digest[kSha256Size];
    if (!Sha256OfBytes(text, body_size, digest))
        return kErrorUnchecked;
    SignatureCheck check = VerifySignatures(key, digest, signatures, count);
    if (check == kSignatureHolds) {
        *body_end = text + body_size;
        return NULL;
    }
    return check == kSignatureUnchecked ? kErrorUnchecked : kErrorOtherKey;
}

// Byte for byte, up to the end of the line.
int IsListedPath(const char **cursor, const char *path)
{
    return Expect(cursor, path) && Expect(cursor, "\n");
}

// Reads the signed lines; NULL or the error line.
const char *ParseBody(const char *at, const char *end, const UpdateManifest *manifest,
                      SignedRelease *release)
{
    if (!Expect(&at, kFormatLine) || !ParseTaggedNumber(&at, kReleaseTag, &release->release) ||
        !ParseTaggedNumber(&at, kExpiresTag, &release->expires))
        return kErrorDamaged;
    DWORD i = 0;
    for (; at < end; i++) {
        if (i == manifest->count)
            return kErrorMismatch;
        SignedEntry *entry = &release->entries[i];
        ULONGLONG crc = 0;
        if (!Expect(&at, kEntryTag) || !ParseNumber(&at, &crc) || crc > 0xFFFFFFFFULL ||
            !Expect(&at, " ") || !ParseNumber(&at, &entry->size) || !Expect(&at, " ") ||
            !ParseHex(&at, entry->sha256, kSha256Size) || !Expect(&at, " "))
            return kErrorDamaged;
        entry->crc = (DWORD)crc;
        if (entry->crc != manifest->checksums[i] || !IsListedPath(&at, manifest->paths[i]))
            return kErrorMismatch;
    }
    if (at != end)
        return kErrorDamaged;
    if (i != manifest->count)
        return kErrorMismatch;
    release->count = i;
    return NULL;
}

// The release number install_dir last completed; 0 when none is recorded
// (or the record cannot be read: only a writer of the game folder can do
// that, and such a writer can change the game itself).
ULONGLONG CompletedRelease(const char *install_dir)
{
    char path[kJoinedPathCapacity];
    if (!JoinLocalPath(install_dir, kCompletedReleaseFile, path, kJoinedPathCapacity))
        return 0;
    HANDLE file = CreateFileA(path, GENERIC_READ, FILE_SHARE_READ, NULL, OPEN_EXISTING,
                              FILE_ATTRIBUTE_NORMAL, NULL);
    if (file == INVALID_HANDLE_VALUE)
        return 0;
    char text[kMaxNumberFileSize + 1];
    DWORD got = 0;
    ULONGLONG number = 0;
    if (ReadFile(file, text, kMaxNumberFileSize, &got, NULL)) {
        text[got] = '\0';
        const char *at = text;
        if (!ParseNumber(&at, &number))
            number = 0;
    }
    CloseHandle(file);
    return number;
}

// Decimal digits of value into out (capacity 21 or more).
void FormatNumber(ULONGLONG value, char *out)
{
    char reversed[20];
    int length = 0;
    do {
        reversed[length++] = (char)('0' + value % 10);
        value /= 10;
    } while (value > 0);
    for (int i = 0; i < length; i++)
        out[i] = reversed[length - 1 - i];
    out[length] = '\0';
}

} // namespace

void UseReleaseKey(const char *key_hex) { g_release_key_hex = key_hex; }

int HasReleaseKey() { return g_release_key_hex != NULL && g_release_key_hex[0] != '\0'; }

int LoadSignedRelease(const char *text, DWORD size, const UpdateManifest *manifest,
                      const char *install_dir, ULONGLONG now, SignedRelease *release,
                      const char **error)
{
    HANDLE heap = GetProcessHeap();
    const char *body_end = NULL;
    *error = NULL;
    ZeroMemory(release, sizeof(*release));
    if (!text)
        *error = kErrorDamaged;
    if (!*error)
        *error = CheckSignature(text, size, &body_end);
    if (!*error && manifest->count > kMaxSignedReleaseSize / sizeof(SignedEntry))
        *error = kErrorMismatch; // more entries than any statement could sign
    if (!*error && manifest->count > 0) {
        release->entries =
            (SignedEntry *)HeapAlloc(heap, HEAP_ZERO_MEMORY, manifest->count * sizeof(SignedEntry));
        if (!release->entries)
            *error = "Error: not enough memory to process updates.";
    }
    if (!*error)
        *error = ParseBody(text, body_end, manifest, release);
    if (!*error && now >= release->expires)
        *error = kErrorExpired;
    if (!*error && release->release < CompletedRelease(install_dir))
        *error = kErrorOlder;
    if (*error)
        FreeSignedRelease(release);
    return *error == NULL;
}

// Whether digest is the entry's SHA-256.
static int SameDigest(const BYTE digest[kSha256Size], const SignedEntry *entry)
{
    for (DWORD i = 0; i < kSha256Size; i++)
        if (digest[i] != entry->sha256[i])
            return 0;
    return 1;
}

int FileMatchesSignedEntry(const char *path, const SignedEntry *entry, const volatile LONG *stop)
{
    BYTE digest[kSha256Size];
    return entry->size != kAnyFileSize && FileSha256(path, entry->size, digest, stop) &&
           SameDigest(digest, entry);
}

int OpenFileMatchesSignedEntry(HANDLE file, const SignedEntry *entry, const volatile LONG *stop)
{
    BYTE digest[kSha256Size];
    return entry->size != kAnyFileSize && OpenFileSha256(file, entry->size, digest, stop) &&
           SameDigest(digest, entry);
}

int RecordCompletedRelease(HANDLE install, const char *install_dir, const SignedRelease *release)
{
    char new_name[kJoinedPathCapacity];
    if (release->release == CompletedRelease(install_dir))
        return 1;
    if (lstrlenA(kCompletedReleaseFile) + lstrlenA(kNewSuffix) >= kJoinedPathCapacity)
        return 0;
    lstrcpyA(new_name, kCompletedReleaseFile);
    lstrcatA(new_name, kNewSuffix);
    char text[24];
    FormatNumber(release->release, text);
    lstrcatA(text, "\r\n");
    // The game folder may be writable by players and this runs elevated:
    // made new in the held installation folder, never through a link, and
    // moved by its own handle.
    HANDLE file = OpenInFolder(install, new_name, GENERIC_WRITE | DELETE, 0, FILE_CREATE,
                               FILE_NON_DIRECTORY_FILE, NULL);
    if (file == INVALID_HANDLE_VALUE)
        return 0;
    DWORD length = (DWORD)lstrlenA(text);
    DWORD written = 0;
    int ok = WriteFile(file, text, length, &written, NULL) && written == length &&
             FlushFileBuffers(file) && RenameInto(file, install, kCompletedReleaseFile, 1);
    if (!ok)
        DeleteThrough(file);
    CloseHandle(file);
    return ok;
}

ULONGLONG UnixTimeNow()
{
    FILETIME now;
    GetSystemTimeAsFileTime(&now);
    ULONGLONG units = ((ULONGLONG)now.dwHighDateTime << 32) | now.dwLowDateTime;
    return units < kUnixEpochAsFileTime ? 0 : (units - kUnixEpochAsFileTime) / kFileTimeUnitsPerSecond;
}

void FreeSignedRelease(SignedRelease *release)
{
    if (!release)
        return;
    if (release->entries)
        HeapFree(GetProcessHeap(), 0, release->entries);
    ZeroMemory(release, sizeof(*release));
}
