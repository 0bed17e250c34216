#pragma once

// Moves source over target by renames only, so that the target holds its old
// or its new file at every instant; a source on another volume is first
// copied beside the target as target + ".new.old", into a file made new
// there, never through a link. A target in use is set aside as target +
// ".old"; a source that another program holds fails instead. The file takes
// the permissions its folder hands down. target must be a JoinLocalPath
// result for base, the installation folder: base may be a link (a game moved
// to another disk and linked back), but a target that is a folder or a link,
// or any folder between base and target that is a link, is refused. Returns
// 1 when the new file is in place and the source gone; on 0 the source is
// still there and the target as it was (unless a set-aside target could not
// be put back: it is then under target + ".old").
int ReplaceInstalledFile(const char *base, const char *source, const char *target);

// Deletes every file named *.old below folder, depth first, read-only ones
// included; folders stay. Leaves junctions and symbolic links alone and does
// not descend into them. Failures are ignored.
void DeleteLeftoverOldFiles(const char *folder);
