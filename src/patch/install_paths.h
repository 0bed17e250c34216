#pragma once

// Path rules for manifest entries. Capacities count bytes including the NUL.
// IsSafeRelativePath, JoinServerPath and the capacity need no platform
// service and are shared with the release tool.
#include "patch/path_rules.h"

// Writes base + '\' + relative (leading separators of relative skipped).
// Returns 0, leaving out untouched, when it would not fit in capacity.
int JoinLocalPath(const char *base, const char *relative, char *out, int capacity);

// Creates every missing folder of target below base, outermost first.
// target must be a JoinLocalPath result for base; base must exist. Fails
// at a file or at a reparse point (junction, link, mount point) on the way.
int EnsureParentFolders(const char *base, const char *target);
