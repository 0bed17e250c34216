#pragma once

// Moves source over target. A target in use is set aside as target + ".old".
// Returns 1 when the new file is in place; on 0 the source is still there.
int ReplaceInstalledFile(const char *source, const char *target);

// Deletes every file named *.old below folder, depth first; folders stay.
// Does not descend into junctions or symbolic links. Failures are ignored.
void DeleteLeftoverOldFiles(const char *folder);
