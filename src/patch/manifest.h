#pragma once

#include <windows.h>

// The parsed update manifest. Owned by the patch run that parsed it; every
// block lives on the process heap and is released by FreeManifest.
struct UpdateManifest {
    char **paths;     // slot i: path of entry i, one exact-size block each
    DWORD *checksums; // slot i: expected CRC-32 of entry i
    DWORD count;      // entries in slots 0 .. count - 1
};

// Parses a NUL-terminated manifest text into an empty record.
// Returns 0 for a null pointer, a record that is not empty, or memory
// exhaustion (the record is then empty again); 1 otherwise.
int ParseManifest(const char *text, UpdateManifest *manifest);

// Releases everything the record owns and empties it. Returns 0 only for null.
int FreeManifest(UpdateManifest *manifest);
