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

// Creates every missing folder of target below base, outermost first.
// target must be a JoinLocalPath result for base; base must exist. Fails
// at a file or at a link (junction, symbolic link, mount point) on the way.
int EnsureParentFolders(const char *base, const char *target);
