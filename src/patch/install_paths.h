#pragma once

#include <windows.h>

// Path rules for manifest entries. Capacities count bytes including the NUL.
// IsSafeRelativePath, JoinServerPath and the capacity need no platform
// service and are shared with the release tool.
#include "patch/path_rules.h"

// Writes base + '\' + relative (leading separators of relative skipped).
// Returns 0, leaving out untouched, when it would not fit in capacity.
int JoinLocalPath(const char *base, const char *relative, char *out, int capacity);

// Returns 1 when path, whose attributes are given, is a link of any kind
// (symbolic link, junction, mount point): a reparse point whose tag is a name
// surrogate, is not one of the system's own, or cannot be read. The system's
// other reparse points (cloud placeholders, deduplicated or compressed
// files) hold their own data.
int IsLinkedName(const char *path, DWORD attributes);
// The same for a listed name, whose tag the listing gives in dwReserved0.
int IsLinkEntry(const WIN32_FIND_DATAA *entry);

// The folders of a target below its installation folder, held open outermost
// first: a held folder cannot be renamed or deleted, so the name of the next
// one, and the target's own, lead through the held ones only.
const int kMaxHeldFolders = kJoinedPathCapacity / 2;
struct HeldFolders {
    int count;                        // handles in folders
    HANDLE folders[kMaxHeldFolders]; // outermost first
};

// Holds every folder of target below base, each looked at once held: a
// file, a link (junction, symbolic link, mount point) or a missing folder on
// the way fails. make: missing folders are made first. base itself, the
// installation folder as its administrator chose it, is not looked at and
// may be a link. target must start with base (a JoinLocalPath result for it).
// Release with ReleaseFolders whatever the result.
int HoldFoldersBelow(const char *base, const char *target, int make, HeldFolders *held);
void ReleaseFolders(HeldFolders *held);

// Creates every missing folder of target below base, outermost first, as
// HoldFoldersBelow does, and lets them go again.
int EnsureParentFolders(const char *base, const char *target);
