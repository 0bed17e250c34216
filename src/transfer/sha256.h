#pragma once

#include <windows.h>

const DWORD kSha256Size = 32; // bytes of a SHA-256 digest

// SHA-256 through the system's CNG (bcrypt.dll). Each returns 1 on success
// and 0 on failure, with the digest (and size) zeroed.

// The digest of size bytes at data.
int Sha256OfBytes(const void *data, DWORD size, BYTE digest[kSha256Size]);

// The digest of the whole file at path, and its size in bytes.
int FileSha256(const char *path, BYTE digest[kSha256Size], ULONGLONG *size);
