#pragma once

#include <windows.h>

// Moves staged, a verified download held open (with DELETE, shared with
// nobody) in the installation's staging folder, to name in folder, a held
// folder of the installation (install_paths.h), by a rename through its own
// handle, so that the target holds its old or its new file at every instant.
// A target in use is set aside as name + ".old" through its own handle, and
// put back through it when the move in fails. A target that is a folder or a
// link is refused. The moved file takes the permissions its folder hands
// down. Returns 1 when the new file is in place (the caller then only closes
// staged); on 0 staged is where it was and the target as it was.
int ReplaceInstalledFile(HANDLE folder, HANDLE staged, const char *name);

// Deletes every file named *.old below folder, a held folder, depth first,
// read-only ones included, each through its own handle opened relative to
// the held folder that lists it; folders stay. Leaves
// junctions and symbolic links alone and does not descend into them.
// Failures are ignored.
void DeleteLeftoverOldFiles(HANDLE folder);
