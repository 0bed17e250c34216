#pragma once

#include <windows.h>

// Path rules for manifest entries. Capacities count bytes including the NUL.
// IsSafeRelativePath, JoinServerPath and the capacity need no platform
// service and are shared with the release tool.
#include "patch/path_rules.h"

// Writes base + '\' + relative (leading separators of relative skipped).
// Returns 0, leaving out untouched, when it would not fit in capacity.
int JoinLocalPath(const char *base, const char *relative, char *out, int capacity);

// The folders of a target below the installation folder, held open
// outermost first, each opened relative to the one before it (held_files.h):
// a held folder cannot be renamed or deleted, and what is reached through it
// is looked up in it alone, whatever its name now leads to.
const int kMaxHeldFolders = kJoinedPathCapacity / 2;
struct HeldFolders {
    int count;                       // handles in folders
    HANDLE folders[kMaxHeldFolders]; // outermost first
};

// Holds every folder of relative (a manifest path) below install, a held
// installation folder: a file, a link (junction, symbolic link, mount point)
// or a missing folder on the way fails; make: missing folders are made
// first. "." components are skipped and ".." refused. Release with
// ReleaseFolders whatever the result.
int HoldFoldersBelow(HANDLE install, const char *relative, int make, HeldFolders *held);
void ReleaseFolders(HeldFolders *held);

// The folder that holds the target: the innermost held, or install.
HANDLE TargetFolder(HANDLE install, const HeldFolders *held);

// The last component of relative (the file's own name), or "" when relative
// ends in a separator.
const char *TargetName(const char *relative);
