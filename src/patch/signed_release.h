#pragma once

#include "patch/manifest.h"
#include "transfer/sha256.h"

#include <windows.h>

// A release signed by the studio: the statement that the release tool writes
// beside the manifest, checked against the key built into patch.exe.
//
// The statement is text, lines ending in LF:
//   signed-release 1
//   release <number that grows with every publish>
//   expires <UTC seconds since 1970 after which it is no longer good>
//   entry <CRC-32> <size> <SHA-256, 64 lowercase hex digits> <path as listed>
//   ... one entry line per manifest entry, in manifest order
//   signature <ECDSA P-256 signature of the SHA-256 of the lines above the
//              first signature line: r and s, 128 hex digits>
//   ... one signature line per key that signed it

const char kSignedReleaseObject[] = "/latest/signed-release.txt";
// Beside patch.exe: the release number the installation last completed.
const char kCompletedReleaseFile[] = "patch-release.txt";

struct SignedEntry {
    DWORD crc;
    ULONGLONG size;
    BYTE sha256[kSha256Size];
};

// A checked statement. Owned by the run; FreeSignedRelease releases it.
struct SignedRelease {
    SignedEntry *entries; // parallel to the manifest's entries; heap block
    DWORD count;
    ULONGLONG release;
    ULONGLONG expires;
};

// Window thread, before the first run: the key as 128 hex digits (X and Y),
// or "" for none. The text must stay for the life of the process.
void UseReleaseKey(const char *key_hex);
int HasReleaseKey();

// The largest statement read, in bytes: far above any real release.
const DWORD kMaxSignedReleaseSize = 64 << 20;

// Checks the statement's text (size bytes; NULL when it could not be read)
// against the built-in key, the manifest, the clock (now: UTC seconds since
// 1970) and the release that install_dir last completed. Returns 1 with
// *release filled, or 0 with *error set to the log line that says why.
int LoadSignedRelease(const char *text, DWORD size, const UpdateManifest *manifest,
                      const char *install_dir, ULONGLONG now, SignedRelease *release,
                      const char **error);

// Whether the file at path has the entry's size and SHA-256. A non-zero
// *stop (when given), read between chunks, ends the hash with 0.
int FileMatchesSignedEntry(const char *path, const SignedEntry *entry,
                           const volatile LONG *stop = NULL);

// The same for a file already open (for reading).
int OpenFileMatchesSignedEntry(HANDLE file, const SignedEntry *entry,
                               const volatile LONG *stop = NULL);

// Keeps the release number as the installation's last completed one: written
// beside it under a new name in install (the held installation folder, whose
// path is install_dir), then renamed over the old, so that a run cut off at
// any point leaves the old number or the new one.
int RecordCompletedRelease(HANDLE install, const char *install_dir, const SignedRelease *release);

// Now, in UTC seconds since 1970.
ULONGLONG UnixTimeNow();

void FreeSignedRelease(SignedRelease *release);
