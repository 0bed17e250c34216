#include "transfer/sha256.h"

#include <bcrypt.h>

namespace {

const DWORD kReadChunk = 65536; // bytes per ReadFile

// One hash in progress: the provider and the hash object, either may be NULL.
struct Sha256Run {
    BCRYPT_ALG_HANDLE provider;
    BCRYPT_HASH_HANDLE hash;
};

int BeginSha256(Sha256Run *run)
{
    run->provider = NULL;
    run->hash = NULL;
    if (!BCRYPT_SUCCESS(BCryptOpenAlgorithmProvider(&run->provider, BCRYPT_SHA256_ALGORITHM, NULL, 0))) {
        run->provider = NULL;
        return 0;
    }
    if (!BCRYPT_SUCCESS(BCryptCreateHash(run->provider, &run->hash, NULL, 0, NULL, 0, 0))) {
        run->hash = NULL;
        return 0;
    }
    return 1;
}

int AddToSha256(Sha256Run *run, const void *data, DWORD size)
{
    return BCRYPT_SUCCESS(BCryptHashData(run->hash, (PUCHAR)data, size, 0));
}

// Finishes (when ok) and releases the run; returns whether the digest holds.
int EndSha256(Sha256Run *run, int ok, BYTE digest[kSha256Size])
{
    if (ok)
        ok = BCRYPT_SUCCESS(BCryptFinishHash(run->hash, digest, kSha256Size, 0));
    if (run->hash)
        BCryptDestroyHash(run->hash);
    if (run->provider)
        BCryptCloseAlgorithmProvider(run->provider, 0);
    if (!ok)
        ZeroMemory(digest, kSha256Size);
    return ok;
}

} // namespace

int Sha256OfBytes(const void *data, DWORD size, BYTE digest[kSha256Size])
{
    if (!digest)
        return 0;
    Sha256Run run = {NULL, NULL};
    int ok = data != NULL && BeginSha256(&run) && AddToSha256(&run, data, size);
    return EndSha256(&run, ok, digest);
}

int FileSha256(const char *path, ULONGLONG expected_size, BYTE digest[kSha256Size],
               const volatile LONG *stop)
{
    if (!digest)
        return 0;
    HANDLE file = INVALID_HANDLE_VALUE;
    if (path)
        file = CreateFileA(path, GENERIC_READ, FILE_SHARE_READ, NULL, OPEN_EXISTING,
                           FILE_FLAG_SEQUENTIAL_SCAN, NULL);
    if (file == INVALID_HANDLE_VALUE) {
        ZeroMemory(digest, kSha256Size);
        return 0;
    }
    int ok = OpenFileSha256(file, expected_size, digest, stop);
    CloseHandle(file);
    return ok;
}

int OpenFileSha256(HANDLE file, ULONGLONG expected_size, BYTE digest[kSha256Size],
                   const volatile LONG *stop)
{
    if (!digest)
        return 0;
    Sha256Run run = {NULL, NULL};
    LARGE_INTEGER size, start;
    size.QuadPart = 0;
    start.QuadPart = 0;
    int ok = 0;
    if (GetFileSizeEx(file, &size) &&
        (expected_size == kAnyFileSize || (ULONGLONG)size.QuadPart == expected_size) &&
        SetFilePointerEx(file, start, NULL, FILE_BEGIN) && BeginSha256(&run)) {
        BYTE chunk[kReadChunk];
        DWORD got = 0;
        ULONGLONG total = 0;
        ok = 1;
        while (ok && (ok = !(stop && *stop)) &&
               (ok = ReadFile(file, chunk, kReadChunk, &got, NULL)) && got > 0) {
            ok = AddToSha256(&run, chunk, got);
            total += got;
        }
        // A file that grew or shrank while read is not the one that was sized.
        ok = ok && total == (ULONGLONG)size.QuadPart;
    }
    return EndSha256(&run, ok, digest);
}
