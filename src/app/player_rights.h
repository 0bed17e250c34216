#pragma once

#include <windows.h>

enum PlayerStart {
    kPlayerStarted,     // with the player's own rights; *process may be NULL
    kNotElevated,       // this process has the player's rights already
    kPlayerStartFailed, // elevated, and no start without the elevation worked
};

// Starts program, with no arguments, shown normally, with the player's own
// rights and not with this process's elevated token, when this process is
// elevated: as a child of the desktop shell (*process set; the caller closes
// it), or, where that fails (a program whose own manifest asks for elevation
// fails with ERROR_ELEVATION_REQUIRED), by asking the shell to open it in
// its own process, where Windows prompts for such a program (*process NULL).
// An elevated caller never starts program itself.
PlayerStart StartWithPlayerRights(const char *program, HANDLE *process);
