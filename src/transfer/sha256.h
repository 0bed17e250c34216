#pragma once

#include <windows.h>

const DWORD kSha256Size = 32; // bytes of a SHA-256 digest

const ULONGLONG kAnyFileSize = ~0ULL;

// SHA-256 through the system's CNG (bcrypt.dll). Each returns 1 on success
// and 0 on failure, with the digest zeroed.

// The digest of size bytes at data.
int Sha256OfBytes(const void *data, DWORD size, BYTE digest[kSha256Size]);

// The digest of the whole file at path. A file whose size is not
// expected_size (unless that is kAnyFileSize) fails at once, unread. When
// stop is given, a non-zero *stop before any chunk fails the call.
int FileSha256(const char *path, ULONGLONG expected_size, BYTE digest[kSha256Size],
               const volatile LONG *stop = NULL);

// The same for a file already open (for reading), from its start.
int OpenFileSha256(HANDLE file, ULONGLONG expected_size, BYTE digest[kSha256Size],
                   const volatile LONG *stop = NULL);
