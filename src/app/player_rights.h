#pragma once

#include <windows.h>

// Starts program, with no arguments, shown normally, in this process's
// current folder, as a child of the desktop shell, so that it runs with the
// player's own rights and not with this process's elevated token. Returns 1
// with *process set (the caller closes it) when it started it so; 0, with
// *process NULL, when this process is not elevated, no shell process can be
// opened, or the start failed (a program whose own manifest asks for
// elevation fails with ERROR_ELEVATION_REQUIRED): the caller then starts it
// as it would otherwise.
int StartWithPlayerRights(const char *program, HANDLE *process);
