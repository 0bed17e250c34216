#pragma once

#include <windows.h>

// Stores the IEEE 802.3 CRC-32 of the whole file at path through out.
// Returns 1 on success; 0 on failure with 0 left in out (unless out is null).
// 0 is stored through out before anything else is tested. When stop is given,
// *stop is read before every chunk and a non-zero value ends the call with 0,
// so a run's Cancel does not wait for the rest of a large file.
int FileCrc32(const char *path, DWORD *out, const volatile LONG *stop = NULL);

// The same for a file already open (for reading), from its start.
int OpenFileCrc32(HANDLE file, DWORD *out, const volatile LONG *stop = NULL);
